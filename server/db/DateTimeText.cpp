#include "server/db/DateTimeText.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace qorvin::server {
namespace {

constexpr int64_t kUsPerDay = 86400000000;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

const int64_t kOleEpochDays = DaysFromCivil(1899, 12, 30);

bool Digits(std::string_view s, size_t& pos, size_t count, int& out) {
  if (pos + count > s.size()) return false;
  int v = 0;
  for (size_t k = 0; k < count; ++k) {
    char c = s[pos + k];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  pos += count;
  out = v;
  return true;
}

// "HH:MM[:SS[.fraction]]" as microseconds of the day; a fraction beyond six digits rounds half
// up to the microsecond (the databases' own resolution).
bool ParseTime(std::string_view s, size_t& pos, int64_t& us) {
  int h = 0, mi = 0, se = 0;
  if (!Digits(s, pos, 2, h) || pos >= s.size() || s[pos++] != ':' || !Digits(s, pos, 2, mi))
    return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!Digits(s, pos, 2, se)) return false;
  }
  if (h > 23 || mi > 59 || se > 60) return false;
  int64_t micros = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    const size_t start = pos;
    int64_t scale = 100000;
    bool roundUp = false;
    for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos) {
      if (scale > 0) {
        micros += (s[pos] - '0') * scale;
        scale /= 10;
      } else if (pos - start == 6) {
        roundUp = s[pos] >= '5';
      }
    }
    if (pos == start) return false;
    micros += roundUp;
  }
  us = ((int64_t(h) * 60 + mi) * 60 + se) * 1000000 + micros;
  return true;
}

bool ZoneSuffix(std::string_view s, size_t pos) {
  if (pos == s.size()) return true;
  if (s[pos] == 'Z' && pos + 1 == s.size()) return true;
  if (s[pos] != '+' && s[pos] != '-') return false;
  for (size_t k = pos + 1; k < s.size(); ++k)
    if ((s[k] < '0' || s[k] > '9') && s[k] != ':') return false;
  return s.size() > pos + 1;
}

double ToOle(int64_t days, int64_t us) {
  double whole = double(days - kOleEpochDays);
  double fraction = double(us) / double(kUsPerDay);
  return whole < 0 ? whole - fraction : whole + fraction;
}

}  // namespace

bool ParseDateTimeText(std::string_view s, double& oleDate) {
  size_t pos = 0;
  int64_t days = kOleEpochDays;
  int64_t us = 0;
  bool hasDate = s.size() >= 10 && s[4] == '-';
  if (hasDate) {
    int y = 0, m = 0, d = 0;
    if (!Digits(s, pos, 4, y) || s[pos++] != '-' || !Digits(s, pos, 2, m) || s[pos++] != '-' ||
        !Digits(s, pos, 2, d))
      return false;
    if (m < 1 || m > 12 || d < 1 || d > 31) return false;
    days = DaysFromCivil(y, unsigned(m), unsigned(d));
    int64_t cy;
    unsigned cm, cd;
    CivilFromDays(days, cy, cm, cd);
    if (cm != unsigned(m)) return false;  // 2023-02-30 and the like
    if (pos < s.size() && (s[pos] == ' ' || s[pos] == 'T')) {
      ++pos;
      if (!ParseTime(s, pos, us)) return false;
    }
  } else if (!ParseTime(s, pos, us)) {
    return false;
  }
  if (!ZoneSuffix(s, pos)) return false;
  oleDate = ToOle(days, us);
  return true;
}

std::string FormatDateTimeText(double oleDate) {
  if (!std::isfinite(oleDate)) return "";
  double whole = std::trunc(oleDate);
  int64_t us = std::llround(std::fabs(oleDate - whole) * double(kUsPerDay));
  int64_t days = int64_t(whole) + kOleEpochDays;
  if (us >= kUsPerDay) {  // the time of day rounds up to the next calendar day, whatever the sign
    us -= kUsPerDay;
    days += 1;
  }
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  char buf[64];
  int64_t sec = us / 1000000;
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lld:%02lld:%02lld",
                        static_cast<long long>(y), m, d, static_cast<long long>(sec / 3600),
                        static_cast<long long>(sec / 60 % 60), static_cast<long long>(sec % 60));
  std::string out(buf, size_t(n));
  const int64_t micros = us % 1000000;
  if (micros % 1000 != 0) {
    std::snprintf(buf, sizeof buf, ".%06lld", static_cast<long long>(micros));
    out += buf;
  } else if (micros != 0) {
    std::snprintf(buf, sizeof buf, ".%03lld", static_cast<long long>(micros / 1000));
    out += buf;
  }
  return out;
}

bool HasTimeOfDay(double oleDate, bool& subSecond) {
  const double whole = std::trunc(oleDate);
  int64_t us = std::llround(std::fabs(oleDate - whole) * double(kUsPerDay));
  if (us >= kUsPerDay) us -= kUsPerDay;
  subSecond = us % 1000000 != 0;
  return us != 0;
}

double NowOleDate() {
  auto now = std::chrono::system_clock::now();
  int64_t epochMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = std::time_t(epochMs / 1000);
  // The local date and time of day of the last second asked for, per thread: the conversion
  // (time zone rules, under the C library's lock) then runs once a second, not once a call.
  struct LocalSecond {
    std::time_t secs = -1;
    int64_t days = 0;
    int64_t msOfDay = 0;
  };
  thread_local LocalSecond last;
  if (secs != last.secs) {
    std::tm local{};
    localtime_r(&secs, &local);
    last.days =
        DaysFromCivil(local.tm_year + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday));
    last.msOfDay = ((int64_t(local.tm_hour) * 60 + local.tm_min) * 60 + local.tm_sec) * 1000;
    last.secs = secs;
  }
  return ToOle(last.days, (last.msOfDay + epochMs % 1000) * 1000);
}

}  // namespace qorvin::server
