#include "platform/rtl/Stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/rtl/Exceptions.h"

namespace qorvin {
namespace {

TEST(MemoryStream, PositionSizeSeekAndTruncate) {
  TMemoryStream s;
  s.WriteBytes("hello world");
  EXPECT_EQ(s.Size(), 11);
  EXPECT_EQ(s.Position(), 11);
  s.SetPosition(6);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, 100), 5);  // a plain read may return fewer bytes
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(s.Read(buf, 1), 0);
  s.SetSize(5);  // truncation clips the position
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(s.View(), "hello");
  EXPECT_EQ(s.Seek(-2, SeekOrigin::End), 3);
  EXPECT_EQ(s.Seek(1, SeekOrigin::Current), 4);
  EXPECT_THROW(s.Seek(-1, SeekOrigin::Beginning), EStreamError);
}

TEST(MemoryStream, WritingPastTheEndFillsTheGapWithZeros) {
  TMemoryStream s;
  s.WriteBytes("ab");
  s.SetPosition(5);
  s.WriteBytes("c");
  EXPECT_EQ(s.View(), std::string("ab\0\0\0c", 6));
  s.SetSize(8);  // growing the size zero-fills too
  EXPECT_EQ(s.View().substr(6), std::string("\0\0", 2));
}

TEST(MemoryStream, ReadBufferFailsWithThePlatformText) {
  TMemoryStream s;
  s.WriteBytes("abc");
  s.SetPosition(1);
  char buf[4];
  try {
    s.ReadBuffer(buf, 3);
    FAIL() << "expected EReadError";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
    EXPECT_STREQ(e.ClassName(), "EReadError");
  }
}

TEST(MemoryStream, CapacityGrowsInMultiplesOf8192) {
  TMemoryStream s;
  s.WriteBytes("x");
  EXPECT_EQ(s.Capacity(), 8192);
  s.SetSize(8193);
  EXPECT_EQ(s.Capacity() % 8192, 0);
  EXPECT_GE(s.Capacity(), 16384);
  // Piecewise growth is geometric, so a stream written byte by byte is not copied per step.
  TMemoryStream t;
  int reallocations = 0;
  int64_t last = 0;
  for (int i = 0; i < 1 << 20; ++i) {
    t.WriteBytes("y");
    if (t.Capacity() != last) ++reallocations, last = t.Capacity();
  }
  EXPECT_LT(reallocations, 40);
}

// A swap moves the memory itself: each stream goes on with the other's bytes, size and position,
// and frees what it holds in the end the way that memory was taken (kept block or own block).
TEST(MemoryStream, SwapExchangesContentWithoutCopying) {
  TMemoryStream small, large;
  small.WriteBytes("small");
  large.SetSize(20000);
  large.SetPosition(3);
  large.WriteBytes("LARGE");
  const unsigned char* smallMemory = small.Memory();
  const unsigned char* largeMemory = large.Memory();
  small.Swap(large);
  EXPECT_EQ(small.Memory(), largeMemory);
  EXPECT_EQ(large.Memory(), smallMemory);
  EXPECT_EQ(small.Size(), 20000);
  EXPECT_EQ(small.Position(), 8);
  EXPECT_EQ(small.View().substr(3, 5), "LARGE");
  EXPECT_EQ(large.View(), "small");
  EXPECT_EQ(large.Position(), 5);
  EXPECT_EQ(large.Capacity(), 8192);
  large.WriteBytes(" and more");
  EXPECT_EQ(large.View(), "small and more");
  TMemoryStream empty;
  empty.Swap(large);
  EXPECT_EQ(large.Size(), 0);
  EXPECT_EQ(empty.View(), "small and more");
}

