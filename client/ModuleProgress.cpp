#include "client/ModuleProgress.h"

#include "channels/uROClient.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

void ModuleProgress::BeginCall() {
  if (depth_++ > 0) return;  // nested: the outer call's bracket holds
  // On the calling thread, between calls: the channel's bounds may change here.
  channel_.SetCallBounds(connectMs_.exchange(0), readMs_.exchange(0));
  std::lock_guard<std::mutex> guard(lock_);
  answered_ = false;
  channel_.ResetCancel();
  channel_.Transfer().Restart();
  cancelled_ = false;
  inFlight_ = true;
}

void ModuleProgress::EndCall() {
  if (--depth_ > 0) return;
  std::lock_guard<std::mutex> guard(lock_);
  inFlight_ = false;
  channel_.ResetCancel();
}

void ModuleProgress::GetProgress(QorvinTransferProgress* progress) {
  if (progress == nullptr) return;
  const TTransferSnapshot s = channel_.Transfer().Snapshot();
  progress->bytesSent = s.sent;
  progress->sendTotal = s.sendTotal;
  progress->bytesReceived = s.received;
  progress->receiveTotal = s.receiveTotal;
  progress->inFlight = inFlight_ ? 1 : 0;
  progress->cancelled = cancelled_ ? 1 : 0;
}

void ModuleProgress::AnswerArrived() {
  std::lock_guard<std::mutex> guard(lock_);
  if (cancelled_) throw EIdCancelled(kCallCancelled);
  answered_ = true;
}

void ModuleProgress::SetTimeouts(int32_t connectMs, int32_t readMs) {
  if (connectMs > 0) connectMs_.store(connectMs);
  if (readMs > 0) readMs_.store(readMs);
}

bool ModuleProgress::Cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!inFlight_ || answered_) return false;
  cancelled_ = true;
  channel_.RequestCancel();
  return true;
}

}  // namespace qorvin
