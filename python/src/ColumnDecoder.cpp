#include "ColumnDecoder.h"

#include <pybind11/numpy.h>

#include <charconv>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "PacketReader.h"

namespace py = pybind11;

namespace qorvin::python {
namespace {

enum class Kind { kInt, kBool, kFloat, kDateTime, kDate, kTime, kDecimal, kObject };

Kind KindOf(uint8_t type, bool decimalsAsFloat) {
  switch (type) {
    case kSmallint:
    case kWord:
    case kInteger:
    case kAutoInc:
    case kLargeint:
      return Kind::kInt;
    case kBoolean:
      return Kind::kBool;
    case kFloat:
      return Kind::kFloat;
    case kCurrency:
    case kBcd:
    case kFmtBcd:
      return decimalsAsFloat ? Kind::kFloat : Kind::kDecimal;
    case kDateTime:
    case kTimeStamp:
      return Kind::kDateTime;
    case kDate:
      return Kind::kDate;
    case kTime:
      return Kind::kTime;
    default:
      return Kind::kObject;
  }
}

const char* NameOf(Kind kind) {
  switch (kind) {
    case Kind::kInt:
      return "int";
    case Kind::kBool:
      return "bool";
    case Kind::kFloat:
      return "float";
    case Kind::kDateTime:
      return "datetime";
    case Kind::kDate:
      return "date";
    case Kind::kTime:
      return "time";
    case Kind::kDecimal:
      return "decimal";
    case Kind::kObject:
      return "object";
  }
  return "object";
}

constexpr int64_t kMicrosPerDay = int64_t(86400) * 1000000;
constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01 as days since 1899-12-30
constexpr int64_t kNaT = std::numeric_limits<int64_t>::min();

// Decimal text ("-12345E-4") as the nearest double.
double DoubleOf(Reader& r, const std::string& text) {
  double value = 0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, value);
  if (error != std::errc() || end != last) r.Fail("a decimal value beyond a float");
  return value;
}

// An ftTimeStamp as microseconds since 1970-01-01, nanoseconds cut to microseconds as the row
// decoder does; a date or time of day the calendar does not have fails the packet.
int64_t StampMicros(Reader& r) {
  const int16_t year = r.LE<int16_t>("a timestamp");
  const uint16_t month = r.LE<uint16_t>("a timestamp"), day = r.LE<uint16_t>("a timestamp"),
                 hour = r.LE<uint16_t>("a timestamp"), minute = r.LE<uint16_t>("a timestamp"),
                 second = r.LE<uint16_t>("a timestamp");
  const uint32_t nanos = r.LE<uint32_t>("a timestamp");
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month),
                                         std::chrono::day(day)};
  if (year < 1 || year > 9999 || month > 12 || day > 31 || !date.ok() || hour > 23 || minute > 59 ||
      second > 59 || nanos > 999999999)
    r.Fail("a timestamp outside the calendar");
  const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  return days * kMicrosPerDay + (int64_t(hour) * 3600 + minute * 60 + second) * 1000000 +
         nanos / 1000;
}

// One column under construction: its array is made at its full length, its cells written in
// place.
class Column {
 public:
  Column(const PacketField& field, Kind kind, size_t rows) : field_(field), kind_(kind) {
    switch (kind) {
      case Kind::kInt:
        values_ = py::array_t<int64_t>(py::ssize_t(rows));
        break;
      case Kind::kBool:
        values_ = py::array_t<bool>(py::ssize_t(rows));
        break;
      case Kind::kFloat:
        values_ = py::array_t<double>(py::ssize_t(rows));
        break;
      case Kind::kDateTime:
      case Kind::kDate:
        values_ =
            py::array(py::dtype("datetime64[us]"), std::vector<py::ssize_t>{py::ssize_t(rows)});
        break;
      case Kind::kTime:
        values_ =
            py::array(py::dtype("timedelta64[us]"), std::vector<py::ssize_t>{py::ssize_t(rows)});
        break;
      case Kind::kDecimal:
      case Kind::kObject:
        // NumPy fills an object array with None.
        values_ = py::array(py::dtype("O"), std::vector<py::ssize_t>{py::ssize_t(rows)});
        break;
    }
    data_ = values_.mutable_data();
    if (kind == Kind::kInt || kind == Kind::kBool) {
      hasMask_ = true;
      mask_ = py::array_t<bool>(py::ssize_t(rows));
      maskData_ = static_cast<bool*>(mask_.mutable_data());
      std::fill(maskData_, maskData_ + rows, false);
    }
  }

