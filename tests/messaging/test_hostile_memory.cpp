// Hostile message bodies must not claim memory their bytes do not back: every count is checked
// against the bytes that remain, and arrays grow with the elements actually read. Each case is
// one of the worst known inputs; the peak heap use while it is refused is asserted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "messaging/uROClasses.h"
#include "messaging/uROExceptions.h"
#include "messaging/uROStreamSerializer.h"
#include "platform/zlib/ZStream.h"
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

// What variant arrays decode to keeps to the inflation budget, not only what the body inflates
// to: four bytes of an empty variant cost a whole Variant (120 bytes) decoded. A body of a
// million empties, or a thousand arrays of a thousand, decoded to 120 MB (a compressed reply of
// 78 KB reached 216 MB); under a budget of 16 MiB they are refused before their elements are
// read.
TEST_F(HostileMemory, DecodedVariantArraysKeepToTheInflationBudget) {
  std::string flat;
  PutLE32(flat, int32_t(varArray | varVariant));
  PutLE32(flat, 0);
  PutLE32(flat, (1 << 20) - 1);
  flat.resize(flat.size() + (size_t(4) << 20), '\0');
  std::string nested;
  PutLE32(nested, int32_t(varArray | varVariant));
  PutLE32(nested, 0);
  PutLE32(nested, 999);
  for (int i = 0; i < 1000; ++i) {
    PutLE32(nested, int32_t(varArray | varVariant));
    PutLE32(nested, 0);
    PutLE32(nested, 999);
    nested.resize(nested.size() + 4000, '\0');
  }
  const TInflateBudgetScope budget(16 * kMiB);
  for (const std::string* bytes : {&flat, &nested}) {
    Body(*bytes);
    std::string failure;
    const int64_t peak = PeakOfFailure([&] {
      Variant v;
      try {
        serializer.ReadVariant("v", v);
      } catch (const std::exception& e) {
        failure = e.what();
        throw;
      }
    });
    EXPECT_NE(failure.find("Variant arrays of the message need more than the budget of 16 MiB"),
              std::string::npos)
        << failure;
    EXPECT_LT(peak, 20 * kMiB) << "peak " << peak;
  }
  // Within a budget that holds them, they read.
  const TInflateBudgetScope larger(256 * kMiB);
  Body(nested);
  Variant v;
  serializer.ReadVariant("v", v);
  EXPECT_EQ(v.AsArray().ElementCount(), 1000);
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
