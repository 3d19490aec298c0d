// The main window and its start pages, driven as a user would: backups listed newest first,
// the folder picker's question loop, the password dialog, the status reactions of a scan,
// the device page's states and the assist menu.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QLocalServer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/app.h"
#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "engine/backup_session.h"
#include "platform/version.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/ui/modal_driver.h"
#include "tests/ui/qt_test_env.h"
#include "ui/popup.h"

namespace halvern::app {
namespace {

namespace fs = std::filesystem;
using halvern::testing::ModalDriver;

// The shipped language texts, so that expectations read the same keys the windows read.
LanguageStore& ShippedTexts() {
  static LanguageStore store = [] {
    LanguageStore s;
    s.Load(fs::path(HALVERN_SOURCE_DIR) / "runtime");
    return s;
  }();
  ui::SetTextSource(&store);
  return store;
}

QString Msg(const char* key) { return ui::MessageText(key); }

// A device source with no phone service at all: the support check fails.
std::unique_ptr<DeviceSource> NoSupport() {
  qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/halvern-test-usbmuxd");
  return CreateDeviceSource();
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ShippedTexts();
    ASSERT_TRUE(dir_.isValid());
    appData_ = fs::path(dir_.path().toStdString()) / "data";
    root_ = appData_ / "Apple Computer" / "MobileSync" / "Backup";
    fs::create_directories(root_);
  }

  void AddBackup(const std::string& folder, const std::string& name, const std::string& date,
                 bool encrypted) {
    fixtures::BackupSpec spec;
    spec.displayName = name;
    spec.deviceName = name;
    spec.lastBackupDate = date;
    spec.serialNumber = "SN-" + name;
    spec.manifestSaysEncrypted = encrypted;
    std::string error;
    ASSERT_TRUE(fixtures::WriteBackup(root_ / folder, spec, &error)) << error;
  }

  void Open(std::unique_ptr<DeviceSource> device = nullptr) {
    auto session = std::make_unique<BackupSession>(appData_, appData_ / "tmp");
    window_ =
        std::make_unique<CMainWnd>(std::move(session), device ? std::move(device) : NoSupport());
    ASSERT_TRUE(window_->Ok()) << window_->Errors().join("\n").toStdString();
    QObject::connect(window_.get(), &CMainWnd::WindowMessage, [this](int message, qintptr w) {
      messages_.push_back({message, w});
    });
  }

  // Lets posted messages arrive.
  void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  }
  QPushButton* Button(const char* name) {
    return window_->findChild<QPushButton*>(QLatin1String(name));
  }
  int StartScans(qintptr mode) const {
    int n = 0;
    for (const auto& [message, w] : messages_) n += message == ui::kWmStartScan && w == mode;
    return n;
  }

  QTemporaryDir dir_;
  fs::path appData_;
  fs::path root_;
  std::unique_ptr<CMainWnd> window_;
  std::vector<std::pair<int, qintptr>> messages_;
};

TEST_F(MainWindowTest, BackupsAreListedNewestFirstWithTheEncryptedImage) {
  AddBackup("aaa", "Old Phone", "2014-03-05T10:00:00Z", false);
  AddBackup("bbb", "New Phone", "2015-01-01T09:00:00Z", true);
  AddBackup("ccc", "Middle Phone", "2014-12-24T18:30:00Z", false);
  Open();
  QTreeWidget* list = window_->BackupPage().List();
  ASSERT_EQ(list->topLevelItemCount(), 3);
  const char* order[] = {"New Phone", "Middle Phone", "Old Phone"};
  for (int i = 0; i < 3; ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    EXPECT_EQ(row->text(1), order[i]);
    EXPECT_EQ(row->text(3), QString("SN-") + order[i]);
    EXPECT_EQ(row->data(0, Qt::UserRole).toString(), BackupRowImage(i == 0));
  }
  EXPECT_EQ(list->topLevelItem(0)->text(2).left(10), "2015-01-01");
  EXPECT_EQ(list->currentItem(), list->topLevelItem(0));
  EXPECT_TRUE(Button("BtnScan")->isEnabled());
  EXPECT_NE(BackupRowImage(true), BackupRowImage(false));
}

