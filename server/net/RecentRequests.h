// The UDP endpoint's memory of the requests it recently took on, so that a datagram the network
// delivered twice runs once: a repeat is the same peer sending the same request ID with the same
// payload again. Clients send every request under a fresh ID, so only a duplicate matches.
//
// Bounded: at most `capacity` requests are remembered, none longer than `keep`; the oldest go
// first. IDs are kept; peers and payloads are remembered by a 64-bit hash. Not thread-safe (the
// endpoint uses it from its strand only).
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
    const Key key = MakeKey(peer, id, payload);
    if (!keys_.insert(key).second) return false;
    order_.emplace_back(now, key);
    return true;
  }

  size_t Size() const { return order_.size(); }

 private:
  // The request ID itself (the part that tells requests apart: a fresh random text each), and
  // one hash of the ID's length, the peer and the payload. Fixed size: remembering a request
  // allocates nothing but its place in the set.
  struct Key {
    std::array<char, 38> id{};
    uint64_t rest = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept {
      return std::hash<std::string_view>{}(std::string_view(k.id.data(), k.id.size())) ^
             (k.rest * 0x9E3779B97F4A7C15ull);
    }
  };
  static Key MakeKey(std::string_view peer, std::string_view id, std::string_view payload) {
    Key key;
    std::hash<std::string_view> hash;
    std::memcpy(key.id.data(), id.data(), std::min(id.size(), key.id.size()));
    key.rest = hash(peer) * 0x100000001B3ull ^ hash(payload) ^ id.size();
    if (id.size() > key.id.size()) key.rest ^= hash(id) * 31;
    return key;
  }

  const size_t capacity_;
  const Clock::duration keep_;
  std::deque<std::pair<Clock::time_point, Key>> order_;
  std::unordered_set<Key, KeyHash> keys_;
};

}  // namespace qorvin::server
