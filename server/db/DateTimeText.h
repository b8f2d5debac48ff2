// Dates as the databases write them and as the wire carries them.
//
// The wire form is the OLE date: a double counting days since 1899-12-30, the fraction being the
// time of day. The text form is "YYYY-MM-DD", "HH:MM:SS[.fraction]" or both separated by a blank
// or 'T', optionally followed by a time-zone suffix ("+08", "+05:30", "Z"), which is ignored:
// values are taken as wall-clock times.
#pragma once

#include <string>
#include <string_view>

namespace qorvin::server {

// Parses the text form; false when `text` is not one (nothing is written then). A fraction of a
// second is kept to the microsecond (further digits round). The OLE date, a double, holds every
// microsecond of the dates within 2^16 days of 1899-12-30 (years 1720 to 2079); further away the
// nearest double is up to 20 microseconds off (at 9999-12-31).
bool ParseDateTimeText(std::string_view text, double& oleDate);
// "YYYY-MM-DD HH:MM:SS", with ".fff" when there are milliseconds and ".ffffff" when there are
// microseconds beyond them (rounded to the microsecond).
std::string FormatDateTimeText(double oleDate);
// Whether `oleDate` has a time of day other than midnight, and (in `subSecond`) a fraction of a
// second, both counted to the microsecond.
bool HasTimeOfDay(double oleDate, bool& subSecond);
// The server's local wall-clock time as an OLE date (millisecond resolution).
double NowOleDate();

}  // namespace qorvin::server
