#include "PacketDecoder.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "PacketReader.h"

namespace py = pybind11;

namespace qorvin::python {

DayAndTime SplitDateTime(Reader& r, double days, bool timeOnly) {
  if (!std::isfinite(days) || std::fabs(days) > 3.0e6) r.Fail("a date outside the calendar");
  double whole = std::trunc(days);
  int64_t micros = std::llround(std::fabs(days - whole) * 86400e6);
  // Far from 1899 a double holds the time of day more coarsely than a microsecond (5 µs in the
  // year 900): take the time with the fewest digits that is still the same double, as the
  // shortest text of a float, so that 10:29:22.908 does not come back as 10:29:22.908001.
  for (int64_t grain = 1000000; grain > 1; grain /= 10) {
    const int64_t candidate = (micros + grain / 2) / grain * grain;
    const double fraction = double(candidate) / 86400e6;
    if ((days < 0 ? whole - fraction : whole + fraction) == days) {
      micros = candidate;
      break;
    }
  }
  if (micros >= int64_t(86400) * 1000000) {
    micros -= int64_t(86400) * 1000000;
    whole += days < 0 ? -1 : 1;
  }
  // 0001-01-01 and 9999-12-31 as days since 1899-12-30.
  if (!timeOnly && (whole < -693593 || whole > 2958465)) r.Fail("a date outside the calendar");
  return {int64_t(whole), micros};
}

std::string BcdText(Reader& r) {
  const uint8_t precision = r.U8("a BCD value");
  const uint8_t signPlaces = r.U8("a BCD value");
  const uint8_t* digits = r.Take(32, "a BCD value");
  if (precision > 64) r.Fail("a BCD value with more than 64 digits");
  std::string text = (signPlaces & 0x80) ? "-" : "";
  for (int i = 0; i < precision; ++i) {
    const int d = (i % 2 == 0) ? digits[i / 2] >> 4 : digits[i / 2] & 0x0F;
    if (d > 9) r.Fail("a BCD digit above 9");
    text += char('0' + d);
  }
  if (precision == 0) text += '0';
  return text + "E-" + std::to_string(signPlaces & 0x3F);
}

namespace {

py::object DateTimeOf(Reader& r, double days, const Types& t, uint8_t type) {
  const DayAndTime split = SplitDateTime(r, days, type == kTime);
  if (type == kTime) {
    const int64_t s = split.micros / 1000000;
    return t.time(int(s / 3600), int(s / 60 % 60), int(s % 60), int(split.micros % 1000000));
  }
  py::object day = t.epoch + t.timedelta(py::arg("days") = split.day);
  if (type == kDate) return day.attr("date")();
  return day + t.timedelta(py::arg("microseconds") = split.micros);
}

py::object BcdOf(Reader& r, const Types& t) {
  return t.decimal(BcdText(r));
}

py::object CurrencyOf(int64_t units, const Types& t) {
  return t.decimal(std::to_string(units) + "E-4");
}

py::object StampOf(Reader& r, const Types& t) {
  const int16_t year = r.LE<int16_t>("a timestamp");
  const uint16_t month = r.LE<uint16_t>("a timestamp"), day = r.LE<uint16_t>("a timestamp"),
                 hour = r.LE<uint16_t>("a timestamp"), minute = r.LE<uint16_t>("a timestamp"),
                 second = r.LE<uint16_t>("a timestamp");
  const uint32_t nanos = r.LE<uint32_t>("a timestamp");
  try {
    return t.datetime(year, month, day, hour, minute, second, nanos / 1000);
  } catch (py::error_already_set&) {
    r.Fail("a timestamp outside the calendar");
  }
}

py::object Text8(Reader& r, const Types& t) {
  auto [p, n] = r.Counted(1, "a text value");
  PyObject* s = PyUnicode_Decode(reinterpret_cast<const char*>(p), Py_ssize_t(n), t.codeSet.c_str(),
                                 "surrogateescape");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::object Text16(Reader& r) {
  auto [p, n] = r.Counted(2, "a wide text value");
  int order = -1;  // little-endian
  PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(p), Py_ssize_t(2 * n),
                                      "surrogatepass", &order);
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::object BytesOf(Reader& r) {
  auto [p, n] = r.Counted(1, "a binary value");
  return py::bytes(reinterpret_cast<const char*>(p), n);
}

py::object Boolean(Reader& r) {
  const uint8_t b = r.U8("a boolean");
  if (b > 1) r.Fail("a boolean other than 0 or 1");
  return py::bool_(b == 1);
}

py::object VariantOf(Reader& r, const Types& t) {
  const uint16_t kind = r.LE<uint16_t>("a variant kind");
  switch (kind) {
    case 0:
      return py::none();
    case 2:
      return py::int_(r.LE<int16_t>("a variant"));
    case 18:
      return py::int_(r.LE<uint16_t>("a variant"));
    case 3:
    case 10:
      return py::int_(r.LE<int32_t>("a variant"));
    case 19:
      return py::int_(r.LE<uint32_t>("a variant"));
    case 4: {
      const uint32_t bits = r.LE<uint32_t>("a variant");
      float f;
      std::memcpy(&f, &bits, 4);
      return py::float_(double(f));
    }
    case 5:
      return py::float_(r.LE<double>("a variant"));
    case 7:
      return DateTimeOf(r, r.LE<double>("a variant"), t, kDateTime);
    case 6:
      return CurrencyOf(r.LE<int64_t>("a variant"), t);
    case 20:
      return py::int_(r.LE<int64_t>("a variant"));
    case 21:
      return py::int_(r.LE<uint64_t>("a variant"));
    case 11:
      return Boolean(r);
    case 16:
      return py::int_(int8_t(r.U8("a variant")));
    case 17:
      return py::int_(r.U8("a variant"));
    case 8:
      return Text16(r);
    case 256:
      return Text8(r, t);
    case 14: {
      r.LE<uint16_t>("a decimal");
      const uint8_t scale = r.U8("a decimal"), sign = r.U8("a decimal");
      const uint32_t high = r.LE<uint32_t>("a decimal");
      const uint64_t low = r.LE<uint64_t>("a decimal");
      py::object mantissa = (py::int_(high).attr("__lshift__")(64)).attr("__or__")(py::int_(low));
      std::string text = py::str(mantissa).cast<std::string>();
      return t.decimal((sign & 0x80 ? "-" : "") + text + "E-" + std::to_string(scale));
    }
    case 259:
      return BcdOf(r, t);
    case 260:
      return StampOf(r, t);
    case 0x2011:
      return BytesOf(r);
    default:
      r.Fail("an unknown variant kind " + std::to_string(kind));
  }
}

}  // namespace

py::object ValueOf(Reader& r, const PacketField& f, const Types& t) {
  switch (f.type) {
    case kString:
    case kFixedChar:
    case kMemo:
    case kFmtMemo:
    case kOraClob:
    case kGuid:
      return Text8(r, t);
    case kWideString:
      return Text16(r);
    case kSmallint:
      return py::int_(r.LE<int16_t>("a small integer"));
    case kWord:
      return py::int_(r.LE<uint16_t>("a word"));
    case kInteger:
    case kAutoInc:
      return py::int_(r.LE<int32_t>("an integer"));
    case kLargeint:
      return py::int_(r.LE<int64_t>("a large integer"));
    case kBoolean:
      return Boolean(r);
    case kFloat:
      return py::float_(r.LE<double>("a float"));
    case kDate:
    case kTime:
    case kDateTime:
      return DateTimeOf(r, r.LE<double>("a date-time"), t, f.type);
    case kCurrency:
      return CurrencyOf(r.LE<int64_t>("a currency value"), t);
    case kBcd:
    case kFmtBcd:
      return BcdOf(r, t);
    case kTimeStamp:
      return StampOf(r, t);
    case kBytes:
    case kVarBytes:
    case kBlob:
    case kGraphic:
    case kParadoxOle:
    case kDBaseOle:
    case kTypedBinary:
    case kOraBlob:
      return BytesOf(r);
    case kVariant:
      return VariantOf(r, t);
    default:
      r.Fail("a field type the dataset does not hold (" + std::to_string(f.type) + ")");
  }
}

namespace {

// Python's codec for the packet's code set name; Python knows the iconv names in use ("UTF-8",
// "GBK", "CP1252", "ISO-8859-1"), and an unknown one fails the read with its name.
std::string CodecOf(Reader& r, const std::string& name) {
  if (!PyCodec_KnownEncoding(name.c_str())) {
    PyErr_Clear();
    r.Fail("the code set '" + name + "' has no Python codec");
  }
  return name;
}

}  // namespace

PacketLayout ReadLayout(const uint8_t* bytes, size_t size) {
  Reader r(bytes, size);
  PacketLayout out;
  const uint8_t* magic = r.Take(4, "the magic");
  if (std::memcmp(magic, "QVDP", 4) != 0) r.Fail("a wrong magic");
  const uint8_t version = r.U8("the version");
  if (version != 1 && version != 2) r.Fail("version " + std::to_string(version));
  if (r.U8("the flags") != 0) r.Fail("set flags");
  auto [cs, csLen] = r.Counted(1, "the code set");
  out.codeSet = CodecOf(r, std::string(reinterpret_cast<const char*>(cs), csLen));
  const uint32_t fieldCount = r.VarUint("the field count");
  // A field definition takes at least 5 bytes.
  if (fieldCount > r.Left() / 5) r.Fail("a field count beyond the bytes");
  out.fields.reserve(fieldCount);
  for (uint32_t i = 0; i < fieldCount; ++i) {
    PacketField f;
    auto [name, nameLen] = r.Counted(1, "a field name");
    f.name.assign(reinterpret_cast<const char*>(name), nameLen);
    f.type = r.U8("a field type");
    f.attributes = r.U8("field attributes");
    if (f.attributes & 0x80) r.Fail("a reserved attribute bit");
    f.size = r.VarUint("a field size");
    f.precision = r.VarUint("a field precision");
    if (version == 2) f.columnType = r.VarUint("a column type");
    out.fields.push_back(std::move(f));
  }
  out.rowCount = r.VarUint("the row count");
  if (fieldCount == 0 && out.rowCount != 0) r.Fail("rows without fields");
  const size_t mapBytes = (size_t(fieldCount) + 7) / 8;
  // Every row holds at least its NULL map.
  if (mapBytes > 0 && out.rowCount > r.Left() / mapBytes) r.Fail("a row count beyond the bytes");
  out.rowsAt = r.Offset();
  return out;
}

py::list DecodeRows(const uint8_t* bytes, size_t size, const PacketLayout& layout) {
  Reader r(bytes, size, layout.rowsAt);
  Types t;
  t.codeSet = layout.codeSet;
  const size_t fieldCount = layout.fields.size();
  py::list rows(layout.rowCount);
  for (uint32_t row = 0; row < layout.rowCount; ++row) {
    const uint8_t* nulls = r.NullMap(fieldCount);
    py::tuple values(fieldCount);
    for (size_t i = 0; i < fieldCount; ++i) {
      if (nulls[i / 8] & (1u << (i % 8)))
        values[i] = py::none();
      else
        values[i] = ValueOf(r, layout.fields[i], t);
    }
    rows[row] = std::move(values);
  }
  r.End();
  return rows;
}

DecodedPacket DecodePacket(const uint8_t* bytes, size_t size) {
  PacketLayout layout = ReadLayout(bytes, size);
  DecodedPacket out;
  out.rows = DecodeRows(bytes, size, layout);
  out.fields = std::move(layout.fields);
  return out;
}

}  // namespace qorvin::python
