// Probes over Winsock 2 (non-blocking sockets, each wait a WSAPoll bounded by the deadline) and
// WinInet (a direct connection whose time-outs are the time left).
#include <winsock2.h>
#include <ws2tcpip.h>
//
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/qorvin/ProbeTransport.h"

namespace qorvin::cli {

namespace {

std::string SystemText(DWORD code, HMODULE from = nullptr) {
  char buffer[512] = {};
  const DWORD source = from ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  const DWORD n = FormatMessageA(source | FORMAT_MESSAGE_IGNORE_INSERTS, from, code, 0, buffer,
                                 sizeof buffer, nullptr);
  std::string text(buffer, n < sizeof buffer ? n : 0);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

std::string SocketText(int code) {
  return SystemText(DWORD(code));
}

// Waits for `events` on `s` until the deadline; ProbeFailure when it passes.
void Wait(SOCKET s, short events, ProbeClock::time_point deadline, const char* what) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = events;
  const int n = WSAPoll(&p, 1, MsLeft(deadline));
  if (n > 0) return;
  if (n == 0) throw ProbeFailure(std::string("no answer in time (") + what + ")");
  throw ProbeFailure("poll: " + SocketText(WSAGetLastError()));
}

struct AddressList {
  addrinfo* list = nullptr;
  ~AddressList() {
    if (list) freeaddrinfo(list);
  }
};

SOCKET Connect(const ProbeTarget& t, int type, ProbeClock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = type;
  AddressList found;
  const std::string port = std::to_string(t.port);
  const int rc = getaddrinfo(t.host.c_str(), port.c_str(), &hints, &found.list);
  if (rc != 0) throw ProbeFailure("cannot resolve " + t.host + ": " + SocketText(rc));
  std::string why = "no address";
  for (addrinfo* a = found.list; a != nullptr; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      why = SocketText(WSAGetLastError());
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, a->ai_addr, int(a->ai_addrlen)) == 0) return s;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      try {
        Wait(s, POLLWRNORM, deadline, "connecting");
      } catch (...) {
        closesocket(s);
        throw;
      }
      int err = 0;
      int len = sizeof err;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
      if (err == 0) return s;
      why = SocketText(err);
    } else {
      why = SocketText(WSAGetLastError());
    }
    closesocket(s);
  }
  throw ProbeFailure("cannot connect: " + why);
}

// Closes a WinInet handle on every path.
struct InternetCloser {
  void operator()(void* h) const { InternetCloseHandle(h); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

[[noreturn]] void FailInternet(DWORD code) {
  HMODULE wininet = GetModuleHandleA("wininet.dll");
  throw ProbeFailure(SystemText(code, wininet));
}

}  // namespace

int MsLeft(ProbeClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now()).count();
  return left > 0 ? int(left) : 0;
}

void ProbeStartUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);  // a failure shows in the first socket call
  });
}

ProbeSocket::ProbeSocket(const ProbeTarget& target, bool datagram, ProbeClock::time_point deadline)
    : socket_(intptr_t(Connect(target, datagram ? SOCK_DGRAM : SOCK_STREAM, deadline))),
      deadline_(deadline) {}

ProbeSocket::~ProbeSocket() {
  closesocket(SOCKET(socket_));
}

void ProbeSocket::SendAll(const std::string& bytes) {
  const SOCKET s = SOCKET(socket_);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(s, bytes.data() + sent, int(bytes.size() - sent), 0);
    if (n > 0) {
      sent += size_t(n);
    } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      Wait(s, POLLWRNORM, deadline_, "sending");
    } else {
      throw ProbeFailure("send: " + SocketText(WSAGetLastError()));
    }
  }
}

std::string ProbeSocket::ReceiveExactly(size_t count) {
  const SOCKET s = SOCKET(socket_);
  std::string out(count, '\0');
  size_t got = 0;
  while (got < count) {
    const int n = recv(s, out.data() + got, int(count - got), 0);
    if (n > 0) {
      got += size_t(n);
    } else if (n == 0) {
      throw ProbeFailure("the server closed the connection");
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      Wait(s, POLLRDNORM, deadline_, "reading");
    } else {
      throw ProbeFailure("receive: " + SocketText(WSAGetLastError()));
    }
  }
  return out;
}

std::string ProbeSocket::ReceiveDatagram() {
  const SOCKET s = SOCKET(socket_);
  std::string datagram(65536, '\0');
  for (;;) {
    Wait(s, POLLRDNORM, deadline_, "no datagram came back");
    const int n = recv(s, datagram.data(), int(datagram.size()), 0);
    if (n == SOCKET_ERROR) {
      const int code = WSAGetLastError();
      if (code == WSAEWOULDBLOCK) continue;
      throw ProbeFailure("receive: " + SocketText(code));
    }
    datagram.resize(size_t(n));
    return datagram;
  }
}

std::string HttpProbePost(const std::string& url, const std::string& body, size_t longest,
                          ProbeClock::time_point deadline) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  if (!InternetCrackUrlA(url.c_str(), DWORD(url.size()), 0, &parts)) FailInternet(GetLastError());
  const std::string host(parts.lpszHostName, parts.dwHostNameLength);
  const std::string path(parts.lpszUrlPath, parts.dwUrlPathLength);

  InternetHandle internet(
      InternetOpenA("qorvin probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!internet) FailInternet(GetLastError());
  DWORD left = DWORD(std::max(1, MsLeft(deadline)));
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(internet.get(), option, &left, sizeof left);
  InternetHandle connection(InternetConnectA(internet.get(), host.c_str(), parts.nPort, nullptr,
                                             nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) FailInternet(GetLastError());
  InternetHandle request(HttpOpenRequestA(
      connection.get(), "POST", path.c_str(), "HTTP/1.1", nullptr, nullptr,
      INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES, 0));
  if (!request) FailInternet(GetLastError());
  static const char kHeaders[] = "Content-Type: application/octet-stream";
  if (!HttpSendRequestA(request.get(), kHeaders, DWORD(sizeof kHeaders - 1),
                        const_cast<char*>(body.data()), DWORD(body.size())))
    FailInternet(GetLastError());
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                      &size, nullptr) ||
      status == 0)
    throw ProbeFailure("no HTTP answer");
  if (status != 200) throw ProbeFailure("HTTP status " + std::to_string(status));
  std::string answer;
  std::vector<char> piece(4096);
  for (;;) {
    DWORD n = 0;
    if (!InternetReadFile(request.get(), piece.data(), DWORD(piece.size()), &n))
      FailInternet(GetLastError());
    if (n == 0) return answer;
    if (answer.size() + n > longest) throw ProbeFailure("unexpected answer (a long body)");
    answer.append(piece.data(), n);
  }
}

}  // namespace qorvin::cli
