#include "client/ModuleServers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "channels/uROClient.h"
#include "channels/uROWinInetHttpChannel.h"
#include "client/HostValues.h"
#include "client/ModuleGate.h"
#include "platform/http/Url.h"

namespace qorvin {

namespace {

constexpr char kDefaultPath[] = "Bin";

bool IsUrl(const std::string& text) {
  std::string lower = text.substr(0, 8);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return lower.starts_with("http://") || lower.starts_with("https://");
}

// Blanks, control characters and the characters that would change what a URL means.
bool HasUnsafeCharacter(const std::string& text, const char* alsoUnsafe) {
  return std::any_of(text.begin(), text.end(), [&](unsigned char c) {
    return c <= 0x20 || c == 0x7F || (c != 0 && std::strchr(alsoUnsafe, c) != nullptr);
  });
}

struct PostedJob {
  std::function<void()> job;
  static void Run(void* context) {
    std::unique_ptr<PostedJob> self(static_cast<PostedJob*>(context));
    try {
      self->job();
    } catch (...) {
      // A callback runs for the host; nothing to report it to.
    }
  }
};

}  // namespace

std::string ModuleServers::CheckServer(char letter, const std::string& host, int32_t port,
                                       const std::string& path) {
  if (host.empty()) return "the server's host is empty";
  if (letter == 'H' && IsUrl(host)) {
    TUrlParts parts;
    if (HasUnsafeCharacter(host, "") || !CrackUrl(host, parts) || parts.host.empty())
      return "'" + host + "' is not a usable URL";
    return {};
  }
  if (HasUnsafeCharacter(host, "/?#@"))
    return "the host '" + host + "' holds a character a host name cannot hold";
  if (port < 1 || port > 65535) return "the port must lie between 1 and 65535";
  if (letter != 'H' && !path.empty()) return "only an HTTP server has a path";
  if (HasUnsafeCharacter(path, "?#")) return "the path '" + path + "' cannot be used";
  return {};
}

ModuleServers::ModuleServers(TROTransportChannel& channel, char letter)
    : channel_(channel), letter_(letter == 'B' ? 'T' : letter) {
  if (letter_ == 'H') {
    own_.host = static_cast<TROWinInetHTTPChannel&>(channel_).TargetURL();
  } else if (auto* socket = dynamic_cast<IROSocketTransport*>(&channel_)) {
    own_.host = socket->GetHost();
    own_.port = socket->GetPort();
  }
  channel_.SetSynchronizedProbing(false);  // results reach the host through Deliver
  channel_.OnServerLocatorAssignment = [this](TROTransportChannel*, TROServerLocator* locator,
                                              const std::exception* cause) {
    if (locator == nullptr) return;
    const std::string address =
        AddressOf(locator->Host(), locator->Port(), locator->HTTPDispatcher());
    const std::string why = cause ? cause->what() : "";
    Deliver([this, address, why] {
      QorvinServerCallback cb;
      {
        std::lock_guard<std::mutex> guard(lock_);
        cb = onAssigned_;
      }
      if (cb.code) cb.code(cb.object, address.c_str(), why.c_str());
    });
  };
  channel_.OnAfterProbingServer = [this](TROTransportChannel*, TROServerLocator* locator,
                                         bool failed) {
    const std::string address =
        AddressOf(locator->Host(), locator->Port(), locator->HTTPDispatcher());
    const bool enabled = locator->Enabled();
    Deliver([this, address, failed, enabled] {
      QorvinProbeCallback cb;
      {
        std::lock_guard<std::mutex> guard(lock_);
        cb = onProbed_;
      }
      if (cb.code) cb.code(cb.object, address.c_str(), failed, enabled);
    });
  };
}

ModuleServers::~ModuleServers() {
  channel_.SetProbeServers(false);  // waits for a probe under way
  channel_.OnServerLocatorAssignment = nullptr;
  channel_.OnAfterProbingServer = nullptr;
}

std::string ModuleServers::AddressOf(const std::string& host, int32_t port,
                                     const std::string& path) const {
  if (letter_ == 'H') {
    if (IsUrl(host)) return host;
    return "http://" + UrlHost(host) + ":" + std::to_string(port) + "/" + path;
  }
  return UrlHost(host) + ":" + std::to_string(port);
}

void ModuleServers::EnsureOwnServer() {
  if (!channel_.LocatorStates().empty()) return;
  channel_.AddServerLocator(own_.host, own_.port, "");
  channel_.SelectServerLocator(0);
}

bool ModuleServers::AddServer(const char* host, int32_t port, const char* path,
                              QorvinText* errorText) {
  try {
    const std::string h = InText(host);
    std::string p = InText(path);
    const std::string reason = CheckServer(letter_, h, port, p);
    if (!reason.empty()) {
      if (errorText) StoreText(errorText, reason);
      return false;
    }
    if (letter_ == 'H' && p.empty()) p = kDefaultPath;
    EnsureOwnServer();
    if (letter_ == 'H' && IsUrl(h))
      channel_.AddServerLocator(h, 0, "");
    else
      channel_.AddServerLocator(h, port, letter_ == 'H' ? p : "");
    return true;
  } catch (const std::exception& e) {
    if (errorText) StoreText(errorText, e.what());
    return false;
  }
}

void ModuleServers::ClearServers() {
  try {
    channel_.ClearServerLocators();
    TROServerLocator own;
    own.SetHost(own_.host);
    own.SetPort(own_.port);
    channel_.UseAddress(&own);
  } catch (...) {
  }
}

int32_t ModuleServers::ServerCount() {
  try {
    return std::max<int32_t>(1, int32_t(channel_.LocatorStates().size()));
  } catch (...) {
    return 1;
  }
}

bool ModuleServers::GetServer(int32_t index, QorvinText* address, bool* enabled) {
  try {
    const auto states = channel_.LocatorStates();
    std::string text;
    bool on = true;
    if (states.empty() && index == 0) {
      text = AddressOf(own_.host, own_.port, kDefaultPath);
    } else if (index >= 0 && size_t(index) < states.size()) {
      const auto& s = states[size_t(index)];
      text = AddressOf(s.host, s.port, s.dispatcher);
      on = s.enabled;
    } else {
      return false;
    }
    if (address) StoreText(address, text);
    if (enabled) *enabled = on;
    return true;
  } catch (...) {
    return false;
  }
}

bool ModuleServers::SetMode(int32_t mode) {
  switch (mode) {
    case kQorvinServersSingle:
      channel_.SetDispatchOptions(0);
      return true;
    case kQorvinServersFailOver:
      channel_.SetDispatchOptions(doFaultTolerant);
      return true;
    case kQorvinServersLoadBalance:
      channel_.SetDispatchOptions(doFaultTolerant | doLoadBalanced);
      return true;
    default:
      return false;
  }
}

void ModuleServers::SetRepeatAfterSent(bool value) {
  channel_.SetFailOverAfterSent(value);
}

void ModuleServers::SetRetryDisabledAfter(int32_t ms) {
  channel_.SetDisabledRetryInterval(ms > 0 ? uint32_t(ms) : 0);
}

void ModuleServers::SetProbing(bool on, int32_t intervalMs) {
  try {
    channel_.SetProbeFrequency(uint32_t(std::max(intervalMs, 100)));
    channel_.SetProbeServers(on);
  } catch (...) {
  }
}

void ModuleServers::SetMainThreadPoster(QorvinMainThreadPoster poster) {
  std::lock_guard<std::mutex> guard(lock_);
  poster_ = poster;
}

void ModuleServers::SetOnServerAssigned(QorvinServerCallback callback) {
  std::lock_guard<std::mutex> guard(lock_);
  onAssigned_ = callback;
}

void ModuleServers::SetOnServerProbed(QorvinProbeCallback callback) {
  std::lock_guard<std::mutex> guard(lock_);
  onProbed_ = callback;
}

bool ModuleServers::GetLastServer(QorvinText* address) {
  try {
    const std::string last = channel_.LastServerAddress();
    if (address) StoreText(address, last);
    return !last.empty();
  } catch (...) {
    return false;
  }
}

bool ModuleServers::ProbeServer(int32_t index, int32_t timeoutMs, QorvinText* errorText) {
  try {
    const auto states = channel_.LocatorStates();
    TROServerLocator where;
    if (states.empty() && index == 0) {
      where.SetHost(own_.host);
      where.SetPort(own_.port);
      where.SetHTTPDispatcher(kDefaultPath);
    } else if (index >= 0 && size_t(index) < states.size()) {
      const auto& s = states[size_t(index)];
      where.SetHost(s.host);
      where.SetPort(s.port);
      where.SetHTTPDispatcher(s.dispatcher);
    } else {
      if (errorText) StoreText(errorText, "there is no server " + std::to_string(index));
      return false;
    }
    std::string failure;
    if (channel_.ProbeAddress(where, timeoutMs, failure)) return true;
    if (errorText) StoreText(errorText, failure);
    return false;
  } catch (const std::exception& e) {
    if (errorText) StoreText(errorText, e.what());
    return false;
  }
}

void ModuleServers::Deliver(std::function<void()> job) {
  QorvinMainThreadPoster poster;
  {
    std::lock_guard<std::mutex> guard(lock_);
    poster = poster_;
  }
  if (poster.post == nullptr) {
    try {
      const CallbackScope scope;  // a call from the callback runs nested (ModuleGate)
      job();
    } catch (...) {
    }
    return;
  }
  auto* posted = new PostedJob{std::move(job)};
  poster.post(poster.object, &PostedJob::Run, posted);
}

}  // namespace qorvin
