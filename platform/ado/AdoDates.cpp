#include "platform/ado/AdoDates.h"

#include <cmath>

#include "platform/ado/AdoTypes.h"
#include "platform/rtl/NumberText.h"

namespace qorvin::ado {

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kTicksPerDay = 864000000000;
// 1899-12-30 and 1601-01-01 as days from 1970-01-01.
constexpr int64_t kOleEpoch = -25569;
constexpr int64_t kFileTimeEpoch = -134774;

bool ValidParts(const DateTimeParts& p) {
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.hour > 23 || p.minute > 59 || p.second > 59 ||
      p.nanos > 999999999)
    return false;
  int64_t y;
  unsigned m, d;
  CivilFromDays(DaysFromCivil(p.year, p.month, p.day), y, m, d);
  return d == p.day;  // rejects 31 April, 29 February of common years, ...
}

}  // namespace

double OleDateFromParts(const DateTimeParts& p) {
  const int64_t days = DaysFromCivil(p.year, p.month, p.day) - kOleEpoch;
  const double time = (double(p.hour) * 3600.0 + double(p.minute) * 60.0 + double(p.second) +
                       double(p.nanos) / 1e9) /
                      86400.0;
  return days >= 0 ? double(days) + time : double(days) - time;
}

DateTimeParts PartsFromOleDate(double date) {
  // Years 1..9999: 1899-12-30 is day 0.
  if (!std::isfinite(date) || date < -693593.0 || date >= 2958466.0)
    throw EAdoError(DoubleText(date) + " is not a valid date");
  double whole;
  const double fraction = std::fabs(std::modf(date, &whole));
  int64_t days = int64_t(whole);
  int64_t ms = std::llround(fraction * double(kMsPerDay));
  if (ms >= kMsPerDay) {  // rounds up to the next calendar day
    ms -= kMsPerDay;
    days += 1;
  }
  DateTimeParts p;
  int64_t year;
  CivilFromDays(days + kOleEpoch, year, p.month, p.day);
  p.year = int32_t(year);
  p.hour = uint32_t(ms / 3600000);
  p.minute = uint32_t(ms / 60000 % 60);
  p.second = uint32_t(ms / 1000 % 60);
  p.nanos = uint32_t(ms % 1000) * 1000000u;
  return p;
}

bool FileTimeFromParts(const DateTimeParts& p, uint64_t& ticks) {
  const int64_t days = DaysFromCivil(p.year, p.month, p.day) - kFileTimeEpoch;
  if (days < 0 || days > int64_t(UINT64_MAX / uint64_t(kTicksPerDay)) - 1) return false;
  const uint64_t seconds = uint64_t(p.hour) * 3600 + uint64_t(p.minute) * 60 + p.second;
  ticks = uint64_t(days) * uint64_t(kTicksPerDay) + seconds * 10000000u + p.nanos / 100u;
  return true;
}

DateTimeParts PartsFromFileTime(uint64_t ticks) {
  DateTimeParts p;
  int64_t year;
  CivilFromDays(int64_t(ticks / uint64_t(kTicksPerDay)) + kFileTimeEpoch, year, p.month, p.day);
  p.year = int32_t(year);
  const uint64_t rest = ticks % uint64_t(kTicksPerDay);
  const uint64_t seconds = rest / 10000000u;
  p.hour = uint32_t(seconds / 3600);
  p.minute = uint32_t(seconds / 60 % 60);
  p.second = uint32_t(seconds % 60);
  p.nanos = uint32_t(rest % 10000000u) * 100u;
  return p;
}

DateTimeParts PartsOfVariant(const Variant& value) {
  if (value.IsByRef()) return PartsOfVariant(value.Deref());
  switch (value.Kind()) {
    case varDate:
    case varDouble:
    case varSingle:
      return PartsFromOleDate(value.AsDoubleValue());
    case varSQLTimeStamp: {
      const SQLTimeStamp& ts = value.AsSQLTimeStamp();
      DateTimeParts p{ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ts.fractions};
      if (!ValidParts(p)) throw EAdoError("The SQL timestamp value is not a valid date-time");
      return p;
    }
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
      return PartsFromOleDate(double(value.AsIntegerValue()));
    default:
      throw EAdoError(
          Format("A value of type %s is not a date-time", VarTypeName(value.Type()).c_str()));
  }
}

}  // namespace qorvin::ado