TEST_F(MainWindowTest, WithoutBackupsScanIsDisabledAndTheFolderPickerStillWorks) {
  Open();
  EXPECT_EQ(window_->BackupPage().List()->topLevelItemCount(), 0);
  EXPECT_FALSE(Button("BtnScan")->isEnabled());
  EXPECT_TRUE(Button("BtnSelDir")->isEnabled());

  // A folder that is not a backup: the question; OK asks for a folder again.
  fs::create_directories(appData_ / "not-a-backup");
  AddBackup("picked", "Picked Phone", "2020-01-01T00:00:00Z", false);
  std::vector<std::optional<fs::path>> answers = {appData_ / "not-a-backup", root_ / "picked"};
  int asked = 0;
  window_->BackupPage().chooseFolder = [&](QWidget*) { return answers[asked++]; };
  ModalDriver driver;
  driver.Press("okbtn");
  Button("BtnSelDir")->click();
  Settle();
  EXPECT_EQ(asked, 2);
  ASSERT_EQ(driver.Seen().size(), 1u);
  EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Question.xml");
  EXPECT_EQ(driver.Seen()[0].title, "Question");
  EXPECT_EQ(driver.Seen()[0].message, "Can not found the backup file, do you want to try again?");
  EXPECT_EQ(StartScans(1), 1);
  EXPECT_EQ(window_->ScanPage().backupInfo.folderPath, root_ / "picked");
  EXPECT_EQ(window_->ScanPage().backupInfo.displayName, "Picked Phone");
}

TEST_F(MainWindowTest, CancellingTheTryAgainQuestionLeavesThePageAsItWas) {
  AddBackup("aaa", "Phone", "2014-03-05T10:00:00Z", false);
  Open();
  fs::create_directories(appData_ / "empty");
  int asked = 0;
  window_->BackupPage().chooseFolder = [&](QWidget*) -> std::optional<fs::path> {
    ++asked;
    return appData_ / "empty";
  };
  ModalDriver driver;
  driver.Press("cancelbtn");
  Button("BtnSelDir")->click();
  Settle();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(driver.Seen().size(), 1u);
  EXPECT_EQ(StartScans(1), 0);
  EXPECT_TRUE(Button("BtnScan")->isEnabled());
  EXPECT_TRUE(window_->MainTabPage()->isEnabled());
  EXPECT_TRUE(window_->ScanPage().backupInfo.folderPath.empty());
}

TEST_F(MainWindowTest, EncryptedBackupAsksThePasswordAndWarnsOnAnEmptyOne) {
  AddBackup("enc", "Locked Phone", "2019-05-05T05:05:05Z", true);
  Open();
  ModalDriver driver;
  driver.EnterPassword("").Press("okbtn").EnterPassword("s3cret");
  Button("BtnScan")->click();
  Settle();
  ASSERT_EQ(driver.Seen().size(), 3u);
  EXPECT_EQ(driver.Seen()[0].layout, "DecryptionWnd.xml");
  EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0602"));
  EXPECT_EQ(driver.Seen()[1].layout, "MessageBox_Warning.xml");
  EXPECT_EQ(driver.Seen()[1].title, "Warning");
  EXPECT_EQ(driver.Seen()[1].message, Msg("MSG0301"));
  EXPECT_EQ(driver.Seen()[2].layout, "DecryptionWnd.xml");
  EXPECT_EQ(window_->ScanPage().password, "s3cret");
  EXPECT_EQ(StartScans(1), 1);
  EXPECT_EQ(window_->ScanPage().backupInfo.displayName, "Locked Phone");
  EXPECT_TRUE(window_->ScanPage().backupInfo.isEncrypted);
}

TEST_F(MainWindowTest, PasswordDialogCancelledOrWarningDeclined) {
  AddBackup("enc", "Locked Phone", "2019-05-05T05:05:05Z", true);
  Open();
  {
    ModalDriver driver;  // Cancel on the password dialog: no scan, the page is usable again
    driver.Press("BtnCancel");
    Button("BtnScan")->click();
    Settle();
    EXPECT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(StartScans(1), 0);
    EXPECT_TRUE(Button("BtnScan")->isEnabled());
    EXPECT_TRUE(window_->BackupPage().List()->isEnabled());
    EXPECT_TRUE(window_->MainTabPage()->isEnabled());
  }
  {
    ModalDriver driver;  // Cancel on the empty-password warning goes on with no password
    driver.EnterPassword("").Press("cancelbtn");
    window_->ScanPage().password = "previous";
    Button("BtnScan")->click();
    Settle();
    EXPECT_EQ(driver.Seen().size(), 2u);
    EXPECT_EQ(driver.Unanswered(), 0);
    EXPECT_EQ(StartScans(1), 1);
    EXPECT_EQ(window_->ScanPage().password, "");
  }
}

