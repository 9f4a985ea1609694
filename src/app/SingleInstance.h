#pragma once

#include <QEvent>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <utility>

namespace korvalane {

// The wake-up message between two copies of the program: a second start finds the first
// by a local socket named from "KLRestore" and the user, and posts it the message word
// parameter 1034, long parameter 0. The first copy turns each message it receives into a
// WakeUpEvent posted to the application, so that it passes the application's message hook
// like any other message.
//
// A second start that names sources sends them first, one line each, as absolute paths
// (it may run in another directory); the wake-up message that follows carries them to the
// running copy, which opens them as drives before it comes to the front.
constexpr quint32 kWakeUpWord = 1034;

// "KLRestore-" + the user name; the environment variable KORVALANE_INSTANCE names another
// socket instead (tests use it so that they never meet a copy the user is running).
QString InstanceSocketName();

// The event type of the wake-up message in this process, registered once by name: every
// caller gets the same identifier.
int RegisterWakeUpMessage();

class WakeUpEvent : public QEvent {
 public:
  WakeUpEvent(int type, quint32 wordParameter, qint64 longParameter, QStringList sources = {})
      : QEvent(static_cast<QEvent::Type>(type)),
        WParam(wordParameter),
        LParam(longParameter),
        Sources(std::move(sources)) {}

  quint32 WParam;
  qint64 LParam;
  // The sources the second start named, in its order.
  QStringList Sources;
};

// Posts the wake-up message to a running copy, after the sources to hand over (absolute
// paths). False when none listens on the socket.
bool PostWakeUp(const QString& socketName, quint32 wordParameter = kWakeUpWord, qint64 longParameter = 0,
                const QStringList& sources = {});

// The first copy's end of the socket.
class WakeUpServer : public QObject {
  Q_OBJECT

 public:
  explicit WakeUpServer(QObject* parent = nullptr);

  // Listens on the socket; a socket left behind by a copy that died is taken over.
  bool Listen(const QString& socketName);

 signals:
  // A second start's connection is done with: its message posted, or refused.
  void ConnectionEnded();

 private:
  void acceptConnections();

  QLocalServer server_;
};

}  // namespace korvalane
