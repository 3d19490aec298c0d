// The search of every category from the scan page (see search_panel.h).
#include "app/search_panel.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QTextDocument>
#include <atomic>

#include "app/file_list_ctrl.h"
#include "app/file_tree_ctrl.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A word of the section "Search" in the current language, else `fallback`.
QString Word(const std::string& key, const char* fallback) {
  const QString text = ui::Text(ui::Texts().Section("Search"), key);
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

// The name of the field a hit was found in: the program's own field names by their key, a
// table's column by its title in the current language.
QString FieldName(const SearchHit& hit, const ScanResults* results) {
  const TableCategory* category = TableCategoryOf(hit.category);
  const CategoryTable* table = results != nullptr ? results->Table(hit.category) : nullptr;
  if (category != nullptr && table != nullptr) {
    for (const TableColumn& column : table->columns) {
      if (column.title == hit.field) return TableColumnTitle(*category, column);
    }
  }
  return Word("field." + hit.field, hit.field.c_str());
}

// One search runs at a time; a new one (or the panel's end) asks it to stop through this.
std::atomic<bool> gStopSearch{false};
bool StopAsked() { return gStopSearch.load(); }

// The start of the UTF-8 character holding byte `at`.
size_t CharStart(const std::string& text, size_t at) {
  while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
    --at;
  }
  return std::min(at, text.size());
}

QString Escaped(const std::string& text, size_t from, size_t to) {
  QString part = Q(text.substr(from, to - from));
  part.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  return part.toHtmlEscaped();
}

}  // namespace

QString MarkedSnippet(const SearchHit& hit, int room) {
  const std::string& text = hit.text;
  const size_t firstMark = hit.marks.empty() ? 0 : hit.marks.front().first;
  // About a third of the room before the first match, the rest after it (bytes, roughly
  // characters for most texts).
  const size_t before = size_t(room) / 3;
  size_t from = CharStart(text, firstMark > before ? firstMark - before : 0);
  size_t to = CharStart(text, std::min(text.size(), from + size_t(room) * 2));
  if (to < text.size() && to <= firstMark) to = text.size();
  QString html;
  if (from > 0) html += QStringLiteral("…");
  size_t at = from;
  for (const TextRange& mark : hit.marks) {
    if (mark.second <= at) continue;
    if (mark.first >= to) break;
    const size_t first = std::max(mark.first, at);
    const size_t end = std::min(mark.second, to);
    html += Escaped(text, at, first);
    html += QStringLiteral("<b style=\"background-color:#ffe27a\">") + Escaped(text, first, end) +
            QStringLiteral("</b>");
    at = end;
  }
  html += Escaped(text, at, to);
  if (to < text.size()) html += QStringLiteral("…");
  return html;
}

// ----- The model --------------------------------------------------------------------------

SearchHitsModel::SearchHitsModel(const ScanResults* results, QObject* parent)
    : QAbstractItemModel(parent), results_(results) {}

void SearchHitsModel::SetHits(std::vector<SearchHit> hits) {
  beginResetModel();
  hits_ = std::move(hits);
  groups_.clear();
  for (size_t i = 0; i < hits_.size(); ++i) {
    if (groups_.empty() || groups_.back().category != hits_[i].category) {
      groups_.push_back({hits_[i].category, i, 0});
    }
    ++groups_.back().count;
  }
  endResetModel();
}

const SearchHit* SearchHitsModel::HitOf(const QModelIndex& index) const {
  if (!index.isValid() || index.internalId() == kGroupRow) return nullptr;
  const Group& g = groups_[size_t(index.internalId())];
  return &hits_[g.first + size_t(index.row())];
}

QModelIndex SearchHitsModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= 4) return {};
  if (!parent.isValid()) {
    return size_t(row) < groups_.size() ? createIndex(row, column, kGroupRow) : QModelIndex();
  }
  if (parent.internalId() != kGroupRow || size_t(parent.row()) >= groups_.size()) return {};
  const Group& g = groups_[size_t(parent.row())];
  return size_t(row) < g.count ? createIndex(row, column, quintptr(parent.row())) : QModelIndex();
}

QModelIndex SearchHitsModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == kGroupRow) return {};
  return createIndex(int(child.internalId()), 0, kGroupRow);
}

int SearchHitsModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return int(groups_.size());
  if (parent.internalId() != kGroupRow || parent.column() != 0) return 0;
  return int(groups_[size_t(parent.row())].count);
}

int SearchHitsModel::columnCount(const QModelIndex&) const { return 4; }

