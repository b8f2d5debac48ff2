#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "platform/rtl/BackgroundWriteStream.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {
namespace {

// A target that records what it is given and can be told to fail at a given byte.
class RecordingTarget : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    if (failAt >= 0 && int64_t(bytes.size()) + count > failAt)
      throw EWriteError("the target is full");
    bytes.append(static_cast<const char*>(buffer), size_t(count));
    ++writes;
    return count;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return int64_t(bytes.size()); }
  int64_t Size() const override { return int64_t(bytes.size()); }
  void SetSize(int64_t) override {}

  std::string bytes;
  std::atomic<int> writes{0};
  int64_t failAt = -1;
};

TEST(BackgroundWriteStream, TargetGetsEveryByteInOrderWhateverTheWriteSizes) {
  std::mt19937 rng(7);
  for (size_t piece : {size_t(1), size_t(7), size_t(4096)}) {
    RecordingTarget target;
    std::string expected;
    {
      TBackgroundWriteStream stream(target, piece, 1);
      for (int i = 0; i < 300; ++i) {
        std::string chunk(rng() % (piece == 1 ? 100 : 3000), '\0');
        for (char& c : chunk) c = char(rng());
        stream.WriteBytes(chunk);
        expected += chunk;
        EXPECT_EQ(stream.Position(), int64_t(expected.size()));
      }
      stream.Finish();
      EXPECT_EQ(target.bytes.size(), expected.size()) << piece;  // all there once Finish returns
    }
    EXPECT_EQ(target.bytes, expected) << piece;
  }
}

TEST(BackgroundWriteStream, TargetFailureSurfacesAndStopsFurtherWrites) {
  RecordingTarget target;
  target.failAt = 10000;
  TBackgroundWriteStream stream(target, 1000, 2);
  const std::string chunk(1000, 'x');
  bool thrown = false;
  for (int i = 0; i < 1000 && !thrown; ++i) {
    try {
      stream.WriteBytes(chunk);
    } catch (const EWriteError& e) {
      thrown = true;
      EXPECT_STREQ(e.what(), "the target is full");
    }
  }
  if (!thrown) {
    EXPECT_THROW(stream.Finish(), EWriteError);
  }
  EXPECT_EQ(target.bytes.size(), 10000u);  // nothing past the failure
}

TEST(BackgroundWriteStream, DestroyedUnfinishedItStopsWithoutWritingTheRest) {
  RecordingTarget target;
  {
    TBackgroundWriteStream stream(target, 100, 3);
    for (int i = 0; i < 50; ++i) stream.WriteBytes(std::string(100, 'y'));
  }  // joins; must neither hang nor crash
  EXPECT_LE(target.bytes.size(), 5000u);
  EXPECT_EQ(target.bytes.find_first_not_of('y'), std::string::npos);
}

TEST(BackgroundWriteStream, ItIsWriteOnlyAndAppendOnly) {
  RecordingTarget target;
  TBackgroundWriteStream stream(target);
  stream.WriteBytes("abc");
  char c;
  EXPECT_THROW(stream.Read(&c, 1), EStreamError);
  EXPECT_THROW(stream.SetPosition(0), EStreamError);
  EXPECT_THROW(stream.SetSize(0), EStreamError);
  stream.Finish();
  EXPECT_THROW(stream.WriteBytes("d"), EStreamError);
  EXPECT_EQ(target.bytes, "abc");
}

}  // namespace
}  // namespace qorvin
