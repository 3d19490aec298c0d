// One running copy per user: a lock file in the runtime folder, and a local socket through
// which a second copy asks the first one to bring its window to the front.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace halvern::app {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `folder` holds "<key>.lock" and the socket "<key>.sock"; an empty folder means the
  // user's runtime folder ($XDG_RUNTIME_DIR, else a per-user folder under the temp folder).
  explicit SingleInstance(QString key = QStringLiteral("halvern"), QString folder = QString());
  ~SingleInstance() override;

  // True when this process is the first copy: it then holds the lock until it ends and
  // answers raise requests through `raise`, which returns whether a window was shown.
  bool Acquire(std::function<bool()> raise);
  // Asks the first copy to show its window. True when it answered that it did; false when
  // it could not be reached or has no window. Blocks for at most `timeoutMs`.
  bool AskFirstToRaise(int timeoutMs = 3000) const;

  QString LockPath() const;
  QString SocketPath() const;

 private:
  void Answer();

  QString key_;
  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
  std::function<bool()> raise_;
};

}  // namespace halvern::app