// Blocks of dropped small streams are handed to the thread's next ones: a stream sees only its
// own bytes, blocks move freely between threads, and a thread's kept blocks go with it.
TEST(MemoryStream, ReusedBlocksCarryNothingOver) {
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<TMemoryStream>> live;
    for (int i = 0; i < 10; ++i) {  // more than a thread keeps: some are freed
      auto s = std::make_unique<TMemoryStream>();
      s->WriteBytes(std::string(100 + size_t(i), char('a' + i)));
      live.push_back(std::move(s));
    }
    live.clear();
    TMemoryStream fresh;
    fresh.SetSize(3);
    EXPECT_EQ(fresh.View(), std::string(3, '\0'));  // grown by size: zero-filled
    fresh.WriteBytes("xyz");
    EXPECT_EQ(fresh.Size(), 3);
    EXPECT_EQ(fresh.Capacity(), 8192);
    fresh.SetSize(9000);  // out of the kept size: a block of its own
    EXPECT_EQ(fresh.Capacity() % 8192, 0);
    EXPECT_EQ(fresh.View().substr(0, 4), std::string("xyz") + '\0');
  }
  auto made = std::make_unique<TMemoryStream>();
  made->WriteBytes("made here");
  std::thread([&made] {
    made.reset();  // dropped on another thread: kept there, freed when it ends
    TMemoryStream there;
    there.WriteBytes("there");
    EXPECT_EQ(there.View(), "there");
  }).join();
}

TEST(MemoryStream, CopyFromWholeSourceAndCountedPart) {
  TMemoryStream src, dst;
  src.WriteBytes("0123456789");
  src.SetPosition(7);
  EXPECT_EQ(dst.CopyFrom(src, 0), 10);  // count 0: everything from offset 0
  EXPECT_EQ(dst.View(), "0123456789");
  src.SetPosition(2);
  TMemoryStream part;
  EXPECT_EQ(part.CopyFrom(src, 3), 3);
  EXPECT_EQ(part.View(), "234");
  EXPECT_EQ(src.Position(), 5);
  EXPECT_THROW(part.CopyFrom(src, 6), EReadError);
}

TEST(MemoryStream, LittleEndianHelpers) {
  TMemoryStream s;
  s.WriteLE<int32_t>(-2);
  s.WriteLE<uint16_t>(0x1234);
  EXPECT_EQ(s.View(), std::string("\xFE\xFF\xFF\xFF\x34\x12", 6));
  s.SetPosition(0);
  EXPECT_EQ(s.ReadLE<int32_t>(), -2);
  EXPECT_EQ(s.ReadLE<uint16_t>(), 0x1234);
  EXPECT_THROW(s.ReadLE<uint8_t>(), EReadError);
}

TEST(BytesViewStream, ReadsInPlaceAndRefusesChanges) {
  const std::string bytes = "0123456789";
  TBytesViewStream view(bytes);
  EXPECT_EQ(view.InMemory().data(), reinterpret_cast<const unsigned char*>(bytes.data()));
  EXPECT_EQ(view.Size(), 10);
  view.SetPosition(7);
  char buf[8] = {};
  EXPECT_EQ(view.Read(buf, 8), 3);
  EXPECT_STREQ(buf, "789");
  EXPECT_EQ(view.Read(buf, 1), 0);
  view.SetPosition(12);  // past the end reads nothing, as a memory stream
  EXPECT_EQ(view.Read(buf, 1), 0);
  EXPECT_THROW(view.Seek(-1, SeekOrigin::Beginning), EStreamError);
  EXPECT_THROW(view.WriteBytes("x"), EWriteError);
  EXPECT_THROW(view.SetSize(1), EWriteError);
  EXPECT_EQ(bytes, "0123456789");

  // Copied in one step from its position, which moves past the bytes.
  TMemoryStream copy;
  view.SetPosition(2);
  EXPECT_EQ(copy.CopyFrom(view, 5), 5);
  EXPECT_EQ(copy.View(), "23456");
  EXPECT_EQ(view.Position(), 7);
  EXPECT_THROW(copy.CopyFrom(view, 4), EReadError);
  EXPECT_EQ(copy.CopyFrom(view, 0), 10);  // 0: the whole source
}

}  // namespace
}  // namespace qorvin