QVariant SearchHitsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (index.internalId() == kGroupRow) {
    const Group& g = groups_[size_t(index.row())];
    if (role == Qt::DisplayRole && index.column() == 0) {
      return CategoryLabel(g.category) + QStringLiteral(" (%1)").arg(g.count);
    }
    if (role == Qt::FontRole) {
      QFont bold = QApplication::font();
      bold.setBold(true);
      return bold;
    }
    return {};
  }
  const SearchHit* hit = HitOf(index);
  if (hit == nullptr) return {};
  if (role == Qt::ForegroundRole && hit->deleted != 0) return QColor::fromRgba(kDeletedColour);
  if (role == kMarkedRole && index.column() == kTextColumn) return MarkedSnippet(*hit);
  if (role == Qt::ToolTipRole && index.column() == kTextColumn) return Q(hit->text).left(2000);
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case 1:
      return Q(hit->where);
    case kTextColumn: {
      QTextDocument doc;
      doc.setHtml(MarkedSnippet(*hit));
      return doc.toPlainText();
    }
    case 2:
      return FieldName(*hit, results_);
    default:
      return Q(hit->date);
  }
}

QVariant SearchHitsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case 1:
      return Word("ColumnWhere", "Where");
    case kTextColumn:
      return Word("ColumnText", "Text");
    case 2:
      return Word("ColumnField", "Found in");
    default:
      return Word("ColumnDate", "Date");
  }
}

void MarkedTextDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  const QString html = index.data(SearchHitsModel::kMarkedRole).toString();
  if (html.isEmpty()) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  QStyleOptionViewItem item = option;
  initStyleOption(&item, index);
  item.text.clear();
  QStyle* style = item.widget != nullptr ? item.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);
  QTextDocument doc;
  doc.setDocumentMargin(0);
  doc.setDefaultFont(item.font);
  const QVariant colour = index.data(Qt::ForegroundRole);
  // The skin's selection is a light colour: the text keeps its own colour on it.
  const QColor text =
      colour.isValid() ? colour.value<QColor>() : item.palette.color(QPalette::Text);
  doc.setHtml(QStringLiteral("<span style=\"color:%1; white-space:pre\">%2</span>")
                  .arg(text.name(), html));
  const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &item, item.widget);
  painter->save();
  painter->setClipRect(area);
  painter->translate(area.left(), area.top() + (area.height() - doc.size().height()) / 2);
  doc.drawContents(painter);
  painter->restore();
}

// ----- The panel --------------------------------------------------------------------------

CSearchPanel::CSearchPanel(QWidget* tree, const ScanResults& results)
    : results_(results), model_(&results) {
  // The field above the tree: both in a column that takes the tree's place.
  QWidget* body = tree->parentWidget();
  auto* row = body != nullptr ? qobject_cast<QBoxLayout*>(body->layout()) : nullptr;
  auto* column = new QWidget(body);
  column->setObjectName(QStringLiteral("TreeSide"));
  auto* columnLayout = new QVBoxLayout(column);
  columnLayout->setContentsMargins(0, 0, 0, 0);
  columnLayout->setSpacing(0);
  field_ = new QLineEdit(column);
  field_->setObjectName(QStringLiteral("EditSearchAll"));
  field_->setClearButtonEnabled(true);
  field_->setMinimumHeight(30);
  columnLayout->setContentsMargins(0, 0, 0, 0);
  auto* fieldRow = new QHBoxLayout;
  fieldRow->setContentsMargins(8, 8, 8, 6);
  fieldRow->addWidget(field_);
  columnLayout->addLayout(fieldRow);
  if (row != nullptr) {
    const int at = row->indexOf(tree);
    row->insertWidget(at < 0 ? 0 : at, column);
    row->removeWidget(tree);
  }
  tree->setParent(column);
  columnLayout->addWidget(tree, 1);
  column->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);

  panel_ = new QWidget(body);
  panel_->setObjectName(QStringLiteral("SearchResults"));
  auto* panelLayout = new QVBoxLayout(panel_);
  panelLayout->setContentsMargins(12, 8, 12, 0);
  panelLayout->setSpacing(6);
  status_ = new QLabel(panel_);
  status_->setObjectName(QStringLiteral("LblSearchStatus"));
  status_->setWordWrap(true);
  panelLayout->addWidget(status_);
  view_ = new QTreeView(panel_);
  view_->setObjectName(QStringLiteral("SearchHits"));
  view_->setModel(&model_);
  view_->setItemDelegateForColumn(SearchHitsModel::kTextColumn, new MarkedTextDelegate(view_));
  view_->setUniformRowHeights(true);
  view_->setAllColumnsShowFocus(true);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->header()->setStretchLastSection(false);
  panelLayout->addWidget(view_, 1);
  panel_->hide();

  typing_.setSingleShot(true);
  typing_.setInterval(350);
  QObject::connect(&typing_, &QTimer::timeout, &context_, [this] { Run(); });
  // An emptied field ends the search and gives the list side back.
  const auto cleared = [this] {
    typing_.stop();
    Halt();
    model_.SetHits({});
    searched_.clear();
    panel_->hide();
    if (onCleared) onCleared();
  };
  QObject::connect(field_, &QLineEdit::textEdited, &context_, [this, cleared](const QString& t) {
    if (t.trimmed().isEmpty()) {
      cleared();
    } else {
      typing_.start();
    }
  });
  QObject::connect(field_, &QLineEdit::returnPressed, &context_, [this] {
    typing_.stop();
    Run();
  });
  // The clear button empties the field without an edit.
  QObject::connect(field_, &QLineEdit::textChanged, &context_, [this, cleared](const QString& t) {
    if (t.isEmpty() && (panel_->isVisible() || Running())) cleared();
  });
  QObject::connect(view_->selectionModel(), &QItemSelectionModel::currentRowChanged, &context_,
                   [this](const QModelIndex& current) {
                     if (const SearchHit* hit = model_.HitOf(current); hit && onPreview) {
                       onPreview(*hit);
                     }
                   });
  QObject::connect(view_, &QTreeView::activated, &context_, [this](const QModelIndex& index) {
    if (const SearchHit* hit = model_.HitOf(index); hit && onOpen) {
      const SearchHit copy = *hit;  // opening the list may change the hits shown
      onOpen(copy);
    }
  });
  SetEnabled(false);
  ApplyTexts();
}

