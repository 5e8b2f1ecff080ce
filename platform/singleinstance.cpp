#include "platform/singleinstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace larkvale::platform {

namespace {

// A URL longer than this is not one; the line is dropped.
constexpr qint64 kMaxLineBytes = 64 * 1024;

}  // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::DefaultSocketPath() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) dir = QDir::tempPath();
  return QDir(dir).filePath(QStringLiteral("Larkvale_HD.socket"));
}

SingleInstance::Role SingleInstance::Claim(const QString& url, int timeoutMs) {
  // Two starts at the same moment must not both find no listener and both
  // listen; the lock makes "ask, else listen" one step.
  QLockFile lock(socketPath_ + QStringLiteral(".lock"));
  // Never stale by age: a live holder is waited for; a dead one's lock is
  // taken over because its process is gone.
  lock.setStaleLockTime(0);
  if (!lock.tryLock(timeoutMs))
    return lock.error() == QLockFile::LockFailedError ? Role::NoAnswer : Role::Alone;

  QLocalSocket peer;
  peer.connectToServer(socketPath_);
  if (peer.waitForConnected(timeoutMs)) {
    lock.unlock();
    peer.write(url.toUtf8() + '\n');
    if (!peer.waitForBytesWritten(timeoutMs)) return Role::NoAnswer;
    QByteArray answer;
    while (!answer.contains('\n') && peer.waitForReadyRead(timeoutMs)) answer += peer.readAll();
    return answer.startsWith("ok\n") ? Role::HandedOff : Role::NoAnswer;
  }

  // Nobody answers: a socket file left behind by a crash is removed first.
  QLocalServer::removeServer(socketPath_);
  auto* server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(socketPath_)) {
    delete server;
    return Role::Alone;
  }
  server_ = server;
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::Accept);
  return Role::Listening;
}

void SingleInstance::Accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadFrom(socket); });
    if (socket->bytesAvailable() > 0) ReadFrom(socket);
  }
}

void SingleInstance::ReadFrom(QLocalSocket* socket) {
  if (!socket->canReadLine()) {
    if (socket->bytesAvailable() > kMaxLineBytes) socket->abort();
    return;
  }
  const QString url = QString::fromUtf8(socket->readLine()).trimmed();
  socket->write("ok\n");
  socket->flush();
  socket->disconnectFromServer();
  emit activationRequested();
  if (!url.isEmpty()) emit urlReceived(url);
}

QString UrlArgument(const QStringList& arguments) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if (a == QStringLiteral("--")) return i + 1 < arguments.size() ? arguments[i + 1] : QString();
    if (!a.startsWith('-') && !a.isEmpty()) return a;
  }
  return {};
}

}  // namespace larkvale::platform
