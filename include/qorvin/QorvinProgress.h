// QorvinProgress — how far the module's call in flight has got, and cancelling it.
//
// An extension of the module reached with QueryInterface (the module interface itself does not
// change). Include it after QorvinClient.h:
//
//   IQorvinProgress* progress = nullptr;
//   if (module->QueryInterface(&kQorvinIID_IQorvinProgress,
//                              reinterpret_cast<void**>(&progress)) == 0) {
//     // on another thread, while module->SynchReadData(...) runs:
//     QorvinTransferProgress now{};
//     progress->GetProgress(&now);
//     progress->Cancel();
//   }
//
// The object belongs to the module (the same one on every query) and lives as long as it. See
// docs/host-api.md for the whole contract.
//
// Threads: both methods may be called from any thread at any time, also while a call of the
// module runs on another thread; that is what they are for.
#ifndef QORVIN_PROGRESS_H
#define QORVIN_PROGRESS_H

#include <cstdint>

#include "QorvinClient.h"

extern "C" {

// The module's current call (while `inFlight`) or its last one. Counts are bytes of the
// request and of the answer as they cross the network, without framing; a call that went to a
// second server counts both attempts. A total is -1 until it is known (an HTTP answer without
// Content-Length); once the answer is complete, `receiveTotal` equals `bytesReceived`. No figure
// ever goes down during a call.
struct QorvinTransferProgress {
  int64_t bytesSent;
  int64_t sendTotal;
  int64_t bytesReceived;
  int64_t receiveTotal;
  int32_t inFlight;   // 1 while a call of the module runs
  int32_t cancelled;  // 1 when Cancel reached this call
};

}  // extern "C"

// {8F3A6C41-2B7D-4E59-9A0C-5D1E7B34C2A8}
inline constexpr IRemoteDataModule::Guid kQorvinIID_IQorvinProgress = {
    0x8F3A6C41, 0x2B7D, 0x4E59, {0x9A, 0x0C, 0x5D, 0x1E, 0x7B, 0x34, 0xC2, 0xA8}};

class IQorvinProgress {
 public:
  // Fills `progress` (nothing when it is null).
  virtual void GetProgress(QorvinTransferProgress* progress) = 0;
  // Ends the call in flight: its waits on the network end at once, the connection is closed,
  // and the call fails the way any failed call does (result 0, the error text "The call was
  // cancelled.", OnError and OnStatus). The module is ready for the next call. Returns true
  // when a call was in flight; with none it does nothing and returns false (the next call is
  // not affected).
  virtual bool Cancel() = 0;
  // The bounds of the module's waits on the network from its next call on, in milliseconds;
  // 0 or less leaves a bound as it is. 'B'/'T' and 'H': connecting at most `connectMs` (default
  // 30000), each wait for the answer at most `readMs` (default 600000). 'U' has no connection:
  // `readMs` bounds the whole wait for the answer, resends included (default 6000). A call past
  // its bound fails with the transport's time-out text.
  virtual void SetTimeouts(int32_t connectMs, int32_t readMs) = 0;

 protected:
  ~IQorvinProgress() = default;
};

#endif  // QORVIN_PROGRESS_H
