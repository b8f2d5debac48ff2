#include "server/db/ResultTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/rtl/NumberText.h"
#include "platform/rtl/Text.h"
#include "server/db/DateTimeText.h"

namespace qorvin::server {
namespace {

uint32_t DecimalDigits(uint64_t magnitude) {
  uint32_t n = 1;
  for (; magnitude >= 10; magnitude /= 10) ++n;
  return n;
}

bool IsIntegerKind(uint16_t k) {
  return k == varSmallint || k == varInteger || k == varShortInt || k == varByte || k == varWord ||
         k == varLongWord || k == varInt64 || k == varUInt64;
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
    case varSingle:
      return DoubleText(v.AsDoubleValue());
    default:
      return v.ToUtf8();
  }
}

namespace {

// The field type of a date column. A DATE column whose values have a time of day, and a TIME
// column whose values have a fraction of a second (DBTIME holds none) or a day, become date-time
// columns, which hold both: nothing a value holds is dropped.
TFieldType DateType(ColumnKind kind, const ResultBuilder::ColumnStats& o) {
  if (kind == ColumnKind::Date && !o.timesOfDay) return ftDate;
  if (kind == ColumnKind::Time && !o.subSeconds && !o.days) return ftTime;
  return ftDateTime;
}

bool IsDateKind(ColumnKind kind) {
  return kind == ColumnKind::DateTime || kind == ColumnKind::Date || kind == ColumnKind::Time;
}

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

void ResultBuilder::AddColumn(std::string name, ColumnKind kind, uint32_t declaredSize) {
  ResultColumn col;
  col.name = std::move(name);
  table_.columns.push_back(std::move(col));
  kinds_.push_back(kind);
  declared_sizes_.push_back(declaredSize);
  stats_.emplace_back();
}

void ResultBuilder::BeginRow() {
  if (!pack_) pack_ = std::make_shared<PackedRows>(ColumnCount());
  if (rows_ > 0)
    for (; cell_ < ColumnCount(); ++cell_) pack_->AddNull();
  if (rows_ >= max_rows_)
    throw EDatabaseError("The result set has more than " + std::to_string(max_rows_) +
                         " rows, the server's limit");
  ++rows_;
  pack_->NewRow();
  cell_ = 0;
}

int ResultBuilder::NextCell(int64_t bytes) {
  bytes_ += 16 + bytes;
  if (bytes_ > max_bytes_)
    throw EDatabaseError("The result set is larger than " + std::to_string(max_bytes_) +
                         " bytes, the server's limit");
  if (rows_ == 0) throw EDatabaseError("A cell was added before the first row");
  return cell_ < ColumnCount() ? cell_++ : -1;
}

void ResultBuilder::AddNull() {
  if (NextCell(0) >= 0) pack_->AddNull();
}

void ResultBuilder::AddInt(int64_t v) {
  int c = NextCell(0);
  if (c < 0) return;
  ColumnStats& s = stats_[size_t(c)];
  s.ints = true;
  if (v < INT32_MIN || v > INT32_MAX) s.intsFit32 = false;
  if (v != 0 && v != 1) s.intsAreBits = false;
  const uint64_t magnitude = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  s.largestIntMagnitude = std::max(s.largestIntMagnitude, magnitude);
  pack_->AddInt(v);
}

void ResultBuilder::AddReal(double v) {
  int c = NextCell(0);
  if (c < 0) return;
  stats_[size_t(c)].reals = true;
  pack_->AddReal(v);
}

void ResultBuilder::AddBool(bool v) {
  int c = NextCell(0);
  if (c < 0) return;
  stats_[size_t(c)].bools = true;
  pack_->AddBool(v);
}

void ResultBuilder::ColumnStats::AddDate(double oleDate) {
  bool subSecond = false;
  timesOfDay = HasTimeOfDay(oleDate, subSecond) || timesOfDay;
  subSeconds = subSeconds || subSecond;
  days = days || std::trunc(oleDate) != 0;
}

void ResultBuilder::AddDate(double v) {
  int c = NextCell(0);
  if (c < 0) return;
  stats_[size_t(c)].dates = true;
  stats_[size_t(c)].AddDate(v);
  pack_->AddDate(v);
}

void ResultBuilder::AddDecimal(const Bcd& v) {
  int c = NextCell(0);
  if (c < 0) return;
  ColumnStats& s = stats_[size_t(c)];
  s.decimals = true;
  const auto places = uint32_t(v.Places());
  s.bcdPlaces = std::max(s.bcdPlaces, places);
  s.bcdWholeDigits = std::max(s.bcdWholeDigits, v.precision > places ? v.precision - places : 0);
  pack_->AddDecimal(v);
}

void ResultBuilder::AddText(std::string_view utf8) {
  if (!IsAscii(utf8)) {
    // Kept as UTF-16 so that what is stored is exactly what a reader gets.
    AddText16(Utf8ToUtf16(utf8));
    return;
  }
  int c = NextCell(int64_t(utf8.size()) * 2);
  if (c < 0) return;
  ColumnStats& s = stats_[size_t(c)];
  s.texts = true;
  s.longestText = std::max<uint32_t>(s.longestText, uint32_t(utf8.size()));
  if (s.textsAreDates && IsDateKind(kinds_[size_t(c)])) {
    double d = 0;
    s.textsAreDates = ParseDateTimeText(utf8, d);
    if (s.textsAreDates) s.AddDate(d);
  }
  pack_->AddText8(utf8);
}

void ResultBuilder::AddText16(std::u16string_view text) {
  int c = NextCell(int64_t(text.size()) * 2);
  if (c < 0) return;
  ColumnStats& s = stats_[size_t(c)];
  s.texts = true;
  s.longestText = std::max<uint32_t>(s.longestText, uint32_t(text.size()));
  if (s.textsAreDates && IsDateKind(kinds_[size_t(c)])) {
    double d = 0;
    s.textsAreDates = ParseDateTimeText(Utf16ToUtf8(text), d);
    if (s.textsAreDates) s.AddDate(d);
  }
  pack_->AddText16(text);
}

void ResultBuilder::AddBlob(const void* data, size_t size) {
  int c = NextCell(int64_t(size));
  if (c < 0) return;
  stats_[size_t(c)].blobs = true;
  pack_->AddBlob(data, size);
}

void ResultBuilder::AddCell(const Variant& input) {
  const Variant v = input.IsByRef() ? input.Deref() : input;
  if (v.IsArray()) {
    const VarArray& a = v.AsArray();
    auto bytes = a.RawData();
    AddBlob(bytes.data(), bytes.size());
    return;
  }
  const uint16_t k = v.Kind();
  if (v.IsNull() || v.IsEmpty()) {
    AddNull();
  } else if (IsIntegerKind(k)) {
    AddInt(v.AsIntegerValue());
  } else if (k == varSingle || k == varDouble || k == varCurrency) {
    AddReal(v.ToDouble());
  } else if (k == varBoolean) {
    AddBool(v.AsBoolean());
  } else if (k == varDate) {
    AddDate(v.AsDoubleValue());
  } else if (k == varBcd) {
    AddDecimal(v.AsBcd());
  } else if (k == varOleStr || k == varUString) {
    AddText16(v.AsWide());
  } else {
    AddText16(Utf8ToUtf16(VariantToText(v)));
  }
}

// Decides the type of column `c` from what was seen; the mapping turns natural values into it.
CellMapping ResultBuilder::Settle(int c) {
  ResultColumn& col = table_.columns[size_t(c)];
  const ColumnKind kind = kinds_[size_t(c)];
  const ColumnStats& o = stats_[size_t(c)];
  CellMapping m = CellMapping::Keep;
  col.size = 0;
  col.precision = 0;
  if (o.Classes() == 0) {
    col.type = EmptyColumnType(kind);
  } else if (o.texts && o.Classes() == 1 && IsDateKind(kind)) {
    col.type = o.textsAreDates ? DateType(kind, o) : ftWideString;
    if (o.textsAreDates) m = CellMapping::DateFromText;
  } else if (o.Classes() > 1 && (o.texts || o.blobs || o.dates)) {
    col.type = ftWideString;
    m = CellMapping::ToText;
  } else if (o.blobs) {
    col.type = ftBlob;
  } else if (o.dates) {
    col.type = DateType(kind, o);
  } else if (o.texts) {
    col.type = ftWideString;
  } else if (o.decimals && !o.reals) {
    col.type = ftFMTBcd;
    // Values of different scales: the widest whole part and the longest fraction together.
    uint32_t whole = o.bcdWholeDigits;
    if (o.ints) whole = std::max(whole, DecimalDigits(o.largestIntMagnitude));
    col.size = o.bcdPlaces;
    col.precision = whole + o.bcdPlaces;
    m = CellMapping::ToBcd;
  } else if (o.reals || o.decimals || kind == ColumnKind::Float) {
    col.type = ftFloat;
    m = CellMapping::ToDouble;
  } else if ((o.bools && (!o.ints || o.intsAreBits)) ||
             (kind == ColumnKind::Boolean && o.intsAreBits)) {
    col.type = ftBoolean;
    m = CellMapping::ToBool;
  } else if (o.intsFit32) {
    col.type = ftInteger;
    m = CellMapping::ToInt32;
  } else {
    col.type = ftLargeint;
    m = CellMapping::ToInt64;
  }
  if (col.type == ftWideString)
    col.size =
        std::max({declared_sizes_[size_t(c)], 1u, m == CellMapping::Keep ? o.longestText : 0u});
  return m;
}

ResultTable ResultBuilder::Finish(bool packed) {
  const int n = ColumnCount();
  if (!pack_) pack_ = std::make_shared<PackedRows>(n);
  if (rows_ > 0)
    for (; cell_ < n; ++cell_) pack_->AddNull();
  std::vector<CellMapping> mappings;
  bool texts = false;
  for (int c = 0; c < n; ++c) {
    mappings.push_back(Settle(c));
    texts = texts || mappings.back() == CellMapping::ToText;
  }
  if (texts && rows_ > 0 && n > 0) {
    // Columns turned into text: their size is the longest text of a value.
    PackedRows::Reader natural(*pack_, false);
    for (int64_t r = 0; r < rows_; ++r)
      for (int c = 0; c < n; ++c) {
        Variant v = natural.Next();
        if (mappings[size_t(c)] != CellMapping::ToText || v.IsNull()) continue;
        uint32_t& size = table_.columns[size_t(c)].size;
        size = std::max<uint32_t>(size, uint32_t(MapCell(v, CellMapping::ToText).AsWide().size()));
      }
  }
  pack_->SetMappings(std::move(mappings));
  if (packed || n == 0) {
    table_.packed = std::move(pack_);
    if (n == 0) {
      // Rows without columns carry nothing to pack.
      table_.packed.reset();
      table_.rows.assign(size_t(rows_), {});
    }
  } else {
    table_.rows.reserve(size_t(rows_));
    PackedRows::Reader reader(*pack_, true);
    for (int64_t r = 0; r < rows_; ++r) {
      std::vector<Variant> row;
      row.reserve(size_t(n));
      for (int c = 0; c < n; ++c) row.push_back(reader.Next());
      table_.rows.push_back(std::move(row));
    }
    pack_.reset();
  }
  return std::move(table_);
}

}  // namespace qorvin::server
