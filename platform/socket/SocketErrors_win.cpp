#include <windows.h>

#include "platform/socket/SocketErrors.h"
#include "platform/socket/Winsock.h"

namespace qorvin {

EIdSocketError::EIdSocketError(int code, const std::string& text)
    : EIdException(Format("Socket Error # %d\r\n%s", code, text.c_str())), code_(code) {}

std::string SocketErrorText(int code) {
  switch (code) {
    case kHostNotFoundCode:  // WSAHOST_NOT_FOUND
      return "Host not found.";
    case WSAECONNREFUSED:
      return "Connection refused.";
    case WSAECONNRESET:
      return "Connection reset by peer.";
    case WSAECONNABORTED:
      return "Software caused connection abort.";
    case WSAETIMEDOUT:
      return "Connection timed out.";
    case WSAENETUNREACH:
      return "Network is unreachable.";
    case WSAEHOSTUNREACH:
      return "No route to host.";
    case WSAENETDOWN:
      return "Network is down.";
    case WSAEADDRNOTAVAIL:
      return "Cannot assign requested address.";
    case WSAEADDRINUSE:
      return "Address already in use.";
    case WSAESHUTDOWN:
      return "Cannot send after socket shutdown.";
    case WSAENOTCONN:
      return "Socket is not connected.";
    case WSAEMSGSIZE:
      return "Message too long.";
    case WSAEMFILE:
      return "Too many open files.";
    case WSAENOBUFS:
      return "No buffer space available.";
    case WSAEINVAL:
      return "Invalid argument.";
    case WSAEAFNOSUPPORT:
      return "Address family not supported by protocol family.";
    case WSAEINTR:
      return "Interrupted system call.";
    case WSAENOTSOCK:
      return "Socket operation on non-socket.";
    default: {
      // The system's own text, without its trailing line break.
      char buffer[512] = {};
      const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, DWORD(code), 0, buffer, sizeof buffer, nullptr);
      std::string text(buffer, n);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
      if (text.empty()) text = Format("Unknown error %d", code);
      if (text.back() != '.') text += '.';
      return text;
    }
  }
}

void RaiseSocketError(int code) {
  throw EIdSocketError(code, SocketErrorText(code));
}

}  // namespace qorvin
