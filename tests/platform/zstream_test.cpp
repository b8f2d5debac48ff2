#include "platform/zlib/ZStream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/OsServices.h"

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

// zlib's own bytes for `text`, fed as the compression stream feeds it (32 KiB in, 32 KiB out).
std::string ZlibInPieces(const std::string& text, int level) {
  z_stream zs{};
  EXPECT_EQ(deflateInit(&zs, level), Z_OK);
  std::string out;
  unsigned char piece[32768];
  size_t at = 0;
  int rc = Z_OK;
  do {
    const size_t n = std::min<size_t>(32768, text.size() - at);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data() + at));
    zs.avail_in = uInt(n);
    at += n;
    const int flush = at == text.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = piece;
      zs.avail_out = sizeof piece;
      rc = deflate(&zs, flush);
      out.append(reinterpret_cast<char*>(piece), sizeof piece - zs.avail_out);
    } while (zs.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  } while (rc != Z_STREAM_END);
  deflateEnd(&zs);
  return out;
}

// The compression stream writes zlib's wrapper itself (for a faster checksum): every level's
// bytes are still exactly zlib's own.
TEST(ZStream, TheCompressionStreamGivesZlibsBytesAtEveryLevel) {
  for (size_t n : {size_t(0), size_t(1), size_t(5000), size_t(100000)}) {
    const std::string text = Pattern(n);
    for (int level = -1; level <= 9; ++level) {
      TMemoryStream packed;
      {
        TZCompressionStream z(packed, level);
        for (size_t at = 0; at < text.size(); at += 32768)
          z.Write(text.data() + at, int64_t(std::min<size_t>(32768, text.size() - at)));
        z.Finish();
      }
      EXPECT_EQ(packed.View(), ZlibInPieces(text, level)) << n << " bytes at level " << level;
    }
  }
}

// zlib's own inflater over `packed`: the whole input, and nothing after the stream's end.
std::string ZlibInflate(std::string_view packed, size_t expected) {
  std::string out(expected + 1, '\0');
  uLongf length = uLongf(out.size());
  uLong used = uLong(packed.size());
  EXPECT_EQ(uncompress2(reinterpret_cast<Bytef*>(out.data()), &length,
                        reinterpret_cast<const Bytef*>(packed.data()), &used),
            Z_OK);
  EXPECT_EQ(used, packed.size());
  out.resize(length);
  return out;
}

// A body in memory may be deflated by another compressor than zlib (one step, libdeflate): its
// bytes are its own, but every inflater, zlib's and the one-step one, gives the body back, at
// every level and on both sides of the size from which the one-step path is taken.
TEST(ZStream, CompressionInflatesBackWithEveryInflaterAtEveryLevel) {
  const size_t sizes[] = {0,      1,      size_t(kZWholeDeflateMin) - 1, size_t(kZWholeDeflateMin),
                          100000, 1 << 20};
  for (size_t n : sizes) {
    std::string text = Pattern(n);
    for (size_t i = 0; i < n; i += 97) text[i] = char(i * 31);  // less regular
    for (int level = -1; level <= 9; ++level) {
      TMemoryStream src, packed;
      src.WriteBytes(text);
      src.SetPosition(0);
      const int64_t written = ZCompress(src, -1, packed, level);
      EXPECT_EQ(written, packed.Size());
      EXPECT_EQ(src.Position(), src.Size());
      EXPECT_EQ(ZlibInflate(packed.View(), n), text) << n << " bytes at level " << level;
      TMemoryStream back;
      packed.SetPosition(0);
      EXPECT_EQ(ZDecompress(packed, back), int64_t(n));
      EXPECT_EQ(back.View(), text) << n << " bytes at level " << level;
      // Appended to a target that already holds bytes.
      TMemoryStream after;
      after.WriteBytes("head");
      src.SetPosition(0);
      ZCompress(src, -1, after, level);
      EXPECT_EQ(after.View().substr(0, 4), "head");
      EXPECT_EQ(ZlibInflate(after.View().substr(4), n), text);
    }
  }
}

