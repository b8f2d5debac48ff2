// The typed value stream bounds what it decodes, not only what it inflates: an empty variant is
// two bytes on the wire and a whole Variant decoded, so a parameters section of 2 KB declaring a
// million of them, or arrays nested in arrays, must be refused within the inflation budget, with
// the peak heap use asserted.
#include <gtest/gtest.h>

#include <string>

#include "datastream/uAdoParamsStream.h"
#include "tests/datastream/typed_stream_support.h"
#include "tests/support/AllocationMeter.h"

namespace qorvin {
namespace {

using test::Hex;

constexpr int64_t kMiB = int64_t(1) << 20;

std::string LE32(int32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(char(uint32_t(v) >> (8 * i)));
  return out;
}

// An array of `count` variants (one dimension), its elements `element` each.
std::string VariantArray(int32_t count, const std::string& element) {
  std::string out = Hex("0C 20 01 00") + LE32(0) + LE32(count - 1);
  out.reserve(out.size() + size_t(count) * element.size());
  for (int32_t i = 0; i < count; ++i) out += element;
  return out;
}

// Reads one variant of `plain` under an inflation budget of `budget`; the text it failed with
// (empty when it read) and the peak heap use.
std::pair<std::string, int64_t> ReadUnder(int64_t budget, const std::string& plain) {
  const TInflateBudgetScope scope(budget);
  TWAStreamReader reader;
  test::Load(reader, plain);
  std::string failure;
  test::PeakAllocation meter;
  try {
    reader.ReadVariant();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  return {failure, meter.PeakBytes()};
}

TEST(TypedStreamMemory, VariantArraysKeepTheirDecodedSizeWithinTheInflationBudget) {
  const std::string empty = Hex("00 00");
  const std::string flat = VariantArray(1 << 20, empty);  // 2 MiB inflated, 120 MiB decoded
  const std::string nested = VariantArray(1000, VariantArray(1000, empty));
  ASSERT_LT(test::Deflate(flat).size(), size_t(16 * 1024));
  for (const std::string* plain : {&flat, &nested}) {
    const auto [failure, peak] = ReadUnder(16 * kMiB, *plain);
    EXPECT_NE(failure.find("Typed value stream too large: its variant arrays need more than the "
                           "budget of 16 MiB"),
              std::string::npos)
        << failure;
    EXPECT_NE(failure.find("raise the inflation budget"), std::string::npos) << failure;
    // The inflated image and at most the budget decoded.
    if (test::AllocationMeterAvailable()) {
      EXPECT_LT(peak, 24 * kMiB);
    }
  }
  // Within a budget that holds them, both read.
  EXPECT_EQ(ReadUnder(256 * kMiB, nested).first, "");
}

}  // namespace
}  // namespace qorvin
