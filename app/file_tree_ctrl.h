// The category tree of the scan page (NodeTree): the groups, one row per category with its
// icon, its count and its check box (checked, unchecked or half-checked), enabled category by
// category as a scan completes them.
#pragma once

#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <map>
#include <set>

#include "engine/scan_sequence.h"
#include "selection/statistics.h"

namespace halvern::app {

// The name of a category row in the current language ("Camera Roll", ...).
QString CategoryLabel(ScanCategory category);

class CFileTreeCtrl {
 public:
  explicit CFileTreeCtrl(QTreeWidget* tree);

  // Builds the groups and rows (once).
  void Build();
  // Every category row "Name (0)", unclickable, unchecked and with its check box disabled;
  // no row selected.
  void ResetForScan();
  // The category received data: its row becomes clickable, its check box enabled and checked.
  void Enable(ScanCategory category);
  bool IsEnabled(ScanCategory category) const;
  // Rewrites every category row as "<text up to the first '('>(<count>)", or, for a category
  // marked not scanned, "<text> (<the not-scanned text>)".
  // Widens the tree to its longest row (counts and "not scanned" included), within limits.
  void FitWidth();
  void RefreshCounts(const std::map<ScanCategory, size_t>& counts);
  // Marks the categories the scan never reached (cleared by ResetForScan).
  void SetNotScanned(const std::set<ScanCategory>& categories);
  // Selects `category` unless a row is selected already (which fills the list as a click).
  void SelectFirst(ScanCategory category);
  // Selects the row again (after it was selected: the list is filled again).
  void Reselect();
  void SetCheckState(ScanCategory category, CheckState state);

  QTreeWidgetItem* Row(ScanCategory category) const;
  // The selected category, or 0.
  int32_t Selected() const;
  // Readable from any thread.
  bool HasSelectedNode() const { return hasSelected_.load(); }

  // A category row was picked by the user (or SelectFirst).
  std::function<void(ScanCategory)> onPick;
  // The check box of a category row was changed by the user.
  std::function<void(ScanCategory, bool)> onCheck;

 private:
  QTreeWidget* tree_;
  std::map<ScanCategory, QTreeWidgetItem*> rows_;
  std::set<ScanCategory> notScanned_;
  std::atomic<bool> hasSelected_{false};
  bool updating_ = false;
};

}  // namespace halvern::app
