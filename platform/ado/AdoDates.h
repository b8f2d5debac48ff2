// Calendar conversions for the record set's date and time columns: OLE dates (days since
// 1899-12-30 as a double, the fraction being the time of day, also for negative dates), FILETIME
// (100 ns ticks since 1601-01-01) and broken-down date-times. Pure functions; thread-safe.
#pragma once

#include <cstdint>

#include "platform/rtl/CivilDate.h"
#include "platform/rtl/Variant.h"

namespace qorvin::ado {

struct DateTimeParts {
  int32_t year = 1899;
  uint32_t month = 12, day = 30, hour = 0, minute = 0, second = 0;
  uint32_t nanos = 0;  // 0 .. 999 999 999
};

// Days from 1970-01-01 (proleptic Gregorian calendar) and back.
using qorvin::CivilFromDays;
using qorvin::DaysFromCivil;

double OleDateFromParts(const DateTimeParts& parts);
// Rounded to the millisecond. EAdoError for NaN, infinities and dates outside years 1..9999.
DateTimeParts PartsFromOleDate(double date);
// False for a moment before 1601-01-01 or beyond the 64-bit tick range.
bool FileTimeFromParts(const DateTimeParts& parts, uint64_t& ticks);
DateTimeParts PartsFromFileTime(uint64_t ticks);
// Date-time of a date, double, SQL timestamp or integer (days) value; EAdoError for other kinds
// and for a timestamp whose fields are out of range.
DateTimeParts PartsOfVariant(const Variant& value);

}  // namespace qorvin::ado
