#include "client/ModuleGate.h"

namespace qorvin {

namespace {
thread_local int callbackDepth = 0;  // host callbacks running on this thread
}  // namespace

ModuleGate::Claim::Claim(ModuleGate& gate) : gate_(gate) {
  const std::thread::id self = std::this_thread::get_id();
  if (!gate_.busy_.exchange(true)) {
    gate_.owner_.store(self);
    gate_.depth_ = 1;
    held_ = true;
    return;
  }
  // Only the holder can find its own id here: it wrote it before any nested claim could run.
  if (gate_.owner_.load() == self && callbackDepth > 0 && callbackDepth <= kMaxCallbackNesting) {
    ++gate_.depth_;
    held_ = true;
    nested_ = true;
  }
}

ModuleGate::Claim::~Claim() {
  if (!held_) return;
  if (--gate_.depth_ > 0) return;
  gate_.owner_.store(std::thread::id());
  gate_.busy_.store(false);
}

bool ModuleGate::InCallback() {
  return callbackDepth > 0;
}

bool ModuleGate::MayRaiseCallbacks() {
  return callbackDepth < kMaxCallbackNesting;
}

CallbackScope::CallbackScope() {
  ++callbackDepth;
}

CallbackScope::~CallbackScope() {
  --callbackDepth;
}

}  // namespace qorvin
