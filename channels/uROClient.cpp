#include "channels/uROClient.h"

#include <limits>

namespace qorvin {

namespace {

int32_t Clamp32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return int32_t(v);
}

}  // namespace

// --- TROBaseConnection ---

TROBaseConnection::TROBaseConnection(TROComponent* owner, std::string name)
    : TROComponent(owner, std::move(name)) {}

void TROBaseConnection::DoEncryptStream(TStream& source, TStream& dest) {
  source.SetPosition(0);
  encryption_.Encrypt(source, dest);
}

void TROBaseConnection::DoDecryptStream(TStream& source, TStream& dest) {
  source.SetPosition(0);
  encryption_.Decrypt(source, dest);
}

// --- TROTransportChannel: life, properties ---

TROTransportChannel::TROTransportChannel(TROComponent* owner, std::string name)
    : TROBaseConnection(owner, std::move(name)) {}

TROTransportChannel::~TROTransportChannel() {
  // The timer calls back into this channel: it must be gone before anything else is.
  probeTimer_.reset();
  probeChannel_.reset();
}

void TROTransportChannel::SetProbeServers(bool value) {
  if (loading_) {
    storedProbeServers_ = value;
    return;
  }
  if (value == probeServers_) return;
  probeServers_ = value;
  if (value) {
    probeTimer_ = std::make_unique<TROThreadTimer>([this] { ProbeServerLocators(); },
                                                   probeFrequency_, synchronizedProbing_);
  } else {
    probeTimer_.reset();  // stops and joins the timer thread
  }
}

void TROTransportChannel::SetServerLocators(const TROServerLocatorCollection& value) {
  serverLocators_.Assign(value);
  currentLocator_ = nullptr;
  currentLocatorIndex_ = -1;
  loadBalancerIndex_ = -1;
}

void TROTransportChannel::SetProbeFrequency(uint32_t value) {
  probeFrequency_ = value;
  if (probeTimer_) probeTimer_->SetInterval(value);
}

void TROTransportChannel::SetSynchronizedProbing(bool value) {
  synchronizedProbing_ = value;
  if (probeTimer_) probeTimer_->SetSynchronized(value);
}

void TROTransportChannel::SetLoading(bool loading) {
  if (loading == loading_) return;
  loading_ = loading;
  if (loading)
    storedProbeServers_ = probeServers_;
  else
    SetProbeServers(storedProbeServers_);
}

void TROTransportChannel::DoProgress(TProgressType type, TProgressDirection direction,
                                     int64_t transferred, int64_t total) {
  if (OnProgress) OnProgress(this, type, direction, Clamp32(transferred), Clamp32(total));
}

void TROTransportChannel::ReportAsyncFailure(void* async, const std::exception& anException) {
  if (OnAsyncException) OnAsyncException(this, async, anException);
}

void TROTransportChannel::Assign(const TROTransportChannel& source) {
  if (&source == this) return;
  if (!AcceptsAssignFrom(source))
    throw EROException(Format("Cannot Assign a %s t a %s", ClassName(), source.ClassName()));
  OnSendStream = source.OnSendStream;
  OnReceiveStream = source.OnReceiveStream;
  OnProgress = source.OnProgress;
  onFailure_ = source.onFailure_;
  OnLoginNeeded = source.OnLoginNeeded;
  OnServerLocatorAssignment = source.OnServerLocatorAssignment;
  OnBeforeProbingServers = source.OnBeforeProbingServers;
  OnAfterProbingServers = source.OnAfterProbingServers;
  OnBeforeProbingServer = source.OnBeforeProbingServer;
  OnAfterProbingServer = source.OnAfterProbingServer;
  OnAsyncException = source.OnAsyncException;
  dispatchOptions_ = source.dispatchOptions_;
  SetEncryption(source.Encryption());
  SetProbeFrequency(source.probeFrequency_);
  SetServerLocators(source.serverLocators_);
  SetSynchronizedProbing(source.synchronizedProbing_);
  SetProbeServers(source.probeServers_);
  AssignAddress(source);
}

// --- Message-level dispatch ---

void TROTransportChannel::Dispatch(IROMessage& message) {
  try {
    PrepareDispatch(&message);
  } catch (const std::exception& e) {
    bool retry = false;
    if (onFailure_) onFailure_(this, e, retry);
    if (!retry) throw;
  }
  TMemoryStream request;
  message.WriteToStream(request);
  for (bool repeat = false;; repeat = true) {
    bool retry = false;
    try {
      auto response = std::make_unique<TMemoryStream>();
      if (repeat) PrepareDispatch(&message);
      Dispatch(request, *response);
      message.BeforeRead(this);
      // The message takes the stream; it frees it itself, also when reading fails.
      message.ReadFromStream(std::move(response));
      return;
    } catch (const EROSessionNotFound& e) {
      if (!OnLoginNeeded) throw;
      OnLoginNeeded(this, e, retry);
      if (!retry) throw;
    } catch (const std::exception& e) {
      if (onFailure_) onFailure_(this, e, retry);
      if (!retry) throw;
    }
  }
}

// --- Stream-level dispatch ---

void TROTransportChannel::Dispatch(TStream& request, TStream& response) {
  if (busy_.exchange(true)) throw EROChannelBusy("Channel is busy. Try again later.");
  struct ClearBusy {
    std::atomic<bool>& busy;
    ~ClearBusy() { busy = false; }
  } clearBusy{busy_};

  int startIndex = BeforeDispatch();
  if (OnSendStream) OnSendStream(request);
  // Where this dispatch's answer begins: a repeated attempt first removes whatever a failed
  // attempt wrote after it.
  const int64_t responseStart = response.Position();
  for (bool repeat = false;; repeat = true) {
    try {
      if (repeat) {
        response.SetSize(responseStart);
        response.SetPosition(responseStart);
      }
      DispatchAttempt(request, response);
      return;
    } catch (const std::exception& e) {
      bool retry = false;
      HandleDispatchFailure(startIndex, retry, e);
      if (!retry) throw;
    }
  }
}

