// The search of every category from the scan page: a field above the category tree, and the
// hits in place of the item list, grouped by category, the matching words marked. Choosing a
// hit shows its item in the preview pane; a double click (or Enter) opens it in its own list.
//
// The search runs on a thread of its own over the finished scan's results (a new text ends
// the search before it and starts again), so that typing never waits for it.
#pragma once

#include <QAbstractItemModel>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "search/search.h"

namespace halvern::app {

// A hit's text around its first match, cut to about `room` characters (an ellipsis where it
// was cut), line breaks as spaces, as HTML with every match inside it in <b> (marked).
QString MarkedSnippet(const SearchHit& hit, int room = 120);

// The hits grouped by category: a row per category ("Messages (12)") holding its hits as
// rows (text, where, field, date).
class SearchHitsModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  // The marked HTML of the text column (MarkedSnippet).
  static constexpr int kMarkedRole = Qt::UserRole + 11;
  // The columns: the text (marked; the category rows there too), where the item is, the
  // field, the date.
  static constexpr int kTextColumn = 0;

  // `results` (may be null) name the columns of table categories in the field column.
  explicit SearchHitsModel(const ScanResults* results, QObject* parent = nullptr);
  // Takes hits grouped by category (as SearchScan gives them).
  void SetHits(std::vector<SearchHit> hits);
  const std::vector<SearchHit>& hits() const { return hits_; }
  size_t GroupCount() const { return groups_.size(); }
  // The hit of an index, or null for a category row.
  const SearchHit* HitOf(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  struct Group {
    ScanCategory category;
    size_t first, count;
  };
  static constexpr quintptr kGroupRow = ~quintptr{0};
  const ScanResults* results_;
  std::vector<SearchHit> hits_;
  std::vector<Group> groups_;
};

// Paints the marked HTML of the text column.
class MarkedTextDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

class CSearchPanel {
 public:
  // `results` are the scan's (read only while no scan runs). The field goes above `tree` (in
  // the tree's layout), the panel is made hidden; the page places it (panel()).
  CSearchPanel(QWidget* tree, const ScanResults& results);
  ~CSearchPanel();  // ends a running search first
  CSearchPanel(const CSearchPanel&) = delete;
  CSearchPanel& operator=(const CSearchPanel&) = delete;

  QLineEdit* field() const { return field_; }
  QWidget* panel() const { return panel_; }
  QTreeView* view() const { return view_; }
  SearchHitsModel& model() { return model_; }
  QLabel* status() const { return status_; }

  // Searches for the field's text now (Enter does this; typing does it after a pause).
  void Run();
  // Ends a running search and waits for it (before the results change: a new scan, a note
  // opened with its password).
  void Halt();
  // Empties the field and the hits (a new scan, Home); the field stays usable only once a
  // scan has finished (SetEnabled).
  void Reset();
  void SetEnabled(bool on);
  bool Running() const { return worker_.joinable() && !done_; }
  // The placeholder, the column titles and the status line in the current language.
  void ApplyTexts();

  // A search ended with hits to show (the page shows the panel in place of the list).
  std::function<void()> onShow;
  // The field was emptied: the page shows its list again.
  std::function<void()> onCleared;
  // A hit became the current row: show its item in the preview.
  std::function<void(const SearchHit&)> onPreview;
  // A hit was activated (double click, Enter): open its item in its own list.
  std::function<void(const SearchHit&)> onOpen;

 private:
  void Finished(uint64_t generation, std::vector<SearchHit> hits, QString text);
  void ShowStatus();

  const ScanResults& results_;
  QObject context_;
  QLineEdit* field_ = nullptr;
  QWidget* panel_ = nullptr;
  QLabel* status_ = nullptr;
  QTreeView* view_ = nullptr;
  SearchHitsModel model_;
  QTimer typing_;
  std::thread worker_;
  bool done_ = true;
  uint64_t generation_ = 0;
  QString searched_;  // the text of the hits shown
  bool searching_ = false;
};

}  // namespace halvern::app
