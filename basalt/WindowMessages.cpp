#include "basalt/WindowMessages.h"

#include <QCoreApplication>
#include <QPointer>

namespace qorvin {

namespace {
QPointer<QObject>& MainWindowSlot() {
  static QPointer<QObject> window;
  return window;
}
}  // namespace

TWindowMessageEvent::TWindowMessageEvent(uint32_t message, intptr_t wParam, intptr_t lParam)
    : QEvent(EventType()), message_(message), w_param_(wParam), l_param_(lParam) {}

TWindowMessageEvent::~TWindowMessageEvent() = default;

QEvent::Type TWindowMessageEvent::EventType() {
  static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
  return type;
}

bool PostMessage(QObject* target, uint32_t message, intptr_t wParam, intptr_t lParam) {
  if (target == nullptr) return false;
  QCoreApplication::postEvent(target, new TWindowMessageEvent(message, wParam, lParam));
  return true;
}

void SetMainWindow(QObject* window) {
  MainWindowSlot() = window;
}

QObject* MainWindow() {
  return MainWindowSlot().data();
}

}  // namespace qorvin