void TROTransportChannel::DispatchAttempt(TStream& request, TStream& response) {
  request.SetPosition(0);
  if (Encryption().EncryptionMethod() != tetNone) {
    TMemoryStream encryptedRequest;
    TMemoryStream encryptedResponse;
    DoEncryptStream(request, encryptedRequest);
    encryptedRequest.SetPosition(0);
    IntDispatch(encryptedRequest, encryptedResponse);
    DoDecryptStream(encryptedResponse, response);
  } else {
    IntDispatch(request, response);
  }
  response.SetPosition(0);
  if (OnReceiveStream) {
    OnReceiveStream(response);
    response.SetPosition(0);
  }
}

// --- Locators ---

int TROTransportChannel::BeforeDispatch() {
  if (dispatchOptions_ & doLoadBalanced) {
    if (TROServerLocator* locator =
            serverLocators_.GetNextLocator(loadBalancerIndex_, loadBalancerIndex_, true)) {
      AssignServerLocator(locator, nullptr);
      currentLocator_ = locator;
      currentLocatorIndex_ = loadBalancerIndex_;
    }
  }
  return currentLocatorIndex_;
}

void TROTransportChannel::HandleDispatchFailure(int& startIndex, bool& retry,
                                                const std::exception& error) {
  if (!(dispatchOptions_ & doFaultTolerant)) return;
  // The current locator may have been removed from the collection since it was applied.
  if (currentLocator_ && serverLocators_.IndexOf(currentLocator_) < 0) currentLocator_ = nullptr;
  if (currentLocator_ && currentLocator_->DisableOnFailure()) currentLocator_->SetEnabled(false);
  if (TROServerLocator* locator =
          serverLocators_.GetNextLocator(currentLocatorIndex_, startIndex, false)) {
    retry = true;
    AssignServerLocator(locator, &error);
    currentLocator_ = locator;
  }
}

void TROTransportChannel::AssignServerLocator(TROServerLocator* locator,
                                              const std::exception* cause) {
  if (OnServerLocatorAssignment) OnServerLocatorAssignment(this, locator, cause);
  ApplyServerLocator(locator);
}

void TROTransportChannel::ApplyServerLocator(TROServerLocator* locator) {
  if (locator == nullptr) return;
  if (auto* socket = dynamic_cast<IROSocketTransport*>(this)) {
    socket->SetPort(locator->Port());
    socket->SetHost(locator->Host());
  }
}

void TROTransportChannel::CheckProperties() {
  int marker = -2;  // no load-balancing step yet
  for (;;) {
    if (AddressIsSet()) return;
    const EROException error(Name() + "." + AddressPropertyName() + " must be set.");
    if (marker == -2) {
      marker = BeforeDispatch();
      continue;
    }
    bool retry = false;
    HandleDispatchFailure(marker, retry, error);
    if (!retry) throw error;
  }
}

std::unique_ptr<TMemoryStream> TROTransportChannel::FetchServiceDescription() {
  PrepareDispatch(nullptr);
  TMemoryStream request;
  request.WriteBytes("RODL");
  auto response = std::make_unique<TMemoryStream>();
  Dispatch(request, *response);
  return response;
}

// --- Probing ---

bool TROTransportChannel::ProbeServer(TROServerLocator* locator) {
  if (!probeChannel_) {
    probeChannel_ = CreateProbeChannel();
    probeChannel_->SetEncryption(Encryption());
  }
  probeChannel_->AssignServerLocator(locator, nullptr);
  TMemoryStream request;
  request.WriteBytes("PROBE");
  TMemoryStream response;
  if (OnBeforeProbingServer) OnBeforeProbingServer(this, locator);
  bool succeeded = false;
  try {
    probeChannel_->PrepareDispatch(nullptr);
    probeChannel_->Dispatch(request, response);
    succeeded = response.View() == "PROBEDOK";
    if (succeeded && (locator->ProbingOptions() & poEnableIfProbeSucceeded))
      locator->SetEnabled(true);
  } catch (...) {
    succeeded = false;  // a failed probe is reported through the event and the locator
  }
  if (!succeeded && (locator->ProbingOptions() & poDisableIfProbeFailed))
    locator->SetEnabled(false);
  if (OnAfterProbingServer) OnAfterProbingServer(this, locator, !succeeded);
  return succeeded;
}

void TROTransportChannel::ProbeServerLocators() {
  if (serverLocators_.Count() == 0) return;
  if (OnBeforeProbingServers) OnBeforeProbingServers(this);
  int probed = 0, enabled = 0, disabled = 0;
  for (int i = 0; i < serverLocators_.Count(); ++i) {
    TROServerLocator* locator = serverLocators_.Items(i);
    const TROProbingOptions options = locator->ProbingOptions();
    if (options == 0) continue;
    ++probed;
    if (locator->Enabled() && (options & poProbeWhenEnabled)) {
      if (!ProbeServer(locator)) ++disabled;
    } else if (!locator->Enabled() && (options & poProbeWhenDisabled)) {
      if (ProbeServer(locator)) ++enabled;
    }
  }
  if (OnAfterProbingServers) OnAfterProbingServers(this, probed, enabled, disabled);
}

}  // namespace qorvin
