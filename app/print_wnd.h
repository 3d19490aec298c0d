// The print window: composes the print page of the checked items of the selected category on
// a worker, shows it in an embedded browser and calls the page's script function "Init",
// which asks for printing; the print request goes through the platform's print dialog
// (a printer or a PDF file).
#pragma once

#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "export/print_page.h"
#include "ui/popup.h"

class QPrinter;
class QStackedWidget;
class QWebEngineView;
class QWebEnginePage;

namespace halvern::app {

// Posted by the print worker when the page is written.
inline constexpr int kWmPrintReady = 1036;
inline constexpr int kInitTimerMs = 200;

class CPrintWnd : public ui::CPopUpWnd {
  Q_OBJECT
 public:
  // `source` must stay valid while the window lives. The page goes to
  // PrintPagePath(`pageFolder`); the template comes from `templateFolder`.
  CPrintWnd(QWidget* parent, PrintSource source, std::filesystem::path pageFolder,
            std::filesystem::path templateFolder);
  ~CPrintWnd() override;

  void Notify(const ui::Notification& n) override;

  QWebEngineView* View() const { return view_; }
  QStackedWidget* TabPage() const { return tab_; }
  const std::filesystem::path& PagePath() const { return pagePath_; }
  bool PrintDone() const { return done_.load(); }
  int32_t WorkerResult() const { return workerResult_.load(); }
  // Whether the page's "Init" has been called.
  bool InitCalled() const { return initCalled_; }

  // Prints the shown page when the page asks for it. By default the platform's print dialog
  // and then the browser's own printing; replaceable (tests print to a PDF file).
  std::function<void(QWebEngineView* view)> printPage;
  // Asks whether to stop composing (MSG0903); replaceable for tests.
  std::function<bool()> askCancel;

 protected:
  bool OnInit(QStringList* missing) override;
  bool event(QEvent* e) override;
  void reject() override;

 private:
  void PrintWorker();
  void OnPrintReady();
  void CallInit();
  void OnClose();

  PrintSource source_;
  std::filesystem::path pagePath_;
  std::filesystem::path templateFolder_;
  PageTemplate template_;
  PrintControl control_;
  std::atomic<bool> done_{true};
  std::atomic<int32_t> workerResult_{0};
  std::thread worker_;
  QStackedWidget* tab_ = nullptr;
  QWebEngineView* view_ = nullptr;
  std::unique_ptr<QWebEnginePage> page_;
  QTimer initTimer_;
  bool initPending_ = false;
  bool initCalled_ = false;
  std::unique_ptr<QPrinter> printer_;
};

}  // namespace halvern::app
