#include "channels/uROTransferProgress.h"

namespace qorvin {

void TROTransferProgress::Raise(std::atomic<int64_t>& value, int64_t to) {
  if (to > value.load(std::memory_order_relaxed)) value.store(to, std::memory_order_release);
}

void TROTransferProgress::Restart() {
  sent_ = 0;
  sendTotal_ = -1;
  received_ = 0;
  receiveTotal_ = -1;
  sendBase_ = 0;
  receiveBase_ = 0;
}

void TROTransferProgress::BeginSend(int64_t size) {
  sendBase_ = sent_.load();
  sendTotal_.store(sendBase_ + (size > 0 ? size : 0));
}

void TROTransferProgress::SentSoFar(int64_t soFar) {
  Raise(sent_, sendBase_ + soFar);
}

void TROTransferProgress::BeginReceive(int64_t size) {
  receiveBase_ = received_.load();
  receiveTotal_.store(size >= 0 ? receiveBase_ + size : -1);
}

void TROTransferProgress::ReceivedSoFar(int64_t soFar) {
  Raise(received_, receiveBase_ + soFar);
}

void TROTransferProgress::EndReceive() {
  if (receiveTotal_.load() < received_.load()) receiveTotal_.store(received_.load());
}

TTransferSnapshot TROTransferProgress::Snapshot() const {
  TTransferSnapshot s;
  // Totals first: a count read after its total may pass it only by the bytes of a message that
  // started in between.
  s.sendTotal = sendTotal_.load(std::memory_order_acquire);
  s.receiveTotal = receiveTotal_.load(std::memory_order_acquire);
  s.sent = sent_.load(std::memory_order_acquire);
  s.received = received_.load(std::memory_order_acquire);
  return s;
}

}  // namespace qorvin
