// Signal wiring from Qt's controls to the named notifications of the windows.
#include "ui/notify.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QListWidget>
#include <QRadioButton>
#include <QTreeWidget>

#include "ui/controls.h"

namespace halvern::ui {

namespace {

void Send(NotifyTarget* target, const char* type, QObject* control, qintptr w = 0, qintptr l = 0) {
  Notification n;
  n.type = QLatin1String(type);
  n.sender = control->objectName();
  n.control = control;
  n.wParam = w;
  n.lParam = l;
  target->Notify(n);
}

void BindButton(QAbstractButton* button, NotifyTarget* target) {
  if (button->isCheckable()) {
    QObject::connect(button, &QAbstractButton::toggled, button,
                     [button, target](bool) { Send(target, notify::kSelectChanged, button); });
  } else {
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [button, target] { Send(target, notify::kClick, button); });
  }
}

void BindTree(QTreeWidget* tree, NotifyTarget* target) {
  const bool fileTree = qobject_cast<FileTree*>(tree) != nullptr;
  QObject::connect(tree, &QTreeWidget::currentItemChanged, tree,
                   [tree, target](QTreeWidgetItem* current, QTreeWidgetItem*) {
                     if (current != nullptr) {
                       Send(target, notify::kItemSelect, tree, tree->indexOfTopLevelItem(current));
                     }
                   });
  QObject::connect(tree, &QTreeWidget::itemDoubleClicked, tree,
                   [tree, target](QTreeWidgetItem* item, int) {
                     Send(target, notify::kListItemDbClick, tree, tree->indexOfTopLevelItem(item));
                   });
  // itemChanged fires for any data change; only the check state column 0 is a check click.
  QObject::connect(tree, &QTreeWidget::itemChanged, tree,
                   [tree, target, fileTree](QTreeWidgetItem* item, int column) {
                     if (!(item->flags() & Qt::ItemIsUserCheckable)) return;
                     const QVariant previous = item->data(column, Qt::UserRole + 100);
                     const int state = item->checkState(column);
                     if (previous.isValid() && previous.toInt() == state) return;
                     const QSignalBlocker quiet(tree);
                     item->setData(column, Qt::UserRole + 100, state);
                     Send(target,
                          fileTree ? notify::kCheckBoxSelectChanged : notify::kListCheckClick, tree,
                          tree->indexOfTopLevelItem(item), column);
                   });
}

void BindList(QListWidget* list, NotifyTarget* target) {
  QObject::connect(list, &QListWidget::currentRowChanged, list, [list, target](int row) {
    if (row >= 0) Send(target, notify::kItemSelect, list, row);
  });
  QObject::connect(list, &QListWidget::itemDoubleClicked, list,
                   [list, target](QListWidgetItem* item) {
                     Send(target, notify::kListItemDbClick, list, list->row(item));
                   });
  QObject::connect(list, &QListWidget::itemChanged, list, [list, target](QListWidgetItem* item) {
    if (item->flags() & Qt::ItemIsUserCheckable) {
      Send(target, notify::kListCheckClick, list, list->row(item));
    }
  });
}

}  // namespace

void BindNotifications(QWidget* root, NotifyTarget* target) {
  const auto widgets = root->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_"))) continue;
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      BindButton(button, target);
    } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
      BindTree(tree, target);
    } else if (auto* list = qobject_cast<QListWidget*>(w)) {
      BindList(list, target);
    }
  }
}

void TimerSet::Set(QWidget* control, int id, int ms) {
  auto key = qMakePair(control, id);
  auto it = timers_.find(key);
  if (it == timers_.end()) {
    auto timer = std::make_shared<QTimer>();
    NotifyTarget* target = target_;
    QPointer<QWidget> guard(control);
    QObject::connect(timer.get(), &QTimer::timeout, control, [target, guard, id] {
      if (guard) Send(target, notify::kTimer, guard.data(), id);
    });
    it = timers_.insert(key, timer);
  }
  it.value()->start(ms);
}

void TimerSet::Kill(QWidget* control, int id) {
  auto it = timers_.find(qMakePair(control, id));
  if (it != timers_.end()) it.value()->stop();
}

void TimerSet::KillAll(QWidget* control) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it.key().first == control) it.value()->stop();
  }
}

bool TimerSet::IsActive(QWidget* control, int id) const {
  auto it = timers_.find(qMakePair(control, id));
  return it != timers_.end() && it.value()->isActive();
}

}  // namespace halvern::ui
