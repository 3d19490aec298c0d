// The recover window.
#include "app/recover_process_wnd.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScreen>
#include <QUrl>
#include <algorithm>
#include <cstring>

#include "app/popups.h"
#include "app/scan_page.h"

namespace halvern::app {

namespace {
QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}
// A text of the window's own section, or `fallback` when the language file lacks it.
QString Text(const char* key, const char* fallback) {
  const QString text = ui::Text(ui::Texts().Section("RecoverProcessWnd"), key);
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}
}  // namespace

CRecoverProcessWnd::CRecoverProcessWnd(QWidget* parent, RecoverJob job, uint32_t total)
    : CPopUpWnd(QStringLiteral("RecoverProcessWnd.xml"), "RecoverProcessWnd", parent, 550, 250),
      destination_(job.destination),
      worker_(std::move(job), *this),
      total_(total) {}

CRecoverProcessWnd::~CRecoverProcessWnd() {
  {
    std::lock_guard<std::mutex> hold(recoverLock_);
    cancelled_ = true;
  }
  if (thread_.joinable()) thread_.join();
}

bool CRecoverProcessWnd::OnInit(QStringList* missing) {
  ui::ControlBinder bind(Root(), LayoutName());
  currentLabel_ = bind.Get<QLabel>("current");
  recoveredLabel_ = bind.Get<QLabel>("recovered");
  percentLabel_ = bind.Get<QLabel>("percent");
  progress_ = bind.Get<QProgressBar>("Progress");
  bind.Get<QPushButton>("OpenBtn");
  finishBtn_ = bind.Get<QPushButton>("FinishBtn");
  cancelBtn_ = bind.Get<QPushButton>("CancelBtn");
  bind.Get<QPushButton>("DetailBtn");
  detail_ = bind.Get<QTreeWidget>("DetailList");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  detail_->setHeaderLabels({Text("DetailListFile", "File"), Text("DetailListStatus", "Status")});
  detail_->header()->resizeSection(0, 420);
  detail_->setTextElideMode(Qt::ElideMiddle);
  // A long path is elided in its middle; the label never widens the window.
  currentLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  currentLabel_->setMinimumWidth(1);
  finishBtn_->hide();
  return true;
}

int CRecoverProcessWnd::Run() {
  if (!Build()) return ui::kResultCancel;
  std::string missingTemplate;
  if (worker_.LoadTemplates(&missingTemplate) != 0) {
    QString text = ui::MessageText("MSG1104");
    if (text.isEmpty()) text = QStringLiteral("A page template is missing.");
    qWarning("missing page template: %s", missingTemplate.c_str());
    ui::ShowMessageBox(ui::kBoxError, parentWidget(), std::nullopt, text, 500, 200);
    return ui::kResultCancel;
  }
  createdSize_ = size();
  ShowProgress();
  thread_ = std::thread([this] {
    runResult_ = worker_.Run();
    exportDone_ = true;
    QMetaObject::invokeMethod(
        this, [this] { OnWorkerDone(); }, Qt::QueuedConnection);
  });
  return DoModal();
}

uint32_t CRecoverProcessWnd::DoneCount() const {
  auto* self = const_cast<CRecoverProcessWnd*>(this);
  std::lock_guard<std::mutex> hold(self->dataLock_);
  return done_;
}

uint32_t CRecoverProcessWnd::FailedCount() const {
  auto* self = const_cast<CRecoverProcessWnd*>(this);
  std::lock_guard<std::mutex> hold(self->dataLock_);
  return failed_;
}

uint32_t CRecoverProcessWnd::ItemsWritten() const {
  auto* self = const_cast<CRecoverProcessWnd*>(this);
  std::lock_guard<std::mutex> hold(self->dataLock_);
  return itemsWritten_;
}

uint32_t CRecoverProcessWnd::ItemsFailed() const {
  auto* self = const_cast<CRecoverProcessWnd*>(this);
  std::lock_guard<std::mutex> hold(self->dataLock_);
  return itemsFailed_;
}

QString CRecoverProcessWnd::StatusText(int32_t error) const {
  if (error == kOk) return Text("StatusSuccess", "Success");
  // A report that reaches the window is never the user's stop (the worker reports nothing
  // once stopped), so the number 2 here is the system's "No such file or directory".
  if (error > 0 && error < 4096 && error != kInvalidParameter && error != kReadFault && error != kQueryFailed &&
      error != kManifestOpenFailed) {
    return QString::fromLocal8Bit(std::strerror(error));
  }
  return Q(RecoverStatusText(error));
}

// Worker thread: one selected item is done.
void CRecoverProcessWnd::OnItemOutcome(int32_t error) {
  {
    std::lock_guard<std::mutex> shown(dataLock_);
    (error == kOk ? itemsWritten_ : itemsFailed_)++;
  }
  QueueShow();
}

void CRecoverProcessWnd::QueueShow() {
  bool queue = false;
  {
    std::lock_guard<std::mutex> shown(dataLock_);
    queue = !updateQueued_;
    updateQueued_ = true;
  }
  if (queue)
    QMetaObject::invokeMethod(
        this, [this] { ShowProgress(); }, Qt::QueuedConnection);
}

