// Dataset blobs for scripted replies, made with the library's own record set and blob writer
// (the server side of a test may use internals; the host side uses the public header only).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Stream.h"

namespace qorvin::testing {

// A blob holding rows of (ID integer, Name wide string).
inline std::string MakeBlob(const std::vector<std::pair<int, std::u16string>>& rows) {
  TAdoDataSet ds;
  ds.MutableFieldDefs().Add(u"ID", ftInteger);
  ds.MutableFieldDefs().Add(u"Name", ftWideString, 20);
  ds.Open();
  for (const auto& [id, name] : rows) {
    ds.Append();
    ds.SetFieldValue(0, Variant::Integer(id));
    ds.SetFieldValue(1, Variant::OleStr(name));
    ds.Post();
  }
  TMemoryStream out;
  AdoDataSetToStream(&ds, &out, true, kPersistADTG, 1);
  return std::string(out.View());
}

}  // namespace qorvin::testing
