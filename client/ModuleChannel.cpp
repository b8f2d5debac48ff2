#include "client/ModuleChannel.h"

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "messaging/uRORemoteService.h"
#include "platform/http/Url.h"

namespace qorvin {

namespace {
constexpr int32_t kUdpBufferSize = 8388608;  // 0x800000; the socket client's default is 8192
constexpr char kUserAgent[] = "QorvinClient";
}  // namespace

std::unique_ptr<ModuleChannel> ModuleChannel::Create(char connectType, const std::string& host,
                                                     int32_t port) {
  std::unique_ptr<ModuleChannel> m(new ModuleChannel());
  switch (connectType) {
    case 'B':
    case 'T': {
      auto tcp = std::make_unique<TROIndyTCPChannel>();
      tcp->SetHost(host);
      tcp->SetPort(port);
      tcp->SetDisableNagle(true);
      m->channel_ = std::move(tcp);
      m->kind_ = 'T';
      break;
    }
    case 'H': {
      auto http = std::make_unique<TROWinInetHTTPChannel>();
      http->SetUserAgent(kUserAgent);
      // An empty host leaves the channel without a URL: the module's servers all come from
      // IQorvinServers::AddServer (an https:// URL among them).
      if (!host.empty())
        http->SetTargetURL("http://" + UrlHost(host) + ":" + std::to_string(port) + "/Bin");
      m->channel_ = std::move(http);
      m->kind_ = 'H';
      break;
    }
    case 'U': {
      auto udp = std::make_unique<TROIndyUDPChannel>();
      udp->SetHost(host);
      udp->SetPort(port);
      udp->IndyClient().BufferSize = kUdpBufferSize;
      m->channel_ = std::move(udp);
      m->kind_ = 'U';
      break;
    }
    default:
      return nullptr;
  }
  m->channel_->Encryption().SetUseCompression(false);
  return m;
}

ModuleChannel::~ModuleChannel() = default;

void ModuleChannel::Attach(TRORemoteService& service) {
  switch (kind_) {
    case 'T':
      service.SetChannel(static_cast<TROIndyTCPChannel*>(channel_.get()));
      break;
    case 'H':
      service.SetChannel(static_cast<TROWinInetHTTPChannel*>(channel_.get()));
      break;
    default:
      service.SetChannel(static_cast<TROIndyUDPChannel*>(channel_.get()));
      break;
  }
}

void ModuleChannel::Detach(TRORemoteService& service) {
  service.SetChannel(nullptr);
}

bool ModuleChannel::Busy() const {
  return channel_->Busy();
}

bool ModuleChannel::GetConnected() {
  switch (kind_) {
    case 'T':
      return static_cast<TROIndyTCPChannel&>(*channel_).IndyClient().Connected();
    case 'H':
      return static_cast<TROWinInetHTTPChannel&>(*channel_).Connected();
    default:
      return static_cast<TROIndyUDPChannel&>(*channel_).IndyClient().Socket().Open();
  }
}

void ModuleChannel::SetConnected(bool value) {
  if (kind_ == 'T') {
    auto& tcp = static_cast<TROIndyTCPChannel&>(*channel_);
    if (!tcp.KeepAlive()) return;
    TIdTCPClient& client = tcp.IndyClient();
    if (value && !client.Connected()) client.Connect();
    if (!value && client.Connected()) client.Disconnect();
  } else if (kind_ == 'H') {
    auto& http = static_cast<TROWinInetHTTPChannel&>(*channel_);
    if (!value && http.KeepConnection()) http.SetConnected(false);
  }
}

void ModuleChannel::SetKeepConnection(bool value) {
  if (kind_ == 'T') {
    auto& tcp = static_cast<TROIndyTCPChannel&>(*channel_);
    tcp.SetKeepAlive(value);
    if (!value && tcp.IndyClient().Connected()) tcp.IndyClient().Disconnect();
  } else if (kind_ == 'H') {
    auto& http = static_cast<TROWinInetHTTPChannel&>(*channel_);
    http.SetKeepConnection(value);
    if (!value) http.SetConnected(false);
  }
}

void ModuleChannel::Teardown() noexcept {
  if (kind_ != 'T') return;
  try {
    static_cast<TROIndyTCPChannel&>(*channel_).IndyClient().Disconnect();
  } catch (...) {
  }
}

}  // namespace qorvin
