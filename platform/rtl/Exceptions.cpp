#include "platform/rtl/Exceptions.h"

#include <cstdarg>
#include <cstdio>

namespace qorvin {

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(size_t(n));
    std::vsnprintf(out.data(), size_t(n) + 1, fmt, args);
  }
  va_end(args);
  return out;
}

}  // namespace qorvin
