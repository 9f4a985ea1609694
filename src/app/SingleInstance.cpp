#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <memory>

namespace korvalane {

namespace {

constexpr char kMessageName[] = "KLRestore";
// A source to hand over: "KLOpen <the path's bytes in base64>\n", before the message.
constexpr char kSourceName[] = "KLOpen";
// The message is one short line: "KLRestore <word> <long>\n". A source line holds a path
// of up to 4096 bytes in base64. Anything longer, or more sources than there are drive
// letters many times over, is not ours.
constexpr qint64 kMaxLineBytes = 8192;
constexpr qsizetype kMaxSources = 256;
constexpr int kConnectTimeoutMs = 1000;

// Reads one message line; nothing when it is not a well-formed wake-up message.
bool ParseMessage(const QByteArray& line, quint32& word, qint64& longParameter) {
  const QList<QByteArray> parts = line.split(' ');
  if (parts.size() != 3 || parts[0] != kMessageName) return false;
  bool wordOk = false;
  bool longOk = false;
  word = parts[1].toUInt(&wordOk);
  longParameter = parts[2].toLongLong(&longOk);
  return wordOk && longOk;
}

// Reads one source line; false when the line is something else or its path is empty.
bool ParseSource(const QByteArray& line, QByteArray& path) {
  const QList<QByteArray> parts = line.split(' ');
  if (parts.size() != 2 || parts[0] != kSourceName) return false;
  const auto decoded = QByteArray::fromBase64Encoding(parts[1], QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.isEmpty() || decoded.decoded.contains('\0')) return false;
  path = decoded.decoded;
  return true;
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

bool PostWakeUp(const QString& socketName, quint32 wordParameter, qint64 longParameter, const QStringList& sources) {
  QLocalSocket socket;
  socket.connectToServer(socketName, QIODevice::WriteOnly);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  QByteArray message;
  for (const QString& source : sources) {
    message += QByteArray(kSourceName) + ' ' + QFile::encodeName(source).toBase64() + '\n';
  }
  message +=
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
    // What this connection has sent so far, and whether it is done with.
    struct Connection {
      QStringList Sources;
      bool Ended = false;
    };
    const auto connection = std::make_shared<Connection>();
    const auto end = [this, socket, connection] {
      if (connection->Ended) return;
      connection->Ended = true;
      socket->abort();
      socket->deleteLater();
      emit ConnectionEnded();
    };
    connect(socket, &QLocalSocket::disconnected, this, end);
    connect(socket, &QLocalSocket::readyRead, this, [socket, connection, end] {
      while (!connection->Ended && socket->canReadLine()) {
        const QByteArray line = socket->readLine(kMaxLineBytes + 1).trimmed();
        QByteArray path;
        if (ParseSource(line, path)) {
          if (connection->Sources.size() == kMaxSources) return end();
          connection->Sources.append(QFile::decodeName(path));
          continue;
        }
        quint32 word = 0;
        qint64 longParameter = 0;
        if (ParseMessage(line, word, longParameter)) {
          QCoreApplication::postEvent(QCoreApplication::instance(),
                                      new WakeUpEvent(RegisterWakeUpMessage(), word, longParameter, connection->Sources));
        }
        return end();
      }
      if (!connection->Ended && socket->bytesAvailable() > kMaxLineBytes) end();
    });
  }
}

}  // namespace korvalane
