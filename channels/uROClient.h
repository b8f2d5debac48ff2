// TROTransportChannel: the base of the HTTP, TCP and UDP channels.
//
// It owns everything that does not depend on the wire: the message-level dispatch that proxies
// call, the stream-level dispatch with its busy guard, optional encryption of both streams,
// progress and stream events, and the server locators with load balancing, fail-over and
// probing. A concrete channel supplies `IntDispatch`, which carries one request stream to the
// server and fills one response stream, and says how its address is set.
//
// Failures: every failure of an attempt reaches the caller unchanged unless fail-over (with
// doFaultTolerant and another enabled locator) or an OnFailure / OnLoginNeeded handler that
// sets aRetry repeats the call. Before a repeated attempt the response stream is cut back to
// where the dispatch began, so no bytes of a failed attempt stay in front of the answer.
//
// Fail-over sends a request to the next server only when it provably never reached a server:
// the concrete channel calls NoteRequestSent() once bytes of the request may have reached one
// (TCP: a byte was written; HTTP: the request went out; UDP: the datagram was sent). A failure
// after that (a read time-out, a cut-off reply) may come from a server that ran the command, so
// it reaches the caller — unless the host opted in with FailOverAfterSent for calls it knows are
// safe to repeat. A locator that a failed attempt disabled (DisableOnFailure) is enabled again
// after DisabledRetryInterval milliseconds (default 60000; 0 keeps it off until probing or the
// host enables it).
//
// Cancel: RequestCancel, from any thread, triggers the channel's latch: every wait of the
// dispatch in flight (connecting, sending, waiting for and reading the answer) ends at once with
// "The call was cancelled.", and so does every later one until ResetCancel. A cancelled attempt
// is never repeated on another server, never disables a locator and is not handed to the
// OnFailure / OnLoginNeeded handlers for a retry. Whoever owns the call (the module) resets the
// latch around each call, so a cancel only ever reaches the call it was meant for.
//
// Progress: the concrete channels count the message bytes of each dispatch in Transfer() (see
// uROTransferProgress.h), which any thread may read while the dispatch runs.
//
// Threads: one dispatch at a time. A second dispatch while one runs fails at once with
// EROChannelBusy "Channel is busy. Try again later." (the flag is an atomic test-and-set, so two
// threads can never both pass it); the flag is cleared however the dispatch ends. The locators
// and the current-locator state are guarded by LocatorLock(). Probing always runs off the
// caller's thread on the probe timer's own thread, through a private probe channel, one probe at
// a time per channel (a direct ProbeServerLocators() waits for a running timer pass); with
// SynchronizedProbing and a main-thread poster (uROMainThread.h) only the probe events are raised
// on the main thread. Other event handlers run on the thread that raises them. A concrete channel
// calls StopProbing() first thing in its destructor, so no pass runs into a half-destroyed
// channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/uROMainThread.h"
#include "channels/uROServerLocator.h"
#include "channels/uROThreadTimer.h"
#include "channels/uROTransferProgress.h"
#include "messaging/uROClientIntf.h"
#include "messaging/uROComponent.h"
#include "messaging/uROEncryption.h"
#include "messaging/uROExceptions.h"
#include "platform/rtl/Stream.h"
#include "platform/socket/WaitInterrupt.h"

namespace qorvin {

enum TProgressType { ptUnknown, ptStart, ptInProgress, ptDone };
// Scoped, because pdUnknown also names a parameter direction of the dataset layer; the two
// directions a channel reports are available unqualified.
enum class TProgressDirection { pdUnknown, pdSending, pdReceiving };
inline constexpr TProgressDirection pdSending = TProgressDirection::pdSending;
inline constexpr TProgressDirection pdReceiving = TProgressDirection::pdReceiving;

enum TRODispatchOption : uint8_t { doFaultTolerant = 1, doLoadBalanced = 2 };
using TRODispatchOptions = uint8_t;

class TROTransportChannel;

using TROStreamEvent = std::function<void(TStream& aStream)>;
using TROProgressEvent =
    std::function<void(TROTransportChannel* iSender, TProgressType iType,
                       TProgressDirection iDirection, int32_t iTransferred, int32_t iTotal)>;
using TROExceptionEvent = std::function<void(TROTransportChannel* sender,
                                             const std::exception& anException, bool& aRetry)>;
using TROServerLocatorAssignmentEvent = std::function<void(
    TROTransportChannel* sender, TROServerLocator* aLocator, const std::exception* aException)>;
using TROChannelNotifyEvent = std::function<void(TROTransportChannel* sender)>;
using TROAfterProbingServersEvent = std::function<void(TROTransportChannel* sender, int probedCount,
                                                       int enabledCount, int disabledCount)>;
using TROBeforeProbingServerEvent =
    std::function<void(TROTransportChannel* sender, TROServerLocator* aServerLocator)>;
using TROAfterProbingServerEvent =
    std::function<void(TROTransportChannel* sender, TROServerLocator* aServerLocator, bool failed)>;
using TROAsyncExceptionEvent = std::function<void(TROTransportChannel* sender, void* async,
                                                  const std::exception& anException)>;

// Transports that know their peer.
class IROPeerTransport {
 public:
  virtual ~IROPeerTransport() = default;
  virtual std::string GetPeerAddress() = 0;
};

// TCP and UDP channels: host and port of the server.
class IROSocketTransport : public IROPeerTransport {
 public:
  virtual std::string GetHost() = 0;
  virtual int32_t GetPort() = 0;
  virtual void SetHost(const std::string& host) = 0;
  virtual void SetPort(int32_t port) = 0;
};

// The connection base: owns the channel's encryption settings.
class TROBaseConnection : public TROComponent {
 public:
  explicit TROBaseConnection(TROComponent* owner = nullptr, std::string name = {});

