// Server locators: alternative servers of a channel, for load balancing, fail-over and probing.
//
// A `TROServerLocatorCollection` belongs to one channel and owns its locators. The collection
// itself has no lock: while the channel probes (or dispatches on another thread), change the
// locators only under the channel's LocatorLock(), or through the channel's locked methods
// (AddServerLocator, ClearServerLocators, ...). The Enabled flag is atomic.
//
// Disabled after a failure: a locator that a failed dispatch switched off remembers when; the
// channel enables it again once its DisabledRetryInterval has passed (see uROClient.h), so a
// server that failed once is not lost for good when probing is off. Enabling a locator (by
// probing, by the host) forgets the failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qorvin {

class TROServerLocator;
class TROServerLocatorCollection;

enum TROProbingOption : uint8_t {
  poProbeWhenEnabled = 1,
  poProbeWhenDisabled = 2,
  poEnableIfProbeSucceeded = 4,
  poDisableIfProbeFailed = 8,
};
using TROProbingOptions = uint8_t;
inline constexpr TROProbingOptions kAllProbingOptions =
    poProbeWhenEnabled | poProbeWhenDisabled | poEnableIfProbeSucceeded | poDisableIfProbeFailed;

using TROLocatorNotifyEvent = std::function<void(TROServerLocator* sender)>;

class TROServerLocator {
 public:
  explicit TROServerLocator(TROServerLocatorCollection* collection = nullptr)
      : collection_(collection) {}
  TROServerLocator(const TROServerLocator&) = delete;
  TROServerLocator& operator=(const TROServerLocator&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  // True only when the enabled flag is set and Host is not empty.
  bool Enabled() const { return enabled_ && !host_.empty(); }
  // Stores a different value and raises OnEnabledChanged; the same value does nothing. Enabling
  // forgets a failure (see DisableAfterFailure).
  void SetEnabled(bool value);
  // Switches the locator off as SetEnabled(false) does and records the moment (steady clock).
  void DisableAfterFailure();
  // Milliseconds since a failure switched the locator off; -1 when it is enabled or was switched
  // off by other means.
  int64_t MillisecondsSinceFailure() const;
  // A number no other locator of this process has (copies get their own).
  uint64_t Serial() const { return serial_; }
  const std::string& Host() const { return host_; }
  // Blanks at both ends are removed.
  void SetHost(const std::string& host);
  int32_t Port() const { return port_; }
  // A negative value is ignored.
  void SetPort(int32_t port) {
    if (port >= 0) port_ = port;
  }
  const std::string& HTTPDispatcher() const { return dispatcher_; }
  void SetHTTPDispatcher(const std::string& dispatcher);
  bool DisableOnFailure() const { return disableOnFailure_; }
  void SetDisableOnFailure(bool value) { disableOnFailure_ = value; }
  bool LoadBalancingServer() const { return loadBalancing_; }
  void SetLoadBalancingServer(bool value) { loadBalancing_ = value; }
  TROProbingOptions ProbingOptions() const { return probing_; }
  void SetProbingOptions(TROProbingOptions options) { probing_ = options & kAllProbingOptions; }
  const TROLocatorNotifyEvent& OnEnabledChanged() const { return onEnabledChanged_; }
  void SetOnEnabledChanged(TROLocatorNotifyEvent e) { onEnabledChanged_ = std::move(e); }

  // "(Disabled) host:port LBS, Disable On Failure, poProbeWhenEnabled,..." (see the .cpp).
  std::string DisplayName() const;
  // Copies every property and the event.
  void Assign(const TROServerLocator& source);
  // Position in its collection; -1 when it has none.
  int Index() const;

 private:
  TROServerLocatorCollection* collection_;
  uint64_t serial_ = NextSerial();
  std::string name_;
  std::atomic<bool> enabled_ = true;
  std::atomic<int64_t> failedAtMs_ = -1;  // steady-clock milliseconds; -1: no failure
  std::string host_;
  int32_t port_ = 0;
  std::string dispatcher_;
  bool disableOnFailure_ = true;
  bool loadBalancing_ = true;
  TROProbingOptions probing_ = kAllProbingOptions;
  TROLocatorNotifyEvent onEnabledChanged_;

  static uint64_t NextSerial();
};

class TROServerLocatorCollection {
 public:
  explicit TROServerLocatorCollection(void* owner = nullptr) : owner_(owner) {}
  TROServerLocatorCollection(const TROServerLocatorCollection&) = delete;
  TROServerLocatorCollection& operator=(const TROServerLocatorCollection&) = delete;

  void* Owner() const { return owner_; }
  int Count() const { return int(items_.size()); }
  // The item at `index`; ERangeError "List index out of bounds (%d)" outside [0, Count).
  TROServerLocator* Items(int index) const;
  TROServerLocator* operator[](int index) const { return Items(index); }
  // Appends a new locator with start values and returns it (owned by the collection).
  TROServerLocator* Add();
  void Delete(int index);
  void Clear() { items_.clear(); }
  int IndexOf(const TROServerLocator* item) const;
  // The locator with that serial number; null when there is none.
  TROServerLocator* FindBySerial(uint64_t serial) const;
  // Replaces the items by copies of `source`'s items.
  void Assign(const TROServerLocatorCollection& source);

  // Walks the list cyclically from the item after `index`, looking at every other item at most
  // once, and returns the first enabled one (a load-balancing server when
  // `loadBalancersOnly`), storing its position in `index`. Returns null when the walk comes back
  // to `stop` or the collection is empty. A `stop` of -1 becomes 0 after the first step, so a
  // walk that starts from -1 ends when it reaches item 0 again.
  TROServerLocator* GetNextLocator(int& index, int& stop, bool loadBalancersOnly) const;

 private:
  void* owner_;
  std::vector<std::unique_ptr<TROServerLocator>> items_;
};

}  // namespace qorvin
