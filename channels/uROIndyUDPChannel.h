// TROIndyUDPChannel: each request is one UDP datagram that starts with a fresh request ID; the
// response is the first received datagram that starts with the same ID.
//
// Datagram (both directions):
//   offset 0   size 38  request ID, ASCII, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" upper case
//   offset 38  size n   the whole request stream (client to server) or response stream (back)
// No length field: the datagram's size gives the payload size.
//
// Pending requests: a request that waits for its answer is recorded in the pending store before
// it is sent. Received datagrams are kept in the response store only when they carry the ID of a
// pending request; everything else — late answers, second copies, datagrams for no request of
// this channel, datagrams shorter than an ID, datagrams larger than the receive buffer — is
// dropped at once and the wait goes on. A synchronous dispatch removes its pending entry and
// purges the response store when it ends, whether it succeeded or not; so does an asynchronous
// request that timed out or failed.
//
// Waits: a synchronous dispatch waits for its answer at most (Retrys + 1) * AsyncTimeOut
// milliseconds in all (Retrys below 0 counts as 0), or (Retrys + 1) * ReceiveTimeout when the
// socket client's ReceiveTimeout was set to a non-negative value. Stray datagrams do not use up
// the wait: only time does. Each single receive holds the channel lock for at most one
// AsyncTimeOut. The response thread waits at most Retrys * AsyncTimeOut (at least one
// AsyncTimeOut). A lost datagram therefore costs a bounded time, never a hung caller.
//
// The receive buffer (BufferSize bytes, 8192 by default) is allocated once per channel and
// again only when BufferSize changes. It is not cleared: a receive only reads what the datagram
// wrote, and the pages of the module's 8 MiB buffer that no datagram reaches are never touched. An
// answer larger than the buffer fails its dispatch with EIdPackageSizeTooBig instead of being cut
// silently.
//
// Failures: "Time out reading server response %s." (plain Exception) with the ID; the socket
// layer's EIdPackageSizeTooBig, EIdNotAllBytesSent and EIdSocketError; EROChannelBusy
// "Channel is busy." from InvokeRequest while a response thread runs; EROAsyncNoAnswerYet
// "Response %s is not available yet." from RetrieveResponse. The response thread reports a
// failure through OnAsyncException and then raises no time-out event for that request.
//
// Progress and cancel: a synchronous dispatch counts the request stream when the datagram went
// out and the answer's payload when it arrived (the totals are those sizes). The socket watches
// the channel's cancel latch, so a cancel also ends a response thread's wait.
//
// Threads: the channel lock guards the stores' combined updates, the socket and the sends of
// InvokeRequest; a receive holds it while it waits. At most one response thread runs; the
// channel's destruction stops and joins it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "channels/uROAsyncResponseStorage.h"
#include "channels/uROClient.h"
#include "channels/uROMainThread.h"
#include "platform/socket/UdpSocket.h"

namespace qorvin {

QORVIN_DECLARE_EXCEPTION(EROAsyncNoAnswerYet, EROException);

// The channel's datagram socket client and its settings.
class TIdUDPClient {
 public:
  const std::string& Name() const { return name_; }
  std::string Host;
  int32_t Port = 8090;
  int32_t BufferSize = 8192;
  int ReceiveTimeout = -2;  // -2: the channel's own bound (AsyncTimeOut) applies
  bool BroadcastEnabled = false;
  TUdpSocket& Socket() { return socket_; }
  // The receive buffer (uncleared), allocated at the first use and when BufferSize changed.
  std::span<char> Buffer();
  // Number of times the buffer was allocated (diagnostics, tests).
  int BufferAllocations() const { return allocations_; }

