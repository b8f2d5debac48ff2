// libFuzzer entry for the HTTP channel's reading of responses (status line, headers, body, the
// status's meaning): the input is everything the server sends back before it closes. Every
// outcome must be a delivered body or one of the system's exceptions; anything else (a crash, a
// sanitizer report, another exception) is a finding.
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channels/uROWinInetHttpChannel.h"
#include "fuzz/LoopbackReply.h"

using namespace qorvin;

namespace {

// Reads one request: the header block, then a body of its Content-Length. The bytes are taken
// as they come, not one read per byte: a header of a few hundred bytes read a byte at a time
// cost a wait and two system calls per byte, most of an input's time.
bool ReadRequest(int fd) {
  std::string got;
  size_t headEnd = std::string::npos, length = 0;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = got.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        const std::string head = got.substr(0, headEnd + 2);
        for (size_t at = head.find("\r\n"); at != std::string::npos;
             at = head.find("\r\n", at + 2)) {
          constexpr char kName[] = "Content-Length:";
          if (strncasecmp(head.c_str() + at + 2, kName, sizeof kName - 1) == 0)
            length = std::strtoul(head.c_str() + at + 2 + sizeof kName - 1, nullptr, 10);
        }
        if (length > (1u << 20)) return false;
      } else if (got.size() >= 65536) {
        return false;
      }
    }
    if (headEnd != std::string::npos && got.size() >= headEnd + 4 + length) return true;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, size_t(n));
  }
}

fuzzing::LoopbackReply& Server() {
  static fuzzing::LoopbackReply server(ReadRequest);
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Server().SetReply(std::string(reinterpret_cast<const char*>(data), size));
  TROWinInetHTTPChannel channel;
  channel.SetTargetURL("http://127.0.0.1:" + std::to_string(Server().Port()) + "/Bin");
  channel.SetAccessType(atDirect);
  channel.SetTimeout(5000);
  channel.SetSuppressErrorDialogs(true);
  TMemoryStream request, response;
  request.WriteBytes("request");
  try {
    channel.Dispatch(request, response);
  } catch (const Exception&) {
    // A malformed or failing response: the expected outcome for most inputs.
  }
  return 0;
}
