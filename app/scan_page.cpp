// The scan page's controls and texts.
#include "app/scan_page.h"

#include "ui/skin.h"

namespace halvern::app {

CScanVrtWnd::CScanVrtWnd(QWidget* page, CMainWnd& main) : page_(page), main_(main) {}

bool CScanVrtWnd::InitPage(QStringList* missing) {
  ui::ControlBinder bind(page_, QStringLiteral("PageScan.xml"));
  bind.Get<QWidget>("ScanToolBar");
  gifScanning_ = bind.Get<ui::ButtonGif>("BtnGifScanning");
  scanType_ = bind.Get<QLabel>("LblScanType");
  bind.Get<QProgressBar>("ProgressScan");
  bind.Get<QLabel>("LblWaitDesc");
  bind.Get<QLabel>("LblPercent");
  pause_ = bind.Get<QPushButton>("BtnScanPause");
  bind.Get<QPushButton>("BtnScanStop");
  bind.Get<QWidget>("ReocveryToolBar");
  remark_ = bind.Get<QLabel>("LblRemark");
  remarkIcon_ = bind.Get<QLabel>("LblRemarkIcon");
  bind.Get<ui::FileTree>("NodeTree");
  bind.Get<QWidget>("iPhoneInfoLayout");
  for (const char* name : {"PageScanDesc1", "PageScanDesc2", "PageScanDesc3", "PageScanDesc4",
                           "LblFilterCount", "LblStatistics"}) {
    bind.Get<QLabel>(name);
  }
  gifLoading_ = bind.Get<ui::ButtonGif>("BtnGifLoading");
  for (const char* name : {"DataListLayout", "DataListToolBar", "FilterToolBar", "SwitchLayout",
                           "PreviewLayout", "DataListHeader"}) {
    bind.Get<QWidget>(name);
  }
  for (const char* name : {"OptOnOffFilter", "BtnPrint", "BtnBackAppDir", "OptOnOffPreview",
                           "BtnHome", "BtnRecovery"}) {
    bind.Get<QPushButton>(name);
  }
  bind.Get<QTreeWidget>("DataList");
  bind.Get<QCheckBox>("CheckAll");
  for (const char* name : {"Col1", "Col2", "Col3", "Col4", "Col5", "Col6"}) bind.Get<QLabel>(name);
  bind.Get<QTextEdit>("PreviewEdit");
  bind.Get<QListWidget>("MessagesList");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  ApplyPageTexts();
  return true;
}

void CScanVrtWnd::ApplyPageTexts() {
  ui::ApplyTexts(page_, ui::Texts().Section("PageScan"), QStringLiteral("LblStatistics"));
  pause_->setText(ui::MessageText(paused ? "MSG0506" : "MSG0507"));
  ApplyModeTexts();
}

void CScanVrtWnd::ApplyModeTexts() {
  const bool backup = mode == 1;
  gifScanning_->SetNormalGifFile(backup ? QStringLiteral("iTunesScanning.gif")
                                        : QStringLiteral("DeviceScanning.gif"));
  scanType_->setText(ui::MessageText(backup ? "MSG0501" : "MSG0503"));
  remark_->setText(ui::MessageText(backup ? "MSG0502" : "MSG0504"));
}

int CScanVrtWnd::StartScan(int scanMode) {
  if (scanMode != 0 && scanMode != 1) return 1;
  mode = scanMode;
  ApplyModeTexts();
  return 1;
}

bool CScanVrtWnd::QueryClose() { return scanFinished; }

void CScanVrtWnd::OnDeviceGone() {}

void CScanVrtWnd::Notify(const ui::Notification&) {}

}  // namespace halvern::app
