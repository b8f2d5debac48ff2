#include "client/HostAddress.h"

#include <cstdio>

namespace qorvin {

namespace {

bool Forbidden(unsigned char c) {
  return c == '/' || c == '?' || c == '#' || c == '@' || c <= 0x20 || c == 0x7F;
}

std::string Shown(unsigned char c) {
  if (c > 0x20 && c != 0x7F) return std::string("'") + char(c) + "'";
  if (c == ' ') return "a space";
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(c));
  return buf;
}

}  // namespace

std::string HostAddressProblem(const std::string& host) {
  size_t bad = host.size();
  std::string printable;
  for (size_t i = 0; i < host.size(); ++i) {
    const auto c = static_cast<unsigned char>(host[i]);
    if (bad == host.size() && Forbidden(c)) bad = i;
    printable += (c < 0x20 || c == 0x7F) ? Shown(c) : std::string(1, char(c));
  }
  if (bad == host.size()) return {};
  return "Invalid host \"" + printable + "\": " + Shown(static_cast<unsigned char>(host[bad])) +
         " is not allowed in a host name or address (no '/', '?', '#', '@', white space or "
         "control characters)";
}

}  // namespace qorvin
