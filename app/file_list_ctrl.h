// The item list of the scan page (DataList): one model over the result containers of the
// shown category, so that even a million rows are never copied into widget items. The
// controller sets the columns of each category, the header labels, the check boxes (through
// the selection), the deleted marks and the deleted-items filter. A table category is shown
// from its description alone: one column per column of its table, values as shown texts,
// sorted by their stored values.
#pragma once

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan_sequence.h"
#include "selection/statistics.h"

namespace halvern::app {

// How many messages of a conversation (or chat) are deleted, of how many.
struct DeletedMarks {
  uint32_t deleted = 0;
  uint32_t total = 0;
  bool Whole() const { return total > 0 && deleted == total; }
};

// The marks of every conversation (chat) in the order of ConversationRows (ChatRows): one per
// conversation with messages, those holding a deleted message first.
std::vector<DeletedMarks> ConversationMarks(const MessageMap& messages);
std::vector<DeletedMarks> ChatMarks(const ChatMap& chats);

// The rows of the record categories in the order every view shows them (the pre-sorts done
// once when the category is complete). The file categories are shown from ScanResults.
struct CategoryRows {
  std::vector<MessageItem> conversations;  // one per conversation, deleted first
  std::vector<ChatMessageItem> chats;      // one per WhatsApp chat, deleted first
  // Beside each conversation (chat) row: how many of its messages are deleted. A row whose
  // conversation holds a deleted message is listed by the deleted-items filter; it is marked
  // deleted only when all its messages are.
  std::vector<DeletedMarks> conversationMarks;
  std::vector<DeletedMarks> chatMarks;
  std::vector<ContactItem> contacts;
  std::vector<CallItem> calls;
  std::vector<NoteItem> notes;
  void Clear() { *this = CategoryRows{}; }
};

// Whether a category carries deletion marks (and so has the filter bar).
bool HasDeletionMarks(ScanCategory category);
// Whether a file name is a video by its extension (the video list of the app maps).
bool IsVideoName(const std::string& name);

// The title of a table category's column in the current language: the section "TableColumns"
// by "<category key>.<column key>", else by the column key, else the column's own title.
QString TableColumnTitle(const TableCategory& category, const TableColumn& column);
// A value of a table as the list and the preview show it (a word such as "Yes" translated).
QString TableCellText(const Cell& cell, ColumnType type);

// The icons of the lists and the tree, drawn once.
struct ListIcons {
  static const QIcon& Picture();
  static const QIcon& Video();
  static const QIcon& Audio();
  static const QIcon& Document();
  // The icon of a file by its kind (MediaFileItem::kind), else by its name's extension.
  static const QIcon& ForFile(const std::string& kind, const std::string& name);
  static const QIcon& Folder();
  static const QIcon& Deleted();
};

inline constexpr QRgb kDeletedColour = 0xFFF37302;
inline constexpr int kListRowHeight = 30;

class ItemListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum class Level { kNone, kCategory, kAppFiles };

  struct Column {
    std::string title;
    int width;  // 0: the rest of the width
    bool centred;
    const TableColumn* table = nullptr;  // the column of a table category
  };

  // The role the list sorts by: numbers for sizes and for the dates, durations, numbers and
  // flags of a table, the shown text otherwise.
  static constexpr int kSortRole = Qt::UserRole + 7;

  ItemListModel(const ScanResults& results, const CategoryRows& rows,
                const CStatisticsObj& selection, QObject* parent = nullptr);

  // Shows a category (first level) or the files of one app; `deletedOnly` keeps only the
  // rows of deleted items.
  void ShowCategory(ScanCategory category, bool deletedOnly);
  // Keeps the list of a table category to the rows of one of its views (indexes into its
  // table), from the next ShowCategory of that category on; null shows every row again.
  void SetView(ScanCategory category, const std::vector<size_t>* rows);
  void ShowAppFiles(ScanCategory category, const std::string& app);
  void Clear();
  // Re-reads the check boxes of every row (after a selection change of many items).
  void RefreshChecks();
  // Re-reads every cell (after the items changed in place).
  void RefreshRows();

