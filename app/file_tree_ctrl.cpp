// The category tree.
#include "app/file_tree_ctrl.h"

#include <QPainter>
#include <algorithm>
#include <iterator>

#include "categories/category.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {

constexpr int kCategoryRole = Qt::UserRole + 1;
constexpr int kViewRole = Qt::UserRole + 2;  // a view row: its index + 1
constexpr int kTimelineCode = -1;             // the category role of the "Timeline" row

// A round badge in the category's colour with its initial.
QIcon Badge(QColor colour, QChar letter) {
  QPixmap pixmap(18, 18);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawRoundedRect(QRectF(0.5, 0.5, 17, 17), 4, 4);
  QFont font = p.font();
  font.setPixelSize(11);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, 0, 18, 18), Qt::AlignCenter, QString(letter));
  return QIcon(pixmap);
}

struct RowDef {
  int32_t code;  // 0: a hidden row without data
  const char* text;
  QRgb colour;
};

// The badge colours of the table categories, taken in the order of their list.
constexpr QRgb kTableColours[] = {0xFFE8505B, 0xFFF59E0B, 0xFF0EA5E9, 0xFF8B5CF6,
                                  0xFF10B981, 0xFFEC4899, 0xFF64748B, 0xFF84CC16};

// A text of the tree's own section, or `fallback` when the language file lacks it.
QString TreeText(const std::string& key, const QString& fallback) {
  const QString text = ui::Text(ui::Texts().Section("NodeTree"), key);
  return text.isEmpty() ? fallback : text;
}

QString NoticeText(const std::string& key, const QString& fallback) {
  const QString text = ui::Text(ui::Texts().Section("Notices"), key);
  return text.isEmpty() ? fallback : text;
}

}  // namespace

QString CategoryLabel(ScanCategory category) {
  if (const TableCategory* table = TableCategoryOf(category)) {
    return TreeText(table->key, QString::fromUtf8(table->title));
  }
  return TreeText("Category" + std::to_string(int(category)),
                  QString::fromUtf8(CategoryName(category)));
}

QString NoticeSentence(const std::string& notice) {
  return NoticeText(notice, QString::fromStdString(notice));
}

QString NoticeShort(const std::string& notice) {
  return NoticeText(notice + ".short", NoticeSentence(notice));
}

QString ViewLabel(const CategoryView& view) {
  const QString own = QString::fromStdString(view.title);
  if (view.key.empty()) return own;
  const QString text = ui::Text(ui::Texts().Section("Views"), view.key);
  return text.isEmpty() ? own : text;
}

CFileTreeCtrl::CFileTreeCtrl(QTreeWidget* tree) : tree_(tree) {}

