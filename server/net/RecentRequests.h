// The UDP endpoint's memory of the requests it recently took on, so that a datagram the network
// delivered twice runs once: a repeat is the same peer sending the same request ID with the same
// payload again. Clients send every request under a fresh ID, so only a duplicate matches.
//
// Bounded: at most `capacity` requests are remembered, none longer than `keep`; the oldest go
// first. IDs are kept; peers and payloads are remembered by a 64-bit hash. Not thread-safe (the
// endpoint uses it from its socket's thread only).
//
// Layout: a ring of entries in arrival order, and an open-addressed index (linear probing) of
// twice the capacity's slots, each holding an entry's place in the ring. Both are sized once:
// remembering a request allocates nothing, and forgetting one frees nothing.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

namespace qorvin::server {

class RecentRequests {
 public:
  using Clock = std::chrono::steady_clock;

  RecentRequests(size_t capacity, Clock::duration keep)
      : keep_(keep), ring_(std::max<size_t>(capacity, 1)), index_(IndexSize(ring_.size()), kFree) {}

  // Remembers the request and returns true, or returns false when it is a repeat of one still
  // remembered.
  bool Admit(std::string_view peer, std::string_view id, std::string_view payload,
             Clock::time_point now) {
    while (count_ > 0 && (count_ == ring_.size() || ring_[first_].at + keep_ <= now)) Forget();
    Entry entry;
    entry.key = MakeKey(peer, id, payload);
    entry.hash = Hash(entry.key);
    entry.at = now;
    size_t slot = Home(entry.hash);
    for (; index_[slot] != kFree; slot = Next(slot)) {
      const Entry& other = ring_[index_[slot]];
      if (other.hash == entry.hash && other.key == entry.key) return false;
    }
    const size_t place = (first_ + count_) % ring_.size();
    ring_[place] = entry;
    index_[slot] = uint32_t(place);
    ++count_;
    return true;
  }

  size_t Size() const { return count_; }

 private:
  // The request ID itself (the part that tells requests apart: a fresh random text each), and
  // one hash of the ID's length, the peer and the payload.
  struct Key {
    std::array<char, 38> id{};
    uint64_t rest = 0;
    bool operator==(const Key&) const = default;
  };
  struct Entry {
    Key key;
    uint64_t hash = 0;
    Clock::time_point at;
  };
  static constexpr uint32_t kFree = UINT32_MAX;

  static size_t IndexSize(size_t capacity) {
    size_t size = 4;
    while (size < 2 * capacity) size *= 2;
    return size;
  }
  static Key MakeKey(std::string_view peer, std::string_view id, std::string_view payload) {
    Key key;
    std::hash<std::string_view> hash;
    std::memcpy(key.id.data(), id.data(), std::min(id.size(), key.id.size()));
    key.rest = hash(peer) * 0x100000001B3ull ^ hash(payload) ^ id.size();
    if (id.size() > key.id.size()) key.rest ^= hash(id) * 31;
    return key;
  }
  static uint64_t Hash(const Key& k) {
    return std::hash<std::string_view>{}(std::string_view(k.id.data(), k.id.size())) ^
           (k.rest * 0x9E3779B97F4A7C15ull);
  }
  size_t Home(uint64_t hash) const { return size_t(hash) & (index_.size() - 1); }
  size_t Next(size_t slot) const { return (slot + 1) & (index_.size() - 1); }

  // Drops the oldest entry: its index slot is freed, and the slots after it in its probe run
  // move back where their own lookups still find them (deletion without markers).
  void Forget() {
    const uint32_t place = uint32_t(first_);
    size_t slot = Home(ring_[place].hash);
    while (index_[slot] != place) slot = Next(slot);
    for (size_t next = Next(slot); index_[next] != kFree; next = Next(next)) {
      const size_t home = Home(ring_[index_[next]].hash);
      // `next` may fill the hole at `slot` unless its home lies cyclically in (slot, next].
      const bool homeBetween =
          slot <= next ? (slot < home && home <= next) : (slot < home || home <= next);
      if (homeBetween) continue;
      index_[slot] = index_[next];
      slot = next;
    }
    index_[slot] = kFree;
    first_ = (first_ + 1) % ring_.size();
    --count_;
  }

  const Clock::duration keep_;
  std::vector<Entry> ring_;
  std::vector<uint32_t> index_;
  size_t first_ = 0;  // the oldest entry's place in the ring
  size_t count_ = 0;
};

}  // namespace qorvin::server
