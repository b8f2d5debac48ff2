// The UDP endpoint's memory of the requests it recently took on, so that a datagram the network
// delivered twice runs once: a repeat is the same peer sending the same request ID with the same
// payload again. Clients send every request under a fresh ID, so only a duplicate matches.
//
// Bounded: at most `capacity` requests are remembered, none longer than `keep`; the oldest go
// first. Payloads are remembered by a 64-bit hash, not kept. Not thread-safe (the endpoint uses it
// from its strand only).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace qorvin::server {

class RecentRequests {
 public:
  using Clock = std::chrono::steady_clock;

  RecentRequests(size_t capacity, Clock::duration keep) : capacity_(capacity), keep_(keep) {}

  // Remembers the request and returns true, or returns false when it is a repeat of one still
  // remembered.
  bool Admit(std::string_view peer, std::string_view id, std::string_view payload,
             Clock::time_point now) {
    while (!order_.empty() && (order_.size() >= capacity_ || order_.front().first + keep_ <= now)) {
      keys_.erase(order_.front().second);
      order_.pop_front();
    }
    std::string key;
    key.reserve(peer.size() + id.size() + 17);
    key.append(peer).append(1, '|').append(id).append(1, '|');
    const size_t hash = std::hash<std::string_view>{}(payload);
    key.append(reinterpret_cast<const char*>(&hash), sizeof hash);
    if (!keys_.insert(key).second) return false;
    order_.emplace_back(now, std::move(key));
    return true;
  }

  size_t Size() const { return order_.size(); }

 private:
  const size_t capacity_;
  const Clock::duration keep_;
  std::deque<std::pair<Clock::time_point, std::string>> order_;
  std::unordered_set<std::string> keys_;
};

}  // namespace qorvin::server
