#include "channels/uROClient.h"

#include <chrono>
#include <limits>
#include <utility>

#include "platform/http/Url.h"
#include "platform/socket/SocketErrors.h"

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
  // Concrete channels have stopped probing already; this covers channels that did not.
  StopProbing();
  {
    std::lock_guard<std::mutex> guard(probeStateLock_);
    probeCancel_ = nullptr;
  }
  probeChannel_.reset();
}

void TROTransportChannel::SetProbeServers(bool value) {
  if (loading_) {
    storedProbeServers_ = value;
    return;
  }
  if (value == probeServers_) return;
  if (value) {
    probeServers_ = true;
    // The pass runs on the timer's own thread; RaiseProbeEvent hands its events over.
    auto timer =
        std::make_unique<TROThreadTimer>([this] { ProbePass(true); }, probeFrequency_, false);
    std::lock_guard<std::mutex> guard(probeStateLock_);
    probeTimer_ = std::move(timer);
  } else {
    StopProbing();
  }
}

void TROTransportChannel::StopProbing() {
  std::unique_ptr<TROThreadTimer> timer;
  std::shared_ptr<TROMainThreadCall> pending;
  {
    std::lock_guard<std::mutex> guard(probeStateLock_);
    probeServers_ = false;
    if (!probeTimer_) return;
    stoppingProbes_ = true;
    timer = std::move(probeTimer_);
    pending = pendingProbeEvent_;
    // A probe waiting on the network ends at once.
    if (probeCancel_) probeCancel_->RequestCancel();
  }
  if (pending) pending->Cancel();  // the pass may wait for the main thread: let it go
  timer.reset();                   // stops and joins the timer thread
  std::lock_guard<std::mutex> guard(probeStateLock_);
  stoppingProbes_ = false;
}

void TROTransportChannel::SetServerLocators(const TROServerLocatorCollection& value) {
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  serverLocators_.Assign(value);
  currentLocator_ = nullptr;
  currentLocatorIndex_ = -1;
  loadBalancerIndex_ = -1;
}

int TROTransportChannel::AddServerLocator(const std::string& host, int32_t port,
                                          const std::string& dispatcher) {
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  TROServerLocator* locator = serverLocators_.Add();
  locator->SetHost(host);
  locator->SetPort(port);
  locator->SetHTTPDispatcher(dispatcher);
  return serverLocators_.Count() - 1;
}

void TROTransportChannel::ClearServerLocators() {
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  serverLocators_.Clear();
  currentLocator_ = nullptr;
  currentLocatorIndex_ = -1;
  loadBalancerIndex_ = -1;
}

void TROTransportChannel::SelectServerLocator(int index) {
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  TROServerLocator* locator = serverLocators_.Items(index);
  ApplyServerLocator(locator);
  currentLocator_ = locator;
  currentLocatorIndex_ = index;
  loadBalancerIndex_ = index;
}

std::vector<TROTransportChannel::TLocatorState> TROTransportChannel::LocatorStates() const {
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  std::vector<TLocatorState> states;
  for (int i = 0; i < serverLocators_.Count(); ++i) {
    const TROServerLocator* l = serverLocators_.Items(i);
    states.push_back({l->Host(), l->Port(), l->HTTPDispatcher(), l->Enabled() || DueForRetry(*l)});
  }
  return states;
}

std::string TROTransportChannel::LastServerAddress() const {
  std::lock_guard<std::mutex> guard(lastServerLock_);
  return lastServer_;
}

std::string TROTransportChannel::AddressText() {
  if (auto* socket = dynamic_cast<IROSocketTransport*>(this))
    return HostPortText(socket->GetHost(), socket->GetPort());
  return {};
}

std::string TROTransportChannel::ServerText(const TROServerLocator& locator) {
  if (locator.Port() == 0) return locator.Host();  // a whole URL
  return HostPortText(locator.Host(), locator.Port());
}

int TROTransportChannel::ProbeBound(int callBoundMs) const {
  return callBoundMs > 0 && callBoundMs < probeTimeoutMs_ ? callBoundMs : probeTimeoutMs_;
}