TEST_F(MainWindowTest, ScanStatusCodesShowTheirBoxes) {
  AddBackup("enc", "Locked Phone", "2019-05-05T05:05:05Z", true);
  Open();
  window_->ScanPage().mode = 1;

  {  // 1: wrong password, a warning; asked again, the scan restarts with the new one
    ModalDriver driver;
    driver.Press("okbtn").EnterPassword("second try");
    window_->BackupPage().DisablePage();
    window_->Post(ui::kWmScanStatus, kStatusWrongPassword);
    Settle();
    ASSERT_EQ(driver.Seen().size(), 2u);
    EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Warning.xml");
    EXPECT_EQ(driver.Seen()[0].title, Msg("MSG0405"));
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0302"));
    EXPECT_EQ(driver.Seen()[1].layout, "DecryptionWnd.xml");
    EXPECT_EQ(window_->ScanPage().password, "second try");
    EXPECT_EQ(StartScans(1), 1);
  }
  {  // 1 again, password dialog cancelled: the page comes back
    ModalDriver driver;
    driver.Press("okbtn").Press("BtnCancel");
    window_->BackupPage().DisablePage();
    window_->Post(ui::kWmScanStatus, kStatusWrongPassword);
    Settle();
    EXPECT_EQ(driver.Seen().size(), 2u);
    EXPECT_TRUE(window_->MainTabPage()->isEnabled());
    EXPECT_EQ(StartScans(1), 1);
  }
  {  // 3: opening failed; "\n" in the language file is a line break
    ModalDriver driver;
    driver.Press("okbtn");
    window_->BackupPage().DisablePage();
    window_->Post(ui::kWmScanStatus, kStatusOpenFailed);
    Settle();
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Error.xml");
    EXPECT_EQ(driver.Seen()[0].title, "Error");
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0201"));
    EXPECT_TRUE(driver.Seen()[0].message.contains("\n"));
    EXPECT_FALSE(driver.Seen()[0].message.contains("\\n"));
    EXPECT_TRUE(window_->MainTabPage()->isEnabled());
  }
  {  // 4: code -111
    ModalDriver driver;
    driver.Press("okbtn");
    window_->BackupPage().DisablePage();
    window_->Post(ui::kWmScanStatus, kStatusOpen111);
    Settle();
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Information.xml");
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG1212"));
    EXPECT_TRUE(Button("BtnScan")->isEnabled());
  }
  {  // 2: device gone in a backup scan re-arms the poll timer and shows nothing
    ModalDriver driver;
    window_->Post(ui::kWmScanStatus, kStatusDeviceGone);
    Settle();
    EXPECT_TRUE(driver.Seen().empty());
    EXPECT_TRUE(window_->DevicePage().PollTimerActive());
  }
  {  // 0: the scan runs: the scan page is shown
    window_->BackupPage().DisablePage();
    window_->Post(ui::kWmScanStatus, kStatusStarted);
    Settle();
    EXPECT_EQ(window_->MainTabPage()->currentIndex(), 1);
    EXPECT_TRUE(Button("BtnScan")->isEnabled());
  }
  {  // in a device scan codes 1 and 4 show nothing
    ModalDriver driver;
    window_->ScanPage().mode = 0;
    window_->Post(ui::kWmScanStatus, kStatusWrongPassword);
    window_->Post(ui::kWmScanStatus, kStatusOpen111);
    Settle();
    EXPECT_TRUE(driver.Seen().empty());
  }
}

TEST_F(MainWindowTest, StartPageOptionsSwitchPagesAndColours) {
  Open();
  EXPECT_EQ(window_->TabPage()->currentIndex(), 0);
  EXPECT_EQ(window_->findChild<QLabel*>("LblProductName")->text(), Msg("MSG1209"));
  EXPECT_EQ(window_->findChild<QLabel*>("TxtIosDevice1")->text(),
            ui::Text(ui::Texts().Section("MainWnd"), "TxtIosDevice1"));
  Button("OptBackupFile")->click();
  EXPECT_EQ(window_->TabPage()->currentIndex(), 1);
  EXPECT_TRUE(window_->findChild<QLabel*>("TxtBackupFile1")->styleSheet().contains("#FFFFFF"));
  EXPECT_TRUE(window_->findChild<QLabel*>("TxtIosDevice1")->styleSheet().contains("#000000"));
  Button("OptIosDevice")->click();
  EXPECT_EQ(window_->TabPage()->currentIndex(), 0);
  EXPECT_TRUE(window_->findChild<QLabel*>("TxtIosDevice2")->styleSheet().contains("#FFFFFF"));
}

