#include "app/timeline_list.h"

#include <algorithm>
#include <QColor>
#include <QHeaderView>
#include <QItemSelectionModel>

#include "app/file_list_ctrl.h"
#include "app/file_tree_ctrl.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A word of the timeline ("Time", "Missed call", ...) in the current language.
QString TimelineWord(const char* english) {
  const QString text = ui::Text(ui::Texts().Section("Timeline"), english);
  return text.isEmpty() ? QString::fromUtf8(english) : text;
}

}  // namespace

void TimelineModel::Reset(const ScanResults* results) {
  beginResetModel();
  results_ = results;
  timeline_ = results != nullptr ? BuildTimeline(*results) : Timeline{};
  endResetModel();
}

int TimelineModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(timeline_.entries.size());
}

int TimelineModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

const void* TimelineModel::ItemAt(int row) const {
  if (results_ == nullptr || row < 0 || size_t(row) >= timeline_.entries.size()) return nullptr;
  return TimelineItem(*results_, timeline_, timeline_.entries[size_t(row)]);
}

ScanCategory TimelineModel::CategoryAt(int row) const {
  if (row < 0 || size_t(row) >= timeline_.entries.size()) return {};
  return timeline_.entries[size_t(row)].category;
}

QVariant TimelineModel::data(const QModelIndex& index, int role) const {
  if (results_ == nullptr || !index.isValid() || size_t(index.row()) >= timeline_.entries.size())
    return {};
  const TimelineEntry& e = timeline_.entries[size_t(index.row())];
  if (role == Qt::ForegroundRole) {
    return e.deleted ? QVariant(QColor::fromRgba(kDeletedColour)) : QVariant();
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  switch (index.column()) {
    case kTime: return Q(TimelineTime(*results_, timeline_, e));
    case kCategory: return CategoryLabel(e.category);
    case kWhat: return TimelineWord(TimelineWhatName(e.what));
    case kText: {
      const std::string who = TimelineWho(*results_, timeline_, e);
      const std::string text =
          TimelineText(*results_, timeline_, e, role == Qt::ToolTipRole ? 2000 : 200);
      // One line in the list: a text's line breaks shown as spaces.
      QString shown = Q(who.empty() || text.empty() ? who + text : who + ": " + text);
      if (role == Qt::DisplayRole) shown.replace(QLatin1Char('\n'), QLatin1Char(' '));
      return shown;
    }
    default: return {};
  }
}

QVariant TimelineModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kTime: return TimelineWord("Time");
    case kCategory: return TimelineWord("Category");
    case kWhat: return TimelineWord("What");
    case kText: return TimelineWord("Text");
    default: return {};
  }
}

CTimelineList::CTimelineList(QTreeView* view) : view_(view) {
  view_->setModel(&model_);
  view_->setRootIsDecorated(false);
  view_->setUniformRowHeights(true);  // a million rows scroll without measuring each
  view_->setAlternatingRowColors(true);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->header()->setStretchLastSection(true);
  QObject::connect(view_->selectionModel(), &QItemSelectionModel::currentRowChanged, view_,
                   [this](const QModelIndex& current) {
                     if (!current.isValid() || !onOpen) return;
                     const void* item = model_.ItemAt(current.row());
                     if (item != nullptr) onOpen(model_.CategoryAt(current.row()), item);
                   });
}

void CTimelineList::Reopen() {
  const QModelIndex current = view_->currentIndex();
  if (!current.isValid() || !onOpen) return;
  if (const void* item = model_.ItemAt(current.row()); item != nullptr)
    onOpen(model_.CategoryAt(current.row()), item);
}

size_t CTimelineList::Fill(const ScanResults* results) {
  model_.Reset(results);
  for (int c = 0; c < TimelineModel::kText; ++c) view_->resizeColumnToContents(c);
  // The view measures only the rows it has laid out: the time is always read whole.
  const int time = view_->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00"));
  view_->setColumnWidth(0, std::max(view_->columnWidth(0), time + 2 * view_->indentation()));
  return model_.timeline().entries.size();
}

}  // namespace halvern::app