std::string TROTransportChannel::HostPortText(const std::string& host, int32_t port) {
  return UrlHost(host) + ":" + std::to_string(port);
}

void TROTransportChannel::SetProbeFrequency(uint32_t value) {
  probeFrequency_ = value;
  std::lock_guard<std::mutex> guard(probeStateLock_);
  if (probeTimer_) probeTimer_->SetInterval(value);
}

void TROTransportChannel::SetSynchronizedProbing(bool value) {
  synchronizedProbing_ = value;
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
    if (CancelRequested()) throw;
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
      if (!OnLoginNeeded || CancelRequested()) throw;
      OnLoginNeeded(this, e, retry);
      if (!retry) throw;
    } catch (const std::exception& e) {
      // A cancelled call ends here, whatever a handler would make of the failure.
      if (CancelRequested()) throw;
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
      requestSent_ = false;
      requestRefused_ = false;
      DispatchAttempt(request, response);
      transfer_.EndReceive();
      std::string address = AddressText();
      std::lock_guard<std::mutex> guard(lastServerLock_);
      lastServer_ = std::move(address);
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
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  ReviveLocators();
  if (dispatchOptions_ & doLoadBalanced) {
    if (TROServerLocator* locator =
            serverLocators_.GetNextLocator(loadBalancerIndex_, loadBalancerIndex_, true)) {
      AssignServerLocator(locator, nullptr);
      currentLocator_ = locator;
      currentLocatorIndex_ = loadBalancerIndex_;
    }
  } else if ((dispatchOptions_ & doFaultTolerant) && currentLocator_ &&
             serverLocators_.IndexOf(currentLocator_) >= 0 && !currentLocator_->Enabled()) {
    // Nothing of this call has been sent: it starts on the next enabled server rather than on
    // one that failed (or that probing found dead). With none enabled it tries the current one.
    int index = currentLocatorIndex_;
    int stop = currentLocatorIndex_;
    if (TROServerLocator* locator = serverLocators_.GetNextLocator(index, stop, false)) {
      const EROException cause("The server " + ServerText(*currentLocator_) + " is disabled.");
      AssignServerLocator(locator, &cause);
      currentLocator_ = locator;
      currentLocatorIndex_ = index;
    }
  }
  return currentLocatorIndex_;
}

bool TROTransportChannel::DueForRetry(const TROServerLocator& locator) const {
  return disabledRetryInterval_ != 0 &&
         locator.MillisecondsSinceFailure() >= int64_t(disabledRetryInterval_);
}

void TROTransportChannel::ReviveLocators() {
  for (int i = 0; i < serverLocators_.Count(); ++i) {
    TROServerLocator* locator = serverLocators_.Items(i);
    if (DueForRetry(*locator)) locator->SetEnabled(true);
  }
}

