// A packet builder sizes its block from the rows so far and the row count it was told. The count
// comes from the image on the wire, so a count far above the rows that come must not make the
// builder claim (and fault in) many times the packet's size.
#include <gtest/gtest.h>

#include <string>

#include "platform/dataset/DataPacketBuilder.h"
#include "tests/support/AllocationMeter.h"

namespace qorvin {
namespace {

constexpr int kRows = 200000;
const std::string kText(40, 'x');

TPacketBlock BuildRows(int64_t announced, int64_t* peak) {
  TClientFieldDefs fields(2);
  fields[0].name = "ID";
  fields[0].dataType = ftInteger;
  fields[1].name = "NAME";
  fields[1].dataType = ftString;
  fields[1].size = 40;
  test::PeakAllocation meter;
  TDataPacketBuilder builder(fields, announced);
  for (int32_t i = 0; i < kRows; ++i) {
    builder.BeginRow();
    builder.Fixed(&i, sizeof i);
    builder.Counted(kText.data(), kText.size());
  }
  TPacketBlock block = builder.Finish();
  *peak = meter.PeakBytes();
  return block;
}

TEST(PacketBuilderMemory, AnAnnouncedCountFarAboveTheRowsClaimsLittleMore) {
  int64_t honestPeak = 0, liePeak = 0;
  const TPacketBlock honest = BuildRows(kRows, &honestPeak);
  const TPacketBlock lie = BuildRows(0xFFFFFFFF, &liePeak);
  // The same packet both ways, with the true count in the header.
  ASSERT_EQ(lie.Size(), honest.Size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(lie.Data()), lie.Size()),
            std::string(reinterpret_cast<const char*>(honest.Data()), honest.Size()));
  const TDataPacketContent content = DecodeDataPacket({lie.Data(), lie.Size()});
  EXPECT_EQ(content.rows.size(), size_t(kRows));
  if (!test::AllocationMeterAvailable()) return;
  const auto size = int64_t(honest.Size());
  // An honest count is allocated about once; a false one at most about twice the packet.
  EXPECT_LT(honestPeak, size + size / 4);
  EXPECT_LT(liePeak, 2 * size + size / 4) << "packet " << size << " bytes";
}

}  // namespace
}  // namespace qorvin