CSearchPanel::~CSearchPanel() { Halt(); }

void CSearchPanel::Halt() {
  if (worker_.joinable()) {
    gStopSearch = true;
    worker_.join();
    gStopSearch = false;
  }
  done_ = true;
  if (searching_) {
    searching_ = false;
    ++generation_;  // a result still queued is not shown
  }
}

void CSearchPanel::Run() {
  const QString text = field_->text();
  if (text.trimmed().isEmpty() || !field_->isEnabled()) return;
  Halt();
  const uint64_t generation = ++generation_;
  searching_ = true;
  done_ = false;
  status_->setText(Word("Searching", "Searching…"));
  panel_->show();
  if (onShow) onShow();
  worker_ = std::thread([this, generation, text] {
    const TextMatcher matcher(text.toStdString());
    std::vector<SearchHit> hits = SearchScan(results_, matcher, ItemFilter{}, &StopAsked);
    if (StopAsked()) return;
    QMetaObject::invokeMethod(
        &context_,
        [this, generation, text, found = std::move(hits)]() mutable {
          Finished(generation, std::move(found), text);
        },
        Qt::QueuedConnection);
  });
}

void CSearchPanel::Finished(uint64_t generation, std::vector<SearchHit> hits, QString text) {
  if (generation != generation_) return;
  if (worker_.joinable()) worker_.join();
  done_ = true;
  searching_ = false;
  searched_ = text;
  model_.SetHits(std::move(hits));
  view_->expandAll();
  // The other columns as wide as their contents, within limits; the text takes the room
  // they leave, and never less than a readable width (the list then scrolls sideways).
  int others = 0;
  for (const auto& [column, most] : {std::pair{1, 160}, std::pair{2, 110}, std::pair{3, 150}}) {
    view_->resizeColumnToContents(column);
    view_->setColumnWidth(column, std::min(view_->columnWidth(column), most));
    others += view_->columnWidth(column);
  }
  view_->setColumnWidth(SearchHitsModel::kTextColumn,
                        std::max(260, view_->viewport()->width() - others));
  ShowStatus();
  panel_->show();
  if (onShow) onShow();
}

void CSearchPanel::ShowStatus() {
  if (searching_) {
    status_->setText(Word("Searching", "Searching…"));
    return;
  }
  if (searched_.isEmpty()) {
    status_->clear();
    return;
  }
  const size_t n = model_.hits().size();
  if (n == 0) {
    status_->setText(Word("None", "No item holds \"%1\".").arg(searched_));
    return;
  }
  // One pass over the format: a "%2" in the text searched for stays as it is.
  status_->setText(n == 1 ? Word("FoundOne", "1 item holds \"%1\".").arg(searched_)
                          : Word("Found", "%2 items hold \"%1\".")
                                .arg(searched_, QString::number(n)));
}

void CSearchPanel::Reset() {
  typing_.stop();
  Halt();
  model_.SetHits({});
  searched_.clear();
  field_->clear();
  panel_->hide();
  status_->clear();
}

void CSearchPanel::SetEnabled(bool on) { field_->setEnabled(on); }

void CSearchPanel::ApplyTexts() {
  field_->setPlaceholderText(Word("Placeholder", "Search everything"));
  field_->setToolTip(Word("Tip", "Finds text in every category, without regard to case or "
                                 "accents"));
  ShowStatus();
  model_.headerDataChanged(Qt::Horizontal, 0, 3);
}

}  // namespace halvern::app
