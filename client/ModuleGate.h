// ModuleGate: the busy state of one module, which lets one call in at a time.
//
// A call claims the gate when it is free. The thread holding it may claim it again from inside a
// callback the library raises on it (OnError, OnStatus, a server switch): such a call runs
// nested, inside the outer one. Any other claim is refused while the gate is held.
//
// Callbacks are counted per thread (CallbackScope), whichever module raised them. Past
// kMaxCallbackNesting nested callbacks a thread's claims are refused, and a refusal that deep
// raises no callback of its own, so a host that calls the module again from every OnError (each
// call failing and raising OnError once more) comes to an end instead of overflowing its stack.
//
// Threads: Claim from any thread; the nesting depth is touched only by the holding thread.
#pragma once

#include <atomic>
#include <thread>

namespace qorvin {

class ModuleGate {
 public:
  static constexpr int kMaxCallbackNesting = 8;

  class Claim {
   public:
    explicit Claim(ModuleGate& gate);
    ~Claim();
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    explicit operator bool() const { return held_; }
    // Whether this claim runs inside another call of the same module on the same thread.
    bool Nested() const { return nested_; }

   private:
    ModuleGate& gate_;
    bool held_ = false;
    bool nested_ = false;
  };

  // Whether this thread runs inside a callback of the library right now.
  static bool InCallback();
  // Whether a refusal on this thread may still raise callbacks (false once nesting is too deep).
  static bool MayRaiseCallbacks();

 private:
  std::atomic<bool> busy_{false};
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // claims the owner holds; the owner thread only
};

// Counts one host callback running on this thread for its lifetime.
class CallbackScope {
 public:
  CallbackScope();
  ~CallbackScope();
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
};

}  // namespace qorvin
