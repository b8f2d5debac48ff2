// The binary message on the wire: header, names, parameters, compression, client identity,
// HTTP attributes, events, Assign and Clone.
#include <gtest/gtest.h>

#include "messaging/uROBinMessage.h"
#include "platform/rtl/Exceptions.h"
#include "platform/zlib/ZStream.h"
#include "tests/messaging/MessageFakes.h"
#include "tests/messaging/TestBytes.h"

namespace qorvin {
namespace {

using test::Counted;
using test::Header;
using test::Hex;

const TGUID kServerId = TGUID::FromString("{01020304-0506-0708-090A-0B0C0D0E0F10}");

std::string WriteAll(TROBinMessage& m) {
  TMemoryStream out;
  m.WriteToStream(out);
  return test::Bytes(out);
}

void ReadAll(TROBinMessage& m, std::string_view bytes) {
  auto s = std::make_unique<TMemoryStream>();
  s->WriteBytes(bytes);
  m.ReadFromStream(std::move(s));
}

TEST(BinMessage, GetDateTimeRequestIs61Bytes) {
  TROBinMessage m;
  m.UseCompression = false;
  test::FakeWebTransport http;
  m.InitializeRequest(&http, "VelmarLib", "ExecSqlService", "GetDateTime");
  m.FinalizeMessage();
  const std::string bytes = WriteAll(m);
  ASSERT_EQ(bytes.size(), 61u);
  EXPECT_EQ(bytes.substr(0, 12), Hex("52 4F 31 30 37 00 00 00 00 00 00 00"));
  const auto id = m.GetClientID().ToBytes();
  EXPECT_EQ(bytes.substr(12, 16), std::string(id.begin(), id.end()));
  EXPECT_EQ(bytes.substr(28),
            Hex("0E 00 00 00") + "ExecSqlService" + Hex("0B 00 00 00") + "GetDateTime");
  EXPECT_EQ(bytes.find("VelmarLib"), std::string::npos);
  EXPECT_EQ(http.headers["Content-Type"], "application/binary");
  EXPECT_EQ(http.userAgent, "Larkspan SDK");
}

TEST(BinMessage, HttpAttributesOnlyOnWebTransports) {
  TROBinMessage m;
  test::FakePlainTransport plain;
  m.InitializeRequest(&plain, "L", "I", "M");  // nothing to set, nothing fails
  m.InitializeRequest(nullptr, "L", "I", "M");
  test::FakeWebTransport http;
  m.PrepareTransport(&http, "L", "I", "M");
  EXPECT_EQ(http.headers["Content-Type"], "application/binary");
  EXPECT_EQ(http.userAgent, "Larkspan SDK");
}

TEST(BinMessage, SynchExecProcParameters) {
  TROBinMessage m;
  m.UseCompression = false;
  m.InitializeRequest(nullptr, "VelmarLib", "ExecSqlService", "SynchExecProc");
  const std::string user = "u1", serial;
  const std::u16string command = u"x";
  m.WriteMessageParameter("aUserId", TypeInfo_String(), &user, 0);
  m.WriteMessageParameter("aHDHSerialNumber", TypeInfo_String(), &serial, 0);
  m.WriteMessageParameter("aSqlCommand", TypeInfo_WideString(), &command, 0);
  const std::string bytes = WriteAll(m);
  const std::string names = Counted("ExecSqlService") + Counted("SynchExecProc");
  EXPECT_EQ(bytes.substr(28 + names.size()),
            Hex("02 00 00 00 75 31  00 00 00 00  01 00 00 00 78 00"));
}

TEST(BinMessage, ReplyIsReadAndItsClientIdAdopted) {
  TROBinMessage m;
  m.UseCompression = false;
  const TGUID mine = m.GetClientID();
  ASSERT_NE(mine, kServerId);
  ReadAll(m, Header(0, 0, kServerId) + Counted("SrvIntf") + Counted("SrvMsg") +
                 Hex("00 00 00 00 00 00 F8 3F"));
  EXPECT_EQ(m.GetClientID(), kServerId);
  EXPECT_EQ(m.GetInterfaceName(), "SrvIntf");
  EXPECT_EQ(m.GetMessageName(), "SrvMsg");
  double result = 0;
  m.ReadMessageParameter("Result", TypeInfo_TDateTime(), &result, paIsDateTime);
  EXPECT_EQ(result, 1.5);
  m.EndCall(nullptr);
  m.ReleaseBody();
  EXPECT_EQ(m.Body(), nullptr);
  // The next request carries the adopted identifier; the names stay until the next message.
  EXPECT_EQ(m.GetInterfaceName(), "SrvIntf");
  m.InitializeRequest(nullptr, "L", "ExecSqlService", "GetDateTime");
  EXPECT_EQ(WriteAll(m).substr(12, 16), Header(0, 0, kServerId).substr(12, 16));
}

TEST(BinMessage, TwoMessagesHaveDifferentRandomIds) {
  TROBinMessage a, b;
  EXPECT_NE(a.GetClientID(), b.GetClientID());
  EXPECT_FALSE(a.GetClientID().IsNull());
}

TEST(BinMessage, EmptyNames) {
  TROBinMessage m;
  m.InitializeRequest(nullptr, "", "", "");
  const std::string bytes = WriteAll(m);
  EXPECT_EQ(bytes.substr(28), Hex("00 00 00 00 00 00 00 00"));
  TROBinMessage r;
  r.SetInterfaceName("old");
  ReadAll(r, bytes);
  EXPECT_EQ(r.GetInterfaceName(), "");
  EXPECT_EQ(r.GetMessageName(), "");
}

TEST(BinMessage, EventKindTravelsAsTwo) {
  TROBinMessage m;
  m.InitializeEvent(nullptr, "L", "I", "E");
  EXPECT_EQ(m.MessageKind(), kMessageKindEvent);
  EXPECT_EQ(WriteAll(m)[6], 2);
  m.InitializeResponse(nullptr, "L", "I", "R");
  EXPECT_EQ(WriteAll(m)[6], 0);
  TROBinMessage r;
  ReadAll(r, Header(0, 2, kServerId) + Counted("I") + Counted("E"));
  EXPECT_EQ(r.GetMessageName(), "E");
  // Other kinds carry nothing that is read.
  ReadAll(r, Header(0, 7, kServerId));
  EXPECT_EQ(r.GetClientID(), kServerId);
}

// A body of exactly MinSizeForCompression bytes is compressed; one byte less is not.
TEST(BinMessage, CompressionThresholdIsInclusive) {
  for (int size : {4095, 4096}) {
    TROBinMessage m;  // UseCompression defaults to true
    m.InitializeRequest(nullptr, "L", "I", "M");
    const std::string payload(size_t(size - 14), 'q');  // 10 bytes of names + 4-byte count
    m.WriteMessageParameter("p", TypeInfo_String(), &payload, 0);
    ASSERT_EQ(m.Body()->Size(), size);
    int64_t original = -1, compressed = -1;
    m.OnCompress = [&](int64_t o, int64_t c, int64_t t) {
      original = o;
      compressed = c;
      EXPECT_EQ(t, 0);
    };
    const std::string bytes = WriteAll(m);
    if (size == 4095) {
      EXPECT_EQ(bytes[5], 0);
      EXPECT_EQ(bytes.size(), 28u + 4095u);
      EXPECT_EQ(original, -1);
      continue;
    }
    EXPECT_EQ(bytes[5], 1);
    EXPECT_LT(bytes.size(), 200u);
    EXPECT_EQ(original, 4096);
    EXPECT_EQ(compressed, int64_t(bytes.size()));
    // zlib format: the body inflates back exactly.
    TMemoryStream in, out;
    test::Load(in, bytes.substr(28));
    ZDecompress(in, out);
    EXPECT_EQ(test::Bytes(out), Counted("I") + Counted("M") + Counted(payload));
  }
}

TEST(BinMessage, CompressedReplyIsInflatedEvenWithCompressionOff) {
  TROBinMessage server;
  server.MinSizeForCompression = 10;
  server.InitializeResponse(nullptr, "L", "Svc", "Op");
  const std::string text(5000, 'z');
  server.WriteMessageParameter("Result", TypeInfo_String(), &text, 0);
  const std::string reply = WriteAll(server);
  ASSERT_EQ(reply[5], 1);

  TROBinMessage client;
  client.UseCompression = false;
  int64_t inflated = -1;
  client.OnDecompress = [&](int64_t o, int64_t c, int64_t) {
    inflated = o;
    EXPECT_EQ(c, int64_t(reply.size()));
  };
  ReadAll(client, reply);
  EXPECT_TRUE(client.LastReadCompressed());
  EXPECT_EQ(inflated, int64_t(Counted("Svc").size() + Counted("Op").size() + 4 + 5000));
  std::string back;
  client.ReadMessageParameter("Result", TypeInfo_String(), &back, 0);
  EXPECT_EQ(back, text);
}

// A sender's own body compressor takes the place of zlib's level; one that declines leaves the
// body to zlib. Either way the reader gets the body back.
TEST(BinMessage, ASendersOwnCompressorOrZlibCompressesTheBody) {
  for (const bool declines : {false, true}) {
    TROBinMessage server;
    server.MinSizeForCompression = 10;
    server.InitializeResponse(nullptr, "L", "Svc", "Op");
    const std::string text(5000, 'q');
    server.WriteMessageParameter("Result", TypeInfo_String(), &text, 0);
    int64_t offered = -1;
    server.BodyDeflater = [&](std::span<const unsigned char> body, TStream& target) {
      offered = int64_t(body.size());
      if (declines) return false;
      TBytesViewStream in(body);
      ZCompress(in, -1, target, 9);
      return true;
    };
    const std::string reply = WriteAll(server);
    EXPECT_EQ(offered, int64_t(Counted("Svc").size() + Counted("Op").size() + 4 + 5000));
    ASSERT_EQ(reply[5], 1);
    TROBinMessage client;
    ReadAll(client, reply);
    std::string back;
    client.ReadMessageParameter("Result", TypeInfo_String(), &back, 0);
    EXPECT_EQ(back, text) << declines;
  }
}

TEST(BinMessage, LargeBodyTravelsUncompressedWhenCompressionIsOff) {
  TROBinMessage m;
  m.UseCompression = false;
  m.InitializeRequest(nullptr, "L", "I", "M");
  auto blob = std::make_unique<TROBinaryMemoryStream>(std::string(1 << 20, '\x5A'));
  m.WriteMessageParameter("b", TypeInfo_Binary(), &blob, 0);
  const std::string bytes = WriteAll(m);
  EXPECT_EQ(bytes[5], 0);
  EXPECT_EQ(bytes.size(), 28u + 10u + 5u + (1u << 20));
  TROBinMessage r;
  ReadAll(r, bytes);
  std::unique_ptr<TROBinaryMemoryStream> back;
  r.ReadMessageParameter("b", TypeInfo_Binary(), &back, 0);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Size(), 1 << 20);
  EXPECT_EQ(back->View(), blob->View());
}

TEST(BinMessage, CopyingReadLeavesTheCallersStream) {
  const std::string bytes =
      Header(0, 0, kServerId) + Counted("I") + Counted("M") + Hex("2A 00 00 00");
  TMemoryStream s;
  test::Load(s, bytes);
  TROBinMessage m;
  m.ReadFromStream(s);
  EXPECT_NE(m.Body(), &s);
  EXPECT_EQ(test::Bytes(s), bytes);
  int32_t v = 0;
  m.ReadMessageParameter("Result", TypeInfo_Integer(), &v, 0);
  EXPECT_EQ(v, 42);
}

TEST(BinMessage, WriteToStreamAppendsAtThePosition) {
  TROBinMessage m;
  m.InitializeRequest(nullptr, "L", "I", "M");
  TMemoryStream out;
  out.WriteBytes("pre");
  m.WriteToStream(out);
  EXPECT_EQ(out.Position(), 0);
  EXPECT_EQ(test::Bytes(out).substr(0, 8), "preRO107");
}

TEST(BinMessage, Events) {
  TROBinMessage m;
  std::vector<std::string> log;
  m.OnInitializeMessage = [&](TROMessage&, IROTransport*, const std::string& i,
                              const std::string& n) { log.push_back("init " + i + "." + n); };
  m.OnFinalizeMessage = [&](TROMessage&) { log.push_back("final"); };
  m.OnWriteMessageParameter = [&](TROMessage& s, const std::string& n, const TTypeInfo& t,
                                  const void*, TParamAttributes a) {
    // Fired before the value is written.
    log.push_back("write " + n + " " + t.name + " " + std::to_string(a) + " " +
                  std::to_string(static_cast<TROBinMessage&>(s).Body()->Size()));
  };
  m.OnReadMessageParameter = [&](TROMessage&, const std::string& n, const TTypeInfo&, void* v,
                                 TParamAttributes) {
    // Fired after the value is read.
    log.push_back("read " + n + " " + std::to_string(*static_cast<int32_t*>(v)));
  };
  m.OnWriteToStream = [&](TStream& s) { log.push_back("out " + std::to_string(s.Position())); };
  m.OnReadFromStream = [&](TStream& s) { log.push_back("in " + std::to_string(s.Size())); };
  m.InitializeRequest(nullptr, "L", "I", "M");
  const int32_t v = 7;
  m.WriteMessageParameter("p", TypeInfo_Integer(), &v, paIsArrayElement);
  m.FinalizeMessage();
  const std::string bytes = WriteAll(m);
  ReadAll(m, bytes);
  int32_t back = 0;
  m.ReadMessageParameter("p", TypeInfo_Integer(), &back, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"init I.M", "write p Integer 2 10", "final", "out 0",
                                           "in 42", "read p 7"}));
}

