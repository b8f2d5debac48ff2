// Hostile message bodies must not claim memory their bytes do not back: every count is checked
// against the bytes that remain, and arrays grow with the elements actually read. Each case is
// one of the worst known inputs; the peak heap use while it is refused is asserted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "messaging/uROClasses.h"
#include "messaging/uROExceptions.h"
#include "messaging/uROStreamSerializer.h"
#include "tests/support/AllocationMeter.h"

namespace qorvin {
namespace {

constexpr int64_t kMiB = int64_t(1) << 20;

void PutLE32(std::string& out, int32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(char(uint32_t(v) >> (8 * i)));
}

class TStringArray : public TROArrayOf<std::string> {
 public:
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TStringArray";
      i.family = TClassFamily::Array;
      i.create = [] { return std::make_unique<TStringArray>(); };
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
  const TTypeInfo& ElementType() const override { return TypeInfo_String(); }
};

class HostileMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::AllocationMeterAvailable())
      GTEST_SKIP() << "the allocation meter does not count under AddressSanitizer";
  }
  // Loads `bytes` as the body and leaves it positioned at `at`.
  void Body(const std::string& bytes, int64_t at = 0) {
    body.SetSize(0);
    body.WriteBytes(bytes);
    body.SetPosition(at);
  }
  // Runs `read`, which must fail, and returns the peak heap bytes it held above the start.
  template <typename F>
  int64_t PeakOfFailure(F read) {
    test::PeakAllocation meter;
    bool failed = false;
    try {
      read();
    } catch (const std::exception&) {
      failed = true;
    }
    EXPECT_TRUE(failed) << "the hostile body was accepted";
    const int64_t peak = meter.PeakBytes();
    ::testing::Test::RecordProperty("peak_bytes_" + std::to_string(++measured_),
                                    std::to_string(peak));
    return peak;
  }

  TMemoryStream body;
  TROStreamSerializer serializer{&body};
  int measured_ = 0;
};

// 32 variant arrays nested in one 1 MiB body, each declaring as many elements as the bytes left
// could hold: the elements are empties, and the outer arrays then run out of bytes. Allocating
// count x a Variant at each level before reading claimed close to 1 GB.
TEST_F(HostileMemory, NestedVariantArraysClaimOnlyWhatTheirBytesBack) {
  std::string bytes;
  const int levels = 32;
  const int64_t total = kMiB;
  const int64_t headers = int64_t(levels) * 12;
  for (int level = 0; level < levels; ++level) {
    PutLE32(bytes, int32_t(varArray | varVariant));
    PutLE32(bytes, 0);
    PutLE32(bytes, int32_t((total - int64_t(bytes.size()) - 8) / 4 - 1));
  }
  bytes.resize(size_t(total), '\0');  // empty variants (code 0)
  ASSERT_GT(total, headers);
  Body(bytes);
  const int64_t peak = PeakOfFailure([&] {
    Variant v;
    serializer.ReadVariant("v", v);
  });
  // The innermost array holds about 262 000 empty Variants; nothing else is sized.
  EXPECT_LT(peak, 96 * kMiB) << "peak " << peak;
}

// Counts checked against the whole body let one value near its end claim the whole body (twice
// for wide text) before the read fails.
TEST_F(HostileMemory, StringAndBinaryCountsFollowTheBytesThatRemain) {
  const int64_t size = 8 * kMiB;
  std::string bytes(size_t(size), '\0');
  const int64_t at = size - 16;
  std::string tail;
  PutLE32(tail, int32_t(size - 64));
  std::memcpy(bytes.data() + at, tail.data(), 4);
  Body(bytes, at);

  EXPECT_LT(PeakOfFailure([&] {
              std::string s;
              serializer.ReadString("s", s, -1, -1);
            }),
            kMiB);
  body.SetPosition(at);
  EXPECT_LT(PeakOfFailure([&] {
              std::string s;
              serializer.ReadUTF8String("s", s, -1, -1);
            }),
            kMiB);
  std::string wide;
  PutLE32(wide, int32_t(size / 2 - 64));
  std::memcpy(bytes.data() + at, wide.data(), 4);
  Body(bytes, at);
  EXPECT_LT(PeakOfFailure([&] {
              std::u16string s;
              serializer.ReadWideString("s", s, -1, -1);
            }),
            kMiB);
  // A binary value: present flag, then the count.
  bytes[size_t(at)] = 1;
  std::memcpy(bytes.data() + at + 1, tail.data(), 4);
  Body(bytes, at);
  EXPECT_LT(PeakOfFailure([&] {
              std::unique_ptr<TROBinaryMemoryStream> b;
              serializer.ReadBinary("b", b);
            }),
            kMiB);
  // Variant text (code 256 and 8) and byte arrays (8209).
  for (int32_t code : {256, 8, int32_t(varArray | varByte)}) {
    std::string v;
    PutLE32(v, code);
    v += tail;
    std::memcpy(bytes.data() + at, v.data(), v.size());
    Body(bytes, at);
    EXPECT_LT(PeakOfFailure([&] {
                Variant out;
                serializer.ReadVariant("v", out);
              }),
              kMiB)
        << "code " << code;
  }
}

// A generic array sized before its elements were read: 1 MiB of body declaring a million
// strings claimed 32 MB of string objects at once.
TEST_F(HostileMemory, GenericArraysGrowWithTheElementsRead) {
  RegisterROClass(TStringArray::Info());
  TTypeInfo type;
  type.kind = TTypeKind::tkClass;
  type.name = "TStringArray";
  type.family = TClassFamily::Array;
  type.className = "TStringArray";
  std::string bytes;
  bytes.push_back(1);
  PutLE32(bytes, int32_t(kMiB - 8));
  bytes.resize(size_t(kMiB), '\0');
  Body(bytes);
  // The last string count reads past the end; until then about 262 000 empty strings are read.
  const int64_t peak = PeakOfFailure([&] {
    std::unique_ptr<TROArray> array;
    serializer.ReadArray("a", type, array);
  });
  UnregisterROClass("TStringArray");
  EXPECT_LT(peak, 24 * kMiB) << "peak " << peak;
}

}  // namespace
}  // namespace qorvin
