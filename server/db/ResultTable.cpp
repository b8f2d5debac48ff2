#include "server/db/ResultTable.h"

#include <algorithm>
#include <cstdio>

#include "platform/rtl/Text.h"
#include "server/db/DateTimeText.h"

namespace qorvin::server {
namespace {

bool IsIntegerKind(uint16_t k) {
  return k == varSmallint || k == varInteger || k == varShortInt || k == varByte || k == varWord ||
         k == varLongWord || k == varInt64 || k == varUInt64;
}

int64_t CellBytes(const Variant& v) {
  if (v.IsArray()) return 16 + v.AsArray().ElementCount();
  switch (v.Kind()) {
    case varOleStr:
    case varUString:
      return 16 + int64_t(v.AsWide().size()) * 2;
    case varString:
      return 16 + int64_t(v.AsAnsi().size());
    default:
      return 16;
  }
}

struct Observed {
  bool ints = false, reals = false, texts = false, blobs = false, bools = false, dates = false,
       decimals = false;
  bool intsFit32 = true, intsAreBits = true;
  int Classes() const { return int(ints) + reals + texts + blobs + bools + dates + decimals; }
};

Observed Observe(const std::vector<std::vector<Variant>>& rows, int c) {
  Observed o;
  for (const auto& row : rows) {
    const Variant& v = row[size_t(c)];
    if (v.IsNull() || v.IsEmpty()) continue;
    uint16_t k = v.Kind();
    if (v.IsArray()) {
      o.blobs = true;
    } else if (IsIntegerKind(k)) {
      o.ints = true;
      int64_t i = v.AsIntegerValue();
      if (i < INT32_MIN || i > INT32_MAX) o.intsFit32 = false;
      if (i != 0 && i != 1) o.intsAreBits = false;
    } else if (k == varSingle || k == varDouble || k == varCurrency) {
      o.reals = true;
    } else if (k == varBoolean) {
      o.bools = true;
    } else if (k == varDate) {
      o.dates = true;
    } else if (k == varBcd) {
      o.decimals = true;
    } else {
      o.texts = true;
    }
  }
  return o;
}

template <typename F>
void MapColumn(std::vector<std::vector<Variant>>& rows, int c, F f) {
  for (auto& row : rows) {
    Variant& v = row[size_t(c)];
    if (v.IsNull() || v.IsEmpty()) {
      v = Variant::Null();
      continue;
    }
    v = f(v);
  }
}

TFieldType EmptyColumnType(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::Integer:
      return ftInteger;
    case ColumnKind::Float:
      return ftFloat;
    case ColumnKind::Decimal:
      return ftFMTBcd;
    case ColumnKind::Boolean:
      return ftBoolean;
    case ColumnKind::DateTime:
      return ftDateTime;
    case ColumnKind::Date:
      return ftDate;
    case ColumnKind::Time:
      return ftTime;
    case ColumnKind::Blob:
      return ftBlob;
    default:
      return ftWideString;
  }
}

}  // namespace

int ResultTable::ColumnIndex(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& n = columns[i].name;
    if (n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
          auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
          return lower(a) == lower(b);
        }))
      return int(i);
  }
  return -1;
}

std::string VariantToText(const Variant& value) {
  const Variant v = value.IsByRef() ? value.Deref() : value;
  if (v.IsNull() || v.IsEmpty()) return "";
  if (v.IsArray()) {
    const VarArray& a = v.AsArray();
    std::string out;
    static const char kHex[] = "0123456789ABCDEF";
    for (uint8_t b : a.RawData()) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    return out;
  }
  switch (v.Kind()) {
    case varDate:
      return FormatDateTimeText(v.AsDoubleValue());
    case varBcd:
      return v.AsBcd().ToString();
    case varBoolean:
      return v.AsBoolean() ? "1" : "0";
    case varString:
      return AnsiToUtf8(v.AsAnsi());
    case varDouble:
    case varSingle: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.AsDoubleValue());
      return buf;
    }
    default:
      return v.ToUtf8();
  }
}

void ResultBuilder::AddColumn(std::string name, ColumnKind kind, uint32_t declaredSize) {
  ResultColumn col;
  col.name = std::move(name);
  table_.columns.push_back(std::move(col));
  kinds_.push_back(kind);
  declared_sizes_.push_back(declaredSize);
}

void ResultBuilder::BeginRow() {
  if (int64_t(table_.rows.size()) >= max_rows_)
    throw EDatabaseError("The result set has more than " + std::to_string(max_rows_) +
                         " rows, the server's limit");
  table_.rows.emplace_back();
  table_.rows.back().reserve(table_.columns.size());
}

