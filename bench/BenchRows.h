// The record set the dataset benchmarks measure: `rows` rows of (32-bit int, 64-bit int, double,
// 20-character wide string, date-time), appended to `dataSet` (which must be closed and empty).
#pragma once

#include <cstdint>
#include <string>

#include "platform/ado/AdoDataSet.h"

namespace qorvin::bench {

inline void FillBenchRows(TAdoDataSet& dataSet, int64_t rows) {
  TFieldDefs& defs = dataSet.MutableFieldDefs();
  defs.Add(u"Id", ftInteger);
  defs.Add(u"Big", ftLargeint);
  defs.Add(u"Amount", ftFloat);
  defs.Add(u"Name", ftWideString, 20);
  defs.Add(u"When", ftDateTime);
  dataSet.Open();
  std::u16string name = u"Customer 0000000 xyz";  // 20 characters
  for (int64_t row = 0; row < rows; ++row) {
    for (int64_t digit = 15, v = row; digit >= 9; --digit, v /= 10)
      name[size_t(digit)] = char16_t(u'0' + v % 10);
    dataSet.Append();
    dataSet.SetFieldValue(0, Variant::Integer(int32_t(row)));
    dataSet.SetFieldValue(1, Variant::Int64(row * 1000003));
    dataSet.SetFieldValue(2, Variant::Double(double(row) * 0.25));
    dataSet.SetFieldValue(3, Variant::OleStr(name));
    dataSet.SetFieldValue(4, Variant::Date(45000.0 + double(row % 86400) / 86400.0));
    dataSet.Post();
  }
}

}  // namespace qorvin::bench