void TROTransportChannel::HandleDispatchFailure(int& startIndex, bool& retry,
                                                const std::exception& error) {
  // A cancel says nothing about the server: no locator is disabled, no other one tried. Nor does
  // a request that no server could take (too large to send): every other server would refuse
  // it too.
  if (!(dispatchOptions_ & doFaultTolerant) || CancelRequested()) return;
  if (requestRefused_ || dynamic_cast<const EIdPackageSizeTooBig*>(&error) != nullptr) return;
  std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
  // The current locator may have been removed from the collection since it was applied.
  if (currentLocator_ && serverLocators_.IndexOf(currentLocator_) < 0) currentLocator_ = nullptr;
  if (currentLocator_ && currentLocator_->DisableOnFailure())
    currentLocator_->DisableAfterFailure();
  // The server may have run the request: sending it to another could run it twice.
  if (requestSent_ && !failOverAfterSent_) return;
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
  requestSent_ = false;  // nothing goes out before the address is known
  int marker = -2;       // no load-balancing step yet
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

TROTransportChannel::TProbeTarget TROTransportChannel::TargetOf(
    const TROServerLocator& locator) const {
  return {locator.Serial(), locator.ProbingOptions(), locator.Enabled(),
          locator.Host(),   locator.Port(),           locator.HTTPDispatcher()};
}

bool TROTransportChannel::RaiseProbeEvent(bool fromTimer, std::function<void()> event) {
  if (!fromTimer || !synchronizedProbing_ || !HasMainThreadPoster()) {
    event();
    return true;
  }
  auto call = TROMainThreadCall::Make(std::move(event));
  {
    std::lock_guard<std::mutex> guard(probeStateLock_);
    if (stoppingProbes_) return false;
    pendingProbeEvent_ = call;
  }
  call->Start();
  const bool ran = call->Wait();
  std::lock_guard<std::mutex> guard(probeStateLock_);
  pendingProbeEvent_.reset();
  return ran;
}

// The probe timer's thread never waits for the locator lock without end: whoever stops probing
// may hold it (inside a locator event, say) while waiting for that thread.
bool TROTransportChannel::LockLocatorsForProbe(std::unique_lock<std::recursive_timed_mutex>& lock,
                                               bool fromTimer) {
  if (!fromTimer) {
    lock.lock();
    return true;
  }
  while (!lock.try_lock_for(std::chrono::milliseconds(20))) {
    std::lock_guard<std::mutex> guard(probeStateLock_);
    if (stoppingProbes_) return false;
  }
  return true;
}

bool TROTransportChannel::ProbeServer(TROServerLocator* locator) {
  std::lock_guard<std::mutex> probing(probeLock_);
  TProbeTarget target;
  {
    std::lock_guard<std::recursive_timed_mutex> guard(locatorLock_);
    target = TargetOf(*locator);
  }
  return ProbeTarget(target, false);
}

// One probe, with probeLock_ held. The locator is looked up again by its serial number after
// each step that may have let the host change the list.
bool TROTransportChannel::ProbeTarget(const TProbeTarget& target, bool fromTimer) {
  if (!probeChannel_) {
    auto channel = CreateProbeChannel();
    channel->SetEncryption(Encryption());
    std::lock_guard<std::mutex> guard(probeStateLock_);
    probeChannel_ = std::move(channel);
    probeCancel_ = probeChannel_.get();
  }
  TROServerLocator copy;  // the address as it was when the probe began
  copy.SetHost(target.host);
  copy.SetPort(target.port);
  copy.SetHTTPDispatcher(target.dispatcher);
  probeChannel_->AssignServerLocator(&copy, nullptr);
  TMemoryStream request;
  request.WriteBytes("PROBE");
  TMemoryStream response;
  const uint64_t serial = target.serial;
  // An event given up means probing stops (perhaps from inside that very event, on the main
  // thread, which then holds the locator lock): the pass touches nothing more.
  if (!RaiseProbeEvent(fromTimer, [this, serial, fromTimer] {
        std::unique_lock<std::recursive_timed_mutex> guard(locatorLock_, std::defer_lock);
        if (!LockLocatorsForProbe(guard, fromTimer)) return;
        TROServerLocator* l = serverLocators_.FindBySerial(serial);
        if (l && OnBeforeProbingServer) OnBeforeProbingServer(this, l);
      }))
    return false;
  {
    // A stop that came before this point has triggered the latch already: keep it.
    std::lock_guard<std::mutex> guard(probeStateLock_);
    if (fromTimer && stoppingProbes_) return false;
    probeChannel_->ResetCancel();
  }
  bool succeeded = false;
  try {
    probeChannel_->PrepareDispatch(nullptr);
    probeChannel_->Dispatch(request, response);
    succeeded = response.View() == "PROBEDOK";
  } catch (...) {
    succeeded = false;  // a failed probe is reported through the event and the locator
  }
  if (fromTimer) {
    std::lock_guard<std::mutex> guard(probeStateLock_);
    if (stoppingProbes_) return false;  // ended by the stop: says nothing about the server
  }
  {
    std::unique_lock<std::recursive_timed_mutex> guard(locatorLock_, std::defer_lock);
    if (!LockLocatorsForProbe(guard, fromTimer)) return false;
    if (TROServerLocator* l = serverLocators_.FindBySerial(serial)) {
      if (succeeded && (l->ProbingOptions() & poEnableIfProbeSucceeded)) l->SetEnabled(true);
      // A failed probe counts as a failure: the retry interval runs from the latest one.
      if (!succeeded && (l->ProbingOptions() & poDisableIfProbeFailed)) l->DisableAfterFailure();
    }
  }
  RaiseProbeEvent(fromTimer, [this, serial, succeeded, fromTimer] {
    std::unique_lock<std::recursive_timed_mutex> guard(locatorLock_, std::defer_lock);
    if (!LockLocatorsForProbe(guard, fromTimer)) return;
    TROServerLocator* l = serverLocators_.FindBySerial(serial);
    if (l && OnAfterProbingServer) OnAfterProbingServer(this, l, !succeeded);
  });
  return succeeded;
}

bool TROTransportChannel::ProbeAddress(const TROServerLocator& where, int timeoutMs,
                                       std::string& failure) {
  std::unique_ptr<TROTransportChannel> probe = CreateProbeChannel();
  if (timeoutMs > 0) probe->SetCallBounds(timeoutMs, timeoutMs);
  probe->SetEncryption(Encryption());
  TROServerLocator copy;
  copy.SetHost(where.Host());
  copy.SetPort(where.Port());
  copy.SetHTTPDispatcher(where.HTTPDispatcher());
  probe->UseAddress(&copy);
  TMemoryStream request;
  request.WriteBytes("PROBE");
  TMemoryStream response;
  try {
    probe->PrepareDispatch(nullptr);
    probe->Dispatch(request, response);
  } catch (const std::exception& e) {
    failure = e.what();
    return false;
  }
  const std::string_view answer = response.View();
  if (answer == "PROBEDOK") return true;
  std::string shown;  // the first bytes, with anything unprintable as '.'
  for (const char c : answer.substr(0, 40))
    shown +=
        (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) ? '.' : c;
  failure = "unexpected answer \"" + shown + "\" (" + std::to_string(answer.size()) + " bytes)";
  return false;
}

void TROTransportChannel::ProbeServerLocators() {
  ProbePass(false);
}

void TROTransportChannel::ProbePass(bool fromTimer) {
  std::lock_guard<std::mutex> probing(probeLock_);  // a direct pass waits for a timer pass
  std::vector<TProbeTarget> targets;
  {
    std::unique_lock<std::recursive_timed_mutex> guard(locatorLock_, std::defer_lock);
    if (!LockLocatorsForProbe(guard, fromTimer)) return;
    if (serverLocators_.Count() == 0) return;
    for (int i = 0; i < serverLocators_.Count(); ++i) {
      const TROServerLocator* locator = serverLocators_.Items(i);
      if (locator->ProbingOptions() != 0) targets.push_back(TargetOf(*locator));
    }
  }
  if (!RaiseProbeEvent(fromTimer, [this] {
        if (OnBeforeProbingServers) OnBeforeProbingServers(this);
      }))
    return;  // probing stops
  int probed = 0, enabled = 0, disabled = 0;
  for (const TProbeTarget& target : targets) {
    ++probed;
    if (target.enabled && (target.options & poProbeWhenEnabled)) {
      if (!ProbeTarget(target, fromTimer)) ++disabled;
    } else if (!target.enabled && (target.options & poProbeWhenDisabled)) {
      if (ProbeTarget(target, fromTimer)) ++enabled;
    }
    if (fromTimer) {
      std::lock_guard<std::mutex> guard(probeStateLock_);
      if (stoppingProbes_) return;
    }
  }
  RaiseProbeEvent(fromTimer, [this, probed, enabled, disabled] {
    if (OnAfterProbingServers) OnAfterProbingServers(this, probed, enabled, disabled);
  });
}

}  // namespace qorvin