TEST_F(MainWindowTest, AssistMenuShowsLanguageHidesWhatLeadsNowhereAndExitCloses) {
  Open();
  window_->show();
  Button("BtnAssist")->click();
  QWidget* menu = window_->AssistMenu().Root();
  EXPECT_TRUE(window_->AssistMenu().isVisible());
  // The shipped config.ini gives Support no page: the entry is not offered.
  ASSERT_TRUE(Links().support.isEmpty());
  for (const char* hidden : {"item_faq", "item_support"}) {
    EXPECT_FALSE(menu->findChild<QPushButton*>(hidden)->isVisible()) << hidden;
  }
  for (const char* shown : {"item_help", "item_language", "item_about", "item_exit"}) {
    EXPECT_TRUE(menu->findChild<QPushButton*>(shown)->isVisible()) << shown;
  }
  menu->findChild<QPushButton*>("item_exit")->click();
  Settle();
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(MainWindowTest, AboutHelpAndTheEmptyListIntroduceTheProgram) {
  Open();
  window_->show();
  window_->ChooseStartPage(false);
  Settle();
  // No backup: the list gives way to where the program looked and a "Select Folder…".
  CItunesBackupVrtWnd& page = window_->BackupPage();
  EXPECT_TRUE(page.List()->isHidden());
  EXPECT_TRUE(page.EmptyHint()->isVisible());
  EXPECT_TRUE(page.EmptyWhere()->text().contains(QString::fromStdString(root_.string())))
      << page.EmptyWhere()->text().toStdString();
  int asked = 0;
  page.chooseFolder = [&](QWidget*) -> std::optional<fs::path> {
    ++asked;
    return std::nullopt;
  };
  Button("BtnSelDirHint")->click();
  EXPECT_EQ(asked, 1);
  if (const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS"); !folder.isEmpty()) {
    window_->grab().save(QString::fromUtf8(folder) + "/empty_list.png");
  }

  // About: name, version (the project's) and licence; Enter closes it.
  {
    QString version, licence, name, layout;
    QTimer look;
    look.setInterval(5);
    QObject::connect(&look, &QTimer::timeout, [&] {
      QWidget* box = QApplication::activeModalWidget();
      if (box == nullptr || !name.isEmpty()) return;
      layout = box->property("layout").toString();
      name = box->findChild<QLabel*>("LblAboutName")->text();
      version = box->findChild<QLabel*>("LblAboutVersion")->text();
      licence = box->findChild<QLabel*>("LblAboutLicence")->text();
      if (const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS"); !folder.isEmpty()) {
        box->grab().save(QString::fromUtf8(folder) + "/about.png");
      }
      // Enter closes it (OK is the default button and holds the focus).
      QWidget* target = box->focusWidget() != nullptr ? box->focusWidget() : box;
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QApplication::sendEvent(target, &press);
    });
    look.start();
    Button("BtnAssist")->click();
    window_->AssistMenu().Root()->findChild<QPushButton*>("item_about")->click();
    EXPECT_EQ(layout, "AboutWnd.xml");
    EXPECT_EQ(name, "Halvern");
    EXPECT_EQ(version, QStringLiteral("Version ") + QLatin1String(kProgramVersion));
    EXPECT_EQ(licence, QStringLiteral("Licence: ") + QLatin1String(kProgramLicence));
    EXPECT_FALSE(QString(kProgramVersion).isEmpty());
  }
  // Help opens the user's help page shipped with the program (no help page is configured),
  // in a window of the program: nothing is handed to the desktop.
  QList<QUrl> opened;
  std::vector<fs::path> helped;
  window_->AssistMenu().openUrl = [&](const QUrl& url) { opened << url; };
  window_->AssistMenu().openHelp = [&](const fs::path& page) { helped.push_back(page); };
  Button("BtnAssist")->click();
  window_->AssistMenu().Root()->findChild<QPushButton*>("item_help")->click();
  EXPECT_TRUE(opened.isEmpty());
  ASSERT_EQ(helped.size(), 1u);
  EXPECT_EQ(helped[0], HelpFile());
  EXPECT_EQ(helped[0], fs::path(HALVERN_BIN_DIR) / "help" / "English.html");

  // The window fits a 1366 x 768 screen at 125 % (1093 x 614 points, less a panel).
  EXPECT_LE(window_->minimumSizeHint().expandedTo(window_->minimumSize()).width(), 1093);
  EXPECT_LE(window_->minimumSizeHint().expandedTo(window_->minimumSize()).height(), 580);
}

TEST(ShutDown, RemovesThePreviewFilesAndAPrintPageLeftBehind) {
  QTemporaryDir dir;
  const fs::path appData = fs::path(dir.path().toStdString());
  const fs::path work = appData / kWorkFolderName;
  fs::create_directories(work / "Print");
  for (const fs::path& f : {work / "tmp.jpg", work / "Print" / "page.html", work / "keep.txt"}) {
    std::ofstream(f) << "x";
  }
  ShutDown(appData);
  EXPECT_FALSE(fs::exists(work / "tmp.jpg"));
  EXPECT_FALSE(fs::exists(work / "Print"));
  EXPECT_TRUE(fs::exists(work / "keep.txt"));
}

// Backups on this computer: their page comes first; without any, the phone's page does.
TEST_F(MainWindowTest, StartsOnTheBackupsWhenThereAreAny) {
  Open();
  EXPECT_EQ(window_->TabPage()->currentIndex(), 0);
  window_.reset();
  AddBackup("aaa", "Ann's iPhone", "2020-01-01T10:00:00Z", false);
  Open();
  EXPECT_EQ(window_->TabPage()->currentIndex(), 1);
  EXPECT_TRUE(Button("OptBackupFile")->isChecked());
  EXPECT_FALSE(Button("OptIosDevice")->isChecked());
}

// Enter presses the focused button; Enter or a double click on a backup scans it.
TEST_F(MainWindowTest, EnterAndADoubleClickStartTheScan) {
  AddBackup("aaa", "Ann's iPhone", "2020-01-01T10:00:00Z", false);
  enum class Way { kEnterOnButton, kReturnOnButton, kEnterOnList, kDoubleClick };
  for (Way way : {Way::kEnterOnButton, Way::kReturnOnButton, Way::kEnterOnList, Way::kDoubleClick}) {
    SCOPED_TRACE(int(way));
    // A fresh window each time: the scan a way starts takes the window to the scan page.
    window_.reset();
    messages_.clear();
    Open();
    window_->show();
    Settle();
    QTreeWidget* list = window_->BackupPage().List();
    QWidget* target = way == Way::kEnterOnButton || way == Way::kReturnOnButton
                          ? static_cast<QWidget*>(Button("BtnScan"))
                          : list;
    target->setFocus();
    Settle();
    if (way == Way::kDoubleClick) {
      const QRect rect = list->visualItemRect(list->topLevelItem(0));
      const QPointF at = rect.center();
      QMouseEvent press(QEvent::MouseButtonPress, at, list->viewport()->mapToGlobal(at),
                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(list->viewport(), &press);
      QMouseEvent release(QEvent::MouseButtonRelease, at, list->viewport()->mapToGlobal(at),
                          Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
      QApplication::sendEvent(list->viewport(), &release);
      QMouseEvent twice(QEvent::MouseButtonDblClick, at, list->viewport()->mapToGlobal(at),
                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(list->viewport(), &twice);
    } else {
      const int key = way == Way::kReturnOnButton ? Qt::Key_Return : Qt::Key_Enter;
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(target, &press);
    }
    Settle();
    EXPECT_EQ(StartScans(1), 1);
  }
  // A disabled button is not pressed by Enter.
  messages_.clear();
  window_->BackupPage().DisablePage();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(Button("BtnScan"), &press);
  Settle();
  EXPECT_EQ(StartScans(1), 0);
}

// A click on the title area never leaves the window following the pointer: the move starts
// only once the pointer has been dragged.
TEST_F(MainWindowTest, TheWindowMovesOnlyOnADragOfTheTitleArea) {
  Open();
  window_->show();
  Settle();
  int moves = 0;
  window_->startSystemMove = [&] { ++moves; };
  const int drag = QApplication::startDragDistance();
  struct Case {
    const char* name;
    QPoint press;
    QPoint moveTo;  // (-1, -1): no move before the release
    int moves;
  } cases[] = {
      {"a short click", {300, 20}, {-1, -1}, 0},
      {"a twitch below the drag distance", {300, 20}, {300 + drag - 1, 20}, 0},
      {"a drag", {300, 20}, {300 + drag + 5, 25}, 1},
      {"a drag below the title area", {300, 200}, {300 + drag + 5, 205}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    moves = 0;
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
      QMouseEvent e(type, QPointF(at), window_->mapToGlobal(QPointF(at)), Qt::LeftButton, buttons,
                    Qt::NoModifier);
      QApplication::sendEvent(window_.get(), &e);
    };
    send(QEvent::MouseButtonPress, c.press, Qt::LeftButton);
    if (c.moveTo.x() >= 0) send(QEvent::MouseMove, c.moveTo, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, c.moveTo.x() >= 0 ? c.moveTo : c.press, Qt::NoButton);
    // After the release, moving the pointer moves nothing.
    send(QEvent::MouseMove, c.press + QPoint(3 * drag, 3 * drag), Qt::NoButton);
    EXPECT_EQ(moves, c.moves);
  }
}

// Backups made while the program runs are listed: on their own (the folder is watched) and
// with Refresh; the chosen backup stays chosen.
TEST_F(MainWindowTest, TheBackupListNoticesNewBackups) {
  AddBackup("aaa", "Old Phone", "2014-03-05T10:00:00Z", false);
  Open();
  window_->show();
  QTreeWidget* list = window_->BackupPage().List();
  ASSERT_EQ(list->topLevelItemCount(), 1);
  AddBackup("bbb", "New Phone", "2021-01-01T09:00:00Z", false);
  QElapsedTimer clock;
  clock.start();
  while (list->topLevelItemCount() < 2 && clock.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(0)->text(1), "New Phone");
  list->setCurrentItem(list->topLevelItem(1));  // Old Phone chosen
  AddBackup("ccc", "Newest Phone", "2022-01-01T09:00:00Z", false);
  Button("BtnRefresh")->click();
  ASSERT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(list->currentItem()->text(1), "Old Phone");
  EXPECT_EQ(Button("BtnRefresh")->text(),
            ui::Text(ui::Texts().Section("PageItunesBackup"), "BtnRefresh"));
}

// The help page ships in every language on offer and opens in the program's own window.
TEST_F(MainWindowTest, TheHelpPageOpensInItsOwnWindowInEachLanguage) {
  Open();
  struct Case {
    const char* language;
    const char* title;
  } cases[] = {{"English", "Halvern Help"}, {"Deutsch", "Halvern-Hilfe"}, {"Klingon", "Halvern Help"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    const fs::path page = HelpFile(c.language);
    EXPECT_TRUE(fs::is_regular_file(page)) << page;
    CHelpWnd help(window_.get(), page);
    EXPECT_TRUE(help.Loaded());
    EXPECT_EQ(help.windowTitle(), c.title);
    EXPECT_TRUE(help.Browser()->toPlainText().contains(c.title));
    if (const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS"); !folder.isEmpty()) {
      help.show();
      Settle();
      help.grab().save(QString::fromUtf8(folder) + "/help_" + c.language + ".png");
    }
  }
  // A page that is missing says so, naming the file.
  CHelpWnd missing(window_.get(), fs::path(dir_.path().toStdString()) / "none.html");
  EXPECT_FALSE(missing.Loaded());
  EXPECT_TRUE(missing.Browser()->toPlainText().contains("none.html"));
}

// The language entry writes the user's choice into the user's config.ini (never the shipped
// one); a language without its file is refused.
TEST_F(MainWindowTest, TheLanguageEntrySavesTheChoiceForTheNextStart) {
  QTemporaryDir config;
  const QByteArray before = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  Open();
  QString error;
  EXPECT_TRUE(window_->AssistMenu().ChooseLanguage("Deutsch", &error)) << error.toStdString();
  const fs::path user = fs::path(config.path().toStdString()) / "halvern" / "config.ini";
  std::ifstream in(user);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Default=Deutsch"), std::string::npos) << text;
  EXPECT_FALSE(window_->AssistMenu().ChooseLanguage("../../etc/passwd", &error));
  EXPECT_FALSE(window_->AssistMenu().ChooseLanguage("Klingon", &error));
  EXPECT_FALSE(error.isEmpty());
  if (before.isNull()) {
    qunsetenv("XDG_CONFIG_HOME");
  } else {
    qputenv("XDG_CONFIG_HOME", before);
  }
}

// ----- Device page ---------------------------------------------------------------------------

TEST_F(MainWindowTest, DevicePageFollowsThePhoneService) {
  QTemporaryDir run;
  const QString socket = run.path() + "/usbmuxd";
  QLocalServer usbmuxd;
  Open(NoSupport());
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 0);  // no service
  EXPECT_TRUE(window_->DevicePage().PollTimerActive());

  ASSERT_TRUE(usbmuxd.listen(socket));
  qputenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).toUtf8());
  window_->DevicePage().Poll();
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 1);  // service up, no phone: connect page
  usbmuxd.close();
  window_->DevicePage().Poll();
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 0);
  qputenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).toUtf8());
  ASSERT_TRUE(usbmuxd.listen(socket));
  Button("BtnItunesRetry")->click();
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 1);
}