void CFileTreeCtrl::Build() {
  tree_->clear();
  rows_.clear();
  tree_->setRootIsDecorated(false);
  tree_->setIconSize(QSize(18, 18));
  tree_->setStyleSheet(QStringLiteral(
      "QTreeWidget::item { border-bottom: none; padding: 3px 0; }"
      "QTreeWidget::indicator:indeterminate { image: none; border: 1px solid #F37302;"
      " background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #FFFFFF, stop:0.42 #FFFFFF,"
      " stop:0.43 #F37302, stop:0.57 #F37302, stop:0.58 #FFFFFF); width: 12px; height: 12px;"
      " border-radius: 2px; }"));
  const struct {
    const char* group;
    bool shown;
    std::vector<RowDef> rows;
  } groups[] = {
      {"Photos & Videos",
       true,
       {{1, "Camera Roll (0)", 0xFF3A8DDE},
        {2, "Photo Stream (0)", 0xFF2BB3A3},
        {3, "App Photos (0)", 0xFF5B7BE0},
        {4, "App Videos (0)", 0xFF7B4FD6}}},
      {"Messages & Call logs",
       true,
       {{5, "Messages (0)", 0xFF34C759},
        {6, "Messages Attachments (0)", 0xFF30A46C},
        {7, "Contacts (0)", 0xFF8E8E93},
        {8, "Call History (0)", 0xFF1F9D55},
        {9, "Notes (0)", 0xFFE0A800},
        {10, "WhatsApp (0)", 0xFF25D366},
        {11, "WhatsApp Attachments (0)", 0xFF128C7E}}},
      {"Memos & Others",
       false,
       {{0, "Reminders (0)", 0},
        {0, "Calendar (0)", 0},
        {0, "Safari Bookmark (0)", 0},
        {0, "App Document (0)", 0}}},
  };
  updating_ = true;
  const auto addRow = [this](QTreeWidgetItem* group, ScanCategory code, QRgb colour,
                             QChar initial) {
    auto* row = new QTreeWidgetItem(group, {CategoryLabel(code) + QStringLiteral(" (0)")});
    row->setIcon(0, Badge(QColor::fromRgba(colour), initial));
    row->setData(0, kCategoryRole, int(code));
    rows_[code] = row;
  };
  const auto& tables = TableCategories();
  for (const auto& g : groups) {
    const int groupIndex = int(&g - &groups[0]) + 1;
    auto* group = new QTreeWidgetItem(
        tree_, {TreeText("Group" + std::to_string(groupIndex), QString::fromUtf8(g.group))});
    QFont bold = group->font(0);
    bold.setBold(true);
    group->setFont(0, bold);
    group->setFlags(Qt::ItemIsEnabled);
    bool shown = g.shown;
    for (const RowDef& r : g.rows) {
      if (r.code == 0) {
        auto* row = new QTreeWidgetItem(group, {QString::fromUtf8(r.text)});
        row->setHidden(true);
        row->setFlags(Qt::NoItemFlags);
        continue;
      }
      addRow(group, ScanCategory(r.code), r.colour, QString::fromUtf8(r.text)[0]);
    }
    // The table categories of this group, after its own rows.
    for (size_t i = 0; i < tables.size(); ++i) {
      if (int(tables[i]->group) != groupIndex) continue;
      addRow(group, TableCategoryCode(i), kTableColours[i % std::size(kTableColours)],
             QString::fromUtf8(tables[i]->title)[0]);
      shown = true;
    }
    group->setHidden(!shown);
    group->setExpanded(true);
  }
  // Every dated item of every category in one list: a group of its own above the categories.
  auto* everything = new QTreeWidgetItem({TreeText("Group0", QStringLiteral("All categories"))});
  QFont bold = everything->font(0);
  bold.setBold(true);
  everything->setFont(0, bold);
  everything->setFlags(Qt::ItemIsEnabled);
  tree_->insertTopLevelItem(0, everything);
  timeline_ = new QTreeWidgetItem(everything, {TimelineLabel() + QStringLiteral(" (0)")});
  timeline_->setIcon(0, Badge(QColor::fromRgba(0xFF5E6AD2), QLatin1Char('T')));
  timeline_->setData(0, kCategoryRole, kTimelineCode);
  tree_->expandAll();
  updating_ = false;
  FitWidth();

  QObject::connect(tree_, &QTreeWidget::currentItemChanged, tree_,
                   [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
                     hasSelected_ = current != nullptr && current->data(0, kCategoryRole).toInt();
                     if (updating_ || current == nullptr) return;
                     const int code = current->data(0, kCategoryRole).toInt();
                     const int view = current->data(0, kViewRole).toInt();
                     if (code == kTimelineCode) {
                       if (onPickTimeline) onPickTimeline();
                     } else if (code > 0 && view > 0 && onPickView) {
                       onPickView(ScanCategory(code), view - 1);
                     } else if (code > 0 && view == 0 && onPick) {
                       onPick(ScanCategory(code));
                     }
                   });
  QObject::connect(tree_, &QTreeWidget::itemChanged, tree_, [this](QTreeWidgetItem* item, int) {
    if (updating_) return;
    const int code = item->data(0, kCategoryRole).toInt();
    if (code <= 0 || !(item->flags() & Qt::ItemIsUserCheckable)) return;
    const bool on = item->checkState(0) != Qt::Unchecked;
    if (onCheck) onCheck(ScanCategory(code), on);
  });
  ResetForScan();
}

