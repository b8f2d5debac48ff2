// A record set loaded from a blob keeps to a memory budget: NULL cells cost a bit each in the
// blob and a whole slot each once loaded, so a small blob of NULL rows must be refused, with the
// peak heap use asserted, instead of claiming gigabytes. Loads that share a budget refuse what
// would pass it together and give their part back when their record sets end.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "datastream/uConvertAdo.h"
#include "datastream/uRecordSetBudget.h"
#include "tests/support/AllocationMeter.h"
#include "tests/support/NullRowsBlob.h"

namespace qorvin {
namespace {

constexpr int64_t kMiB = int64_t(1) << 20;

using qorvin::test::NullRowsBlob;

std::unique_ptr<TMemoryStream> StreamOf(const std::string& bytes) {
  auto stream = std::make_unique<TMemoryStream>();
  stream->WriteBuffer(bytes.data(), int64_t(bytes.size()));
  stream->SetPosition(0);
  return stream;
}

constexpr int kRows = 300000;  // about 15 MiB loaded, from a blob of a few hundred KB

TEST(RecordSetBudget, NullRowsPastTheBudgetAreRefusedWithinIt) {
  const std::string blob = NullRowsBlob(kRows);
  ASSERT_LT(blob.size(), size_t(kMiB));
  // Under a 1 MiB inflation budget the record set may hold 4 MiB.
  const TInflateBudgetScope inflate(kMiB);
  EXPECT_EQ(RecordSetMemoryBudget(), 4 * kMiB);
  auto stream = StreamOf(blob);
  TAdoDataSet ds;
  std::string error;
  int64_t peak = 0;
  {
    test::PeakAllocation meter;
    try {
      StreamToAdoDataSet(&ds, stream.get(), true);
    } catch (const ERecordSetTooLarge& e) {
      error = e.what();
    }
    peak = meter.PeakBytes();
  }
  EXPECT_NE(error.find("memory budget of 4 MiB"), std::string::npos) << error;
  EXPECT_NE(error.find("raise the inflation budget"), std::string::npos) << error;
  EXPECT_FALSE(ds.Active());
  // The budget, a block growing past it, one window of the image and the inflater.
  if (test::AllocationMeterAvailable()) {
    EXPECT_LT(peak, 9 * kMiB);
  }
}

TEST(RecordSetBudget, TheSameBlobLoadsUnderTheDefaultBudget) {
  auto stream = StreamOf(NullRowsBlob(kRows));
  TAdoDataSet ds;
  ASSERT_TRUE(StreamToAdoDataSet(&ds, stream.get(), true));
  EXPECT_EQ(ds.RecordCount(), kRows);
  EXPECT_TRUE(ds.FieldValue(3).IsNull());
}

TEST(RecordSetBudget, LoadsSharingABudgetRefuseWhatWouldPassItTogether) {
  const std::string blob = NullRowsBlob(kRows / 2);  // about 8 MiB loaded
  TSharedMemoryBudget shared(12 * kMiB);
  std::optional<TMemoryClaim> first(std::in_place, shared);
  TAdoDataSet one;
  {
    const TRecordSetBudgetScope scope(shared.Limit(), &*first);
    auto stream = StreamOf(blob);
    ASSERT_TRUE(StreamToAdoDataSet(&one, stream.get(), true));
  }
  EXPECT_GT(first->Bytes(), 4 * kMiB);
  EXPECT_EQ(shared.InUse(), first->Bytes());

  TMemoryClaim second(shared);
  TAdoDataSet two;
  {
    const TRecordSetBudgetScope scope(shared.Limit(), &second);
    auto stream = StreamOf(blob);
    EXPECT_THROW(StreamToAdoDataSet(&two, stream.get(), true), ERecordSetTooLarge);
  }
  EXPECT_EQ(second.Bytes(), 0);  // a refused load keeps nothing counted
  EXPECT_FALSE(two.Active());

  one.Close();
  first.reset();
  EXPECT_EQ(shared.InUse(), 0);
  {
    const TRecordSetBudgetScope scope(shared.Limit(), &second);
    auto stream = StreamOf(blob);
    ASSERT_TRUE(StreamToAdoDataSet(&two, stream.get(), true));
  }
  EXPECT_EQ(two.RecordCount(), kRows / 2);
  EXPECT_EQ(shared.InUse(), second.Bytes());
}

}  // namespace
}  // namespace qorvin
