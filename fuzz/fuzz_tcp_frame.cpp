// libFuzzer entry for the TCP channel's reader of reply frames: the input is everything the
// server sends back on the connection before it closes. The channel must deliver exactly the
// payload of a complete frame whose length is allowed, and fail with one of the system's
// exceptions otherwise; any other outcome (a crash, a sanitizer report, a wrong payload, an
// allocation sized by the announced length) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channels/uROIndyTCPChannel.h"
#include "fuzz/LoopbackReply.h"

using namespace qorvin;

namespace {

fuzzing::LoopbackReply& Server() {
  static fuzzing::LoopbackReply server([](int fd) {
    std::string request;
    return testing::ReadFrame(fd, request, 5000);
  });
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  Server().SetReply(reply);
  TROIndyTCPChannel channel;
  channel.SetHost("127.0.0.1");
  channel.SetPort(Server().Port());
  channel.SetConnectTimeout(5000);
  channel.SetReadTimeout(5000);
  channel.SetKeepAlive(false);
  TMemoryStream request, response;
  request.WriteBytes("request");
  bool delivered = true;
  try {
    channel.Dispatch(request, response);
  } catch (const Exception&) {
    delivered = false;
  }
  // What a correct reader does with these bytes.
  bool complete = false;
  std::string payload;
  if (size >= 4) {
    const uint32_t n = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 |
                       uint32_t(data[3]);
    complete = n <= 0x7FFFFFFF && size - 4 >= n;
    if (complete) payload = reply.substr(4, n);
  }
  if (delivered != complete) std::abort();
  if (delivered && std::string(response.View()) != payload) std::abort();
  return 0;
}