// A phone as the device session would report it, for the page's own logic.
class ScriptedPhone : public DeviceSource {
 public:
  bool IsSupportAvailable() override { return true; }
  bool HasDevice() const override { return connected; }
  bool IsDeviceAttached() override { return attached; }
  bool IsIdle() const override { return true; }
  void RequestQuit() override { ++quits; }
  int32_t Connect(bool& willEncrypt) override {
    connected = attached;
    willEncrypt = encrypts;
    ++connects;
    return attached ? 0 : -1;
  }
  void Close() override { connected = false; }
  int32_t GetDeviceName(std::string& out) override { return Give(out, "A"); }
  int32_t GetProductVersion(std::string& out) override { return Give(out, version); }
  int32_t GetDeviceClass(std::string& out) override { return Give(out, "iPhone"); }
  int32_t RemoveBackupPassword(const std::string& password) override {
    passwords.push_back(password);
    return password == "right" ? 0 : -110;
  }
  static int32_t Give(std::string& out, const std::string& value) {
    out = value;
    return 0;
  }
  bool attached = true, connected = false, encrypts = false;
  std::string version = "9.3";
  int quits = 0, connects = 0;
  std::vector<std::string> passwords;
};

TEST_F(MainWindowTest, DevicePageShowsTheConnectedPhoneAndStartsItsScan) {
  auto owned = std::make_unique<ScriptedPhone>();
  ScriptedPhone& phone = *owned;
  phone.encrypts = true;
  Open(std::move(owned));
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 1);
  window_->DevicePage().Poll();
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 2);
  EXPECT_EQ(window_->findChild<QLabel*>("IphoneInfo")->text(), "A(iPhone 9.3)");
  window_->DevicePage().Poll();  // still attached: nothing is reopened
  EXPECT_EQ(phone.connects, 1);

  {  // wrong password: MSG0302 and no scan
    ModalDriver driver;
    driver.EnterPassword("wrong").Press("okbtn");
    Button("BtnDeviceScan")->click();
    Settle();
    ASSERT_EQ(driver.Seen().size(), 2u);
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0601"));
    EXPECT_EQ(driver.Seen()[1].message, Msg("MSG0302"));
    EXPECT_EQ(StartScans(0), 0);
  }
  {  // right password: kept for the scan, which starts in mode 0
    ModalDriver driver;
    driver.EnterPassword("right");
    Button("BtnDeviceScan")->click();
    Settle();
    EXPECT_EQ(phone.passwords, (std::vector<std::string>{"wrong", "right"}));
    EXPECT_EQ(window_->ScanPage().password, "right");
    EXPECT_EQ(StartScans(0), 1);
  }
  phone.attached = false;  // unplugged: the backup is asked to stop, the page goes back
  window_->DevicePage().Poll();
  EXPECT_EQ(window_->DevicePage().CurrentPage(), 1);
  EXPECT_GE(phone.quits, 2);
  phone.attached = true;
  phone.version.clear();
  window_->DevicePage().Poll();
  EXPECT_EQ(window_->findChild<QLabel*>("IphoneInfo")->text(), "A(iPhone)");
}

}  // namespace
}  // namespace halvern::app
