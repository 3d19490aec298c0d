// The desktop program's device start page over the real device session, against the
// simulated phone: the page finds the phone and shows its name, class and version, the
// device scan backs the phone up and fills the categories, the session is closed when the
// scan ends, and a backup password that cannot be set back is reported.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidgetItem>
#include <filesystem>
#include <set>

#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "device/device_recovery.h"
#include "device/device_session.h"
#include "engine/backup_session.h"
#include "extractors/extractors.h"
#include "tests/device/simulated_phone.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"
#include "tests/ui/modal_driver.h"
#include "tests/ui/qt_test_env.h"
#include "ui/popup.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace halvern::app {
namespace {

namespace fs = std::filesystem;
using halvern::testing::ModalDriver;
using halvern::testing::SimulatedPhone;
using nlohmann::json;

LanguageStore& ShippedTexts() {
  static LanguageStore store = [] {
    LanguageStore s;
    s.Load(fs::path(HALVERN_SOURCE_DIR) / "runtime");
    return s;
  }();
  ui::SetTextSource(&store);
  return store;
}

// The device engine's application data and temporary backups go below one folder that lives
// as long as the test program (the temporary backup root is chosen once per process).
const fs::path& ProcessDataFolder() {
  static fixtures::TempDir dir;
  return dir.path();
}

bool Until(const std::function<bool()>& done, int limitMs = 120000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limitMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class DeviceWiringTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(ProcessDataFolder().string()));
    RegisterDeviceEngine();
  }
  static void TearDownTestSuite() { RegisterDeviceEngineFactory(nullptr); }

  void SetUp() override {
    ShippedTexts();
    std::string error;
    ASSERT_TRUE(fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14, dir_ / "source",
                                          &expected_, &error))
        << error;
  }
  void TearDown() override {
    if (window_ && !window_->ScanPage().ScanFinished()) window_->ScanPage().Sequence().Stop();
    window_.reset();
    DeviceSession::Instance().Close();
  }

  // Each phone logs into a folder of its own.
  void Start(const json& config) {
    const fs::path work = dir_ / ("phone" + std::to_string(++phones_));
    fs::create_directories(work);
    phone_ = std::make_unique<SimulatedPhone>(work, dir_ / "source", config);
    ASSERT_TRUE(phone_->running());
  }
  void Open() {
    const fs::path appData = dir_ / "appdata";
    auto session = std::make_unique<BackupSession>(appData, appData / "tmp");
    window_ = std::make_unique<CMainWnd>(std::move(session), CreateDeviceSource());
    ASSERT_TRUE(window_->Ok()) << window_->Errors().join("\n").toStdString();
    // Whether the session is open right after the finished notice was handled (the device
    // page's poll may open the still attached phone again a moment later).
    QObject::connect(window_.get(), &CMainWnd::WindowMessage, [this](int message, qintptr) {
      if (message != ui::kWmScanFinished) return;
      ++finished_;
      deviceOpenAtFinish_ = DeviceSession::Instance().HasDevice();
    });
    window_->resize(1100, 700);
    window_->show();
  }
  // Presses BtnDeviceScan and waits until the scan has finished.
  void ScanDevice() {
    auto* button = window_->findChild<QPushButton*>(QStringLiteral("BtnDeviceScan"));
    ASSERT_NE(button, nullptr);
    button->click();
    ASSERT_TRUE(Until([&] { return finished_ > 0; }));
    QApplication::processEvents();
  }
  QString DeviceLabel() {
    return window_->findChild<QLabel*>(QStringLiteral("IphoneInfo"))->text();
  }

  fixtures::TempDir dir_;
  fixtures::ScanExpectation expected_;
  std::unique_ptr<SimulatedPhone> phone_;
  std::unique_ptr<CMainWnd> window_;
  int finished_ = 0;
  bool deviceOpenAtFinish_ = true;
  int phones_ = 0;
};

