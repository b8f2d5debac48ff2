#include "channels/uROServerLocator.h"

#include <chrono>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

namespace {

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

uint64_t TROServerLocator::NextSerial() {
  static std::atomic<uint64_t> next = 1;
  return next++;
}

void TROServerLocator::SetEnabled(bool value) {
  if (value) failedAtMs_ = -1;
  if (enabled_.exchange(value) == value) return;
  if (onEnabledChanged_) onEnabledChanged_(this);
}

void TROServerLocator::DisableAfterFailure() {
  failedAtMs_ = SteadyMilliseconds();
  if (!enabled_.exchange(false)) return;
  if (onEnabledChanged_) onEnabledChanged_(this);
}

int64_t TROServerLocator::MillisecondsSinceFailure() const {
  const int64_t at = failedAtMs_;
  if (at < 0 || enabled_) return -1;
  return SteadyMilliseconds() - at;
}

void TROServerLocator::SetHost(const std::string& host) {
  host_ = Trim(host);
}

void TROServerLocator::SetHTTPDispatcher(const std::string& dispatcher) {
  dispatcher_ = Trim(dispatcher);
}

std::string TROServerLocator::DisplayName() const {
  std::string text = host_.empty() ? "!!Empty!!" : host_;
  if (port_ > 0) text += ":" + std::to_string(port_);
  if (!Enabled()) text = "(Disabled) " + text;
  text += loadBalancing_ ? " LBS" : " non-LBS";
  text += disableOnFailure_ ? ", Disable On Failure" : ",";
  static const struct {
    TROProbingOption option;
    const char* name;
  } kNames[] = {{poProbeWhenEnabled, "poProbeWhenEnabled"},
                {poProbeWhenDisabled, "poProbeWhenDisabled"},
                {poEnableIfProbeSucceeded, "poEnableIfProbeSucceeded"},
                {poDisableIfProbeFailed, "poDisableIfProbeFailed"}};
  std::string options;
  for (const auto& n : kNames)
    if (probing_ & n.option) options += (options.empty() ? "" : ",") + std::string(n.name);
  return text + ", " + options;
}

void TROServerLocator::Assign(const TROServerLocator& source) {
  if (&source == this) return;
  name_ = source.name_;
  enabled_ = source.enabled_.load();
  failedAtMs_ = source.failedAtMs_.load();
  host_ = source.host_;
  port_ = source.port_;
  dispatcher_ = source.dispatcher_;
  disableOnFailure_ = source.disableOnFailure_;
  loadBalancing_ = source.loadBalancing_;
  probing_ = source.probing_;
  onEnabledChanged_ = source.onEnabledChanged_;
}

int TROServerLocator::Index() const {
  return collection_ ? collection_->IndexOf(this) : -1;
}

TROServerLocator* TROServerLocatorCollection::Items(int index) const {
  if (index < 0 || index >= Count())
    throw ERangeError(Format("List index out of bounds (%d)", index));
  return items_[size_t(index)].get();
}

TROServerLocator* TROServerLocatorCollection::Add() {
  items_.push_back(std::make_unique<TROServerLocator>(this));
  return items_.back().get();
}

void TROServerLocatorCollection::Delete(int index) {
  Items(index);  // range check
  items_.erase(items_.begin() + index);
}

int TROServerLocatorCollection::IndexOf(const TROServerLocator* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return int(i);
  return -1;
}

TROServerLocator* TROServerLocatorCollection::FindBySerial(uint64_t serial) const {
  for (const auto& item : items_)
    if (item->Serial() == serial) return item.get();
  return nullptr;
}

void TROServerLocatorCollection::Assign(const TROServerLocatorCollection& source) {
  if (&source == this) return;
  std::vector<std::unique_ptr<TROServerLocator>> copies;
  for (const auto& item : source.items_) {
    copies.push_back(std::make_unique<TROServerLocator>(this));
    copies.back()->Assign(*item);
  }
  items_ = std::move(copies);
}

// `index` and `stop` may be the same variable (load balancing passes one variable for both):
// every write below goes through the references so that such a caller sees each change.
TROServerLocator* TROServerLocatorCollection::GetNextLocator(int& index, int& stop,
                                                             bool loadBalancersOnly) const {
  const int count = Count();
  if (count == 0) return nullptr;
  int i = index;
  // Each step looks at a different item; count + 1 steps always reach `stop` when it is a valid
  // position, and bound the walk when it is not (a stale index after items were deleted).
  for (int step = 0; step <= count; ++step) {
    i = i < count - 1 ? i + 1 : 0;
    TROServerLocator* found = nullptr;
    const bool atStop = i == stop;
    if (!atStop) {
      TROServerLocator* item = items_[size_t(i)].get();
      if (item->Enabled() && (!loadBalancersOnly || item->LoadBalancingServer())) {
        index = i;
        found = item;
      }
    }
    if (stop == -1) stop = 0;
    if (atStop) return nullptr;
    if (found) return found;
  }
  return nullptr;
}

}  // namespace qorvin