void ResultBuilder::AddCell(Variant value) {
  bytes_ += CellBytes(value);
  if (bytes_ > max_bytes_)
    throw EDatabaseError("The result set is larger than " + std::to_string(max_bytes_) +
                         " bytes, the server's limit");
  table_.rows.back().push_back(std::move(value));
}

ResultTable ResultBuilder::Finish() {
  for (auto& row : table_.rows) row.resize(table_.columns.size(), Variant::Null());
  for (int c = 0; c < ColumnCount(); ++c) Settle(c);
  return std::move(table_);
}

namespace {

TFieldType DateType(ColumnKind kind) {
  return kind == ColumnKind::Date ? ftDate : kind == ColumnKind::Time ? ftTime : ftDateTime;
}

bool IsDateKind(ColumnKind kind) {
  return kind == ColumnKind::DateTime || kind == ColumnKind::Date || kind == ColumnKind::Time;
}

// Dates stored as text (SQLite): a date column when every value parses, else a text column.
TFieldType SettleDateText(std::vector<std::vector<Variant>>& rows, int c, ColumnKind kind) {
  for (const auto& row : rows) {
    const Variant& v = row[size_t(c)];
    double d = 0;
    if (!v.IsNull() && !ParseDateTimeText(Utf16ToUtf8(v.AsWide()), d)) return ftWideString;
  }
  MapColumn(rows, c, [](const Variant& v) {
    double d = 0;
    ParseDateTimeText(Utf16ToUtf8(v.AsWide()), d);
    return Variant::Date(d);
  });
  return DateType(kind);
}

// Columns of numbers and booleans only.
void SettleNumbers(std::vector<std::vector<Variant>>& rows, ResultColumn& col, int c,
                   ColumnKind kind, const Observed& o) {
  if (o.decimals && !o.reals) {
    col.type = ftFMTBcd;
    for (const auto& row : rows) {
      const Variant& v = row[size_t(c)];
      if (v.Kind() == varBcd) {
        col.size = std::max<uint32_t>(col.size, uint32_t(v.AsBcd().Places()));
        col.precision = std::max<uint32_t>(col.precision, v.AsBcd().precision);
      }
    }
    MapColumn(rows, c, [](const Variant& v) {
      return v.Kind() == varBcd ? v : Variant::FromBcd(Bcd::FromString(VariantToText(v)));
    });
  } else if (o.reals || o.decimals || kind == ColumnKind::Float) {
    col.type = ftFloat;
    MapColumn(rows, c, [](const Variant& v) {
      return Variant::Double(v.Kind() == varBcd ? std::stod(v.AsBcd().ToString()) : v.ToDouble());
    });
  } else if ((o.bools && (!o.ints || o.intsAreBits)) ||
             (kind == ColumnKind::Boolean && o.intsAreBits)) {
    col.type = ftBoolean;
    MapColumn(rows, c, [](const Variant& v) { return Variant::Boolean(v.AsIntegerValue() != 0); });
  } else if (o.intsFit32) {
    col.type = ftInteger;
    MapColumn(rows, c,
              [](const Variant& v) { return Variant::Integer(int32_t(v.AsIntegerValue())); });
  } else {
    col.type = ftLargeint;
    MapColumn(rows, c, [](const Variant& v) { return Variant::Int64(v.AsIntegerValue()); });
  }
}

}  // namespace

void ResultBuilder::Settle(int c) {
  ResultColumn& col = table_.columns[size_t(c)];
  auto& rows = table_.rows;
  ColumnKind kind = kinds_[size_t(c)];
  Observed o = Observe(rows, c);
  col.size = 0;
  col.precision = 0;
  if (o.Classes() == 0) {
    col.type = EmptyColumnType(kind);
  } else if (o.texts && o.Classes() == 1 && IsDateKind(kind)) {
    col.type = SettleDateText(rows, c, kind);
  } else if (o.Classes() > 1 && (o.texts || o.blobs || o.dates)) {
    col.type = ftWideString;
    MapColumn(rows, c,
              [](const Variant& v) { return Variant::OleStr(Utf8ToUtf16(VariantToText(v))); });
  } else if (o.blobs) {
    col.type = ftBlob;
  } else if (o.dates) {
    col.type = DateType(kind);
  } else if (o.texts) {
    col.type = ftWideString;
  } else {
    SettleNumbers(rows, col, c, kind, o);
  }
  if (col.type == ftWideString) {
    uint32_t longest = std::max<uint32_t>(declared_sizes_[size_t(c)], 1);
    for (const auto& row : rows) {
      const Variant& v = row[size_t(c)];
      if (!v.IsNull()) longest = std::max<uint32_t>(longest, uint32_t(v.AsWide().size()));
    }
    col.size = longest;
  }
}

}  // namespace qorvin::server
