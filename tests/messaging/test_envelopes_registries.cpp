// Message envelopes (wrapped form, marker rules, failures) and the class registries.
#include <gtest/gtest.h>

#include "messaging/uROBinMessage.h"
#include "messaging/uROClasses.h"
#include "messaging/uROMessageEnvelope.h"
#include "platform/rtl/Exceptions.h"
#include "tests/messaging/TestBytes.h"

namespace qorvin {
namespace {

using test::Hex;

// Flips every byte, so that a wrapped message is unreadable unless unwrapped.
class TXorEnvelope : public TROMessageEnvelope {
 protected:
  void IntProcessOutgoing(TStream& source, TStream& target) override { Flip(source, target); }
  void IntProcessIncoming(TStream& source, TStream& target) override { Flip(source, target); }

 private:
  static void Flip(TStream& source, TStream& target) {
    std::string bytes(size_t(source.Remaining()), '\0');
    source.ReadBuffer(bytes.data(), int64_t(bytes.size()));
    for (char& c : bytes) c = char(c ^ 0xFF);
    target.WriteBytes(bytes);
  }
};

std::string Expect(const std::function<void()>& f) {
  try {
    f();
  } catch (const EROException& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

TEST(EnvelopeMarker, Rules) {
  const std::string generated = NormalizeEnvelopeMarker("");
  EXPECT_EQ(generated.size(), 38u);
  EXPECT_EQ(generated.front(), '{');
  EXPECT_NE(NormalizeEnvelopeMarker(""), generated);
  EXPECT_EQ(NormalizeEnvelopeMarker(std::string(300, 'a')), std::string(255, 'a'));
  // Shortened by whole characters: a two-byte character straddling byte 255 goes entirely.
  EXPECT_EQ(NormalizeEnvelopeMarker(std::string(254, 'a') + "\xC3\xA9" + "b"),
            std::string(254, 'a'));
  TROMessageEnvelope e;
  EXPECT_EQ(e.EnvelopeMarker().size(), 38u);
  e.SetEnvelopeMarker("zip");
  EXPECT_EQ(e.EnvelopeMarker(), "zip");
  e.SetEnvelopeMarker("");
  EXPECT_EQ(e.EnvelopeMarker().size(), 38u);
}

TEST(Envelopes, WrappedFormAndRoundTrip) {
  TROMessageEnvelope plain;
  plain.SetEnvelopeMarker("AB");
  int before = 0, after = 0;
  plain.BeforeEnvelopeProcessed = [&](TROMessageEnvelope&, TStream&) { ++before; };
  plain.AfterEnvelopeProcessed = [&](TROMessageEnvelope&, TStream&) { ++after; };
  TROMessageEnvelopeCollection c;
  c.Add(&plain);
  TMemoryStream s;
  test::Load(s, "payload");
  c.ProcessOutgoing(s);
  EXPECT_EQ(test::Bytes(s), "ROENV" + Hex("02") + "ABpayload");
  EXPECT_EQ(s.Position(), 0);
  c.ProcessIncoming(s);
  EXPECT_EQ(test::Bytes(s), "payload");
  EXPECT_EQ(before, 2);
  EXPECT_EQ(after, 2);
}

TEST(Envelopes, DisabledItemsAndOrder) {
  TXorEnvelope x;
  x.SetEnvelopeMarker("X");
  TROMessageEnvelope p;
  p.SetEnvelopeMarker("P");
  TROMessageEnvelopeCollection c;
  c.Add(&x);
  c.Add(&p);
  TMemoryStream s;
  test::Load(s, "ab");
  c.ProcessOutgoing(s);
  // X first (inner), then P around it.
  EXPECT_EQ(test::Bytes(s), "ROENV" + Hex("01") + "P" + "ROENV" + Hex("01") + "X" + Hex("9E 9D"));
  c.ProcessIncoming(s);
  EXPECT_EQ(test::Bytes(s), "ab");
  c[0].Enabled = false;
  c[1].Enabled = false;
  test::Load(s, "ab");
  c.ProcessOutgoing(s);
  EXPECT_EQ(test::Bytes(s), "ab");
}

TEST(Envelopes, IncomingFailuresAndIncompletePrefixes) {
  TROMessageEnvelopeCollection empty;
  TMemoryStream s;
  test::Load(s, "ROENV" + Hex("03") + "zipdata");
  EXPECT_EQ(Expect([&] { empty.ProcessIncoming(s); }), "zip envelope isn't found");

  TROMessageEnvelopeCollection noEnvelope;
  noEnvelope.Add().EnvelopeMarker = "zip";
  test::Load(s, "ROENV" + Hex("03") + "zipdata");
  EXPECT_EQ(Expect([&] { noEnvelope.ProcessIncoming(s); }),
            "zip envelope can't be processed! TROMessageEnvelope should be assigned.");

  // A prefix whose marker does not fit, or 6 bytes or fewer, is left as it is.
  for (const std::string& bytes :
       {"ROENV" + Hex("09") + "zip", std::string("ROENV") + Hex("00"), std::string("RO107")}) {
    test::Load(s, bytes);
    empty.ProcessIncoming(s);
    EXPECT_EQ(test::Bytes(s), bytes);
  }
}

TEST(Envelopes, MessageWithEnvelopes) {
  TXorEnvelope x;
  TROBinMessage sender, receiver;
  sender.Envelopes.Add(&x);
  receiver.Envelopes.Add(&x);
  std::vector<std::string> log;
  sender.OnBeforeProcessOutgoingEnvelopes = [&](TStream& s) {
    log.push_back("before-out " + std::string(s.Size() > 5 ? "plain" : "?"));
  };
  sender.OnAfterProcessOutgoingEnvelopes = [&](TStream&) { log.push_back("after-out"); };
  receiver.OnBeforeProcessIncomingEnvelopes = [&](TStream&) { log.push_back("before-in"); };
  receiver.OnAfterProcessIncomingEnvelopes = [&](TStream&) { log.push_back("after-in"); };
  sender.InitializeRequest(nullptr, "L", "I", "M");
  const int32_t v = 5;
  sender.WriteMessageParameter("v", TypeInfo_Integer(), &v, 0);
  TMemoryStream wire;
  sender.WriteToStream(wire);
  EXPECT_EQ(test::Bytes(wire).substr(0, 5), "ROENV");
  const std::string wrapped = test::Bytes(wire);
  EXPECT_EQ(wrapped.find("RO107"), std::string::npos);
  receiver.ReadFromStream(wire);
  // The copying form unwraps the caller's stream in place.
  EXPECT_EQ(test::Bytes(wire).substr(0, 5), "RO107");
  int32_t back = 0;
  receiver.ReadMessageParameter("v", TypeInfo_Integer(), &back, 0);
  EXPECT_EQ(back, 5);
  EXPECT_EQ(receiver.GetMessageName(), "M");
  EXPECT_EQ(log,
            (std::vector<std::string>{"before-out plain", "after-out", "before-in", "after-in"}));

  // Without envelopes configured, a wrapped stream is rejected.
  TROBinMessage plain;
  test::Load(wire, wrapped);
  EXPECT_NE(Expect([&] { plain.ReadFromStream(wire); }).find("envelope isn't found"),
            std::string::npos);
}

TEST(Registries, ExceptionClassesFromStartUp) {
  for (const char* name :
       {"EROUnknownType", "EROMessageTooLarge", "EROSessionNotFound", "EROSessionExpired",
        "SessionNotFoundException", "SessionDoesNotHaveRequiredRolesException"})
    EXPECT_NE(FindExceptionClass(name), nullptr) << name;
  EXPECT_EQ(FindExceptionClass("EROUnregisteredServerException"), nullptr);
  EXPECT_EQ(FindExceptionClass("EROException"), nullptr);
  EXPECT_NE(FindExceptionClass("eroUNKNOWNtype"), nullptr);

  UnregisterMessagingClasses();
  EXPECT_EQ(FindExceptionClass("EROSessionNotFound"), nullptr);
  EXPECT_FALSE(IsMessageClassRegistered("TROBinMessage"));
  UnregisterMessagingClasses();  // idempotent
  RegisterMessagingClasses();
  RegisterMessagingClasses();
  EXPECT_NE(FindExceptionClass("EROSessionNotFound"), nullptr);
  EXPECT_TRUE(IsMessageClassRegistered("TROBinMessage"));
}

TEST(Registries, MessageClassByName) {
  std::unique_ptr<TROMessage> m = CreateMessageByClassName("TROBinMessage");
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->ClassName(), "TROBinMessage");
  EXPECT_EQ(CreateMessageByClassName("TROSoapMessage"), nullptr);
}

TEST(Registries, StructClasses) {
  static const TROClassInfo info = [] {
    TROClassInfo i;
    i.name = "TRegistered";
    return i;
  }();
  EXPECT_EQ(FindROClass("TRegistered"), nullptr);
  RegisterROClass(info);
  EXPECT_EQ(FindROClass("TRegistered"), &info);
  UnregisterROClass("TRegistered");
  EXPECT_EQ(FindROClass("TRegistered"), nullptr);
}

TEST(TypeKinds, Names) {
  EXPECT_STREQ(TypeKindName(TTypeKind::tkChar), "tkChar");
  EXPECT_STREQ(TypeKindName(TTypeKind::tkDynArray), "tkDynArray");
  EXPECT_EQ(TypeInfo_Boolean().OrdSize(), 1);
  EXPECT_EQ(TypeInfo_Word().OrdSize(), 2);
  EXPECT_EQ(TypeInfo_Integer().OrdSize(), 4);
  EXPECT_EQ(&TypeInfo_Integer(), &TypeInfo_Integer());
}

}  // namespace
}  // namespace qorvin
