#include "client/ModuleProgress.h"

#include "channels/uROClient.h"

namespace qorvin {

void ModuleProgress::BeginCall() {
  std::lock_guard<std::mutex> guard(lock_);
  channel_.ResetCancel();
  channel_.Transfer().Restart();
  cancelled_ = false;
  inFlight_ = true;
}

void ModuleProgress::EndCall() {
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

bool ModuleProgress::Cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!inFlight_) return false;
  cancelled_ = true;
  channel_.RequestCancel();
  return true;
}

}  // namespace qorvin
