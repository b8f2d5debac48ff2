// ModuleServers: the IQorvinServers extension of a module (include/qorvin/QorvinServers.h).
//
// It drives the server locators of the module's channel: the module's own server is locator 0
// once a second server is added; AddServer appends more; the mode sets the channel's dispatch
// options; probing runs on the channel's probe timer, whose results come back through the
// callbacks, handed to the host's main-thread poster when one is installed.
//
// Threads: the methods run on the host's calling thread. The callbacks and the poster are read
// under a lock from the probing thread too. The destructor stops probing and unhooks the
// channel's events; the module destroys this object before its channel.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "include/qorvin/QorvinServers.h"

namespace qorvin {

class TROTransportChannel;
class TROServerLocator;

class ModuleServers final : public IQorvinServers {
 public:
  // `letter` is the module's connection letter ('B', 'T', 'H' or 'U').
  ModuleServers(TROTransportChannel& channel, char letter);
  ~ModuleServers();
  ModuleServers(const ModuleServers&) = delete;
  ModuleServers& operator=(const ModuleServers&) = delete;

  bool AddServer(const char* host, int32_t port, const char* path, QorvinText* errorText) override;
  void ClearServers() override;
  int32_t ServerCount() override;
  bool GetServer(int32_t index, QorvinText* address, bool* enabled) override;
  bool SetMode(int32_t mode) override;
  void SetRepeatAfterSent(bool value) override;
  void SetRetryDisabledAfter(int32_t ms) override;
  void SetProbing(bool on, int32_t intervalMs) override;
  void SetMainThreadPoster(QorvinMainThreadPoster poster) override;
  void SetOnServerAssigned(QorvinServerCallback callback) override;
  void SetOnServerProbed(QorvinProbeCallback callback) override;
  bool GetLastServer(QorvinText* address) override;
  bool ProbeServer(int32_t index, int32_t timeoutMs, QorvinText* errorText) override;

  // The reason a server text is refused, or empty when it is acceptable (for tests).
  static std::string CheckServer(char letter, const std::string& host, int32_t port,
                                 const std::string& path);

 private:
  struct Own {
    std::string host;  // 'H': the whole URL
    int32_t port = 0;
  };
  std::string AddressOf(const std::string& host, int32_t port, const std::string& path) const;
  // Makes the module's own server locator 0 when the list is empty.
  void EnsureOwnServer();
  // Runs `job` through the poster, or at once without one.
  void Deliver(std::function<void()> job);

  TROTransportChannel& channel_;
  char letter_;
  Own own_;
  std::mutex lock_;  // guards the three below
  QorvinMainThreadPoster poster_{};
  QorvinServerCallback onAssigned_{};
  QorvinProbeCallback onProbed_{};
};

}  // namespace qorvin