class TOtherMessage : public TROMessage {
 public:
  const char* ClassName() const override { return "TOtherMessage"; }
  void InitializeMessage(IROTransport*, const std::string&, const std::string&, uint8_t) override {}
  void WriteToStream(TStream&) override {}
  void ReadFromStream(TStream&) override {}
  void ReadFromStream(std::unique_ptr<TStream>) override {}
  void WriteException(TStream&, const std::exception&) override {}
  void ReleaseBody() override {}

 protected:
  std::unique_ptr<TROMessage> CreateInstance() const override {
    return std::make_unique<TOtherMessage>();
  }
};

TEST(BinMessage, AssignCopiesSettingsButNotIdentity) {
  TROBinMessage source;
  source.UseCompression = false;
  source.MinSizeForCompression = 12;
  source.CompressionBufferSize = 99;
  source.MaxDecompressedSize = 1000;
  source.AddServerExceptionPrefix = false;
  int finals = 0;
  source.OnFinalizeMessage = [&](TROMessage&) { ++finals; };
  source.SetInterfaceName("S");
  TROMessageEnvelope env;
  source.Envelopes.Add(&env);

  TROBinMessage target;
  const TGUID targetId = target.GetClientID();
  target.Assign(&source);
  EXPECT_FALSE(target.UseCompression);
  EXPECT_EQ(target.MinSizeForCompression, 12);
  EXPECT_EQ(target.CompressionBufferSize, 99);
  EXPECT_EQ(target.MaxDecompressedSize, 1000);
  EXPECT_FALSE(target.AddServerExceptionPrefix);
  EXPECT_EQ(target.Envelopes.Count(), 1u);
  target.FinalizeMessage();
  EXPECT_EQ(finals, 1);
  EXPECT_EQ(target.GetClientID(), targetId);
  EXPECT_EQ(target.GetInterfaceName(), "");

  target.Assign(nullptr);  // nothing happens
  EXPECT_EQ(target.MinSizeForCompression, 12);

  TOtherMessage other;
  try {
    target.Assign(&other);
    ADD_FAILURE();
  } catch (const EROException& e) {
    EXPECT_STREQ(e.what(), "Cannot Assign a TROBinMessage t a TOtherMessage");
  }
}

