#include "platform/zlib/ZStream.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/rtl/Exceptions.h"

namespace qorvin {
namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 1;
  for (auto& c : s) x = x * 1103515245 + 12345, c = char('a' + (x >> 16) % 7);
  return s;
}

TEST(ZStream, RoundTripAcrossPieceBoundaries) {
  for (size_t n : {size_t(0), size_t(1), size_t(32767), size_t(32768), size_t(100000)}) {
    TMemoryStream src, packed, unpacked;
    src.WriteBytes(Pattern(n));
    src.SetPosition(0);
    ZCompress(src, -1, packed, -1);
    EXPECT_EQ(uint8_t(packed.Memory()[0]), 0x78);  // zlib header (RFC 1950)
    packed.SetPosition(0);
    EXPECT_EQ(ZDecompress(packed, unpacked), int64_t(n));
    EXPECT_EQ(unpacked.View(), src.View());
  }
}

TEST(ZStream, DecompressStopsAtTheEndOfTheZlibStream) {
  TMemoryStream src, packed, out;
  src.WriteBytes("payload");
  src.SetPosition(0);
  ZCompress(src, -1, packed, 9);
  const int64_t end = packed.Size();
  packed.WriteBytes("TRAILER!");
  packed.SetPosition(0);
  ZDecompress(packed, out);
  EXPECT_EQ(out.View(), "payload");
  EXPECT_EQ(packed.Position(), end);
}

TEST(ZStream, CorruptTruncatedAndOversizedInputFailWithZlibText) {
  TMemoryStream src, packed;
  src.WriteBytes(Pattern(5000));
  src.SetPosition(0);
  ZCompress(src, -1, packed, -1);
  {
    TMemoryStream cut, out;
    cut.WriteBuffer(packed.Memory(), packed.Size() - 3);
    cut.SetPosition(0);
    try {
      ZDecompress(cut, out);
      FAIL();
    } catch (const EZCompressionError& e) {
      EXPECT_EQ(e.Message(), "buffer error");
    }
  }
  {
    TMemoryStream bad, out;
    bad.WriteBytes("not zlib at all");
    bad.SetPosition(0);
    try {
      ZDecompress(bad, out);
      FAIL();
    } catch (const EZCompressionError& e) {
      EXPECT_EQ(e.Message(), "data error");
    }
  }
  {
    TMemoryStream out;
    packed.SetPosition(0);
    EXPECT_THROW(ZDecompress(packed, out, 4999), EZCompressionError);
  }
}

TEST(ZStream, LevelTable) {
  EXPECT_EQ(ZLibLevelFromIndex(0), 0);
  EXPECT_EQ(ZLibLevelFromIndex(1), 1);
  EXPECT_EQ(ZLibLevelFromIndex(2), -1);
  EXPECT_EQ(ZLibLevelFromIndex(3), 9);
  EXPECT_EQ(ZLibLevelFromIndex(4), 1);
  EXPECT_EQ(ZLibLevelFromIndex(12), 9);
  EXPECT_THROW(ZLibLevelFromIndex(13), EZCompressionError);
}

}  // namespace
}  // namespace qorvin
