#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QLocalSocket>

namespace korvalane {

namespace {

constexpr char kMessageName[] = "KLRestore";
// A message is one short line: "KLRestore <word> <long>\n". Anything longer is not ours.
constexpr qint64 kMaxMessageBytes = 64;
constexpr int kConnectTimeoutMs = 1000;

// Reads one message line; nothing when it is not a well-formed wake-up message.
bool ParseMessage(const QByteArray& line, quint32& word, qint64& longParameter) {
  const QList<QByteArray> parts = line.trimmed().split(' ');
  if (parts.size() != 3 || parts[0] != kMessageName) return false;
  bool wordOk = false;
  bool longOk = false;
  word = parts[1].toUInt(&wordOk);
  longParameter = parts[2].toLongLong(&longOk);
  return wordOk && longOk;
}

}  // namespace

QString InstanceSocketName() {
  const QString name = qEnvironmentVariable("KORVALANE_INSTANCE");
  if (!name.isEmpty()) return name;
  QString user = qEnvironmentVariable("USER");
  if (user.isEmpty()) user = qEnvironmentVariable("USERNAME");
  return QString::fromLatin1(kMessageName) + QLatin1Char('-') + user;
}

int RegisterWakeUpMessage() {
  static const int type = QEvent::registerEventType();
  return type;
}

bool PostWakeUp(const QString& socketName, quint32 wordParameter, qint64 longParameter) {
  QLocalSocket socket;
  socket.connectToServer(socketName, QIODevice::WriteOnly);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  const QByteArray message =
      QByteArray(kMessageName) + ' ' + QByteArray::number(wordParameter) + ' ' + QByteArray::number(longParameter) + '\n';
  socket.write(message);
  socket.waitForBytesWritten(kConnectTimeoutMs);
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kConnectTimeoutMs);
  return true;
}

WakeUpServer::WakeUpServer(QObject* parent) : QObject(parent) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &WakeUpServer::acceptConnections);
}

bool WakeUpServer::Listen(const QString& socketName) {
  if (server_.listen(socketName)) return true;
  if (server_.serverError() != QAbstractSocket::AddressInUseError) return false;
  // Nobody answered on it at start-up, so the socket is a leftover of a copy that ended
  // without removing it.
  QLocalServer::removeServer(socketName);
  return server_.listen(socketName);
}

void WakeUpServer::acceptConnections() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, socket, [socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxMessageBytes) socket->abort();
        return;
      }
      quint32 word = 0;
      qint64 longParameter = 0;
      if (ParseMessage(socket->readLine(kMaxMessageBytes), word, longParameter)) {
        QCoreApplication::postEvent(QCoreApplication::instance(),
                                    new WakeUpEvent(RegisterWakeUpMessage(), word, longParameter));
      }
      socket->disconnectFromServer();
    });
  }
}

}  // namespace korvalane
