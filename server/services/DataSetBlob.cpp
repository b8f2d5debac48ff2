#include "server/services/DataSetBlob.h"

#include <algorithm>
#include <set>

#include "datastream/uConvertAdo.h"
#include "platform/ado/AdoDataSet.h"
#include "platform/rtl/Text.h"
#include "server/db/SqlTokenizer.h"

namespace qorvin::server {
namespace {

constexpr int kFastestLevel = 1;
constexpr uint32_t kMaxDecimalDigits = 38;

std::vector<std::u16string> UniqueNames(const ResultTable& table) {
  std::vector<std::u16string> names;
  std::set<std::string> seen;  // ASCII upper case
  for (size_t i = 0; i < table.columns.size(); ++i) {
    std::string base = table.columns[i].name;
    if (base.empty()) base = "Column" + std::to_string(i + 1);
    std::string name = base;
    for (int n = 2; seen.count(AsciiUpper(name)); ++n) name = base + "_" + std::to_string(n);
    seen.insert(AsciiUpper(name));
    names.push_back(Utf8ToUtf16(name));
  }
  return names;
}

}  // namespace

std::string ResultTableToBlob(const ResultTable& table) {
  TAdoDataSet ds;
  std::vector<std::u16string> names = UniqueNames(table);
  std::vector<bool> asFloat(table.columns.size(), false);
  for (size_t i = 0; i < table.columns.size(); ++i) {
    const ResultColumn& c = table.columns[i];
    TFieldType type = c.type;
    uint32_t size = c.size;
    uint32_t precision = c.precision;
    if (type == ftFMTBcd) {
      precision = std::max({precision, size, 1u});
      if (precision > kMaxDecimalDigits) {
        type = ftFloat;
        asFloat[i] = true;
      }
    }
    if (type == ftWideString) size = std::max(size, 1u);
    ds.MutableFieldDefs().Add(names[i], type, size, false, precision);
  }
  ds.Open();
  for (const auto& row : table.rows) {
    ds.Append();
    for (size_t i = 0; i < row.size() && i < table.columns.size(); ++i) {
      const Variant& v = row[i];
      if (v.IsNull()) continue;
      if (asFloat[i] && v.Kind() == varBcd) {
        ds.SetFieldValue(int(i), Variant::Double(std::stod(v.AsBcd().ToString())));
      } else {
        ds.SetFieldValue(int(i), v);
      }
    }
    ds.Post();
  }
  TMemoryStream blob;
  AdoDataSetToStream(&ds, &blob, true, kPersistADTG, kFastestLevel);
  return std::string(blob.View());
}

std::optional<ResultTable> BlobToResultTable(TStream& blob) {
  if (blob.Size() == 0) return std::nullopt;
  TAdoDataSet ds;
  blob.SetPosition(0);
  StreamToAdoDataSet(&ds, &blob, true);
  ResultTable table;
  if (!ds.Active()) return table;
  for (int i = 0; i < ds.FieldCount(); ++i) {
    const TFieldDef& def = ds.FieldDefs()[i];
    ResultColumn c;
    c.name = Utf16ToUtf8(def.name);
    c.type = def.dataType;
    c.size = def.Size();
    c.precision = def.precision;
    table.columns.push_back(std::move(c));
  }
  for (ds.First(); !ds.Eof(); ds.Next()) {
    std::vector<Variant> row;
    row.reserve(size_t(ds.FieldCount()));
    for (int i = 0; i < ds.FieldCount(); ++i) row.push_back(ds.FieldValue(i));
    table.rows.push_back(std::move(row));
  }
  return table;
}

}  // namespace qorvin::server
