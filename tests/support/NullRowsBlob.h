// A dataset blob that is small on the wire and large once loaded: 8 integer columns c0..c7 and
// `rows` rows of NULLs only, about 1 byte a row compressed and 50 bytes a row in a record set.
// For the tests of memory budgets.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"

namespace qorvin::test {

inline std::string NullRowsBlob(int rows) {
  TAdoDataSet ds;
  for (int c = 0; c < 8; ++c)
    ds.MutableFieldDefs().Add(u"c" + std::u16string(1, char16_t('0' + c)), ftInteger);
  ds.Open();
  for (int r = 0; r < rows; ++r) {
    ds.Append();
    ds.Post();
  }
  TMemoryStream stream;
  EXPECT_TRUE(AdoDataSetToStream(&ds, &stream, true, kPersistADTG, 1));
  return std::string(stream.View());
}

}  // namespace qorvin::test
