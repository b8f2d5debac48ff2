#include "platform/rtl/OsServices.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstring>
#include <ctime>

namespace qorvin {

double LocalDateTimeNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  const double localSeconds = double(secs) + double(local.tm_gmtoff) + tv.tv_usec / 1e6;
  return 25569.0 + localSeconds / 86400.0;  // 25569 = days from 1899-12-30 to 1970-01-01
}

void NameCurrentThread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string SystemErrorMessage(uint32_t code) {
  char buffer[256];
  // GNU strerror_r returns the text (possibly not in `buffer`).
  return strerror_r(int(code), buffer, sizeof buffer);
}

}  // namespace qorvin
