// The module's transport channel, chosen by the connection letter, and the connection methods
// that depend on its kind. Kept apart from the module so that channel headers and dataset
// headers never meet in one translation unit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qorvin {

class TROTransportChannel;
class TRORemoteService;

class ModuleChannel {
 public:
  // Builds the channel for 'B'/'T' (TCP, DisableNagle), 'H' (HTTP, user agent "QorvinClient",
  // TargetURL "http://host:port/Bin") or 'U' (UDP, buffer 8388608); null for any other letter.
  // The channel's envelope compression is switched off.
  static std::unique_ptr<ModuleChannel> Create(char connectType, const std::string& host,
                                               int32_t port);
  ~ModuleChannel();
  // Whether Create builds a channel for `connectType`.
  static bool KnownLetter(char connectType) {
    return connectType == 'B' || connectType == 'T' || connectType == 'H' || connectType == 'U';
  }

  TROTransportChannel& Channel() { return *channel_; }
  // Sets `service`'s Channel to this channel (or to none).
  void Attach(TRORemoteService& service);
  void Detach(TRORemoteService& service);

  // Whether the channel is carrying a request right now.
  bool Busy() const;
  bool GetConnected();
  void SetConnected(bool value);
  void SetKeepConnection(bool value);
  // Closes a TCP connection before the channel is freed; failures are swallowed.
  void Teardown() noexcept;

 private:
  ModuleChannel() = default;
  std::unique_ptr<TROTransportChannel> channel_;
  char kind_ = 0;  // 'T', 'H' or 'U'
};

}  // namespace qorvin