TEST(BinMessage, CloneIsANewMessageOfTheSameClass) {
  TROBinMessage m;
  m.UseCompression = false;
  m.MinSizeForCompression = 77;
  std::unique_ptr<TROMessage> copy = m.Clone();
  auto* bin = dynamic_cast<TROBinMessage*>(copy.get());
  ASSERT_NE(bin, nullptr);
  EXPECT_FALSE(bin->UseCompression);
  EXPECT_EQ(bin->MinSizeForCompression, 77);
  EXPECT_NE(bin->GetClientID(), m.GetClientID());
  std::unique_ptr<IROMessage> asInterface = std::move(copy);
  asInterface->InitializeRequest(nullptr, "L", "I", "M");
}

TEST(BinMessage, IsValidMessage) {
  EXPECT_TRUE(TROMessage::IsValidMessage("RO107", 5));
  EXPECT_TRUE(TROMessage::IsValidMessage("roroc...", 8));
  EXPECT_FALSE(TROMessage::IsValidMessage("RO10", 4));
  EXPECT_FALSE(TROMessage::IsValidMessage("RO108", 5));
  EXPECT_FALSE(TROMessage::IsValidMessage(nullptr, 10));
}

TEST(BinMessage, TypedOperationsForwardToTheSerializer) {
  TROBinMessage m;
  m.InitializeRequest(nullptr, "L", "", "");
  m.WriteString("a", "abc");
  m.WriteInt64("b", 1);
  m.WriteWideString("c", u"ab");
  m.WriteGuid("d", "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_EQ(test::Bytes(static_cast<TMemoryStream&>(*m.Body())).substr(8),
            Hex("03 00 00 00 61 62 63  01 00 00 00 00 00 00 00  02 00 00 00 61 00 62 00"
                "  33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF"));
  ReadAll(m, WriteAll(m));
  std::string a, d;
  int64_t b = 0;
  std::u16string c;
  m.ReadString("a", a);
  m.ReadInt64("b", b);
  m.ReadWideString("c", c);
  m.ReadGuid("d", d);
  EXPECT_EQ(a, "abc");
  EXPECT_EQ(b, 1);
  EXPECT_EQ(c, u"ab");
  EXPECT_EQ(d, "{00112233-4455-6677-8899-AABBCCDDEEFF}");
}

}  // namespace
}  // namespace qorvin
