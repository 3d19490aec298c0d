// The item list of the scan page over a generated scan of 1,000,000 messages (one conversation
// each: a million list rows) and 100,000 photos: the category hook's work (rows, pre-sort,
// selection), the time to the first paint of the filled list, and the time to scroll to the
// end and paint there; the filter and a whole-category check box. Baseline in the same run:
// the same 100,000 photos copied into the items of a QTreeWidget, as a widget list would.
//
// Run offscreen (no display needed):
//   cmake --build build --target gui_list_bench && QT_QPA_PLATFORM=offscreen
//   build/bin/gui_list_bench
// Optional arguments: messages photos (default 1000000 100000).
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/file_list_ctrl.h"
#include "selection/statistics.h"

using namespace halvern;
using namespace halvern::app;

namespace {

double Ms(QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e6; }

void Report(const char* what, double ms) { std::printf("  %-58s %10.1f ms\n", what, ms); }

ScanResults Generate(int messages, int photos) {
  ScanResults r;
  char text[96];
  for (int i = 0; i < messages; ++i) {
    MessageItem m;
    m.deleted = (i % 3) == 0 ? 1 : 0;
    m.rowId = i + 1;
    m.handleId = i + 1;
    std::snprintf(text, sizeof text, "2020-%02d-%02d %02d:%02d:%02d", 1 + i % 12, 1 + i % 28,
                  i % 24, i % 60, (i / 60) % 60);
    m.date = text;
    std::snprintf(text, sizeof text, "+44 7700 %06d", i % 1000000);
    m.phone = text;
    std::snprintf(text, sizeof text, "Contact %d", i);
    m.name = text;
    std::snprintf(text, sizeof text, "Message number %d, see you at the usual place?", i);
    m.text = text;
    const std::string id = "handle-" + std::to_string(m.handleId);
    m.conversation = id;
    Conversation& c = r.messages[id];
    if (c.messages.empty()) {
      c.id = id;
      c.handleId = m.handleId;
      c.title = m.name;
      c.members.push_back({m.phone, m.name, "SMS"});
    }
    c.messages.push_back(std::move(m));
  }
  r.cameraRoll.reserve(size_t(photos));
  for (int i = 0; i < photos; ++i) {
    MediaFileItem f;
    std::snprintf(text, sizeof text, "IMG_%06d.JPG", i);
    f.displayName = text;
    f.size = 1500000 + uint64_t(i % 1000) * 1000;
    f.path = std::string("/backup/") + text;
    r.cameraRoll.push_back(std::move(f));
  }
  return r;
}

// A window like the scan page's list area: header labels, the view.
struct ListWindow {
  QWidget window;
  QTreeView* view;
  QCheckBox* checkAll;
  std::vector<QLabel*> headers;
  QLabel* filterCount;
  ListWindow() {
    auto* box = new QVBoxLayout(&window);
    auto* header = new QHBoxLayout;
    checkAll = new QCheckBox(&window);
    header->addWidget(checkAll);
    for (int i = 0; i < 6; ++i) {
      headers.push_back(new QLabel(&window));
      header->addWidget(headers.back());
    }
    filterCount = new QLabel(&window);
    header->addWidget(filterCount);
    box->addLayout(header);
    view = new QTreeView(&window);
    box->addWidget(view, 1);
    window.resize(1000, 700);
  }
};

// Shows and paints the window once; the time until the view's contents are drawn.
void Paint(ListWindow& w) {
  if (!w.window.isVisible()) w.window.show();
  QApplication::processEvents();
  w.view->viewport()->repaint();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int messages = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int photos = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::printf("gui_list_bench: %d messages (one conversation each), %d photos\n", messages, photos);

  QElapsedTimer t;
  t.start();
  ScanResults results = Generate(messages, photos);
  Report("generate the scan results", Ms(t));

  CategoryRows rows;
  CStatisticsObj selection;
  t.restart();
  rows.conversations = ConversationRows(results.messages);
  Report("messages hook, worker thread: conversation rows, pre-sort", Ms(t));
  t.restart();
  selection.AddConversations(rows.conversations);
  selection.Recount();
  Report("messages hook, user-interface thread: selection", Ms(t));
  t.restart();
  selection.AddFiles(ScanCategory::kCameraRoll, results.cameraRoll);
  selection.Recount();
  Report("photos hook: selection", Ms(t));

  ListWindow w;
  CFileListCtrl list(w.view, w.checkAll, w.headers, w.filterCount, results, rows, selection);

  std::printf("Messages (%zu rows):\n", rows.conversations.size());
  t.restart();
  list.Fill(ScanCategory::kMessages);
  Paint(w);
  Report("fill the list and first paint", Ms(t));
  t.restart();
  w.view->scrollToBottom();
  w.view->viewport()->repaint();
  Report("scroll to the end and paint", Ms(t));
  t.restart();
  for (int page = 0; page < 100; ++page) {
    w.view->verticalScrollBar()->setValue(w.view->verticalScrollBar()->maximum() * page / 100);
    w.view->viewport()->repaint();
  }
  Report("100 jumps through the list, each painted (total)", Ms(t));
  t.restart();
  list.ApplyFilter(true);
  w.view->viewport()->repaint();
  Report("filter on (hide the rows that are not deleted) and paint", Ms(t));
  std::printf("    rows shown with the filter: %d, hidden: %u\n", list.model().rowCount(),
              selection.Category(ScanCategory::kMessages).hidden);
  t.restart();
  list.ApplyFilter(false);
  w.view->viewport()->repaint();
  Report("filter off and paint", Ms(t));
  t.restart();
  selection.SelectCategory(ScanCategory::kMessages, false);
  selection.Recount();
  list.RefreshChecks();
  w.view->viewport()->repaint();
  Report("uncheck the whole category and paint", Ms(t));

  std::printf("Camera Roll (%zu rows):\n", results.cameraRoll.size());
  t.restart();
  list.Fill(ScanCategory::kCameraRoll);
  w.view->viewport()->repaint();
  Report("fill the list and first paint", Ms(t));
  t.restart();
  w.view->scrollToBottom();
  w.view->viewport()->repaint();
  Report("scroll to the end and paint", Ms(t));
  w.window.hide();

  std::printf("Baseline: the same photos as QTreeWidget items:\n");
  {
    QTreeWidget items;
    items.setUniformRowHeights(true);
    items.setColumnCount(2);
    items.resize(1000, 700);
    t.restart();
    QList<QTreeWidgetItem*> made;
    made.reserve(qsizetype(results.cameraRoll.size()));
    for (const auto& f : results.cameraRoll) {
      auto* item = new QTreeWidgetItem({QString::fromStdString(f.displayName),
                                        QString::fromStdString(FormatSize(int64_t(f.size)))});
      item->setCheckState(0, Qt::Checked);
      made.push_back(item);
    }
    items.addTopLevelItems(made);
    items.show();
    QApplication::processEvents();
    items.viewport()->repaint();
    Report("fill the items and first paint", Ms(t));
    t.restart();
    items.scrollToBottom();
    items.viewport()->repaint();
    Report("scroll to the end and paint", Ms(t));
  }
  return 0;
}
