// Helpers for the dataset blob and conversion tests: sample record sets, whole-stream byte views,
// inflating a section and building a blob from hand-made sections.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"
#include "platform/zlib/ZStream.h"

namespace qorvin::test {

inline std::string Bytes(const TMemoryStream& stream) {
  return std::string(stream.View());
}

inline std::string Inflated(const std::string& image) {
  TMemoryStream in, out;
  in.WriteBytes(image);
  in.SetPosition(0);
  ZDecompress(in, out);
  return std::string(out.View());
}

inline std::string Deflated(const std::string& plain, int zlibLevel = 1) {
  TMemoryStream in, out;
  in.WriteBytes(plain);
  in.SetPosition(0);
  ZCompress(in, -1, out, zlibLevel);
  return std::string(out.View());
}

inline std::string Trailer(int64_t offset) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[size_t(i)] = char(uint64_t(offset) >> (8 * i));
  return out;
}

// record-set section + parameters section + trailer, as a fresh stream at position 0.
inline void MakeBlob(TMemoryStream& stream, const std::string& recordset,
                     const std::string& params) {
  stream.Clear();
  stream.WriteBytes(recordset);
  stream.WriteBytes(params);
  stream.WriteBytes(Trailer(int64_t(recordset.size())));
  stream.SetPosition(0);
}

// The uncompressed ADTG image the record set saves.
inline std::string SavedImage(const TAdoDataSet& dataSet) {
  TMemoryStream out;
  dataSet.Save(out);
  return Bytes(out);
}

// An open record set of four kinds of column and three rows, the second holding NULLs.
inline void FillSample(TAdoDataSet& ds) {
  ds.MutableFieldDefs().Add(u"ID", ftInteger, 0, true);
  ds.MutableFieldDefs().Add(u"Name", ftWideString, 20);
  ds.MutableFieldDefs().Add(u"Amount", ftFloat);
  ds.MutableFieldDefs().Add(u"Big", ftLargeint);
  ds.MutableFieldDefs().Add(u"When", ftDateTime);
  ds.SetLockType(ltOptimistic);
  ds.Open();
  const struct {
    int32_t id;
    const char16_t* name;
    double amount;
    int64_t big;
    double when;
  } rows[] = {{1, u"Ann", 1.5, int64_t(1) << 40, 45000.25},
              {2, nullptr, 0, 0, 0},
              {3, u"Bob \u4e2d\u6587", -2.25, -7, 36526.5}};
  for (const auto& r : rows) {
    ds.Append();
    ds.SetFieldValue(0, Variant::Integer(r.id));
    if (r.name != nullptr) {
      ds.SetFieldValue(1, Variant::OleStr(r.name));
      ds.SetFieldValue(2, Variant::Double(r.amount));
      ds.SetFieldValue(3, Variant::Int64(r.big));
      ds.SetFieldValue(4, Variant::Date(r.when));
    }
    ds.Post();
  }
  ds.First();
}

}  // namespace qorvin::test
