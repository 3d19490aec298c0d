// The category tree of the scan page (NodeTree): the groups, one row per category with its
// icon, its count and its check box (checked, unchecked or half-checked), enabled category by
// category as a scan completes them. The table categories (categories/list.cpp) join the
// group their description names, after that group's own rows, in the order of their list.
#pragma once

#include <QTreeWidget>
#include <atomic>
#include <functional>
#include <map>
#include <set>

#include "categories/category.h"
#include "engine/scan_sequence.h"
#include "selection/statistics.h"

namespace halvern::app {

// The name of a category row in the current language ("Camera Roll", ...; a table category
// by its key in the section "NodeTree", else its own title).
QString CategoryLabel(ScanCategory category);
// What a backup cannot hold, as the scan says it ("Call history is only in encrypted
// backups"), in the current language: the whole sentence (a row's tooltip) and the few words
// a row shows in brackets after the category's name (the sentence when the language file has
// no shorter form). Both come from the section "Notices", keyed by the scan's sentence.
QString NoticeSentence(const std::string& notice);
QString NoticeShort(const std::string& notice);
// The name of a view in the current language (a view the data names keeps its own name).
QString ViewLabel(const CategoryView& view);

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
  // Widens the tree to its longest row (counts and "not scanned" included), within limits.
  void FitWidth();
  // Rewrites every category row as "<name> (<count>)"; for a category marked not scanned
  // "<name> (<the not-scanned text>)"; for one with a notice and nothing found
  // "<name>", a line break and "(<the notice's short form>)", the whole notice as its tooltip.
  void RefreshCounts(const std::map<ScanCategory, size_t>& counts);
  // Marks the categories the scan never reached (cleared by ResetForScan).
  void SetNotScanned(const std::set<ScanCategory>& categories);
  // What the backup cannot hold for a category (the scan's sentence; cleared by ResetForScan).
  void SetNotice(ScanCategory category, const std::string& notice);
  // Selects `category` unless a row is selected already (which fills the list as a click).
  void SelectFirst(ScanCategory category);
  // Selects the row again (after it was selected: the list is filled again).
  void Reselect();
  void SetCheckState(ScanCategory category, CheckState state);
  // The views of a category (categories/category.h) as rows under its row, each "<name>
  // (<count>)" (a view the category always has by its key in the section "Views", one the
  // data names by its own name); an empty list removes them. ResetForScan removes them all.
  void SetViews(ScanCategory category, const std::vector<CategoryView>& views);
  // The view row of a category (index into its views), or null.
  QTreeWidgetItem* ViewRow(ScanCategory category, size_t view) const;
  // The index of the selected view, or -1 when a category row (or nothing) is selected.
  int SelectedView() const;

  QTreeWidgetItem* Row(ScanCategory category) const;
  // The "Timeline" row (in a group of its own above the categories): "Timeline (<entries>)", clickable when the
  // timeline has entries; ResetForScan empties it.
  void SetTimeline(size_t entries);
  QTreeWidgetItem* TimelineRow() const { return timeline_; }
  static QString TimelineLabel();
  // The selected category, or 0; -1 for the "Timeline" row.
  int32_t Selected() const;
  // Readable from any thread.
  bool HasSelectedNode() const { return hasSelected_.load(); }

  // A category row was picked by the user (or SelectFirst).
  std::function<void(ScanCategory)> onPick;
  // The "Timeline" row was picked.
  std::function<void()> onPickTimeline;
  // A view row was picked: the category and the view's index.
  std::function<void(ScanCategory, int)> onPickView;
  // The check box of a category row was changed by the user.
  std::function<void(ScanCategory, bool)> onCheck;

 private:
  QTreeWidget* tree_;
  std::map<ScanCategory, QTreeWidgetItem*> rows_;
  QTreeWidgetItem* timeline_ = nullptr;
  std::set<ScanCategory> notScanned_;
  std::map<ScanCategory, std::string> notices_;
  std::atomic<bool> hasSelected_{false};
  bool updating_ = false;
};

}  // namespace halvern::app