  Level level() const { return level_; }
  ScanCategory category() const { return category_; }
  const std::string& app() const { return app_; }
  // The selection key of the shown app's files (second level), else null.
  const void* AppGroupKey() const { return appFiles_; }
  const std::vector<Column>& columns() const { return columns_; }
  // Items of the shown list before the filter, and the key of item i (its address, or an
  // app's file vector).
  size_t ItemCount() const;
  const void* ItemKey(size_t i) const;
  // Whether the item is deleted or, for a conversation or chat, holds a deleted message (what
  // the deleted-items filter keeps).
  bool ItemDeleted(size_t i) const;
  // Whether the item is marked deleted: a conversation or chat only when all its messages are.
  bool ItemMarkedDeleted(size_t i) const;
  // The deleted messages of a conversation or chat row and its messages (zeros elsewhere).
  DeletedMarks MarksOf(size_t i) const;
  // The row that shows `item`, or -1 when the filter or the view hides it.
  int RowOfItem(size_t item) const;
  // The item shown in `row`.
  size_t ItemOfRow(int row) const { return filtered_ ? visible_[size_t(row)] : size_t(row); }
  // The app name of a first-level row of App Photos / App Videos.
  std::string AppOfRow(int row) const;
  QString Cell(size_t item, int column) const;

  // Called when the user changes a row's check box: (row, on).
  std::function<void(int, bool)> onCheck;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // The column titles in the current language.
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  // The sort key of a cell: the size in bytes for size columns, else the cell's text.
  QVariant SortKey(size_t item, int column) const;

 private:
  void SetColumns(std::vector<Column> columns);
  QIcon IconOf(size_t item) const;

  const ScanResults& results_;
  const CategoryRows& rows_;
  const CStatisticsObj& selection_;
  Level level_ = Level::kNone;
  ScanCategory category_ = ScanCategory::kCameraRoll;
  std::string app_;
  std::vector<Column> columns_;
  const std::vector<MediaFileItem>* files_ = nullptr;
  const std::vector<AppFileItem>* appFiles_ = nullptr;
  const CategoryTable* table_ = nullptr;
  const TableCategory* tableCategory_ = nullptr;
  std::vector<const AppFileMap::value_type*> apps_;
  bool filtered_ = false;
  std::vector<uint32_t> visible_;
  static constexpr size_t kEmptyView = ~size_t{0};
  ScanCategory viewCategory_ = ScanCategory::kCameraRoll;
  std::vector<size_t> viewRows_;  // the shown view's rows; empty: no view
};

// The list controller over DataList, its header (CheckAll, Col1..Col6) and LblFilterCount.
class CFileListCtrl {
 public:
  CFileListCtrl(QTreeView* view, QCheckBox* checkAll, std::vector<QLabel*> headers,
                QLabel* filterCount, const ScanResults& results, const CategoryRows& rows,
                CStatisticsObj& selection);

  // Fills the list for a category (its columns and rows; with the filter on, the rows of a
  // category with deletion marks are only its deleted items).
  // `viewRows`: only the rows of one view of a table category (categories/category.h).
  void Fill(ScanCategory category, const std::vector<size_t>* viewRows = nullptr);
  // Replaces the first level of App Photos / App Videos by the files of the app in `row`.
  bool OpenApp(int row);
  void Clear();
  // The filter ("D" on, "N" off, kept on the list): on hides the rows of items that are not
  // deleted and marks them hidden in the selection (their checks stay as the user left them;
  // the recovery takes the checked items shown); off shows every item again.
  void ApplyFilter(bool on);
  bool FilterOn() const;
  // The line beside the filter: how many deleted items the shown category has, of how many.
  QString FilterCountText() const;
  // After the category's selection changed as a whole.
  void RefreshChecks();

  ItemListModel& model() { return model_; }
  QTreeView* view() const { return view_; }
  // The model row (item order before sorting and searching) of an index of the view.
  int SourceRow(const QModelIndex& viewIndex) const;
  // Keeps only the rows with `text` in any cell (any case); empty shows every row.
  void Search(const QString& text);
  QString SearchText() const { return proxy_.filterRegularExpression().pattern(); }
  // Binds the search box (its text filters the shown list; a new category empties it).
  void BindSearch(QLineEdit* edit);
  // Makes the list's item `item` (an index before sorting and filters) the current row,
  // scrolled into view; false when the list does not show it.
  bool SelectItem(size_t item);
  // Checks or unchecks every selected row (Space with several rows selected).
  void CheckSelected(bool on);

  // Called after every check-box change of a row (the page recounts and redraws).
  std::function<void()> onSelectionChanged;

 private:
  void SetHeader();
  void HideUnlisted();
  void UpdateFilterCount();

  QTreeView* view_;
  QCheckBox* checkAll_;
  std::vector<QLabel*> headers_;
  QLabel* filterCount_;
  QLineEdit* search_ = nullptr;
  CStatisticsObj& selection_;
  ItemListModel model_;
  QSortFilterProxyModel proxy_;
};

}  // namespace halvern::app