TEST(ZStream, LargeStreamsInMemoryInflateAsTheStreamingPathDoes) {
  const std::string text = Pattern(400000);
  TMemoryStream src, packed;
  src.WriteBytes(text);
  src.SetPosition(0);
  ZCompress(src, -1, packed, -1);
  ASSERT_GT(packed.Size(), 64 << 10);
  const int64_t end = packed.Size();
  packed.WriteBytes("TRAILER!");
  {
    TMemoryStream out;
    out.WriteBytes("kept:");
    packed.SetPosition(0);
    EXPECT_EQ(ZDecompress(packed, out), int64_t(text.size()));
    EXPECT_EQ(out.View(), "kept:" + text);
    EXPECT_EQ(packed.Position(), end);
  }
  const auto failure = [](TMemoryStream& in, int64_t limit) {
    TMemoryStream out;
    in.SetPosition(0);
    try {
      ZDecompress(in, out, limit, true);
    } catch (const EZCompressionError& e) {
      return e.Message();
    }
    return std::string("no failure");
  };
  TMemoryStream cut;
  cut.WriteBuffer(packed.Memory(), end - 3);
  EXPECT_EQ(failure(cut, -1), "buffer error");
  TMemoryStream corrupt;
  corrupt.WriteBuffer(packed.Memory(), end);
  corrupt.Memory()[end - 2] ^= 0x55;  // the checksum
  EXPECT_EQ(failure(corrupt, -1), "data error");
  EXPECT_NE(failure(packed, int64_t(text.size()) - 1).find("exceeds the budget"),
            std::string::npos);
  EXPECT_EQ(failure(packed, int64_t(text.size())), "no failure");
}

// The piecewise inflater takes a small stream held in memory in one step: the same bytes, the
// source left just past the stream, and every failure in zlib's words, as when it streams (a
// stream that inflates past the room it tries is streamed too).
TEST(ZStream, TheInflaterGivesSmallStreamsInMemoryAsItStreamsThem) {
  const auto inflateAll = [](TStream& in, int64_t limit, std::string& out) {
    out.clear();
    try {
      TZInflater inflater(in, limit, true);
      char piece[1000];
      while (const size_t n = inflater.Read(piece, sizeof piece)) out.append(piece, n);
      return std::string("ok");
    } catch (const EZCompressionError& e) {
      return e.Message();
    }
  };
  // Random text, text that inflates to far more than 32 times its size, and nothing.
  for (const std::string& text : {Pattern(12345), std::string(3000000, 'z'), std::string()}) {
    SCOPED_TRACE(text.size());
    TMemoryStream src, packed;
    src.WriteBytes(text);
    src.SetPosition(0);
    packed.WriteBytes("lead");
    ZCompress(src, -1, packed, -1);
    const int64_t end = packed.Size();
    packed.WriteBytes("TRAILER!");
    std::string out;
    packed.SetPosition(4);
    EXPECT_EQ(inflateAll(packed, -1, out), "ok");
    EXPECT_TRUE(out == text);
    EXPECT_EQ(packed.Position(), end);
    if (!text.empty()) {
      packed.SetPosition(4);
      EXPECT_NE(inflateAll(packed, int64_t(text.size()) - 1, out).find("exceeds the budget"),
                std::string::npos);
    }
    packed.SetPosition(4);
    EXPECT_EQ(inflateAll(packed, int64_t(text.size()), out), "ok");
    TMemoryStream corrupt;
    corrupt.WriteBuffer(packed.Memory(), end);
    corrupt.Memory()[end - 2] ^= 0x55;  // the checksum
    corrupt.SetPosition(4);
    EXPECT_EQ(inflateAll(corrupt, -1, out), "data error");
    TMemoryStream cut;
    cut.WriteBuffer(packed.Memory(), end - 3);
    cut.SetPosition(4);
    EXPECT_EQ(inflateAll(cut, -1, out), "buffer error");
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

// An image's default budget grows with the bytes that came, up to a quarter of physical memory,
// never below the default; a budget a host set holds exactly, larger or smaller.
TEST(ZStream, ImageBudgetGrowsWithTheCompressedBytesOnlyUnderTheDefault) {
  constexpr int64_t kMiB = int64_t(1) << 20;
  const int64_t quarter = PhysicalMemoryBytes() / 4;
  ASSERT_GT(quarter, 0);
  EXPECT_EQ(ImageInflateBudget(0), kDefaultInflateBudget);
  EXPECT_EQ(ImageInflateBudget(kMiB), kDefaultInflateBudget);  // a small reply: the default
  EXPECT_EQ(ImageInflateBudget(100 * kMiB),
            std::max(kDefaultInflateBudget, std::min(6400 * kMiB, quarter)));
  EXPECT_EQ(ImageInflateBudget(std::numeric_limits<int64_t>::max() / 2),
            std::max(kDefaultInflateBudget, quarter));
  {
    const TInflateBudgetScope set(kMiB);
    EXPECT_EQ(ImageInflateBudget(100 * kMiB), kMiB);
  }
  const TInflateBudgetScope set(int64_t(64) << 30);
  EXPECT_EQ(ImageInflateBudget(kMiB), int64_t(64) << 30);
}

}  // namespace
}  // namespace qorvin
