// Inflation of a received body is bounded by the inflation budget, and a large binary value in a
// body is never held twice (body and copy). Peak heap use is asserted, never time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "messaging/uROBinMessage.h"
#include "messaging/uROBinaryHelpers.h"
#include "platform/zlib/ZStream.h"
#include "tests/support/AllocationMeter.h"

namespace qorvin {
namespace {

constexpr int64_t kMiB = int64_t(1) << 20;

void PutLE32(TStream& s, int32_t v) {
  s.WriteLE<int32_t>(v);
}

// A compressed SynchReadData reply: Result, then a binary value of `size` bytes of zeros. The body
// is deflated piece by piece, so that the test never holds it whole.
std::string CompressedReply(int64_t size) {
  TMemoryStream out;
  out.WriteBytes(std::string("RO107\x01\x00", 7));
  out.WriteBytes(std::string(5, '\0'));
  out.WriteBytes(std::string(16, '\x11'));  // client identifier
  {
    TZCompressionStream z(out, -1);
    for (const char* name : {"ExecSqlService", "SynchReadData"}) {
      PutLE32(z, int32_t(std::strlen(name)));
      z.WriteBytes(name);
    }
    PutLE32(z, 1);  // Result
    z.WriteLE<uint8_t>(1);
    PutLE32(z, int32_t(size));
    const std::string zeros(size_t(kMiB), '\0');
    for (int64_t left = size; left > 0; left -= kMiB)
      z.WriteBuffer(zeros.data(), std::min<int64_t>(left, kMiB));
    z.Finish();
  }
  return std::string(out.View());
}

// Reads `reply` as the client does and returns the binary value's size.
int64_t ReadReply(TROBinMessage& client, const std::string& reply) {
  auto in = std::make_unique<TMemoryStream>();
  in->WriteBytes(reply);
  in->SetPosition(0);
  client.ReadFromStream(std::move(in));
  int32_t result = 0;
  client.ReadMessageParameter("Result", TypeInfo_Integer(), &result, 0);
  std::unique_ptr<TROBinaryMemoryStream> data;
  client.ReadMessageParameter("aOutData", TypeInfo_Binary(), &data, 0);
  EXPECT_EQ(result, 1);
  const int64_t size = data ? data->Size() : -1;
  client.ReleaseBody();
  return size;
}

TEST(InflationBudget, DefaultsWellBelowAGibibyteAndScopesNest) {
  EXPECT_EQ(InflateBudget(), kDefaultInflateBudget);
  EXPECT_EQ(kDefaultInflateBudget, 256 * kMiB);
  {
    TInflateBudgetScope outer(8 * kMiB);
    EXPECT_EQ(InflateBudget(), 8 * kMiB);
    {
      TInflateBudgetScope inner(0);  // 0: the default
      EXPECT_EQ(InflateBudget(), kDefaultInflateBudget);
    }
    EXPECT_EQ(InflateBudget(), 8 * kMiB);
  }
  EXPECT_EQ(InflateBudget(), kDefaultInflateBudget);
}

// The worst known input: a small reply whose body inflates a thousandfold (1 MB to a gigabyte
// in the field; 256 KB to 256 MiB here, four times the budget, to keep the test quick). It is
// refused once the body passes the budget, with a text that says what to do.
TEST(InflationBudget, ASmallReplyCannotClaimAThousandTimesItsSize) {
  const std::string reply = CompressedReply(256 * kMiB);
  ASSERT_LT(int64_t(reply.size()), kMiB / 2);
  TInflateBudgetScope budget(64 * kMiB);
  TROBinMessage client;
  std::string text;
  test::PeakAllocation meter;
  try {
    ReadReply(client, reply);
  } catch (const EZCompressionError& e) {
    text = e.what();
  }
  const int64_t peak = meter.PeakBytes();
  RecordProperty("peak_bytes", std::to_string(peak));
  EXPECT_NE(text.find("Inflated data exceeds the budget of 64 MiB"), std::string::npos) << text;
  EXPECT_NE(text.find("raise the inflation budget"), std::string::npos) << text;
  if (test::AllocationMeterAvailable()) {
    EXPECT_LT(peak, 64 * kMiB + 8 * kMiB) << "peak " << peak;
  }
  // A message's own bound, when set, replaces the budget.
  client.MaxDecompressedSize = 2 * kMiB;
  EXPECT_THROW(ReadReply(client, CompressedReply(3 * kMiB)), EZCompressionError);
}

// Within the budget, the binary value takes the inflated body's memory instead of a copy: the
// peak stays near one copy of the data, not two.
TEST(InflationBudget, ALargeBinaryValueIsNotHeldTwice) {
  const int64_t size = 48 * kMiB;
  const std::string reply = CompressedReply(size);
  TInflateBudgetScope budget(64 * kMiB);
  TROBinMessage client;
  test::PeakAllocation meter;
  EXPECT_EQ(ReadReply(client, reply), size);
  RecordProperty("peak_bytes", std::to_string(meter.PeakBytes()));
  if (!test::AllocationMeterAvailable()) GTEST_SKIP() << "no allocation meter under sanitizers";
  // One copy is 48 MiB; the body grows in steps of a quarter, so 1.5 copies is the bound.
  EXPECT_LT(meter.PeakBytes(), size + size / 2) << "peak " << meter.PeakBytes();
}

TEST(InflationBudget, TakingABodyKeepsTheBytesThatFollow) {
  TMemoryStream body;
  std::string bytes = "head";
  bytes += std::string(200000, 'x');
  bytes += "tail";
  body.WriteBytes(bytes);
  body.SetPosition(4);
  TMemoryStream value;
  value.TakeFrom(body, 200000);
  EXPECT_EQ(value.Size(), 200000);
  EXPECT_EQ(value.Position(), 0);
  EXPECT_EQ(value.View(), std::string(200000, 'x'));
  EXPECT_EQ(body.Remaining(), 4);
  char tail[4];
  body.ReadBuffer(tail, 4);
  EXPECT_EQ(std::string(tail, 4), "tail");
  // Too few bytes left: refused, nothing changed.
  body.SetPosition(0);
  EXPECT_THROW(value.TakeFrom(body, 5), EReadError);
  EXPECT_EQ(value.Size(), 200000);
  // A small value, or one followed by much more, is copied and the source kept.
  TMemoryStream big;
  big.WriteBytes(std::string(1000, 'a') + std::string(1000, 'b'));
  big.SetPosition(0);
  value.TakeFrom(big, 1000);
  EXPECT_EQ(value.View(), std::string(1000, 'a'));
  EXPECT_EQ(big.Size(), 2000);
  EXPECT_EQ(big.Position(), 1000);
}

}  // namespace
}  // namespace qorvin
