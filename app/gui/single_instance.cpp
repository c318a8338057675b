#include "app/gui/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#include "platform/exception.h"

namespace {

// What a later start sends; anything else on the socket is ignored.
constexpr char kShowRequest[] = "exibir\n";
constexpr int kWaitMs = 2000;

QString FolderOf(QString AFolder) {
  if (AFolder.isEmpty())
    AFolder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  return AFolder;
}

}  // namespace

TSingleInstance::TSingleInstance(QString AFolder)
    : FFolder(FolderOf(std::move(AFolder))),
      FLock(QDir(FFolder).filePath(QStringLiteral("assinador-nfse.lock"))) {
  // Never stale by age: only a lock whose process is gone is taken over.
  FLock.setStaleLockTime(0);
  connect(&FServer, &QLocalServer::newConnection, this, &TSingleInstance::TakeRequest);
}

bool TSingleInstance::Acquire() {
  QDir().mkpath(FFolder);
  if (!FLock.tryLock(0)) {
    if (FLock.error() == QLockFile::LockFailedError) return false;
    throw Exception("não foi possível criar o arquivo de trava em " + FFolder.toStdString());
  }
  const QString socket = QDir(FFolder).filePath(QStringLiteral("assinador-nfse.socket"));
  // A socket file left by a program that died would refuse the listen; the lock says it is ours.
  QLocalServer::removeServer(socket);
  FServer.setSocketOptions(QLocalServer::UserAccessOption);
  if (!FServer.listen(socket))
    throw Exception("não foi possível atender em " + socket.toStdString() + ": " +
                    FServer.errorString().toStdString());
  return true;
}

bool TSingleInstance::AskRunningToShow() const {
  QLocalSocket socket;
  socket.connectToServer(QDir(FFolder).filePath(QStringLiteral("assinador-nfse.socket")));
  if (!socket.waitForConnected(kWaitMs)) return false;
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(kWaitMs)) return false;
  // The running program closes the connection once it took the request.
  socket.waitForDisconnected(kWaitMs);
  return true;
}

void TSingleInstance::TakeRequest() {
  while (QLocalSocket* client = FServer.nextPendingConnection()) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    const auto take = [this, client] {
      // Only a short line is ever expected; a peer that sends more is cut off.
      if (client->bytesAvailable() > 64) {
        client->abort();
        return;
      }
      if (!client->canReadLine()) return;
      const QByteArray line = client->readLine(64);
      client->disconnectFromServer();
      if (line == kShowRequest) emit ShowRequested();
    };
    connect(client, &QLocalSocket::readyRead, this, take);
    take();  // what arrived before the connection was taken
  }
}