// Worker thread: counts the report and queues its display.
int32_t CRecoverProcessWnd::OnRecoverProgress(int32_t percent, int32_t error,
                                              const std::string& path) {
  return Record(percent, error, path, {});
}

// Worker thread: a failure with its reason, counted as a report of 100 percent.
int32_t CRecoverProcessWnd::OnRecoverFailure(int32_t error, const std::string& path,
                                             const std::string& reason) {
  return Record(100, error, path, reason);
}

int32_t CRecoverProcessWnd::Record(int32_t percent, int32_t error, const std::string& path,
                                   const std::string& reason) {
  std::lock_guard<std::mutex> hold(recoverLock_);
  if (cancelled_) return kStopped;
  {
    std::lock_guard<std::mutex> shown(dataLock_);
    percent_ = std::clamp(percent, 0, 100);
    current_ = path;
    if (percent >= 100) {
      ++done_;
      if (error != 0) ++failed_;
      pending_.push_back({path, error, reason});
    }
  }
  QueueShow();
  return 0;
}

void CRecoverProcessWnd::ShowProgress() {
  std::vector<Pending> rows;
  int32_t percent;
  uint32_t written, failed;
  QString current;
  {
    std::lock_guard<std::mutex> shown(dataLock_);
    rows.swap(pending_);
    percent = percent_;
    written = itemsWritten_;
    failed = itemsFailed_;
    current = Q(current_);
    updateQueued_ = false;
  }
  for (const Pending& p : rows) {
    const QString status =
        p.reason.empty() ? StatusText(p.error) : StatusText(p.error) + QStringLiteral(": ") + Q(p.reason);
    auto* row = new QTreeWidgetItem({Q(p.path), status});
    if (p.error != 0) {
      row->setForeground(0, QColor(0xE0, 0x20, 0x20));
      row->setForeground(1, QColor(0xE0, 0x20, 0x20));
      detail_->insertTopLevelItem(0, row);
    } else {
      detail_->addTopLevelItem(row);
    }
  }
  progress_->setValue(percent);
  currentLabel_->setToolTip(current);
  currentLabel_->setText(currentLabel_->fontMetrics().elidedText(
      current, Qt::ElideMiddle, std::max(40, currentLabel_->width())));
  if (exportDone_) {
    // The run's own outcome replaces the percentage: stopped by the user, or finished.
    percentLabel_->setText(runResult_ == kStopped ? Text("RunStopped", "Stopped by you: the files written so far are kept.")
                                                  : Text("RunFinished", "Finished."));
  } else {
    percentLabel_->setText(QStringLiteral("%1 %2%").arg(ui::MessageText("MSG1101")).arg(percent));
  }
  // Items: done, selected, written (every file complete on disk), failed.
  const QStringList counts = {QString::number(written + failed), QString::number(total_),
                              QString::number(written), QString::number(failed)};
  QString format = ui::MessageText("MSG1102");
  if (!format.contains(QLatin1String("%d"))) format = ui::MessageText("MSG1105");
  if (format.isEmpty()) format = QStringLiteral("Recovered %d of %d: %d written, %d failed.");
  recoveredLabel_->setText(FillMessage(format, counts));
}

void CRecoverProcessWnd::OnWorkerDone() {
  ShowProgress();
  finishBtn_->show();
  cancelBtn_->hide();
}

void CRecoverProcessWnd::AskCancel() {
  if (exportDone_) {
    done(ui::kResultOk);
    return;
  }
  recoverLock_.lock();  // the worker waits at its next report while the question is open
  hide();
  const int answer = ui::ShowMessageBox(ui::kBoxQuestion, parentWidget(), std::nullopt,
                                        ui::MessageText("MSG1103"), 550, 200);
  show();
  if (answer == ui::kResultOk) {
    cancelled_ = true;
    recoverLock_.unlock();
    WaitUntil([this] { return exportDone_.load(); });
    done(ui::kResultCancel);
  } else {
    recoverLock_.unlock();
  }
}

void CRecoverProcessWnd::ToggleDetail() {
  detailShown_ = !detailShown_;
  if (detailShown_) {
    resize(createdSize_.width() + 150, createdSize_.height() + 300);
  } else {
    resize(createdSize_);
  }
  detail_->setVisible(detailShown_);
  QRect area;
  if (QWidget* p = parentWidget(); p != nullptr && p->isVisible()) {
    area = p->window()->frameGeometry();
  } else if (QScreen* s = QGuiApplication::primaryScreen()) {
    area = s->availableGeometry();
  }
  if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}

void CRecoverProcessWnd::Notify(const ui::Notification& n) {
  if (n.type == QLatin1String(ui::notify::kClick)) {
    if (n.sender == QLatin1String("OpenBtn")) {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(destination_.string())));
    } else if (n.sender == QLatin1String("CancelBtn") || n.sender == QLatin1String("closebtn")) {
      AskCancel();
    } else if (n.sender == QLatin1String("FinishBtn")) {
      done(ui::kResultOk);
    } else if (n.sender == QLatin1String("DetailBtn")) {
      ToggleDetail();
    }
    return;
  }
  CPopUpWnd::Notify(n);
}

void CRecoverProcessWnd::reject() { AskCancel(); }

void CRecoverProcessWnd::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();  // ignored
    return;
  }
  CPopUpWnd::keyPressEvent(event);
}

}  // namespace halvern::app
