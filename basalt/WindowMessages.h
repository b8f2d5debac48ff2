// Posted window messages: a message number with two parameters, delivered later through the Qt
// event queue to a target object, the way the framework's hosts and plug-ins notify each other.
//
// Thread: post and receive on the UI thread. A message posted to a target that is destroyed
// before delivery is dropped by Qt.
#pragma once

#include <QEvent>
#include <cstdint>

#include "basalt/BasaltApi.h"

class QObject;

namespace qorvin {

inline constexpr uint32_t WM_CLOSE = 0x0010;

class BASALT_API TWindowMessageEvent : public QEvent {
 public:
  TWindowMessageEvent(uint32_t message, intptr_t wParam, intptr_t lParam);
  ~TWindowMessageEvent() override;
  // The event type under which every window message travels (registered once per process).
  static QEvent::Type EventType();

  uint32_t Message() const { return message_; }
  intptr_t WParam() const { return w_param_; }
  intptr_t LParam() const { return l_param_; }

 private:
  uint32_t message_;
  intptr_t w_param_;
  intptr_t l_param_;
};

// Queues the message for `target`; returns false (and posts nothing) when `target` is null.
BASALT_API bool PostMessage(QObject* target, uint32_t message, intptr_t wParam, intptr_t lParam);

// The host application's main window: the object that receives messages meant for the host.
// Not owned; the host clears it before destroying the object.
BASALT_API void SetMainWindow(QObject* window);
BASALT_API QObject* MainWindow();

}  // namespace qorvin
