#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/zlib/ParallelDeflate.h"
#include "platform/zlib/ZStream.h"

namespace qorvin {
namespace {

// zlib's own bytes: level 6, fed in 32 KiB pieces, as message bodies are.
std::vector<uint8_t> ZlibDeflate(const std::vector<uint8_t>& in) {
  z_stream zs{};
  EXPECT_EQ(deflateInit(&zs, Z_DEFAULT_COMPRESSION), Z_OK);
  std::vector<uint8_t> out(deflateBound(&zs, uLong(in.size())));
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  for (size_t at = 0; at < in.size(); at += 32768) {
    zs.next_in = const_cast<uint8_t*>(in.data() + at);
    zs.avail_in = uInt(std::min<size_t>(32768, in.size() - at));
    EXPECT_EQ(deflate(&zs, Z_NO_FLUSH), Z_OK);
  }
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::vector<uint8_t> Parallel(const std::vector<uint8_t>& in, TParallelDeflateOptions options) {
  TMemoryStream target;
  DeflateInParallel(in, target, options);
  return {target.Memory(), target.Memory() + target.Size()};
}

using Maker = std::vector<uint8_t> (*)(size_t, std::mt19937&);

std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& rng) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// Words from a small vocabulary: many short and middling matches at every distance.
std::vector<uint8_t> Words(size_t n, std::mt19937& rng) {
  static const char* const words[] = {"alpha ", "beta ", "gamma\n", "delta,", "epsilon ",
                                      "zeta ",  "eta ",  "theta ",  "iota;",  "kappa "};
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = words[rng() % 10];
    v.insert(v.end(), w, w + std::strlen(w));
    if (rng() % 50 == 0) v.push_back(uint8_t(rng()));
  }
  v.resize(n);
  return v;
}

// Long runs and long repeats between random stretches: matches of 258, chains cut short.
std::vector<uint8_t> RunsAndRepeats(size_t n, std::mt19937& rng) {
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const size_t len = 1 + rng() % 5000;
    switch (rng() % 3) {
      case 0:
        v.insert(v.end(), len, uint8_t(rng() % 3));
        break;
      case 1:
        for (size_t i = 0; i < len; ++i) v.push_back(uint8_t(rng()));
        break;
      default:
        if (v.size() > 40000) {
          const size_t from = v.size() - 1 - rng() % 33000;
          for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);
        }
    }
  }
  v.resize(n);
  return v;
}

// A random block repeated at a period near the window's reach, so that matches run to the very
// end of the input and past it into what zlib's window holds there.
template <size_t Period>
std::vector<uint8_t> Periodic(size_t n, std::mt19937& rng) {
  std::vector<uint8_t> block = RandomBytes(Period, rng);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = block[i % Period];
  return v;
}

// Data already deflated at level 1, like a record-set blob inside a reply.
std::vector<uint8_t> Precompressed(size_t n, std::mt19937& rng) {
  const std::vector<uint8_t> text = Words(n * 2, rng);
  std::vector<uint8_t> v(compressBound(uLong(text.size())));
  uLongf length = uLongf(v.size());
  compress2(v.data(), &length, text.data(), uLong(text.size()), 1);
  v.resize(length);
  while (v.size() < n) v.push_back(uint8_t(rng()));
  v.resize(n);
  return v;
}

TEST(ParallelDeflate, GivesZlibsBytesForAnyDataSizeSegmentingAndThreads) {
  ASSERT_TRUE(ParallelDeflateMatchesZlib()) << "zlib " << zlibVersion();
  const std::pair<const char*, Maker> makers[] = {
      {"random", RandomBytes},           {"words", Words},
      {"runs", RunsAndRepeats},          {"period 32500", Periodic<32500>},
      {"period 32768", Periodic<32768>}, {"period 32507", Periodic<32507>},
      {"period 7", Periodic<7>},         {"precompressed", Precompressed},
  };
  const size_t sizes[] = {kParallelDeflateMinInput, kParallelDeflateMinInput + 261,
                          kParallelDeflateMinInput + 262 + 65536, 300007};
  const TParallelDeflateOptions shapes[] = {{1, 32768}, {2, 65536}, {3, 98304}, {0, 0}};
  std::mt19937 rng(20261209);
  for (const auto& [name, make] : makers) {
    for (size_t n : sizes) {
      const std::vector<uint8_t> in = make(n, rng);
      const std::vector<uint8_t> expected = ZlibDeflate(in);
      for (const auto& shape : shapes) {
        ASSERT_EQ(Parallel(in, shape), expected) << name << ", " << n << " bytes, " << shape.threads
                                                 << " threads, segments of " << shape.segmentSize;
      }
    }
  }
}

