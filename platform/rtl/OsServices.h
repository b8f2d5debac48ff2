// Small services of the operating system that the upper layers need, with one implementation per
// platform (OsServices.cpp for POSIX, OsServices_win.cpp for Windows).
#pragma once

#include <cstdint>
#include <string>

namespace qorvin {

// The local wall clock as a date-time: days since 1899-12-30, the fraction being the time of
// day, in the process's time zone (daylight saving included).
double LocalDateTimeNow();

// Names the calling thread for debuggers and process listings. Best effort: the platform may
// keep only the first 15 characters, and a failure is ignored.
void NameCurrentThread(const std::string& name);

// The operating system's text for an error code of its own (errno on POSIX, a system error code
// on Windows), without a trailing line break.
std::string SystemErrorMessage(uint32_t code);

}  // namespace qorvin
