// libFuzzer entry for the HTTP channel's reading of responses (status line, headers, body, the
// status's meaning): the input is everything the server sends back before it closes. Every
// outcome must be a delivered body or one of the system's exceptions; anything else (a crash, a
// sanitizer report, another exception) is a finding.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channels/uROWinInetHttpChannel.h"
#include "fuzz/LoopbackReply.h"

using namespace qorvin;

namespace {

// Reads one request: the header block, then a body of its Content-Length.
bool ReadRequest(int fd) {
  std::string head;
  while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
    char c;
    if (!testing::ReadExact(fd, &c, 1, 5000)) return false;
    head += c;
  }
  size_t length = 0;
  for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
    constexpr char kName[] = "Content-Length:";
    if (strncasecmp(head.c_str() + at + 2, kName, sizeof kName - 1) == 0)
      length = std::strtoul(head.c_str() + at + 2 + sizeof kName - 1, nullptr, 10);
  }
  if (length > (1u << 20)) return false;
  std::string body(length, '\0');
  return length == 0 || testing::ReadExact(fd, body.data(), length, 5000);
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
