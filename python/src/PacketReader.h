// The pieces of a data packet (docs/data-packet.md) that the row decoder and the column decoder
// share: the bounded byte reader, the field type codes, the packet's layout up to its first row,
// and the decoding of one value into a Python object. The reader reads only inside the bytes it
// is given; every count and length is checked against the bytes that remain before anything is
// sized by it, and a malformed packet raises ValueError naming the reason and the byte offset.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "PacketDecoder.h"

namespace qorvin::python {

// Field type codes of docs/data-packet.md.
enum : uint8_t {
  kString = 1,
  kSmallint = 2,
  kInteger = 3,
  kWord = 4,
  kBoolean = 5,
  kFloat = 6,
  kCurrency = 7,
  kBcd = 8,
  kDate = 9,
  kTime = 10,
  kDateTime = 11,
  kBytes = 12,
  kVarBytes = 13,
  kAutoInc = 14,
  kBlob = 15,
  kMemo = 16,
  kGraphic = 17,
  kFmtMemo = 18,
  kParadoxOle = 19,
  kDBaseOle = 20,
  kTypedBinary = 21,
  kFixedChar = 23,
  kWideString = 24,
  kLargeint = 25,
  kOraBlob = 30,
  kOraClob = 31,
  kVariant = 32,
  kGuid = 35,
  kTimeStamp = 36,
  kFmtBcd = 37,
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t n, size_t at = 0) : p_(p), n_(n), pos_(at) {}
  size_t Offset() const { return pos_; }
  size_t Left() const { return n_ - pos_; }
  [[noreturn]] void Fail(const std::string& reason) const {
    throw pybind11::value_error("Invalid data packet: " + reason + " at byte " +
                                std::to_string(pos_));
  }
  const uint8_t* Take(size_t count, const char* what) {
    if (count > Left()) Fail(std::string(what) + " runs past the end");
    const uint8_t* at = p_ + pos_;
    pos_ += count;
    return at;
  }
  uint8_t U8(const char* what) { return *Take(1, what); }
  template <typename T>
  T LE(const char* what) {
    const uint8_t* b = Take(sizeof(T), what);
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(b[i]) << (8 * i);
    T out;
    if constexpr (sizeof(T) == 8) {
      std::memcpy(&out, &v, 8);
    } else {
      using U = std::conditional_t<sizeof(T) == 4, uint32_t,
                                   std::conditional_t<sizeof(T) == 2, uint16_t, uint8_t>>;
      const U narrow = U(v);
      std::memcpy(&out, &narrow, sizeof(T));
    }
    return out;
  }
  uint32_t VarUint(const char* what) {
    uint64_t v = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      const uint8_t b = U8(what);
      v |= uint64_t(b & 0x7F) << shift;
      if ((b & 0x80) == 0) {
        if (v > 0x7FFFFFFF) Fail(std::string(what) + " is too large");
        return uint32_t(v);
      }
    }
    Fail(std::string(what) + " is longer than 5 bytes");
  }
  // A row's NULL map (bit i set: field i is NULL), its bits past the last field checked clear.
  const uint8_t* NullMap(size_t fieldCount) {
    const size_t mapBytes = (fieldCount + 7) / 8;
    const uint8_t* nulls = Take(mapBytes, "a NULL map");
    if (fieldCount % 8 != 0 && (nulls[mapBytes - 1] >> (fieldCount % 8)) != 0)
      Fail("a NULL map bit past the last field");
    return nulls;
  }
  // After the last row: nothing may follow.
  void End() const {
    if (Left() != 0) Fail("bytes after the last row");
  }
  // A varuint length followed by that many units of `unit` bytes.
  std::pair<const uint8_t*, size_t> Counted(size_t unit, const char* what) {
    const uint32_t n = VarUint(what);
    if (size_t(n) > Left() / unit) Fail(std::string(what) + " runs past the end");
    return {Take(size_t(n) * unit, what), size_t(n)};
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_;
};

// The Python objects the values are made of, looked up once per packet (needs the GIL).
struct Types {
  pybind11::object datetime = pybind11::module_::import("datetime").attr("datetime");
  pybind11::object date = pybind11::module_::import("datetime").attr("date");
  pybind11::object time = pybind11::module_::import("datetime").attr("time");
  pybind11::object timedelta = pybind11::module_::import("datetime").attr("timedelta");
  pybind11::object decimal = pybind11::module_::import("decimal").attr("Decimal");
  pybind11::object epoch = datetime(1899, 12, 30);
  std::string codeSet;
};

// One value of field `f` at the reader's position, as its Python object (the row decoder's
// table in docs/python.md).
pybind11::object ValueOf(Reader& r, const PacketField& f, const Types& t);

// A date-time double (days since 1899-12-30, the time of day as the fraction; for days before
// the epoch the whole part is the day and the fraction's magnitude the time of day) as its whole
// day and the microseconds into it, rounded to the fewest digits that still give the same
// double. A date outside the years 1 to 9999 fails the packet, except for a time of day
// (`timeOnly`), whose day is not looked at.
struct DayAndTime {
  int64_t day;     // days since 1899-12-30
  int64_t micros;  // 0 <= micros < 86400e6
};
DayAndTime SplitDateTime(Reader& r, double days, bool timeOnly);

// A BCD value's exact decimal text ("-12345E-3") of the reader's 34 bytes.
std::string BcdText(Reader& r);

}  // namespace qorvin::python
