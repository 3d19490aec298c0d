// The print window.
#include "app/print_wnd.h"

#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include "app/popups.h"
#include "ui/controls.h"

namespace halvern::app {

CPrintWnd::CPrintWnd(QWidget* parent, PrintSource source, std::filesystem::path pageFolder,
                     std::filesystem::path templateFolder)
    : CPopUpWnd(QStringLiteral("PrintWnd.xml"), "PrintWnd", parent, 800, 600),
      source_(std::move(source)),
      pagePath_(PrintPagePath(pageFolder)),
      templateFolder_(std::move(templateFolder)) {
  printPage = [this](QWebEngineView* view) {
    // The printer lives until the next print request or the window's end: the browser prints
    // after this call has returned.
    printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    QPrintDialog dialog(printer_.get(), this);
    if (dialog.exec() == QDialog::Accepted) view->print(printer_.get());
  };
  askCancel = [this] {
    return ui::ShowMessageBox(ui::kBoxQuestion, this, std::nullopt, ui::MessageText("MSG0903"), 550,
                              200) == ui::kResultOk;
  };
  initTimer_.setInterval(kInitTimerMs);
  connect(&initTimer_, &QTimer::timeout, this, [this] { CallInit(); });
}

CPrintWnd::~CPrintWnd() {
  control_.cancelled = true;
  if (worker_.joinable()) worker_.join();
  // The browser goes first: its page (owned by this window, see OnInit) is deleted only
  // after the view that shows it, and before the profile the page was made with.
  delete view_;
  view_ = nullptr;
  page_.reset();
  // The page holds the user's data: it does not outlive the window.
  std::error_code ec;
  std::filesystem::remove(pagePath_, ec);
  std::filesystem::remove(pagePath_.parent_path(), ec);  // only when empty
}

bool CPrintWnd::OnInit(QStringList* missing) {
  ui::ControlBinder bind(Root(), LayoutName());
  bind.Bind(tab_, "PrintTabPage");
  auto* holder = bind.Get<QWidget>("WebPagePrint");
  auto* loading = bind.Get<ui::ButtonGif>("BtnGifPrintLoading");
  bind.Get<QWidget>("closebtn");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  tab_->setCurrentIndex(0);
  loading->PlayGif();
  LoadPrintTemplate(templateFolder_, template_);  // a missing template: the body alone
  view_ = new QWebEngineView(holder);
  view_->setObjectName(QStringLiteral("WebPagePrintView"));
  // The window owns the page and sets it on the view; the view never owns it, and the
  // destructor deletes the view before the page.
  page_ = std::make_unique<QWebEnginePage>(QWebEngineProfile::defaultProfile());
  view_->setPage(page_.get());
  if (holder->layout() == nullptr) new QVBoxLayout(holder);
  holder->layout()->addWidget(view_);
  connect(view_, &QWebEngineView::printRequested, this, [this] {
    if (printPage) printPage(view_);
  });
  control_.cancelled = false;
  done_ = true;
  worker_ = std::thread([this] { PrintWorker(); });
  return true;
}

void CPrintWnd::PrintWorker() {
  done_ = false;
  const int32_t result = ComposePrintPage(source_, template_, pagePath_, control_);
  workerResult_ = result;
  if (result == kStopped) {
    done_ = true;
    QMetaObject::invokeMethod(
        this, [this] { done(ui::kResultCancel); }, Qt::QueuedConnection);
    return;
  }
  // A page that could not be written is not shown: the browser would show an error page.
  if (result == kOk) ui::PostWindowMessage(this, kWmPrintReady);
  done_ = true;
}

bool CPrintWnd::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(kWmPrintReady)) {
    OnPrintReady();
    return true;
  }
  return CPopUpWnd::event(e);
}

void CPrintWnd::OnPrintReady() {
  if (control_.cancelled.load()) return;  // the user stopped the print meanwhile
  tab_->setCurrentIndex(1);
  view_->setUrl(QUrl(QStringLiteral("about:blank")));
  view_->setUrl(QUrl::fromLocalFile(QString::fromStdString(pagePath_.string())));
  initTimer_.start();
}

void CPrintWnd::CallInit() {
  if (initPending_ || view_ == nullptr) return;
  const QString page = QUrl::fromLocalFile(QString::fromStdString(pagePath_.string())).toString();
  if (view_->url().toString() != page) return;
  initPending_ = true;
  QPointer<CPrintWnd> self(this);
  // Init is called once the page defines it; a page without it is shown but not printed.
  view_->page()->runJavaScript(
      QStringLiteral("(typeof Init === 'function') ? (Init(), true) : false"),
      [self](const QVariant& answer) {
        if (self.isNull()) return;
        self->initPending_ = false;
        if (answer.toBool()) {
          self->initCalled_ = true;
          self->initTimer_.stop();
        }
      });
}

void CPrintWnd::OnClose() {
  if (done_.load()) {
    done(ui::kResultOk);
    return;
  }
  std::unique_lock<std::mutex> hold(control_.lock);
  if (!askCancel()) return;
  control_.cancelled = true;
  hold.unlock();
  WaitUntil([this] { return done_.load(); });
  // A composition that ended before it saw the answer would still print: the window closes
  // as cancelled either way (a stopped worker has asked for that close already).
  if (workerResult_.load() != kStopped) done(ui::kResultCancel);
}

void CPrintWnd::reject() { OnClose(); }

void CPrintWnd::Notify(const ui::Notification& n) {
  if (n.Is(ui::notify::kClick, "closebtn")) {
    OnClose();
    return;
  }
  CPopUpWnd::Notify(n);
}

}  // namespace halvern::app