void CFileTreeCtrl::ResetForScan() {
  updating_ = true;
  tree_->setCurrentItem(nullptr);
  tree_->clearSelection();
  hasSelected_ = false;
  notScanned_.clear();
  notices_.clear();
  for (auto& [category, row] : rows_) {
    qDeleteAll(row->takeChildren());
    row->setText(0, CategoryLabel(category) + QStringLiteral(" (0)"));
    row->setToolTip(0, QString());
    row->setFlags(Qt::NoItemFlags);
    row->setCheckState(0, Qt::Unchecked);
  }
  if (timeline_ != nullptr) {
    timeline_->setText(0, TimelineLabel() + QStringLiteral(" (0)"));
    timeline_->setFlags(Qt::NoItemFlags);
  }
  updating_ = false;
}

QString CFileTreeCtrl::TimelineLabel() { return TreeText("Timeline", QStringLiteral("Timeline")); }

void CFileTreeCtrl::SetTimeline(size_t entries) {
  if (timeline_ == nullptr) return;
  updating_ = true;
  timeline_->setText(0, TimelineLabel() + QStringLiteral(" (%1)").arg(entries));
  timeline_->setFlags(entries > 0 ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags);
  updating_ = false;
}

void CFileTreeCtrl::Enable(ScanCategory category) {
  QTreeWidgetItem* row = Row(category);
  if (row == nullptr) return;
  updating_ = true;
  row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  row->setCheckState(0, Qt::Checked);
  updating_ = false;
}

bool CFileTreeCtrl::IsEnabled(ScanCategory category) const {
  QTreeWidgetItem* row = Row(category);
  return row != nullptr && (row->flags() & Qt::ItemIsEnabled);
}

void CFileTreeCtrl::RefreshCounts(const std::map<ScanCategory, size_t>& counts) {
  updating_ = true;
  for (auto& [category, row] : rows_) {
    const QString name = CategoryLabel(category);
    if (notScanned_.count(category) != 0) {
      row->setText(0, QStringLiteral("%1 (%2)").arg(name, TreeText("NotScanned",
                                                                   QStringLiteral("not scanned"))));
      row->setToolTip(0, TreeText("NotScannedTip",
                                  QStringLiteral("The scan ended before this category was read.")));
      continue;
    }
    auto it = counts.find(category);
    const size_t n = it == counts.end() ? 0 : it->second;
    const auto notice = notices_.find(category);
    if (notice != notices_.end() && n == 0) {
      // Nothing found because the backup cannot hold it: said instead of a bare 0, on a line
      // of its own so that the narrow tree shows it whole.
      row->setText(0, QStringLiteral("%1\n(%2)").arg(name, NoticeShort(notice->second)));
    } else {
      row->setText(0, QStringLiteral("%1 (%2)").arg(name).arg(n));
    }
    row->setToolTip(0, notice != notices_.end() ? NoticeSentence(notice->second) : QString());
  }
  updating_ = false;
  FitWidth();
}

void CFileTreeCtrl::FitWidth() {
  constexpr int kNarrowest = 210;
  constexpr int kWidest = 340;
  constexpr int kCheckAndBadge = 52;  // check box, badge and their gaps before a row's text
  constexpr int kFrame = 24;          // the frame, the margins and a vertical scroll bar
  // A row of two lines (a notice under the name) is as wide as its longer line.
  const auto advance = [](const QFontMetrics& metrics, const QString& text) {
    int most = 0;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
      most = std::max(most, metrics.horizontalAdvance(line));
    }
    return most;
  };
  int widest = 0;
  for (const auto& [category, row] : rows_) {
    if (row->isHidden()) continue;
    const QFontMetrics metrics(row->font(0));
    widest = std::max(widest, advance(metrics, row->text(0)));
    for (int i = 0; i < row->childCount(); ++i) {
      widest = std::max(widest, advance(metrics, row->child(i)->text(0)) + tree_->indentation());
    }
  }
  const int width =
      std::clamp(widest + tree_->indentation() + kCheckAndBadge + kFrame, kNarrowest, kWidest);
  tree_->setMinimumWidth(width);
  tree_->setMaximumWidth(width);
}