TEST(ParallelDeflate, LargeMixedInputMatchesAndInflatesBack) {
  std::mt19937 rng(7);
  std::vector<uint8_t> in;
  while (in.size() < (size_t(3) << 20)) {
    const Maker makers[] = {RandomBytes, Words, RunsAndRepeats, Precompressed};
    const std::vector<uint8_t> part = makers[rng() % 4](50000 + rng() % 400000, rng);
    in.insert(in.end(), part.begin(), part.end());
  }
  const std::vector<uint8_t> expected = ZlibDeflate(in);
  EXPECT_EQ(Parallel(in, {2, 0}), expected);
  EXPECT_EQ(Parallel(in, {4, 131072}), expected);

  // Through ZCompress, which takes this path for a large body in memory.
  TMemoryStream source, packed, unpacked;
  source.WriteBuffer(in.data(), int64_t(in.size()));
  source.SetPosition(0);
  ZCompress(source, -1, packed, -1);
  EXPECT_EQ(source.Position(), int64_t(in.size()));
  EXPECT_EQ(std::vector<uint8_t>(packed.Memory(), packed.Memory() + packed.Size()), expected);
  packed.SetPosition(0);
  ZDecompress(packed, unpacked);
  EXPECT_TRUE(unpacked.Size() == int64_t(in.size()) &&
              std::memcmp(unpacked.Memory(), in.data(), in.size()) == 0);
}

// The start of a de Bruijn sequence of order 3 over bytes: no 3 bytes come twice, so zlib finds
// no match and every byte is a literal.
void DeBruijn(int t, int p, std::vector<int>& a, std::vector<uint8_t>& out, size_t limit) {
  if (out.size() >= limit) return;
  if (t > 3) {
    if (3 % p == 0) {
      for (int j = 1; j <= p; ++j) out.push_back(uint8_t(a[j]));
    }
    return;
  }
  a[t] = a[t - p];
  DeBruijn(t + 1, p, a, out, limit);
  for (int j = a[t - p] + 1; j < 256 && out.size() < limit; ++j) {
    a[t] = j;
    DeBruijn(t + 1, t, a, out, limit);
  }
}

TEST(ParallelDeflate, ABlockFilledByTheLastByteIsTheLastBlock) {
  // 9 blocks of 16 383 literals: zlib emits the last byte's literal after its loop and does not
  // end a block there, so the ninth block is the last, with no empty block after it.
  std::vector<int> a(4, 0);
  std::vector<uint8_t> in;
  DeBruijn(1, 1, a, in, 9 * 16383);
  in.resize(9 * 16383);
  const std::vector<uint8_t> expected = ZlibDeflate(in);
  EXPECT_EQ(Parallel(in, {2, 32768}), expected);
  std::vector<uint8_t> shorter(in.begin(), in.end() - 1);
  EXPECT_EQ(Parallel(shorter, {2, 32768}), ZlibDeflate(shorter));
}

TEST(ParallelDeflate, RefusesSizesOutsideItsRange) {
  const std::vector<uint8_t> small(kParallelDeflateMinInput - 1, 'x');
  TMemoryStream target;
  EXPECT_THROW(DeflateInParallel(small, target), EZCompressionError);
  EXPECT_EQ(target.Size(), 0);
  EXPECT_FALSE(ParallelDeflateApplies(int64_t(1) << 19, -1));
  EXPECT_FALSE(ParallelDeflateApplies(int64_t(1) << 24, 1));
  EXPECT_FALSE(ParallelDeflateApplies(int64_t(1) << 24, 9));
}

}  // namespace
}  // namespace qorvin