  TROEncryption& Encryption() { return encryption_; }
  const TROEncryption& Encryption() const { return encryption_; }
  // Copies the values (the channel keeps its own settings object).
  void SetEncryption(const TROEncryption& value) { encryption_.Assign(value); }

 protected:
  // Encrypt / decrypt `source` from its beginning into `dest`.
  virtual void DoEncryptStream(TStream& source, TStream& dest);
  virtual void DoDecryptStream(TStream& source, TStream& dest);

 private:
  TROEncryption encryption_;
};

class TROTransportChannel : public TROBaseConnection, public IROTransportChannel {
 public:
  explicit TROTransportChannel(TROComponent* owner = nullptr, std::string name = {});
  ~TROTransportChannel() override;

  // The class name as the system spells it ("TROIndyTCPChannel", ...).
  virtual const char* ClassName() const = 0;

  // --- properties ---
  TRODispatchOptions DispatchOptions() const { return dispatchOptions_; }
  void SetDispatchOptions(TRODispatchOptions value) { dispatchOptions_ = value; }
  TROServerLocatorCollection& ServerLocators() { return serverLocators_; }
  // Copies the items; the channel forgets the locator it had applied.
  void SetServerLocators(const TROServerLocatorCollection& value);
  bool ProbeServers() const { return probeServers_; }
  // At run time true starts the probe timer and false stops it (joining its thread); while
  // loading only stores the value (see SetLoading).
  void SetProbeServers(bool value);
  uint32_t ProbeFrequency() const { return probeFrequency_; }
  void SetProbeFrequency(uint32_t value);
  bool SynchronizedProbing() const { return synchronizedProbing_; }
  void SetSynchronizedProbing(bool value);
  // While loading, ProbeServers is only stored; ending the loading applies it.
  void SetLoading(bool loading);
  bool Busy() const { return busy_; }
  TROServerLocator* CurrentLocator() const { return currentLocator_; }
  int CurrentLocatorIndex() const { return currentLocatorIndex_; }
  // Opt-in: fail over also after the request may have reached a server (calls safe to repeat).
  bool FailOverAfterSent() const { return failOverAfterSent_; }
  void SetFailOverAfterSent(bool value) { failOverAfterSent_ = value; }
  // Milliseconds after which a locator disabled by a failed attempt is enabled again; 0: never.
  uint32_t DisabledRetryInterval() const { return disabledRetryInterval_; }
  void SetDisabledRetryInterval(uint32_t ms) { disabledRetryInterval_ = ms; }
  // Milliseconds a probe waits at most for the connection and for its answer (the call's bounds
  // when they are shorter); a value of 0 or less restores the default, kProbeTimeoutMs. Applies
  // to the probe channel made at the first probe.
  static constexpr int kProbeTimeoutMs = 5000;
  int ProbeTimeout() const { return probeTimeoutMs_; }
  void SetProbeTimeout(int ms) { probeTimeoutMs_ = ms > 0 ? ms : kProbeTimeoutMs; }
  // The bound of a probe's wait given the call's bound for it (0: unlimited): the shorter of the
  // two. Concrete channels apply it to their probe channels.
  int ProbeBound(int callBoundMs) const;
  // "host:port" of a locator, or its URL.
  static std::string ServerText(const TROServerLocator& locator);

