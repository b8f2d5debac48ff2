// Requests in flight per client address, bounded: one client (one address, however many
// connections or sockets it uses) cannot hold every worker while others wait.
//
// Enter gives a slot that stays taken as long as a copy of the returned pointer lives (a request
// keeps it until its reply is written), or null when the address has `limit` requests in flight
// already. An address leaves the table when its last request ends, so the table never holds
// more entries than requests in flight. Limit 0: no limit (every Enter succeeds).
//
// Thread-safe (one mutex; a request costs one lock to enter and one to leave).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qorvin::server {

class AddressLoad {
 public:
  explicit AddressLoad(int limit) : limit_(limit) {}
  AddressLoad(const AddressLoad&) = delete;
  AddressLoad& operator=(const AddressLoad&) = delete;

  std::shared_ptr<void> Enter(const std::string& address) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      int& running = running_[address];
      if (limit_ > 0 && running >= limit_) return nullptr;
      ++running;
    }
    // Not null (the stored pointer is what callers test); nothing is owned.
    return std::shared_ptr<void>(static_cast<void*>(this),
                                 [this, address](void*) { Leave(address); });
  }
  int Limit() const { return limit_; }
  // Addresses with requests in flight now.
  size_t Addresses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_.size();
  }

 private:
  void Leave(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = running_.find(address);
    if (it != running_.end() && --it->second <= 0) running_.erase(it);
  }

  const int limit_;
  std::mutex mutex_;
  std::unordered_map<std::string, int> running_;
};

}  // namespace qorvin::server