 private:
  std::string name_ = "InternalIndyClient";
  TUdpSocket socket_;
  std::unique_ptr<char[]> buffer_;
  size_t bufferSize_ = 0;
  int allocations_ = 0;
};

// The asynchronous interface: send now, collect the answer later.
class IROUDPAsyncTransport {
 public:
  virtual ~IROUDPAsyncTransport() = default;
  // Sends `request` (taken and freed in every case). With `getResponse` a response thread
  // waits for the answer. `requestID` receives the ID ("" when no request was given).
  virtual void InvokeRequest(std::unique_ptr<TStream> request, bool getResponse,
                             std::string& requestID) = 0;
  // Moves the stored answer for `requestID` into `response` (nothing when it is null).
  virtual void RetrieveResponse(const std::string& requestID, TStream* response) = 0;
  virtual bool AnswerReceived(const std::string& requestID) = 0;
};

using TROAsyncResponseTimeOutEvent = std::function<void(const std::string& aRequistUID)>;

class TROIndyUDPChannel : public TROTransportChannel,
                          public IROSocketTransport,
                          public IROUDPAsyncTransport {
 public:
  explicit TROIndyUDPChannel(TROComponent* owner = nullptr, std::string name = {});
  ~TROIndyUDPChannel() override;
  const char* ClassName() const override { return "TROIndyUDPChannel"; }

  int32_t AsyncTimeOut() const { return asyncTimeOut_; }
  void SetAsyncTimeOut(int32_t ms) { asyncTimeOut_ = ms < 0 ? 0 : ms; }
  TROAsyncResponseTimeOutEvent OnAsyncResponseTimeOut;
  int32_t Retrys() const { return retrys_; }
  void SetRetrys(int32_t value) { retrys_ = value; }
  // No connection to bound; `readMs` becomes the whole wait for an answer, resends included:
  // AsyncTimeOut is set to readMs / (Retrys + 1), rounded up.
  void SetCallBounds(int /*connectMs*/, int readMs) override {
    if (readMs <= 0) return;
    const int32_t attempts = (retrys_ > 0 ? retrys_ : 0) + 1;
    SetAsyncTimeOut((readMs + attempts - 1) / attempts);
  }
  TIdUDPClient& IndyClient() { return *client_; }
  int32_t Port() const { return client_->Port; }
  void SetPort(int32_t port) override { client_->Port = port; }
  const std::string& Host() const { return client_->Host; }
  void SetHost(const std::string& host) override { client_->Host = host; }
  bool AsyncSynchronizeResponse() const { return asyncSynchronizeResponse_; }
  void SetAsyncSynchronizeResponse(bool value) { asyncSynchronizeResponse_ = value; }
  // Length of a request ID, taken from a fresh ID at creation (38).
  size_t IDLength() const { return idLength_; }

  // The stores (the response store also serves IROAsyncResponseStorage).
  TROSimpleAsyncResponseStorage& Responses() { return *responses_; }
  TROSimpleAsyncResponseStorage& PendingRequests() { return *pending_; }

  // IROSocketTransport
  std::string GetPeerAddress() override { return client_->Host; }
  std::string GetHost() override { return client_->Host; }
  int32_t GetPort() override { return client_->Port; }

  // IROUDPAsyncTransport
  void InvokeRequest(std::unique_ptr<TStream> request, bool getResponse,
                     std::string& requestID) override;
  void RetrieveResponse(const std::string& requestID, TStream* response) override;
  bool AnswerReceived(const std::string& requestID) override;
  // True while a response thread runs.
  bool ResponseThreadRunning() const { return threadRunning_; }

  void Assign(const TROTransportChannel& source) override;

  virtual std::string NewRequestID();
  // Sends ID + all of `request` as one datagram. When asked, records the request as pending,
  // under the same hold of the channel lock (a request that could not be sent is not recorded).
  virtual void SendDatagram(TStream& request, const std::string& id, bool recordAsPending);
  // "Parameters of AddRequestToStorage not Assigned" without stream or ID.
  void AddPendingRequest(TStream* stream, const std::string& id);
  // Waits at most `waitMs` (negative: without limit) for one datagram and stores it when it
  // carries the ID of a pending request; anything else is dropped (see above). Returns whether
  // a datagram was stored. A datagram larger than the buffer that carries `awaited` fails with
  // EIdPackageSizeTooBig.
  virtual bool ReceiveDatagram(int waitMs, const std::string& awaited = {});
  // Deletes every stored datagram whose ID no pending request has.
  virtual void PurgeResponses();

 protected:
  void IntDispatch(TStream& request, TStream& response) override;
  std::unique_ptr<TROTransportChannel> CreateProbeChannel() override;
  bool AddressIsSet() const override { return !client_->Host.empty(); }
  // What the base finds through a cross-cast, without one: it runs after every call.
  std::string AddressText() override { return HostPortText(client_->Host, client_->Port); }
  const char* AddressPropertyName() const override { return "Host"; }
  void AssignAddress(const TROTransportChannel& source) override;
  bool AcceptsAssignFrom(const TROTransportChannel& source) const override;
  virtual std::unique_ptr<TIdUDPClient> CreateIndyClient();
  // Notifications of the response thread.
  virtual void AsyncAnswered(const std::string& id);
  virtual void AsyncTimedOut(const std::string& id);

 private:
  int AttemptWait() const;
  // Receives until the answer for `id` is stored (true), `attempts` * `waitMs` have passed or
  // `stop` turned true (false).
  bool AwaitAnswer(const std::string& id, int attempts, int waitMs, const std::atomic<bool>* stop);
  void RunResponseThread(std::string id, int attempts, bool synchronize);
  void StopResponseThread();

  std::recursive_mutex lock_;
  std::unique_ptr<TIdUDPClient> client_;
  std::unique_ptr<TROSimpleAsyncResponseStorage> responses_;
  std::unique_ptr<TROSimpleAsyncResponseStorage> pending_;
  std::string datagram_;  // the datagram being sent; guarded by lock_
  int32_t asyncTimeOut_ = 1000;
  int32_t retrys_ = 5;
  bool asyncSynchronizeResponse_ = true;
  size_t idLength_;
  // The response thread.
  std::thread responseThread_;
  std::atomic<bool> threadRunning_ = false;
  std::atomic<bool> stopThread_ = false;
  std::mutex callLock_;
  std::shared_ptr<TROMainThreadCall> pendingCall_;  // guarded by callLock_
};

}  // namespace qorvin
