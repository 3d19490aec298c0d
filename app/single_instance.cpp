// Single-instance lock and the raise request between two copies of the program.
#include "app/single_instance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

namespace halvern::app {

namespace {
constexpr char kRaise[] = "raise\n";
constexpr char kShown[] = "shown\n";
constexpr char kNoWindow[] = "nowindow\n";
}  // namespace

SingleInstance::SingleInstance(QString key, QString folder)
    : key_(std::move(key)), folder_(std::move(folder)) {
  if (folder_.isEmpty()) {
    folder_ = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder_.isEmpty()) {
      folder_ = QDir::tempPath() + QStringLiteral("/halvern-%1").arg(getuid());
    }
  }
  QDir().mkpath(folder_);
}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lock_) lock_->unlock();
}

QString SingleInstance::LockPath() const { return folder_ + QLatin1Char('/') + key_ + ".lock"; }

QString SingleInstance::SocketPath() const { return folder_ + QLatin1Char('/') + key_ + ".sock"; }

bool SingleInstance::Acquire(std::function<bool()> raise) {
  lock_ = std::make_unique<QLockFile>(LockPath());
  lock_->setStaleLockTime(0);  // a lock whose process is gone is taken over at once
  if (!lock_->tryLock(0)) {
    lock_.reset();
    return false;
  }
  raise_ = std::move(raise);
  // The lock is ours, so any socket file left there belongs to a copy that ended.
  QLocalServer::removeServer(SocketPath());
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::Answer);
  server_.listen(SocketPath());
  return true;
}

void SingleInstance::Answer() {
  while (QLocalSocket* peer = server_.nextPendingConnection()) {
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
      if (!peer->canReadLine()) return;
      const QByteArray line = peer->readLine(64);
      bool shown = false;
      if (line == kRaise && raise_) shown = raise_();
      peer->write(shown ? kShown : kNoWindow);
      peer->flush();
      peer->disconnectFromServer();
    });
  }
}

bool SingleInstance::AskFirstToRaise(int timeoutMs) const {
  QLocalSocket socket;
  socket.connectToServer(SocketPath());
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kRaise);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  }
  return socket.readLine(64) == kShown;
}

}  // namespace halvern::app