TEST_F(DeviceWiringTest, PageFindsThePhoneAndTheDeviceScanFillsTheCategories) {
  Start({{"device_name", "Chloé's iPhone"}, {"product_version", "14.3"}});
  Open();
  CIosDeviceVrtWnd& page = window_->DevicePage();
  EXPECT_EQ(page.CurrentPage(), 1);  // the service answers: waiting for a phone
  page.Poll();
  ASSERT_EQ(page.CurrentPage(), 2);
  EXPECT_EQ(DeviceLabel(), QStringLiteral("Chloé's iPhone(iPhone 14.3)"));
  EXPECT_TRUE(DeviceSession::Instance().HasDevice());

  ScanDevice();
  CScanVrtWnd& scan = window_->ScanPage();
  EXPECT_EQ(scan.mode, 0);
  ASSERT_EQ(scan.ScanResult(), 0);
  EXPECT_EQ(phone_->Events("backup_request").size(), 1u);
  // The scan's end closed the session: its sync lock is given back.
  EXPECT_FALSE(deviceOpenAtFinish_);
  EXPECT_EQ(window_->MainTabPage()->currentIndex(), 1);

  std::set<int64_t> conversations;
  for (const auto& m : expected_.messages) conversations.insert(m.handleId);
  const std::vector<std::pair<ScanCategory, size_t>> counts = {
      {ScanCategory::kCameraRoll, expected_.cameraRoll.size()},
      {ScanCategory::kMessages, conversations.size()},
      {ScanCategory::kContacts, expected_.contacts.size()},
      {ScanCategory::kCallHistory, expected_.calls.size()},
  };
  for (const auto& [category, n] : counts) {
    ASSERT_GT(n, 0u) << CategoryName(category);
    EXPECT_EQ(scan.Tree().Row(category)->text(0),
              QStringLiteral("%1 (%2)").arg(CategoryName(category)).arg(n));
  }

  // A poll after the scan opens the still attached phone again.
  page.Poll();
  EXPECT_EQ(page.CurrentPage(), 2);
  EXPECT_TRUE(DeviceSession::Instance().HasDevice());
}

// The phone pulled out during its backup: the scan page says it was disconnected (its own
// text and icon), not "complete", and every category says it was not scanned.
TEST_F(DeviceWiringTest, UnpluggedPhoneIsToldAsSuch) {
  Start({{"unplug_after_upload_bytes", 2000}});
  Open();
  CIosDeviceVrtWnd& page = window_->DevicePage();
  page.Poll();
  ASSERT_EQ(page.CurrentPage(), 2);
  ScanDevice();
  CScanVrtWnd& scan = window_->ScanPage();
  EXPECT_EQ(scan.Outcome(), ScanOutcome::kDeviceGone);
  EXPECT_EQ(scan.OutcomeText(), ui::MessageText("MSG0522"));
  auto* remark = window_->findChild<QLabel*>(QStringLiteral("LblRemark"));
  EXPECT_EQ(remark->text(), ui::MessageText("MSG0522"));
  EXPECT_EQ(window_->findChild<QLabel*>(QStringLiteral("LblRemarkIcon"))
                ->property("outcome")
                .toString(),
            "scan_unplugged.svg");
  EXPECT_TRUE(window_->findChild<QWidget*>(QStringLiteral("BtnGifLoading"))->isHidden());
  for (int32_t code = 1; code <= 11; ++code) {
    EXPECT_TRUE(scan.Tree().Row(ScanCategory(code))->text(0).contains("not scanned"))
        << CategoryName(ScanCategory(code));
  }
  if (const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS"); !folder.isEmpty()) {
    window_->MainTabPage()->setCurrentIndex(1);
    QApplication::processEvents();
    window_->grab().save(QString::fromUtf8(folder) + "/scan_unplugged.png");
  }
}

TEST_F(DeviceWiringTest, EncryptingPhoneGetsItsPasswordBackOrTheUserIsWarned) {
  struct Case {
    bool restoreFails;
    size_t warnings;
  };
  for (const Case c : {Case{false, 0}, Case{true, 1}}) {
    SCOPED_TRACE(c.restoreFails);
    finished_ = 0;
    Start({{"backup_password", "secret"}, {"restore_fails", c.restoreFails}});
    Open();
    window_->DevicePage().Poll();
    ASSERT_EQ(window_->DevicePage().CurrentPage(), 2);
    {
      ModalDriver driver;
      driver.EnterPassword(QStringLiteral("secret"));
      if (c.restoreFails) driver.Press("okbtn");
      ScanDevice();
      ASSERT_TRUE(Until([&] { return driver.Pending() == 0; }, 10000));
      ASSERT_GE(driver.Seen().size(), 1u);
      EXPECT_EQ(driver.Seen()[0].layout, "DecryptionWnd.xml");
      ASSERT_EQ(driver.Seen().size(), 1 + c.warnings);
      EXPECT_EQ(driver.Unanswered(), 0);
      if (c.warnings > 0) {
        EXPECT_EQ(driver.Seen()[1].layout, "MessageBox_Warning.xml");
        EXPECT_TRUE(driver.Seen()[1].message.contains("could not be set back"));
      }
    }
    EXPECT_EQ(window_->ScanPage().ScanResult(), 0);
    EXPECT_EQ(phone_->Events("backup_request").size(), 1u);
    // Set back once, or never (the session tries again when it closes).
    EXPECT_EQ(phone_->Find("changepw", {{"new", "secret"}, {"ok", true}}).size(),
              c.restoreFails ? 0u : 1u);
    EXPECT_EQ(phone_->Find("changepw", {{"new", "secret"}, {"ok", false}}).empty(),
              !c.restoreFails);
    window_.reset();
    DeviceSession::Instance().Close();
    phone_.reset();
  }
}

}  // namespace
}  // namespace halvern::app