  // --- locators from any thread (under LocatorLock) ---
  std::recursive_timed_mutex& LocatorLock() const { return locatorLock_; }
  // Appends a locator (enabled, taking part in load balancing, all probing options) and returns
  // its index.
  int AddServerLocator(const std::string& host, int32_t port, const std::string& dispatcher);
  // Removes every locator; the channel keeps the address it has.
  void ClearServerLocators();
  // Applies locator `index` and makes it the current one (no call chose it, so no
  // OnServerLocatorAssignment).
  void SelectServerLocator(int index);
  struct TLocatorState {
    std::string host;
    int32_t port = 0;
    std::string dispatcher;
    bool enabled = false;
  };
  std::vector<TLocatorState> LocatorStates() const;
  // The address of the server that answered the last successful dispatch (TCP/UDP "host:port",
  // HTTP the URL); empty before the first.
  std::string LastServerAddress() const;

  // --- events ---
  TROStreamEvent OnSendStream;
  TROStreamEvent OnReceiveStream;
  TROProgressEvent OnProgress;
  TROExceptionEvent OnLoginNeeded;
  TROServerLocatorAssignmentEvent OnServerLocatorAssignment;
  TROChannelNotifyEvent OnBeforeProbingServers;
  TROAfterProbingServersEvent OnAfterProbingServers;
  TROBeforeProbingServerEvent OnBeforeProbingServer;
  TROAfterProbingServerEvent OnAfterProbingServer;
  TROAsyncExceptionEvent OnAsyncException;
  // OnFailure and OnException are two names for one handler.
  const TROExceptionEvent& OnFailure() const { return onFailure_; }
  void SetOnFailure(TROExceptionEvent e) { onFailure_ = std::move(e); }
  const TROExceptionEvent& OnException() const { return onFailure_; }
  void SetOnException(TROExceptionEvent e) { onFailure_ = std::move(e); }

  // --- IROTransport / IROTransportChannel ---
  void* GetTransportInstance() override { return this; }
  void AssignServerLocator(TROServerLocator* locator, const std::exception* cause) override;
  bool ProbeServer(TROServerLocator* locator) override;
  // One probe of `where`'s address on the calling thread, through a probe channel of its own
  // whose waits last at most `timeoutMs` each (0 or less: the probes' bounds, ProbeBound): true
  // when the answer was
  // "PROBEDOK"; otherwise false with the reason in `failure`. Changes no locator and raises no
  // event; the channel's cancel latch does not reach it.
  bool ProbeAddress(const TROServerLocator& where, int timeoutMs, std::string& failure);
  void ProbeServerLocators() override;
  void Dispatch(TStream& request, TStream& response) override;
  void Dispatch(IROMessage& message) override;
  void PrepareDispatch(IROMessage* /*message*/) override {}

  // The address property must be set; falls back on a locator (load balancing, then
  // fail-over) before it gives up with EROException "<Name>.TargetURL must be set." /
  // "<Name>.Host must be set.".
  void CheckProperties() override;

  // Metadata: dispatches the 4 bytes "RODL" and returns the response (the caller owns it).
  std::unique_ptr<TMemoryStream> FetchServiceDescription();
  // Async failure sink: raises OnAsyncException.
  void ReportAsyncFailure(void* async, const std::exception& anException);

  // --- cancel and progress (see above) ---
  void RequestCancel() noexcept { interrupt_.Trigger(); }
  void ResetCancel() noexcept { interrupt_.Reset(); }
  bool CancelRequested() const noexcept { return interrupt_.Triggered(); }
  // The latch the channel's sockets watch.
  const TWaitInterrupt& Interrupt() const { return interrupt_; }
  TROTransferProgress& Transfer() { return transfer_; }

  // Raises OnProgress when assigned.
  void DoProgress(TProgressType type, TProgressDirection direction, int64_t transferred,
                  int64_t total);

  // The bounds of the channel's waits in milliseconds: connecting, and waiting for the answer
  // (a value of 0 or less leaves that bound as it is). Each channel says what its bounds are;
  // the base has none.
  virtual void SetCallBounds(int /*connectMs*/, int /*readMs*/) {}
  // Puts the locator's address into the channel without raising OnServerLocatorAssignment.
  void UseAddress(TROServerLocator* locator) { ApplyServerLocator(locator); }

  // Copies events, DispatchOptions, Encryption, ProbeFrequency, ProbeServers, ServerLocators,
  // SynchronizedProbing and the address. The source must be of this channel's class or a
  // descendant, otherwise EROException "Cannot Assign a %s t a %s".
  virtual void Assign(const TROTransportChannel& source);

