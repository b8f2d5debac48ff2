#include "channels/uROIndyUDPChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/rtl/Guid.h"
#include "platform/rtl/OsServices.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"

namespace qorvin {

namespace {

// Replaces the content of `target` with all of `source` and positions it at 0. A memory stream
// takes the bytes directly; any other stream through a temporary copy.
void ReplaceContent(TMemoryStream& source, TStream& target) {
  if (auto* memory = dynamic_cast<TMemoryStream*>(&target)) {
    memory->LoadFromStream(source);
  } else {
    TMemoryStream copy;
    copy.LoadFromStream(source);
    target.SetSize(0);
    target.CopyFrom(copy, 0);
  }
  target.SetPosition(0);
}

// The same for a `source` that is discarded right after: a memory stream takes its memory
// instead of a copy (and `source` is left with the target's old content).
void TakeContent(TMemoryStream& source, TStream& target) {
  if (auto* memory = dynamic_cast<TMemoryStream*>(&target)) {
    memory->Swap(source);
    memory->SetPosition(0);
  } else {
    ReplaceContent(source, target);
  }
}

}  // namespace

std::span<char> TIdUDPClient::Buffer() {
  const size_t wanted = BufferSize > 0 ? size_t(BufferSize) : 1;
  if (bufferSize_ != wanted) {
    buffer_.reset();
    bufferSize_ = 0;
    buffer_ = std::make_unique_for_overwrite<char[]>(wanted);
    bufferSize_ = wanted;
    ++allocations_;
  }
  return {buffer_.get(), bufferSize_};
}

TROIndyUDPChannel::TROIndyUDPChannel(TROComponent* owner, std::string name)
    : TROTransportChannel(owner, std::move(name)),
      client_(CreateIndyClient()),
      responses_(std::make_unique<TROSimpleAsyncResponseStorage>()),
      pending_(std::make_unique<TROSimpleAsyncResponseStorage>()),
      idLength_(NewRequestID().size()) {
  client_->Socket().SetInterrupt(&Interrupt());
}

TROIndyUDPChannel::~TROIndyUDPChannel() {
  StopProbing();
  StopResponseThread();
}

std::unique_ptr<TIdUDPClient> TROIndyUDPChannel::CreateIndyClient() {
  return std::make_unique<TIdUDPClient>();
}

std::unique_ptr<TROTransportChannel> TROIndyUDPChannel::CreateProbeChannel() {
  auto probe = std::make_unique<TROIndyUDPChannel>(this);
  probe->SetRetrys(retrys_);
  probe->SetAsyncTimeOut(AsyncTimeOut());
  probe->IndyClient().ReceiveTimeout = client_->ReceiveTimeout;
  // The whole wait for the answer, resends included, kept within the probe's bound.
  const int32_t attempts = (retrys_ > 0 ? retrys_ : 0) + 1;
  const int64_t whole = int64_t(probe->AttemptWait()) * attempts;
  if (whole > ProbeBound(0)) {
    probe->IndyClient().ReceiveTimeout = -2;
    probe->SetCallBounds(0, ProbeBound(0));
  }
  return probe;
}

bool TROIndyUDPChannel::AcceptsAssignFrom(const TROTransportChannel& source) const {
  return dynamic_cast<const TROIndyUDPChannel*>(&source) != nullptr;
}

void TROIndyUDPChannel::AssignAddress(const TROTransportChannel& source) {
  const auto& udp = static_cast<const TROIndyUDPChannel&>(source);
  SetPort(udp.Port());
  SetHost(udp.Host());
}

void TROIndyUDPChannel::Assign(const TROTransportChannel& source) {
  TROTransportChannel::Assign(source);
  const auto& udp = static_cast<const TROIndyUDPChannel&>(source);
  asyncSynchronizeResponse_ = udp.asyncSynchronizeResponse_;
  asyncTimeOut_ = udp.asyncTimeOut_;
  OnAsyncResponseTimeOut = udp.OnAsyncResponseTimeOut;
  retrys_ = udp.retrys_;
}

std::string TROIndyUDPChannel::NewRequestID() {
  return TGUID::New().ToString();
}

void TROIndyUDPChannel::AddPendingRequest(TStream* stream, const std::string& id) {
  if (stream == nullptr || id.empty())
    throw Exception("Parameters of AddRequestToStorage not Assigned");
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto copy = std::make_unique<TMemoryStream>();
  copy->LoadFromStream(*stream);
  pending_->Add(std::make_unique<TROResponseItem>(std::move(copy), id));
}

void TROIndyUDPChannel::SendDatagram(TStream& request, const std::string& id,
                                     bool recordAsPending) {
  const int64_t position = request.Position();
  const int64_t size = request.Size();
  if (size < 0 || uint64_t(size) + id.size() > kMaxUdpPayload)
    throw EIdPackageSizeTooBig(kPackageSizeTooBig);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // The datagram is put together in the channel's own buffer (kept between sends, at most one
  // datagram large), under the lock that guards it.
  std::string& datagram = datagram_;
  datagram.assign(id);
  datagram.resize(id.size() + size_t(size));
  request.SetPosition(0);
  request.ReadBuffer(datagram.data() + id.size(), size);
  request.SetPosition(position);
  client_->Socket().SendTo(client_->Host, client_->Port, datagram.data(), datagram.size());
  // Recorded while the server works on the request, not before the send: a receive takes the
  // channel lock, still held here, so no answer is looked at before its request is pending.
  if (recordAsPending) AddPendingRequest(&request, id);
}

bool TROIndyUDPChannel::ReceiveDatagram(int waitMs, const std::string& awaited) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::span<char> buffer = client_->Buffer();
  TDatagramInfo info;
  if (!client_->Socket().ReceiveFrom(buffer.data(), buffer.size(),
                                     waitMs < 0 ? kWaitForever : waitMs, info))
    return false;
  // Shorter than an ID: nobody's answer.
  if (info.size < idLength_) return false;
  std::string id(buffer.data(), idLength_);
  if (info.truncated) {
    // Too large for the buffer: the awaited answer cannot be read whole, anything else is
    // dropped.
    if (!awaited.empty() && id == awaited) throw EIdPackageSizeTooBig(kPackageSizeTooBig);
    return false;
  }
  // Only a request that still waits can use a datagram: late answers, second copies and
  // datagrams for no request of this channel are dropped at once.
  if (pending_->FindByID(id) == nullptr) return false;
  auto payload = std::make_unique<TMemoryStream>();
  payload->WriteBuffer(buffer.data() + idLength_, int64_t(info.size - idLength_));
  payload->SetPosition(0);
  auto item = std::make_unique<TROResponseItem>(std::move(payload), std::move(id));
  item->PeerAddress = info.peerAddress;
  item->PeerPort = info.peerPort;
  responses_->Add(std::move(item));
  return true;
}

