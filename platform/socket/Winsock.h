// Winsock 2 set-up shared by the Windows socket files (included by *_win.cpp only).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

namespace qorvin {

// Starts Winsock 2.2 once per process (later calls return at once); EIdSocketError when the
// system refuses. Called before the first socket or name look-up.
void StartWinsock();

// The Winsock error of the last failed call on this thread (WSAGetLastError).
inline int LastSocketError() {
  return ::WSAGetLastError();
}

}  // namespace qorvin