 protected:
  // Load balancing before each stream-level dispatch; returns the start index for fail-over.
  virtual int BeforeDispatch();
  // Fail-over after a failed attempt (see the .cpp).
  virtual void HandleDispatchFailure(int& startIndex, bool& retry, const std::exception& error);
  // Carries one request stream (from offset 0) and fills `response` at its position.
  virtual void IntDispatch(TStream& request, TStream& response) = 0;
  // Puts the locator's address into the channel. The base serves socket transports: Port, then
  // Host; the HTTP channel overrides it.
  virtual void ApplyServerLocator(TROServerLocator* locator);
  // A new channel of the same class owned by this one, for probing; it takes over the
  // channel's time-out settings so that a probe never waits longer than a call.
  virtual std::unique_ptr<TROTransportChannel> CreateProbeChannel() = 0;
  // Whether the address property (TargetURL or Host) is set, and its name.
  virtual bool AddressIsSet() const = 0;
  virtual const char* AddressPropertyName() const = 0;
  // Copies the address (TargetURL, or Port then Host) from a channel of the same class.
  virtual void AssignAddress(const TROTransportChannel& source) = 0;
  // Whether `source` is of this channel's class or a descendant.
  virtual bool AcceptsAssignFrom(const TROTransportChannel& source) const = 0;

  TROTransportChannel* ProbeChannel() const { return probeChannel_.get(); }
  // Called by IntDispatch once bytes of the request may have reached a server (see above).
  void NoteRequestSent() { requestSent_ = true; }
  // Called by IntDispatch before it fails because of the request itself, before anything was
  // sent (too large for the transport): the failure disables no server and fails over to none.
  void NoteRequestRefused() { requestRefused_ = true; }

  // Stops the probe timer and waits for a running pass (giving up its events queued to the main
  // thread). Concrete channels call it first thing in their destructors.
  void StopProbing();
  // The channel's address as text; the base serves socket transports ("host:port").
  virtual std::string AddressText();
  static std::string HostPortText(const std::string& host, int32_t port);

 private:
  struct TProbeTarget {
    uint64_t serial = 0;
    TROProbingOptions options = 0;
    bool enabled = false;
    std::string host;
    int32_t port = 0;
    std::string dispatcher;
  };
  void DispatchAttempt(TStream& request, TStream& response);
  // Enables locators whose failure is older than DisabledRetryInterval (under LocatorLock).
  void ReviveLocators();
  bool DueForRetry(const TROServerLocator& locator) const;
  void ProbePass(bool fromTimer);
  bool ProbeTarget(const TProbeTarget& target, bool fromTimer);
  TProbeTarget TargetOf(const TROServerLocator& locator) const;
  // Runs a probe event: on the main thread for timer passes with SynchronizedProbing and a
  // poster (waiting for it, unless probing stops), else here. False when it was given up.
  bool RaiseProbeEvent(bool fromTimer, std::function<void()> event);
  // Locks `lock` (over locatorLock_); on the timer thread gives up when probing stops.
  bool LockLocatorsForProbe(std::unique_lock<std::recursive_timed_mutex>& lock, bool fromTimer);

  TWaitInterrupt interrupt_;
  TROTransferProgress transfer_;
  TRODispatchOptions dispatchOptions_ = 0;
  TROServerLocatorCollection serverLocators_{this};
  bool probeServers_ = false;
  bool storedProbeServers_ = false;
  bool loading_ = false;
  uint32_t probeFrequency_ = 60000;
  bool synchronizedProbing_ = true;
  std::atomic<bool> busy_ = false;
  bool requestSent_ = false;     // in the running attempt; the dispatching thread only
  bool requestRefused_ = false;  // in the running attempt; the dispatching thread only
  bool failOverAfterSent_ = false;
  uint32_t disabledRetryInterval_ = 60000;
  int probeTimeoutMs_ = kProbeTimeoutMs;
  mutable std::recursive_timed_mutex locatorLock_;
  TROServerLocator* currentLocator_ = nullptr;  // guarded by locatorLock_
  int currentLocatorIndex_ = -1;                // guarded by locatorLock_
  int loadBalancerIndex_ = -1;                  // guarded by locatorLock_
  mutable std::mutex lastServerLock_;
  std::string lastServer_;  // guarded by lastServerLock_
  TROExceptionEvent onFailure_;
  std::mutex probeLock_;  // one probe (or pass) at a time; guards probeChannel_
  std::unique_ptr<TROTransportChannel> probeChannel_;
  std::mutex probeStateLock_;  // guards the three below
  bool stoppingProbes_ = false;
  TROTransportChannel* probeCancel_ = nullptr;  // probeChannel_, for StopProbing's cancel
  std::shared_ptr<TROMainThreadCall> pendingProbeEvent_;
  std::unique_ptr<TROThreadTimer> probeTimer_;
};

}  // namespace qorvin
