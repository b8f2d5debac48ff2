// The read-ahead reader: every byte in order whatever the pieces on either side, the producer's
// failure after exactly the bytes before it, and a reader that stops early.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/rtl/ReadAhead.h"

namespace qorvin {
namespace {

// A producer of `total` bytes (byte i is i * 7 mod 251) in uneven pieces, failing instead of
// giving byte `failAt` when that is set.
struct Source {
  size_t total = 0;
  size_t failAt = SIZE_MAX;
  size_t at = 0;
  std::mt19937 rng{3};

  size_t operator()(uint8_t* into, size_t room) {
    if (at == failAt) throw std::runtime_error("damaged at " + std::to_string(at));
    size_t n = std::min({room, total - at, size_t(1 + rng() % 5000)});
    if (failAt != SIZE_MAX) n = std::min(n, failAt - at);
    for (size_t i = 0; i < n; ++i) into[i] = uint8_t((at + i) * 7 % 251);
    at += n;
    return n;
  }
};

std::vector<uint8_t> ReadAll(TReadAhead& reader, std::mt19937& rng) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> buffer(9000);
  for (;;) {
    const size_t n = reader.Read(buffer.data(), 1 + rng() % buffer.size());
    if (n == 0) return out;
    out.insert(out.end(), buffer.begin(), buffer.begin() + long(n));
  }
}

TEST(ReadAhead, ReaderGetsEveryByteInOrderWhateverThePieces) {
  std::mt19937 rng(11);
  for (const size_t size : {size_t(0), size_t(1), size_t(4095), size_t(300000)}) {
    for (const size_t piece : {size_t(1), size_t(4096), size_t(1) << 20}) {
      const size_t total = piece == 1 ? std::min(size, size_t(5000)) : size;  // a hand-off a byte
      Source source{total};
      TReadAhead reader([&](uint8_t* into, size_t room) { return source(into, room); }, piece, 2);
      ASSERT_TRUE(reader.Background());
      const std::vector<uint8_t> got = ReadAll(reader, rng);
      ASSERT_EQ(got.size(), total) << "piece " << piece;
      for (size_t i = 0; i < total; ++i) ASSERT_EQ(got[i], uint8_t(i * 7 % 251)) << i;
      uint8_t b;
      EXPECT_EQ(reader.Read(&b, 1), 0u) << "the end stays the end";
    }
  }
}

TEST(ReadAhead, ProducerFailureComesAfterTheBytesBeforeItAndStays) {
  std::mt19937 rng(5);
  for (const size_t failAt : {size_t(0), size_t(70000), size_t(100000)}) {
    Source source{100000, failAt};
    TReadAhead reader([&](uint8_t* into, size_t room) { return source(into, room); }, 8192, 2);
    std::vector<uint8_t> got;
    std::vector<uint8_t> buffer(1000);
    std::string error;
    try {
      for (;;) {
        const size_t n = reader.Read(buffer.data(), 1 + rng() % buffer.size());
        if (n == 0) break;
        got.insert(got.end(), buffer.begin(), buffer.begin() + long(n));
      }
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    if (failAt == 100000) {
      EXPECT_EQ(error, "damaged at 100000") << "the failure instead of the end";
    } else {
      EXPECT_EQ(error, "damaged at " + std::to_string(failAt));
    }
    EXPECT_EQ(got.size(), failAt);
    EXPECT_THROW(reader.Read(buffer.data(), buffer.size()), std::runtime_error);
  }
}

// A reader that stops early: the producer stops within the memory bound, and destruction
// returns with it still able to produce.
TEST(ReadAhead, ReaderThatStopsEarlyStopsTheProducer) {
  std::atomic<size_t> produced{0};
  {
    TReadAhead reader(
        [&](uint8_t* into, size_t room) {
          std::fill(into, into + room, uint8_t(1));
          produced += room;
          return room;
        },
        4096, 2);
    uint8_t b[10];
    ASSERT_EQ(reader.Read(b, sizeof b), sizeof b);
  }
  EXPECT_LE(produced.load(), size_t(5) * 4096) << "at most depth + 2 pieces";
}

}  // namespace
}  // namespace qorvin
