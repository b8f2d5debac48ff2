#include "platform/socket/SocketErrors.h"

#include <cerrno>
#include <cstring>

namespace qorvin {

EIdSocketError::EIdSocketError(int code, const std::string& text)
    : EIdException(Format("Socket Error # %d\r\n%s", code, text.c_str())), code_(code) {}

std::string SocketErrorText(int code) {
  switch (code) {
    case kHostNotFoundCode:
      return "Host not found.";
    case ECONNREFUSED:
      return "Connection refused.";
    case ECONNRESET:
      return "Connection reset by peer.";
    case ECONNABORTED:
      return "Software caused connection abort.";
    case ETIMEDOUT:
      return "Connection timed out.";
    case ENETUNREACH:
      return "Network is unreachable.";
    case EHOSTUNREACH:
      return "No route to host.";
    case ENETDOWN:
      return "Network is down.";
    case EADDRNOTAVAIL:
      return "Cannot assign requested address.";
    case EADDRINUSE:
      return "Address already in use.";
    case EPIPE:
      return "Broken pipe.";
    case ENOTCONN:
      return "Socket is not connected.";
    case EMSGSIZE:
      return "Message too long.";
    case EMFILE:
      return "Too many open files.";
    case ENOBUFS:
      return "No buffer space available.";
    default: {
      char buffer[256];
      // GNU strerror_r returns the text (possibly not in `buffer`).
      const char* text = strerror_r(code, buffer, sizeof buffer);
      return std::string(text) + ".";
    }
  }
}

void RaiseSocketError(int code) {
  throw EIdSocketError(code, SocketErrorText(code));
}

}  // namespace qorvin
