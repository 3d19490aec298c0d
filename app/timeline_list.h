// The list of the tree's "Timeline" row: every dated item of the scan in one list by time
// (timeline/timeline.h), one row per entry with its time, category, what happened and its
// person and text, deleted items in the program's deleted colour. Choosing a row shows its
// item in the preview pane (the conversation of a message, the note, the row of a table
// category).
#pragma once

#include <QAbstractTableModel>
#include <QTreeView>
#include <functional>

#include "engine/scan_sequence.h"
#include "timeline/timeline.h"

namespace halvern::app {

class TimelineModel : public QAbstractTableModel {
 public:
  enum Column { kTime, kCategory, kWhat, kText, kColumns };
  // Builds the timeline of `results` (null: empty); the results must outlive the list's use.
  void Reset(const ScanResults* results);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  const Timeline& timeline() const { return timeline_; }
  // The item of a row (the address PreviewItem takes), or null.
  const void* ItemAt(int row) const;
  ScanCategory CategoryAt(int row) const;

 private:
  const ScanResults* results_ = nullptr;
  Timeline timeline_;
};

class CTimelineList {
 public:
  explicit CTimelineList(QTreeView* view);
  // Lists the timeline of `results`; its number of entries.
  size_t Fill(const ScanResults* results);
  QTreeView* view() const { return view_; }
  TimelineModel& model() { return model_; }
  // Hands the current row to onOpen again (the list is shown anew, its preview was cleared).
  void Reopen();
  // A row was chosen: its item's category and address.
  std::function<void(ScanCategory, const void*)> onOpen;

 private:
  QTreeView* view_;
  TimelineModel model_;
};

}  // namespace halvern::app
