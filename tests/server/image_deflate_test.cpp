// The large-image compressor gives one valid zlib stream of exactly what was written, however
// the writes are cut: zlib's own inflater and the whole-buffer one both give the bytes back.
#include <gtest/gtest.h>

#include <random>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Stream.h"
#include "platform/zlib/FastZlib.h"
#include "platform/zlib/ZStream.h"
#include "server/services/ImageDeflateStream.h"

namespace qorvin::server {
namespace {

// Something like an image: runs of repeated records with varying fields, and noise.
std::string ImageLike(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(size);
  while (s.size() < size) {
    if (rng() % 8 == 0) {
      for (int i = 0; i < 64 && s.size() < size; ++i) s += char(rng());
    } else {
      s += "row " + std::to_string(rng() % 100000) + " name\x01\x02 " + std::to_string(s.size());
    }
  }
  s.resize(size);
  return s;
}

std::string Inflated(const std::string& z) {
  TMemoryStream in, out;
  in.WriteBytes(z);
  in.SetPosition(0);
  ZDecompress(in, out);
  EXPECT_EQ(in.Position(), in.Size()) << "bytes after the stream";
  return std::string(out.View());
}

TEST(ImageDeflate, WhatIsWrittenInflatesBackHoweverTheWritesAreCut) {
  std::mt19937 rng(7);
  for (const size_t size : {size_t(0), size_t(1), size_t(1000), size_t(3) << 20}) {
    const std::string image = ImageLike(size, uint32_t(size));
    TMemoryStream zipped;
    TImageDeflateStream deflate(zipped);
    for (size_t at = 0; at < image.size();) {
      // Single bytes, small writes and writes larger than the compressor's output piece.
      const size_t n = std::min(image.size() - at, rng() % 3 == 0 ? size_t(1) : rng() % 700000);
      deflate.WriteBuffer(image.data() + at, int64_t(n));
      at += n;
    }
    EXPECT_EQ(deflate.Size(), int64_t(size));
    deflate.Finish();
    deflate.Finish();  // once only
    const std::string z(zipped.View());
    ASSERT_EQ(Inflated(z), image) << size;
    std::string whole(size + 1, '\0');
    size_t produced = 0, consumed = 0;
    ASSERT_TRUE(InflateWholeBuffer({reinterpret_cast<const uint8_t*>(z.data()), z.size()},
                                   {reinterpret_cast<uint8_t*>(whole.data()), whole.size()},
                                   produced, consumed));
    EXPECT_EQ(whole.substr(0, produced), image);
    EXPECT_EQ(consumed, z.size());
    if (size >= 1000) {
      EXPECT_LT(z.size(), size * 3 / 4) << "it compresses";
    }
  }
}

TEST(ImageDeflate, IsWriteOnlyAndEndsOnceFinished) {
  TMemoryStream zipped;
  {
    TImageDeflateStream deflate(zipped);
    deflate.WriteBuffer("abc", 3);
    char c;
    EXPECT_THROW(deflate.Read(&c, 1), EZCompressionError);
    EXPECT_THROW(deflate.SetSize(0), EZCompressionError);
    EXPECT_EQ(deflate.Seek(0, SeekOrigin::Current), 3);
    // Destroyed unfinished: the destructor ends the stream.
  }
  EXPECT_EQ(Inflated(std::string(zipped.View())), "abc");
  TImageDeflateStream ended(zipped);
  ended.Finish();
  EXPECT_THROW(ended.WriteBuffer("x", 1), Exception);
}

// A reply body of blobs, deflated in one step, inflates back to itself, whether it is appended to
// a memory stream or written to a stream elsewhere; what follows stays where it was written.
TEST(ImageDeflate, ABodyOfBlobsDeflatedInOneStepInflatesBack) {
  TMemoryStream image;
  TImageDeflateStream blob(image);
  const std::string rows = ImageLike(size_t(2) << 20, 11);
  blob.WriteBuffer(rows.data(), int64_t(rows.size()));
  blob.Finish();
  const std::string body = "header" + std::string(image.View()) + "trailer";
  const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(body.data()),
                                             body.size());
  TMemoryStream appended;
  appended.WriteBytes("prefix");
  ASSERT_TRUE(DeflateBlobBody(bytes, appended));
  const std::string all(appended.View());
  ASSERT_EQ(all.substr(0, 6), "prefix");
  EXPECT_EQ(Inflated(all.substr(6)), body);
  // Not at the end of a memory stream: written through a buffer of its own.
  TMemoryStream middle;
  middle.WriteBytes("0123456789");
  middle.SetPosition(2);
  ASSERT_TRUE(DeflateBlobBody(bytes, middle));
  EXPECT_EQ(Inflated(std::string(middle.View()).substr(2)), body);
  TMemoryStream empty;
  ASSERT_TRUE(DeflateBlobBody({}, empty));
  EXPECT_EQ(Inflated(std::string(empty.View())), "");
}

TEST(ImageDeflate, ASmallImageDeflatedInOneStepInflatesBack) {
  for (const size_t size : {size_t(0), size_t(1), size_t(2048), size_t(12345), size_t(300000)}) {
    SCOPED_TRACE(size);
    const std::string image = ImageLike(size, uint32_t(size));
    std::string z = "left over";
    ASSERT_TRUE(
        DeflateImageWhole({reinterpret_cast<const unsigned char*>(image.data()), image.size()}, z));
    EXPECT_EQ(Inflated(z), image);
    if (size >= 12345) {
      EXPECT_LT(z.size(), image.size());
    }
  }
  // Random bytes do not compress: stored blocks, which still fit the room kept.
  std::mt19937 rng(5);
  std::string noise(100000, '\0');
  for (char& c : noise) c = char(rng());
  std::string z;
  ASSERT_TRUE(
      DeflateImageWhole({reinterpret_cast<const unsigned char*>(noise.data()), noise.size()}, z));
  EXPECT_EQ(Inflated(z), noise);
}

}  // namespace
}  // namespace qorvin::server
