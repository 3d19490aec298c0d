// The password dialog and the preview extraction window.
#include "app/popups.h"

#include <QPushButton>

#include "platform/version.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include "engine/backup_session.h"

namespace halvern::app {

void WaitUntil(const std::function<bool()>& done, int stepMs) {
  while (!done()) {
    QEventLoop loop;
    QTimer::singleShot(stepMs, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

CDecryptionWnd::CDecryptionWnd(QWidget* parent, int flag)
    : CPopUpWnd(QStringLiteral("DecryptionWnd.xml"), "DecryptionWnd", parent, 550, 200),
      flag_(flag) {}

bool CDecryptionWnd::OnInit(QStringList* missing) {
  ui::ControlBinder bind(Root(), LayoutName());
  auto* desc = bind.Get<QLabel>("LblDesc");
  edit_ = bind.Get<QLineEdit>("EditPassword");
  bind.Get<QWidget>("BtnOK");
  bind.Get<QWidget>("BtnCancel");
  bind.Get<QWidget>("closebtn");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  desc->setText(ui::MessageText(flag_ == 0 ? "MSG0601" : "MSG0602"));
  edit_->setEchoMode(QLineEdit::Password);
  edit_->setMaxLength(256);
  edit_->setFocus();
  return true;
}

void CDecryptionWnd::Notify(const ui::Notification& n) {
  if (n.Is(ui::notify::kClick, "BtnOK")) {
    password_ = edit_->text();
    done(ui::kResultOk);
  } else if (n.Is(ui::notify::kClick, "BtnCancel")) {
    done(ui::kResultCancel);
  } else {
    CPopUpWnd::Notify(n);
  }
}

CPreviewProcessWnd::CPreviewProcessWnd(QWidget* parent, BackupSession& session,
                                       std::string dataFile, QString displayName, int width,
                                       int height)
    : CPopUpWnd(QStringLiteral("PreviewProcessWnd.xml"), "PreviewProcessWnd", parent, width,
                height),
      session_(session),
      dataFile_(std::move(dataFile)),
      displayName_(std::move(displayName)) {}

CPreviewProcessWnd::~CPreviewProcessWnd() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
}

bool CPreviewProcessWnd::OnInit(QStringList* missing) {
  ui::ControlBinder bind(Root(), LayoutName());
  auto* name = bind.Get<QLabel>("LblFileName");
  percentLabel_ = bind.Get<QLabel>("LblPercent");
  progress_ = bind.Get<QProgressBar>("Progress");
  bind.Get<QWidget>("BtnCancel");
  bind.Get<QWidget>("closebtn");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  name->setText(QStringLiteral("%1 %2").arg(ui::MessageText("MSG0902"), displayName_));
  percentText_ = ui::MessageText("MSG0901");
  QPointer<CPreviewProcessWnd> self(this);
  worker_ = std::thread([this, self] {
    std::string path;
    const int32_t r = session_.ExtractForPreview(dataFile_, path, &OnProgress, this);
    {
      std::lock_guard<std::mutex> hold(lock_);
      previewPath_ = path;
      result_ = r;
    }
    done_ = true;
    QMetaObject::invokeMethod(
        this, [this, r] { done(r == kStopped ? ui::kResultCancel : ui::kResultOk); },
        Qt::QueuedConnection);
  });
  return true;
}

int32_t CPreviewProcessWnd::OnProgress(void* data, int32_t percent) {
  auto* self = static_cast<CPreviewProcessWnd*>(data);
  std::lock_guard<std::mutex> hold(self->lock_);
  if (self->cancel_) return kStopped;
  // Controls belong to the user-interface thread: the update is queued there, in order.
  QMetaObject::invokeMethod(
      self,
      [self, percent] {
        self->percentLabel_->setText(QStringLiteral("%1 %2%").arg(self->percentText_).arg(percent));
        self->progress_->setValue(percent);
      },
      Qt::QueuedConnection);
  return 0;
}

void CPreviewProcessWnd::AskCancel() {
  if (done_) return;
  std::unique_lock<std::mutex> hold(lock_);  // the copy waits at its next progress report
  hide();
  const int answer = ui::ShowMessageBox(ui::kBoxQuestion, parentWidget(), std::nullopt,
                                        ui::MessageText("MSG0903"), 550, 200);
  show();
  if (answer == ui::kResultOk) {
    cancel_ = true;
    hold.unlock();
    WaitUntil([this] { return done_.load(); });
  }
}

void CPreviewProcessWnd::Notify(const ui::Notification& n) {
  if (n.Is(ui::notify::kClick, "closebtn") || n.Is(ui::notify::kClick, "BtnCancel")) {
    AskCancel();
  } else {
    CPopUpWnd::Notify(n);
  }
}

void CPreviewProcessWnd::reject() { AskCancel(); }

void CPreviewProcessWnd::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;  // swallowed
  CPopUpWnd::keyPressEvent(event);
}

// ----- About -------------------------------------------------------------------------------

CAboutWnd::CAboutWnd(QWidget* parent)
    : CPopUpWnd(QStringLiteral("AboutWnd.xml"), "AboutWnd", parent, 480, 260) {}

QString CAboutWnd::VersionText() {
  QString format = ui::Text(ui::Texts().Section("AboutWnd"), "VersionFormat");
  if (format.isEmpty()) format = QStringLiteral("Version %1");
  return format.arg(QLatin1String(kProgramVersion));
}

QString CAboutWnd::LicenceText() {
  QString format = ui::Text(ui::Texts().Section("AboutWnd"), "LicenceFormat");
  if (format.isEmpty()) format = QStringLiteral("Licence: %1");
  return format.arg(QLatin1String(kProgramLicence));
}

bool CAboutWnd::OnInit(QStringList* missing) {
  ui::ControlBinder bind(Root(), LayoutName());
  auto* name = bind.Get<QLabel>("LblAboutName");
  auto* version = bind.Get<QLabel>("LblAboutVersion");
  auto* licence = bind.Get<QLabel>("LblAboutLicence");
  auto* ok = bind.Get<QPushButton>("okbtn");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  name->setText(QLatin1String(kProgramName));
  version->setText(VersionText());
  licence->setText(LicenceText());
  ok->setDefault(true);
  ok->setFocus(Qt::OtherFocusReason);
  return true;
}

}  // namespace halvern::app