void CFileTreeCtrl::SetNotScanned(const std::set<ScanCategory>& categories) {
  notScanned_ = categories;
}

void CFileTreeCtrl::SetNotice(ScanCategory category, const std::string& notice) {
  if (notice.empty()) {
    notices_.erase(category);
  } else {
    notices_[category] = notice;
  }
}

void CFileTreeCtrl::SelectFirst(ScanCategory category) {
  if (tree_->currentItem() != nullptr) return;
  QTreeWidgetItem* row = Row(category);
  if (row == nullptr || !(row->flags() & Qt::ItemIsEnabled)) return;
  tree_->setCurrentItem(row);
}

void CFileTreeCtrl::Reselect() {
  QTreeWidgetItem* current = tree_->currentItem();
  if (current == nullptr) return;
  const int code = current->data(0, kCategoryRole).toInt();
  const int view = current->data(0, kViewRole).toInt();
  if (code == kTimelineCode) {
    if (onPickTimeline) onPickTimeline();
  } else if (code > 0 && view > 0 && onPickView) {
    onPickView(ScanCategory(code), view - 1);
  } else if (code > 0 && view == 0 && onPick) {
    onPick(ScanCategory(code));
  }
}

void CFileTreeCtrl::SetViews(ScanCategory category, const std::vector<CategoryView>& views) {
  QTreeWidgetItem* row = Row(category);
  if (row == nullptr) return;
  updating_ = true;
  if (tree_->currentItem() != nullptr && tree_->currentItem()->parent() == row)
    tree_->setCurrentItem(row);
  qDeleteAll(row->takeChildren());
  for (size_t i = 0; i < views.size(); ++i) {
    auto* child = new QTreeWidgetItem(
        row, {QStringLiteral("%1 (%2)").arg(ViewLabel(views[i])).arg(views[i].rows.size())});
    child->setData(0, kCategoryRole, int(category));
    child->setData(0, kViewRole, int(i) + 1);
    child->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (!views[i].key.empty() && views[i].rows.empty()) child->setForeground(0, QColor(0x99, 0x99, 0x99));
  }
  row->setExpanded(true);
  updating_ = false;
  FitWidth();
}

QTreeWidgetItem* CFileTreeCtrl::ViewRow(ScanCategory category, size_t view) const {
  QTreeWidgetItem* row = Row(category);
  if (row == nullptr || view >= size_t(row->childCount())) return nullptr;
  return row->child(int(view));
}

int CFileTreeCtrl::SelectedView() const {
  QTreeWidgetItem* current = tree_->currentItem();
  return current == nullptr ? -1 : current->data(0, kViewRole).toInt() - 1;
}

void CFileTreeCtrl::SetCheckState(ScanCategory category, CheckState state) {
  QTreeWidgetItem* row = Row(category);
  if (row == nullptr || !(row->flags() & Qt::ItemIsUserCheckable)) return;
  updating_ = true;
  row->setCheckState(0, state == CheckState::kChecked ? Qt::Checked
                        : state == CheckState::kHalf  ? Qt::PartiallyChecked
                                                      : Qt::Unchecked);
  updating_ = false;
}

QTreeWidgetItem* CFileTreeCtrl::Row(ScanCategory category) const {
  auto it = rows_.find(category);
  return it == rows_.end() ? nullptr : it->second;
}

int32_t CFileTreeCtrl::Selected() const {
  QTreeWidgetItem* current = tree_->currentItem();
  return current == nullptr ? 0 : current->data(0, kCategoryRole).toInt();
}

}  // namespace halvern::app