  void Null(size_t row) {
    switch (kind_) {
      case Kind::kInt:
        At<int64_t>(row) = 0;
        maskData_[row] = true;
        break;
      case Kind::kBool:
        At<bool>(row) = false;
        maskData_[row] = true;
        break;
      case Kind::kFloat:
        At<double>(row) = std::numeric_limits<double>::quiet_NaN();
        break;
      case Kind::kDateTime:
      case Kind::kDate:
      case Kind::kTime:
        At<int64_t>(row) = kNaT;
        break;
      case Kind::kDecimal:
      case Kind::kObject:
        Put(row, py::none());
        break;
    }
  }

  void Read(Reader& r, size_t row, const Types& t) {
    switch (kind_) {
      case Kind::kInt:
        At<int64_t>(row) = Integer(r);
        break;
      case Kind::kBool: {
        const uint8_t b = r.U8("a boolean");
        if (b > 1) r.Fail("a boolean other than 0 or 1");
        At<bool>(row) = b == 1;
        break;
      }
      case Kind::kFloat:
        At<double>(row) = field_.type == kFloat      ? r.LE<double>("a float")
                          : field_.type == kCurrency ? DoubleOf(r, CurrencyText(r))
                                                     : DoubleOf(r, BcdText(r));
        break;
      case Kind::kDateTime:
        if (field_.type == kTimeStamp) {
          At<int64_t>(row) = StampMicros(r);
        } else {
          const DayAndTime d = SplitDateTime(r, r.LE<double>("a date-time"), false);
          At<int64_t>(row) = (d.day - kUnixEpochDay) * kMicrosPerDay + d.micros;
        }
        break;
      case Kind::kDate:
        At<int64_t>(row) =
            (SplitDateTime(r, r.LE<double>("a date-time"), false).day - kUnixEpochDay) *
            kMicrosPerDay;
        break;
      case Kind::kTime:
        At<int64_t>(row) = SplitDateTime(r, r.LE<double>("a date-time"), true).micros;
        break;
      case Kind::kDecimal:
      case Kind::kObject:
        Put(row, ValueOf(r, field_, t));
        break;
    }
  }

  py::tuple Finish() {
    return py::make_tuple(py::str(field_.name), NameOf(kind_), values_,
                          hasMask_ ? py::object(mask_) : py::object(py::none()));
  }

 private:
  template <typename T>
  T& At(size_t row) {
    return static_cast<T*>(data_)[row];
  }

  int64_t Integer(Reader& r) {
    switch (field_.type) {
      case kSmallint:
        return r.LE<int16_t>("a small integer");
      case kWord:
        return r.LE<uint16_t>("a word");
      case kLargeint:
        return r.LE<int64_t>("a large integer");
      default:
        return r.LE<int32_t>("an integer");
    }
  }

  static std::string CurrencyText(Reader& r) {
    return std::to_string(r.LE<int64_t>("a currency value")) + "E-4";
  }

  // Stores `value` in the object cell, dropping what was there.
  void Put(size_t row, py::object value) {
    PyObject*& cell = At<PyObject*>(row);
    PyObject* old = cell;
    cell = value.release().ptr();
    Py_XDECREF(old);
  }

  const PacketField& field_;
  Kind kind_;
  py::array values_;
  py::array_t<bool> mask_;  // the NULLs of an int or bool column
  bool hasMask_ = false;
  void* data_ = nullptr;
  bool* maskData_ = nullptr;
};

}  // namespace

py::list DecodeColumns(const uint8_t* bytes, size_t size, const PacketLayout& layout,
                       bool decimalsAsFloat) {
  Reader r(bytes, size, layout.rowsAt);
  Types t;
  t.codeSet = layout.codeSet;
  const size_t fieldCount = layout.fields.size();
  std::vector<Column> columns;
  columns.reserve(fieldCount);
  for (const PacketField& f : layout.fields)
    columns.emplace_back(f, KindOf(f.type, decimalsAsFloat), layout.rowCount);
  for (uint32_t row = 0; row < layout.rowCount; ++row) {
    const uint8_t* nulls = r.NullMap(fieldCount);
    for (size_t i = 0; i < fieldCount; ++i) {
      if (nulls[i / 8] & (1u << (i % 8)))
        columns[i].Null(row);
      else
        columns[i].Read(r, row, t);
    }
  }
  r.End();
  py::list out;
  for (Column& c : columns) out.append(c.Finish());
  return out;
}

}  // namespace qorvin::python