void TROIndyUDPChannel::PurgeResponses() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (int i = responses_->Count() - 1; i >= 0; --i)
    if (pending_->FindByID(responses_->GetItem(i)->ID()) == nullptr) responses_->Delete(i);
}

int TROIndyUDPChannel::AttemptWait() const {
  return client_->ReceiveTimeout >= 0 ? client_->ReceiveTimeout : asyncTimeOut_;
}

bool TROIndyUDPChannel::AwaitAnswer(const std::string& id, int attempts, int wait,
                                    const std::atomic<bool>* stop) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(int64_t(wait) * attempts);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // Each receive holds the channel lock for at most one attempt's wait.
    ReceiveDatagram(int(std::clamp<int64_t>(left, 0, wait)), id);
    if (AnswerReceived(id)) return true;
    if (left <= 0 || (stop && *stop)) return false;
  }
}

void TROIndyUDPChannel::IntDispatch(TStream& request, TStream& response) {
  const std::string id = NewRequestID();
  try {
    Transfer().BeginSend(request.Size());
    SendDatagram(request, id, true);
    Transfer().SentSoFar(request.Size());
    NoteRequestSent();
    const int attempts = (retrys_ > 0 ? retrys_ : 0) + 1;
    AwaitAnswer(id, attempts, AttemptWait(), nullptr);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TROResponseItem* answer = responses_->FindByID(id);
    if (answer == nullptr)
      throw Exception(Format("Time out reading server response %s.", id.c_str()));
    const int64_t size = answer->Stream().Size();
    Transfer().BeginReceive(size);
    TakeContent(answer->Stream(), response);
    Transfer().ReceivedSoFar(size);
    responses_->DeleteByID(id);
  } catch (...) {
    pending_->DeleteByID(id);
    PurgeResponses();
    throw;
  }
  pending_->DeleteByID(id);
  PurgeResponses();
}

