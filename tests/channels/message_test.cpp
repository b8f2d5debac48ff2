// Whole binary messages over each channel: a request written by the message, carried over
// loopback, answered by a server that reads and writes the same message format, read back.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "channels/uROIndyTCPChannel.h"
#include "channels/uROIndyUDPChannel.h"
#include "channels/uROWinInetHttpChannel.h"
#include "messaging/uROBinMessage.h"
#include "tests/http/TestHttpServer.h"
#include "tests/socket/TestServers.h"

namespace qorvin {
namespace {

// The server's side of one call: reads the request message and answers "Echo" with
// "Result" = "echo:" + aText, or with an exception reply when `failNext` is set.
struct EchoService {
  std::atomic<int> failNext = 0;
  std::atomic<int> calls = 0;

  std::string Answer(const std::string& requestBytes) {
    ++calls;
    TROBinMessage server;
    TMemoryStream in, out;
    in.WriteBytes(requestBytes);
    server.ReadFromStream(in);
    if (failNext > 0) {
      --failNext;
      server.WriteException(out, EROSessionNotFound("session gone"));
      return std::string(out.View());
    }
    std::string text;
    server.ReadMessageParameter("aText", TypeInfo_String(), &text, 0);
    const std::string iface = server.GetInterfaceName();
    server.InitializeResponse(nullptr, "VelmarLib", iface, server.GetMessageName() + "Response");
    const std::string reply = iface + " echo:" + text;
    server.WriteMessageParameter("Result", TypeInfo_String(), &reply, 0);
    server.WriteToStream(out);
    return std::string(out.View());
  }
};

std::string Call(IROTransportChannel& channel, TROBinMessage& message, const std::string& text) {
  message.InitializeRequest(&channel, "VelmarLib", "ExecSqlService", "Echo");
  message.WriteMessageParameter("aText", TypeInfo_String(), &text, 0);
  message.FinalizeMessage();
  channel.Dispatch(message);
  std::string result;
  message.ReadMessageParameter("Result", TypeInfo_String(), &result, 0);
  message.EndCall(&channel);
  message.ReleaseBody();
  return result;
}

// Runs the same conversation over any channel: a normal call, a server exception, and a
// session failure that OnLoginNeeded repairs by sending the call again.
void Converse(TROTransportChannel& channel, EchoService& service) {
  TROBinMessage message;
  message.UseCompression = false;
  EXPECT_EQ(Call(channel, message, "hello"), "ExecSqlService echo:hello");
  const std::string big(70000, 'b');  // more than one piece of every channel
  if (dynamic_cast<TROIndyUDPChannel*>(&channel) == nullptr) {
    EXPECT_EQ(Call(channel, message, big), "ExecSqlService echo:" + big);
  }

  service.failNext = 1;
  try {
    Call(channel, message, "x");
    ADD_FAILURE() << "exception reply not raised";
  } catch (const EROSessionNotFound& e) {
    EXPECT_EQ(e.Message(), "An exception was raised on the server: session gone");
  }
  message.ReleaseBody();
  EXPECT_FALSE(channel.Busy());

  service.failNext = 1;
  int logins = 0;
  channel.OnLoginNeeded = [&](TROTransportChannel*, const std::exception&, bool& retry) {
    ++logins;
    retry = true;
  };
  EXPECT_EQ(Call(channel, message, "again"), "ExecSqlService echo:again");
  EXPECT_EQ(logins, 1);
  channel.OnLoginNeeded = nullptr;
}

TEST(MessagesOverChannels, Tcp) {
  EchoService service;
  testing::TestTcpServer server([&](int fd, const std::atomic<bool>& stop) {
    std::string request;
    while (testing::WaitReadableUnlessStopped(fd, stop, 3000) && testing::ReadFrame(fd, request))
      if (!testing::WriteFrame(fd, service.Answer(request))) return;
  });
  TROIndyTCPChannel channel;
  channel.SetPort(server.Port());
  channel.SetReadTimeout(60000);
  channel.SetDisableNagle(true);
  Converse(channel, service);
  channel.SetKeepAlive(true);
  Converse(channel, service);
  EXPECT_EQ(service.calls, 10);
}

TEST(MessagesOverChannels, Udp) {
  EchoService service;
  testing::TestUdpServer server(
      [&](testing::TestUdpServer& s, const testing::TestUdpServer::Datagram& d) {
        s.Send(d.from, d.bytes.substr(0, 38) + service.Answer(d.bytes.substr(38)));
      });
  TROIndyUDPChannel channel;
  channel.SetHost("127.0.0.1");
  channel.SetPort(server.Port());
  channel.IndyClient().BufferSize = 8 << 20;
  Converse(channel, service);
  EXPECT_EQ(channel.Responses().Count(), 0);
  EXPECT_EQ(channel.PendingRequests().Count(), 0);
}

TEST(MessagesOverChannels, Http) {
  EchoService service;
  std::atomic<int> wrongHeaders = 0;
  std::atomic<int> withoutContentType = 0;
  testing::TestHttpServer server(
      [&](const testing::HttpRequestSeen& r, int fd, const std::atomic<bool>&) {
        if (r.Header("User-Agent") != "Larkspan SDK" || r.path != "/Bin") ++wrongHeaders;
        if (r.Header("Content-Type").empty())
          ++withoutContentType;
        else if (r.Header("Content-Type") != "application/binary")
          ++wrongHeaders;
        const std::string answer = service.Answer(r.body);
        // An exception reply travels with status 500, which the channel reads as a message.
        const bool exception = answer.size() > 6 && answer[6] == 1;
        return testing::WriteAll(
            fd, testing::HttpResponse(exception ? 500 : 200,
                                      exception ? "Internal Server Error" : "OK", answer));
      });
  TROWinInetHTTPChannel channel;
  channel.SetTargetURL(server.Url("/Bin"));
  channel.SetAccessType(atDirect);
  channel.SetTimeout(60000);
  channel.SetUserAgent("QorvinClient");  // the message sets the agent back for each request
  Converse(channel, service);
  channel.SetKeepConnection(true);
  Converse(channel, service);
  EXPECT_EQ(wrongHeaders, 0);
  // The header lines belong to one request: the call that OnLoginNeeded sends again (once per
  // conversation) carries only its Content-Length.
  EXPECT_EQ(withoutContentType, 2);
#ifndef _WIN32
  // Five calls on fresh connections, then one kept. (WinInet keeps the TCP connections of the
  // whole process in a pool of its own, beyond the handles the channel closes.)
  EXPECT_EQ(server.Connections(), 6);
#endif
}

}  // namespace
}  // namespace qorvin
