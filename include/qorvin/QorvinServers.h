// QorvinServers — several servers for one module: fail-over, load balancing and probing.
//
// An extension of the module reached with QueryInterface (the module interface itself does not
// change). Include it after QorvinClient.h:
//
//   IQorvinServers* servers = nullptr;
//   if (module->QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)) ==
//   0)
//     servers->AddServer("10.0.0.2", 8090, nullptr, &errorText);
//
// The list always starts with the module's own server (the host and port it was created with,
// index 0); AddServer appends alternatives of the module's letter. With one server nothing
// changes. See docs/host-api.md for the whole contract.
//
// Threads: call the methods from the thread that calls the module. Callbacks run on the probing
// thread (probe results) or the calling thread (server switches during a call) unless a
// main-thread poster is installed, which then receives every callback as a job.
#ifndef QORVIN_SERVERS_H
#define QORVIN_SERVERS_H

#include <cstdint>

#include "QorvinClient.h"

extern "C" {

// A poster hands `job(context)` to the host's main thread: it queues the pair and returns at
// once; the host then calls job(context) exactly once, on its main thread.
struct QorvinMainThreadPoster {
  void (*post)(void* object, void (*job)(void* context), void* context);
  void* object;
};

// A server was chosen for the next attempt of a call: its address ("host:port", or the URL for
// 'H'), and why: `cause` is empty for a load-balancing pick, or the failure that made the module
// switch servers.
struct QorvinServerCallback {
  void (*code)(void* object, const char* address, const char* cause);
  void* object;
};

// A probe finished: the server's address, whether the probe failed, and whether the server is
// enabled now.
struct QorvinProbeCallback {
  void (*code)(void* object, const char* address, bool failed, bool enabled);
  void* object;
};

enum QorvinServerMode : int32_t {
  kQorvinServersSingle = 0,       // the current server only (the start)
  kQorvinServersFailOver = 1,     // stay with one server; switch when a call cannot reach it
  kQorvinServersLoadBalance = 3,  // spread calls over the enabled servers, with fail-over
};

}  // extern "C"

// {52E4CB85-7C55-4BF7-A4E8-AC9927574217}
inline constexpr IRemoteDataModule::Guid kQorvinIID_IQorvinServers = {
    0x52E4CB85, 0x7C55, 0x4BF7, {0xA4, 0xE8, 0xAC, 0x99, 0x27, 0x57, 0x42, 0x17}};

class IQorvinServers {
 public:
  // Appends a server of the module's letter. 'B'/'T'/'U': `host` (name or address) and `port`;
  // `path` must be null or empty. 'H': `host` and `port` with `path` (default "Bin"), or a whole
  // "http://" / "https://" URL in `host` (then `port` and `path` are ignored). False, with the
  // reason in `errorText` (when not null), for an empty or unsafe host, a port outside 1..65535
  // or a bad URL.
  virtual bool AddServer(const char* host, int32_t port, const char* path,
                         QorvinText* errorText) = 0;
  // Back to the module's own server alone (mode and probing stay as they are).
  virtual void ClearServers() = 0;
  virtual int32_t ServerCount() = 0;
  // The address of server `index` and whether it is enabled; false for a bad index.
  virtual bool GetServer(int32_t index, QorvinText* address, bool* enabled) = 0;
  // kQorvinServersSingle, kQorvinServersFailOver or kQorvinServersLoadBalance; false otherwise.
  virtual bool SetMode(int32_t mode) = 0;
  // Opt-in: switch servers also when the request may already have reached the failed server
  // (a time-out while waiting for the answer, a cut-off answer). Only for hosts whose calls are
  // safe to run twice. Off by default.
  virtual void SetRepeatAfterSent(bool value) = 0;
  // A server that failed a call is disabled; after `ms` milliseconds it is tried again (0: only
  // probing or ClearServers brings it back). Default 60000.
  virtual void SetRetryDisabledAfter(int32_t ms) = 0;
  // Probing: every `intervalMs` (at least 100) each server is sent a probe on a thread of the
  // module's own; a failing server is disabled, a recovered one enabled. `on` false stops it
  // (waiting for a probe under way).
  virtual void SetProbing(bool on, int32_t intervalMs) = 0;
  // Callbacks go through `poster` (null `post`: called on the thread that raises them).
  virtual void SetMainThreadPoster(QorvinMainThreadPoster poster) = 0;
  virtual void SetOnServerAssigned(QorvinServerCallback callback) = 0;
  virtual void SetOnServerProbed(QorvinProbeCallback callback) = 0;
  // The address of the server that answered the module's last successful call; false (and an
  // empty text) before the first.
  virtual bool GetLastServer(QorvinText* address) = 0;
  // Probes server `index` once, now, on the calling thread, as probing does: true when it
  // answered as a live server does; false with the reason in `errorText` (when not null), also
  // for a bad index. Each wait lasts at most `timeoutMs` (0 or less: 5000, or the module's
  // bound when that is shorter). A check only: no server is enabled or disabled, no callback
  // runs, and the module's calls are not affected (it may run while one does).
  virtual bool ProbeServer(int32_t index, int32_t timeoutMs, QorvinText* errorText) = 0;

 protected:
  ~IQorvinServers() = default;
};

#endif  // QORVIN_SERVERS_H