bool TROIndyUDPChannel::AnswerReceived(const std::string& requestID) {
  return responses_->FindByID(requestID) != nullptr;
}

void TROIndyUDPChannel::InvokeRequest(std::unique_ptr<TStream> request, bool getResponse,
                                      std::string& requestID) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  requestID.clear();
  if (threadRunning_) throw EROChannelBusy("Channel is busy.");
  if (!request) return;
  requestID = NewRequestID();
  if (Encryption().EncryptionMethod() != tetNone) {
    TMemoryStream sealed;
    DoEncryptStream(*request, sealed);
    request->SetSize(0);
    request->CopyFrom(sealed, 0);
  }
  if (!getResponse) {
    SendDatagram(*request, requestID, false);
    return;
  }
  SendDatagram(*request, requestID, true);
  // A finished thread is joined before the next one starts.
  if (responseThread_.joinable()) responseThread_.join();
  stopThread_ = false;
  threadRunning_ = true;
  try {
    responseThread_ = std::thread(&TROIndyUDPChannel::RunResponseThread, this, requestID, retrys_,
                                  asyncSynchronizeResponse_);
  } catch (...) {
    threadRunning_ = false;
    pending_->DeleteByID(requestID);
    throw;
  }
}

void TROIndyUDPChannel::RunResponseThread(std::string id, int attempts, bool synchronize) {
  NameCurrentThread("TROUDPResponseThread");
  bool answered = false;
  bool failed = false;
  try {
    answered = AwaitAnswer(id, attempts > 0 ? attempts : 1, asyncTimeOut_, &stopThread_);
  } catch (const std::exception& e) {
    failed = true;
    ReportAsyncFailure(this, e);
  }
  if (failed) {
    // Reported once, as the failure it was; no time-out event follows. Nobody will collect an
    // answer for this request any more.
    pending_->DeleteByID(id);
    PurgeResponses();
  } else if (!stopThread_) {
    auto notify = [this, id, answered] {
      if (answered)
        AsyncAnswered(id);
      else
        AsyncTimedOut(id);
    };
    if (synchronize && HasMainThreadPoster()) {
      auto call = TROMainThreadCall::Make(notify);
      {
        std::lock_guard<std::mutex> g(callLock_);
        pendingCall_ = call;
      }
      if (!stopThread_) {
        call->Start();
        call->Wait();
      }
      std::lock_guard<std::mutex> g(callLock_);
      pendingCall_.reset();
    } else {
      try {
        notify();
      } catch (const std::exception& e) {
        ReportAsyncFailure(this, e);
      }
    }
  }
  threadRunning_ = false;
}

void TROIndyUDPChannel::AsyncAnswered(const std::string& /*id*/) {
  PurgeResponses();
}

void TROIndyUDPChannel::AsyncTimedOut(const std::string& id) {
  // Nobody will collect an answer for this request any more.
  pending_->DeleteByID(id);
  PurgeResponses();
  if (OnAsyncResponseTimeOut) OnAsyncResponseTimeOut(id);
}

void TROIndyUDPChannel::RetrieveResponse(const std::string& requestID, TStream* response) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (response == nullptr) return;
  TROResponseItem* answer = responses_->FindByID(requestID);
  if (answer == nullptr)
    throw EROAsyncNoAnswerYet(Format("Response %s is not available yet.", requestID.c_str()));
  ReplaceContent(answer->Stream(), *response);
  if (Encryption().EncryptionMethod() != tetNone) {
    TMemoryStream plain;
    DoDecryptStream(*response, plain);
    response->SetSize(0);
    response->CopyFrom(plain, 0);
    response->SetPosition(0);
  }
  responses_->Remove(answer);
  // The request has its answer: its pending entry is no longer needed.
  pending_->DeleteByID(requestID);
}

void TROIndyUDPChannel::StopResponseThread() {
  stopThread_ = true;
  std::shared_ptr<TROMainThreadCall> call;
  {
    std::lock_guard<std::mutex> g(callLock_);
    call = pendingCall_;
  }
  if (call) call->Cancel();
  if (responseThread_.joinable()) {
    if (responseThread_.get_id() == std::this_thread::get_id())
      responseThread_.detach();
    else
      responseThread_.join();
  }
}

}  // namespace qorvin
