#pragma once

#include <QObject>
#include <functional>

class QEvent;

namespace korvalane {

// The application-wide message hook: installed on the application object, it sees every
// event the application dispatches, to any object, before it is delivered. The hook only
// looks; it never marks an event as handled.
class ApplicationEvents : public QObject {
  Q_OBJECT

 public:
  explicit ApplicationEvents(QObject* parent = nullptr);
  ~ApplicationEvents() override;

  std::function<void(QEvent*)> OnMessage;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace korvalane
