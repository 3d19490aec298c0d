// The skin: every layout builds, every control the windows use is found in its layout, the
// custom kinds are made by the loader, texts and notifications reach the right controls.
#include "ui/skin.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>
#include <memory>

#include "tests/ui/modal_driver.h"
#include "tests/ui/qt_test_env.h"
#include "ui/controls.h"
#include "ui/notify.h"
#include "ui/popup.h"

namespace halvern::ui {
namespace {

// Control names the windows look up, per layout.
const std::map<QString, QStringList>& NamesByLayout() {
  static const std::map<QString, QStringList> names = {
      {"skin.xml",
       {"LblProductName", "BtnAssist", "minbtn", "maxbtn", "restorebtn", "closebtn", "MainTabPage",
        "OptIosDevice", "OptBackupFile", "TxtIosDevice1", "TxtIosDevice2", "TxtBackupFile1",
        "TxtBackupFile2", "TabPage", "FooterBar"}},
      {"PageIosDevice.xml",
       {"TabIosDevice", "LblDesc1", "LblDesc2", "LblDesc3", "BtnAppleUrl", "BtnItunesRetry",
        "LblDesc4", "TxtDesc1", "IphoneInfo", "BtnDeviceScan"}},
      {"PageItunesBackup.xml", {"BackupFileList", "BtnScan", "BtnSelDir"}},
      {"PageScan.xml",
       {"ScanToolBar",
        "BtnGifScanning",
        "LblScanType",
        "ProgressScan",
        "LblWaitDesc",
        "LblPercent",
        "BtnScanPause",
        "BtnScanStop",
        "ReocveryToolBar",
        "LblRemark",
        "NodeTree",
        "iPhoneInfoLayout",
        "PageScanDesc1",
        "PageScanDesc2",
        "PageScanDesc3",
        "BtnGifLoading",
        "DataListLayout",
        "DataListToolBar",
        "FilterToolBar",
        "OptOnOffFilter",
        "PageScanDesc4",
        "BtnPrint",
        "LblFilterCount",
        "BtnBackAppDir",
        "DataList",
        "CheckAll",
        "Col1",
        "Col2",
        "Col3",
        "Col4",
        "Col5",
        "Col6",
        "SwitchLayout",
        "OptOnOffPreview",
        "PreviewLayout",
        "PreviewEdit",
        "MessagesList",
        "BtnHome",
        "LblStatistics",
        "BtnRecovery"}},
      {"MessageBox_Error.xml", {"title", "message", "closebtn", "okbtn"}},
      {"MessageBox_Information.xml", {"title", "message", "closebtn", "okbtn"}},
      {"MessageBox_Warning.xml", {"title", "message", "closebtn", "okbtn"}},
      {"MessageBox_Confirm.xml", {"title", "message", "closebtn", "okbtn", "cancelbtn"}},
      {"MessageBox_Question.xml", {"title", "message", "closebtn", "okbtn", "cancelbtn"}},
      {"menu_assist.xml",
       {"menu_assist", "item_help", "item_faq", "item_language", "item_about", "item_support",
        "item_exit"}},
      {"DecryptionWnd.xml", {"closebtn", "LblDesc", "EditPassword", "BtnOK", "BtnCancel"}},
      {"PreviewProcessWnd.xml", {"closebtn", "LblFileName", "LblPercent", "Progress", "BtnCancel"}},
      {"MessagesElementSend.xml", {"MsgHeader", "MsgText"}},
      {"MessagesElementRecv.xml", {"MsgHeader", "MsgText"}},
      {"ContactInfo.xml",
       {"TxtUserName", "LblPhoneDesc", "TxtPhone", "LblEmailDesc", "TxtEmail", "LblAddressDesc",
        "TxtAddress", "LblUrlDesc", "TxtUrl", "LblSocialDesc", "TxtSocial", "LblCompanyDesc",
        "TxtCompany"}},
  };
  return names;
}

TEST(Skin, EveryLayoutBuildsAndHoldsEveryControlItsWindowUses) {
  const QStringList present = LayoutNames();
  for (const auto& [layout, names] : NamesByLayout()) {
    SCOPED_TRACE(layout.toStdString());
    EXPECT_TRUE(present.contains(layout)) << layout.toStdString() << " is not in the skin";
    QString error;
    std::unique_ptr<QWidget> root(LoadLayout(layout, nullptr, &error));
    ASSERT_NE(root, nullptr) << error.toStdString();
    for (const QString& name : names) {
      EXPECT_NE(FindControl(root.get(), name), nullptr)
          << layout.toStdString() << ": no control " << name.toStdString();
    }
  }
  // Layouts outside the table must build too.
  for (const QString& layout : present) {
    QString error;
    std::unique_ptr<QWidget> root(LoadLayout(layout, nullptr, &error));
    EXPECT_NE(root, nullptr) << error.toStdString();
  }
}

TEST(Skin, LayoutsAreFoundByTheirSkinNames) {
  EXPECT_EQ(LayoutPath("xml/skin.xml"), LayoutPath("skin.xml"));
  EXPECT_EQ(LayoutPath("xml\\PageScan.xml"), LayoutPath("PageScan.xml"));
  QString error;
  EXPECT_EQ(LoadLayout("NoSuchWindow.xml", nullptr, &error), nullptr);
  EXPECT_TRUE(error.contains("NoSuchWindow.xml"));
}

TEST(Skin, LoaderMakesTheCustomKindsWithTheirAttributes) {
  std::unique_ptr<QWidget> scan(LoadLayout("PageScan.xml", nullptr));
  ASSERT_NE(scan, nullptr);
  auto* scanning = scan->findChild<ButtonGif*>("BtnGifScanning");
  ASSERT_NE(scanning, nullptr);
  EXPECT_EQ(scanning->NormalGifFile(), "iTunesScanning.gif");
  EXPECT_TRUE(scanning->HasAnimation());
  scanning->PlayGif();
  EXPECT_TRUE(scanning->IsPlaying());
  scanning->StopGif();
  EXPECT_FALSE(scanning->IsPlaying());
  scanning->SetNormalGifFile("DeviceScanning.gif");
  EXPECT_TRUE(scanning->HasAnimation());
  auto* loading = scan->findChild<ButtonGif*>("BtnGifLoading");
  ASSERT_NE(loading, nullptr);
  EXPECT_TRUE(loading->HasAnimation());
  EXPECT_NE(scan->findChild<FileTree*>("NodeTree"), nullptr);

  std::unique_ptr<QWidget> bubble(LoadLayout("MessagesElementSend.xml", nullptr));
  ASSERT_NE(bubble, nullptr);
  auto* text = bubble->findChild<LabelEx*>("MsgText");
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->wordWrap());
}

TEST(Skin, BinderNamesTheLayoutAndTheControlThatIsMissingOrOfAnotherKind) {
  std::unique_ptr<QWidget> root(LoadLayout("DecryptionWnd.xml", nullptr));
  ASSERT_NE(root, nullptr);
  ControlBinder bind(root.get(), "DecryptionWnd.xml");
  EXPECT_NE(bind.Get<QLineEdit>("EditPassword"), nullptr);
  EXPECT_TRUE(bind.Ok());
  EXPECT_EQ(bind.Get<QLineEdit>("EditPasswort"), nullptr);
  EXPECT_EQ(bind.Get<QLineEdit>("BtnOK"), nullptr);
  ASSERT_EQ(bind.Missing().size(), 2);
  EXPECT_EQ(bind.Missing()[0], "DecryptionWnd.xml: no control EditPasswort");
  EXPECT_EQ(bind.Missing()[1], "DecryptionWnd.xml: control BtnOK is not a QLineEdit");
}

TEST(Skin, ApplyTextsSetsNamedControlsEnabledOrNotAndIgnoresOtherKeys) {
  QWidget root;
  auto* label = new QLabel("layout text", &root);
  label->setObjectName("LblDesc1");
  auto* button = new QPushButton("layout button", &root);
  button->setObjectName("BtnScan");
  button->setEnabled(false);
  auto* kept = new QLabel("statistics", &root);
  kept->setObjectName("LblStatistics");
  auto* untouched = new QLabel("own text", &root);
  untouched->setObjectName("LblOther");
  const TextMap section = {{"LblDesc1", "Choose"},
                           {"BtnScan", "Start"},
                           {"LblStatistics", "replaced?"},
                           {"NoSuchControl", "x"}};
  ApplyTexts(&root, section, "LblStatistics");
  EXPECT_EQ(label->text(), "Choose");
  EXPECT_EQ(button->text(), "Start");
  EXPECT_EQ(kept->text(), "statistics");
  EXPECT_EQ(untouched->text(), "own text");
}

class Recorder : public NotifyTarget {
 public:
  void Notify(const Notification& n) override {
    seen.push_back(n.type + ":" + n.sender + ":" + QString::number(n.wParam));
  }
  QStringList seen;
};

TEST(Notifications, ReachTheOwnerByKindAndControlName) {
  QWidget root;
  auto* layout = new QVBoxLayout(&root);
  auto* button = new QPushButton(&root);
  button->setObjectName("BtnScan");
  auto* option = new QRadioButton(&root);
  option->setObjectName("OptBackupFile");
  auto* toggle = new QPushButton(&root);
  toggle->setObjectName("OptOnOffFilter");
  toggle->setCheckable(true);
  auto* list = new QTreeWidget(&root);
  list->setObjectName("DataList");
  auto* tree = new FileTree(&root);
  tree->setObjectName("NodeTree");
  auto* silent = new QPushButton(&root);  // no name: no notifications
  for (QWidget* w :
       {static_cast<QWidget*>(button), static_cast<QWidget*>(option), static_cast<QWidget*>(toggle),
        static_cast<QWidget*>(list), static_cast<QWidget*>(tree), static_cast<QWidget*>(silent)}) {
    layout->addWidget(w);
  }
  for (QTreeWidget* t : {list, static_cast<QTreeWidget*>(tree)}) {
    for (int i = 0; i < 2; ++i) {
      auto* item = new QTreeWidgetItem(t, QStringList{QString("row %1").arg(i)});
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      item->setCheckState(0, Qt::Checked);
    }
  }
  Recorder recorder;
  BindNotifications(&root, &recorder);

  button->click();
  option->click();
  toggle->click();
  silent->click();
  list->setCurrentItem(list->topLevelItem(1));
  emit list->itemDoubleClicked(list->topLevelItem(1), 0);
  list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
  tree->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
  tree->topLevelItem(1)->setText(0, "renamed");  // a text change is no check click

  EXPECT_EQ(recorder.seen,
            (QStringList{"click:BtnScan:0", "selectchanged:OptBackupFile:0",
                         "selectchanged:OptOnOffFilter:0", "itemselect:DataList:1",
                         "list_item_dbclick:DataList:1", "list_check_click:DataList:0",
                         "checkboxselectchanged:NodeTree:1"}));
}

TEST(Notifications, TimersRaiseTimerWithTheirIdUntilKilled) {
  QWidget root;
  auto* tab = new QStackedWidget(&root);
  tab->setObjectName("TabIosDevice");
  Recorder recorder;
  TimerSet timers(&recorder);
  timers.Set(tab, 101, 5);
  timers.Set(tab, 7, 5);
  timers.Kill(tab, 7);
  EXPECT_TRUE(timers.IsActive(tab, 101));
  EXPECT_FALSE(timers.IsActive(tab, 7));
  while (recorder.seen.size() < 2) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  timers.KillAll(tab);
  EXPECT_FALSE(timers.IsActive(tab, 101));
  EXPECT_EQ(recorder.seen.front(), "timer:TabIosDevice:101");
  EXPECT_FALSE(recorder.seen.contains("timer:TabIosDevice:7"));
}

class Texts : public TextSource {
 public:
  TextMap& Section(const std::string& s) override { return sections[s]; }
  std::map<std::string, TextMap> sections;
};

TEST(MessageBox, EachKindUsesItsLayoutDefaultTitleAndButtons) {
  Texts texts;
  texts.sections["Messages"] = {{"MSG0401", "T-error"},
                                {"MSG0402", "T-confirm"},
                                {"MSG0403", "T-info"},
                                {"MSG0404", "T-question"},
                                {"MSG0405", "T-warning"}};
  texts.sections["MessageBox"] = {{"okbtn", "Fine"}};
  SetTextSource(&texts);
  struct Case {
    int kind;
    const char* layout;
    const char* title;
    const char* press;
    int result;
  };
  const Case cases[] = {
      {kBoxError, "MessageBox_Error.xml", "T-error", "okbtn", 1},
      {kBoxConfirm, "MessageBox_Confirm.xml", "T-confirm", "cancelbtn", 2},
      {kBoxInformation, "MessageBox_Information.xml", "T-info", "closebtn", 2},
      {kBoxWarning, "MessageBox_Warning.xml", "T-warning", "okbtn", 1},
      {kBoxQuestion, "MessageBox_Question.xml", "T-question", "okbtn", 1},
      {9, "MessageBox_Error.xml", "T-error", "okbtn", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    testing::ModalDriver driver;
    driver.Press(c.press);
    EXPECT_EQ(ShowMessageBox(c.kind, nullptr, std::nullopt, "the text", 550, 200), c.result);
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].layout, c.layout);
    EXPECT_EQ(driver.Seen()[0].title, c.title);
    EXPECT_EQ(driver.Seen()[0].message, "the text");
  }
  // A given title wins over the default; the section "MessageBox" names the buttons.
  testing::ModalDriver driver;
  driver.Press("okbtn");
  CMessageBox box(kBoxQuestion, nullptr, QString("Question"), "Again?", 550, 200);
  ASSERT_TRUE(box.Build());
  EXPECT_EQ(box.Root()->findChild<QPushButton*>("okbtn")->text(), "Fine");
  EXPECT_EQ(box.DoModal(), 1);
  EXPECT_EQ(driver.Seen()[0].title, "Question");
  EXPECT_EQ(box.size(), QSize(550, 200));
  SetTextSource(nullptr);
}

}  // namespace
}  // namespace halvern::ui
