#include "app/ApplicationEvents.h"

#include <QCoreApplication>

namespace korvalane {

ApplicationEvents::ApplicationEvents(QObject* parent) : QObject(parent) {
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

ApplicationEvents::~ApplicationEvents() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool ApplicationEvents::eventFilter(QObject* watched, QEvent* event) {
  if (OnMessage) OnMessage(event);
  return QObject::eventFilter(watched, event);
}

}  // namespace korvalane
