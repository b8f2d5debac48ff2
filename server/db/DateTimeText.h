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

// Parses the text form; false when `text` is not one (nothing is written then).
bool ParseDateTimeText(std::string_view text, double& oleDate);
// "YYYY-MM-DD HH:MM:SS" with ".fff" milliseconds when they are not zero.
std::string FormatDateTimeText(double oleDate);
// The server's local wall-clock time as an OLE date (millisecond resolution).
double NowOleDate();

}  // namespace qorvin::server
