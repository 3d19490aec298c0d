// Notifications of the controls, delivered to the window that owns them by name ("click",
// "selectchanged", ...), and the per-control timers that raise "timer".
#pragma once

#include <QHash>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace halvern::ui {

namespace notify {
inline constexpr char kWindowInit[] = "windowinit";
inline constexpr char kClick[] = "click";
inline constexpr char kSelectChanged[] = "selectchanged";
inline constexpr char kItemSelect[] = "itemselect";
inline constexpr char kTimer[] = "timer";
inline constexpr char kListItemDbClick[] = "list_item_dbclick";
inline constexpr char kCheckBoxSelectChanged[] = "checkboxselectchanged";
inline constexpr char kListCheckClick[] = "list_check_click";
}  // namespace notify

struct Notification {
  QString type;    // one of the names above
  QString sender;  // object name of the control ("" for the window itself)
  QObject* control = nullptr;
  qintptr wParam = 0;  // timer id; the item's row for list notifications
  qintptr lParam = 0;  // the item's column for list check notifications
  bool Is(const char* kind, const char* name) const {
    return type == QLatin1String(kind) && sender == QLatin1String(name);
  }
};

class NotifyTarget {
 public:
  virtual ~NotifyTarget() = default;
  virtual void Notify(const Notification& n) = 0;
};

// Connects every named control below `root` to `target`:
//   buttons: "click"; options, check boxes and checkable buttons: "selectchanged";
//   lists and trees: "itemselect" on a new current item, "list_item_dbclick" on a double click;
//   a check box of a "FileTree" item: "checkboxselectchanged"; of any other list:
//   "list_check_click".
// Controls whose objectName is empty stay silent.
void BindNotifications(QWidget* root, NotifyTarget* target);

// Timers keyed by control and id, each raising "timer" with wParam = id on its control.
class TimerSet {
 public:
  explicit TimerSet(NotifyTarget* target) : target_(target) {}
  // Starts (or restarts) the timer `id` of `control` with the period `ms`.
  void Set(QWidget* control, int id, int ms);
  void Kill(QWidget* control, int id);
  void KillAll(QWidget* control);
  bool IsActive(QWidget* control, int id) const;

 private:
  NotifyTarget* target_;
  QHash<QPair<QWidget*, int>, std::shared_ptr<QTimer>> timers_;
};

}  // namespace halvern::ui
