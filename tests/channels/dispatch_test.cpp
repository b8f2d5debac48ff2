// The channel base: busy guard, attempts, encryption, events, message-level retries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "channels/uROIndyTCPChannel.h"
#include "tests/channels/FakeChannel.h"

namespace qorvin {
namespace {

using testing::FakeChannel;
using testing::FakeMessage;

std::string Text(TStream& s) {
  std::string bytes(size_t(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(bytes.data(), s.Size());
  return bytes;
}

TEST(ChannelDispatch, StreamsReachTheWireFromTheStartAndComeBackAtPositionZero) {
  FakeChannel c;
  c.host = "h";
  std::vector<int64_t> positions;
  c.wire = [&](FakeChannel&, TStream& request, TStream& response) {
    positions.push_back(request.Position());
    response.WriteBytes("re:" + Text(request));
  };
  c.OnSendStream = [&](TStream& s) { positions.push_back(s.Size()); };
  c.OnReceiveStream = [&](TStream& s) {
    positions.push_back(s.Position());
    s.Seek(0, SeekOrigin::End);  // a handler that moves the position does no harm
  };
  TMemoryStream request, response;
  request.WriteBytes("abc");
  c.Dispatch(request, response);
  EXPECT_EQ(response.Position(), 0);
  EXPECT_EQ(Text(response), "re:abc");
  EXPECT_EQ(positions, (std::vector<int64_t>{3, 0, 0}));
  EXPECT_FALSE(c.Busy());
}

TEST(ChannelDispatch, BusyGuardRefusesASecondDispatchAndIsClearedOnEveryPath) {
  FakeChannel c;
  c.host = "h";
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  c.wire = [&](FakeChannel&, TStream&, TStream& response) {
    entered.set_value();
    released.wait_for(std::chrono::seconds(5));
    response.WriteBytes("first");
  };
  TMemoryStream r1, a1;
  std::thread first([&] { c.Dispatch(r1, a1); });
  entered.get_future().wait();
  TMemoryStream r2, a2;
  try {
    c.Dispatch(r2, a2);
    ADD_FAILURE() << "second dispatch was let through";
  } catch (const EROChannelBusy& e) {
    EXPECT_EQ(e.Message(), "Channel is busy. Try again later.");
  }
  release.set_value();
  first.join();
  EXPECT_EQ(Text(a1), "first");  // the running dispatch was not disturbed
  EXPECT_FALSE(c.Busy());

  // Failures in the wire and in the events leave the channel usable.
  c.wire = [](FakeChannel&, TStream&, TStream&) { throw std::runtime_error("wire down"); };
  EXPECT_THROW(c.Dispatch(r2, a2), std::runtime_error);
  EXPECT_FALSE(c.Busy());
  c.wire = nullptr;
  c.OnSendStream = [](TStream&) { throw std::runtime_error("event"); };
  EXPECT_THROW(c.Dispatch(r2, a2), std::runtime_error);
  EXPECT_FALSE(c.Busy());
}

TEST(ChannelDispatch, ARepeatedAttemptStartsFromAnEmptyResponse) {
  FakeChannel c;
  c.SetDispatchOptions(doFaultTolerant);
  c.ServerLocators().Add()->SetHost("a");
  c.ServerLocators().Add()->SetHost("b");
  c.host = "a";
  c.wire = [](FakeChannel& ch, TStream&, TStream& response) {
    if (ch.host == "a") {
      response.WriteBytes("half an answ");
      throw std::runtime_error("cut off");
    }
    response.WriteBytes("whole answer");
  };
  TMemoryStream request, response;
  c.Dispatch(request, response);
  EXPECT_EQ(Text(response), "whole answer");
  // Nothing was applied yet, so fail-over first applies locator a (index 0), then b.
  EXPECT_EQ(c.hostsUsed, (std::vector<std::string>{"a", "a", "b"}));
}

TEST(ChannelDispatch, EncryptionWrapsBothStreams) {
  FakeChannel c;
  c.host = "h";
  c.Encryption().SetEncryptionMethod(tetRijndael);
  c.Encryption().SetUseCompression(true);
  TROEncryption server;  // the same settings on the other side
  server.SetEncryptionMethod(tetRijndael);
  server.SetUseCompression(true);
  std::string seenOnWire;
  c.wire = [&](FakeChannel&, TStream& request, TStream& response) {
    seenOnWire = Text(request);
    TMemoryStream plain, answer;
    request.SetPosition(0);
    server.Decrypt(request, plain);
    answer.WriteBytes("re:" + Text(plain));
    answer.SetPosition(0);
    server.Encrypt(answer, response);
  };
  TMemoryStream request, response;
  request.WriteBytes(std::string(100, 'p'));
  c.Dispatch(request, response);
  EXPECT_EQ(seenOnWire.substr(0, 7), "rorocks");
  EXPECT_EQ(seenOnWire.find(std::string(100, 'p')), std::string::npos);
  EXPECT_EQ(Text(response), "re:" + std::string(100, 'p'));
}

TEST(ChannelDispatch, MessageLevelRetriesThroughTheHandlers) {
  FakeChannel c;
  c.host = "h";
  int calls = 0;
  c.wire = [&](FakeChannel&, TStream& request, TStream& response) {
    if (++calls == 1) throw std::runtime_error("first attempt fails");
    response.WriteBytes("answer to " + Text(request));
  };
  FakeMessage m;
  // Without a handler the failure reaches the caller unchanged.
  EXPECT_THROW(c.Dispatch(m), std::runtime_error);
  calls = 0;
  int failures = 0;
  c.SetOnFailure([&](TROTransportChannel* sender, const std::exception& e, bool& retry) {
    EXPECT_EQ(sender, &c);
    EXPECT_STREQ(e.what(), "first attempt fails");
    retry = ++failures < 3;
  });
  c.Dispatch(m);
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(m.read, std::vector<std::string>{"answer to request"});
  EXPECT_TRUE(c.OnException());  // the same handler under its other name

  // A session-not-found reply goes to OnLoginNeeded, not OnFailure; the request goes again.
  int logins = 0;
  m.read.clear();
  m.onRead = [&](const std::string&) {
    if (logins == 0) throw EROSessionNotFound("no session");
  };
  c.OnLoginNeeded = [&](TROTransportChannel*, const std::exception& e, bool& retry) {
    EXPECT_NE(dynamic_cast<const EROSessionNotFound*>(&e), nullptr);
    ++logins;
    retry = true;
  };
  failures = 0;
  c.Dispatch(m);
  EXPECT_EQ(logins, 1);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(m.read.size(), 2u);
  // Without OnLoginNeeded the session failure passes on, OnFailure is not asked.
  c.OnLoginNeeded = nullptr;
  logins = 0;
  EXPECT_THROW(c.Dispatch(m), EROSessionNotFound);
  EXPECT_EQ(failures, 0);
}

TEST(ChannelDispatch, CheckPropertiesFallsBackOnALocator) {
  FakeChannel c(nullptr, "Chan");
  try {
    c.CheckProperties();
    FAIL() << "no address accepted";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Chan.Host must be set.");
  }
  c.ServerLocators().Add()->SetHost("  fallback  ");
  c.ServerLocators().Items(0)->SetPort(9001);
  EXPECT_THROW(c.CheckProperties(), EROException);  // no fail-over asked for
  c.SetDispatchOptions(doFaultTolerant);
  c.CheckProperties();
  EXPECT_EQ(c.host, "fallback");
  EXPECT_EQ(c.port, 9001);
}

TEST(ChannelDispatch, AssignCopiesSettingsAndRefusesOtherClasses) {
  FakeChannel a, b;
  a.host = "src";
  a.port = 7;
  a.SetDispatchOptions(doLoadBalanced);
  a.SetProbeFrequency(1234);
  a.ServerLocators().Add()->SetHost("x");
  a.Encryption().SetEncryptionMethod(tetBlowfish);
  a.OnSendStream = [](TStream&) {};
  b.Assign(a);
  EXPECT_EQ(b.host, "src");
  EXPECT_EQ(b.port, 7);
  EXPECT_EQ(b.DispatchOptions(), doLoadBalanced);
  EXPECT_EQ(b.ProbeFrequency(), 1234u);
  EXPECT_EQ(b.ServerLocators().Count(), 1);
  EXPECT_EQ(b.Encryption().EncryptionMethod(), tetBlowfish);
  EXPECT_TRUE(b.OnSendStream);
  TROIndyTCPChannel tcp;
  try {
    b.Assign(tcp);
    FAIL() << "assigned across classes";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Cannot Assign a TFakeChannel t a TROIndyTCPChannel");
  }
}

}  // namespace
}  // namespace qorvin
