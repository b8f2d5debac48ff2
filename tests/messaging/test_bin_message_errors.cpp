// Failures of the binary message: invalid headers, name limits, truncated and corrupt bodies,
// server exception replies, and that a received stream is freed exactly once on every path.
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

// Reads `bytes` in the taking form; returns the text of the exception of type E.
template <typename E>
std::string ReadFailure(TROBinMessage& m, std::string_view bytes) {
  int destroyed = 0;
  try {
    m.ReadFromStream(test::CountedCopy(bytes, destroyed));
  } catch (const E& e) {
    EXPECT_EQ(destroyed, 1) << "the received stream must be freed exactly once";
    EXPECT_EQ(m.Body(), nullptr);
    return e.Message();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
    return {};
  }
  ADD_FAILURE() << "no exception";
  return {};
}

std::string ExceptionReply(const std::string& className, const std::string& text) {
  return Header(0, 1, kServerId) + Counted(className) + Counted(text);
}

TEST(BinMessageErrors, ShortHeader) {
  TROBinMessage m;
  EXPECT_EQ(ReadFailure<EReadError>(m, std::string(20, 'R')), "Stream read error");
  EXPECT_EQ(ReadFailure<EReadError>(m, ""), "Stream read error");
}

TEST(BinMessageErrors, EncryptingPeer) {
  TROBinMessage m;
  const std::string bytes = "roroc" + std::string(23, '\x01');
  EXPECT_EQ(ReadFailure<EROInvalidStream>(m, bytes),
            "Invalid binary header. It seems that encryption is active on the other side of the "
            "communication, but not locally?\r\rroroc" +
                std::string(23, '.'));
}

TEST(BinMessageErrors, NotABinaryMessageShowsTheFirst500Bytes) {
  std::string page = "<html>\r\n<body>\tError\x7f\x80\xff";
  while (page.size() < 700) page += "0123456789";
  std::string shown = page.substr(0, 500);
  for (char& c : shown) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b != 13 && (b < 32 || b > 127)) c = '.';
  }
  ASSERT_EQ(shown.substr(0, 21), "<html>\r.<body>.Error\x7f");
  TROBinMessage m;
  EXPECT_EQ(ReadFailure<EROInvalidStream>(m, page),
            "Invalid binary header. Either incompatible or not a binary message.\r\r" + shown);
  // A short page is shown whole.
  const std::string small = "HTTP/1.1 500 Internal Server Error";
  EXPECT_EQ(ReadFailure<EROInvalidStream>(m, small),
            "Invalid binary header. Either incompatible or not a binary message.\r\r" + small);
}

TEST(BinMessageErrors, NameLengthLimits) {
  TROBinMessage m;
  const std::string name256(256, 'n');
  int destroyed = 0;
  m.ReadFromStream(
      test::CountedCopy(Header(0, 0, kServerId) + Counted(name256) + Counted("M"), destroyed));
  EXPECT_EQ(m.GetInterfaceName(), name256);
  m.ReleaseBody();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(
      ReadFailure<EROException>(m, Header(0, 0, kServerId) + Counted(name256 + "n") + Counted("M")),
      "Stream read error: Invalid string length \"257\"");
  EXPECT_EQ(
      ReadFailure<EROException>(m, Header(0, 0, kServerId) + Counted("I") + Hex("FF FF FF 7F")),
      "Stream read error: Invalid string length \"2147483647\"");
  EXPECT_EQ(ReadFailure<EROException>(m, ExceptionReply(name256 + "x", "t")),
            "Stream read error: Invalid string length \"257\"");
  EXPECT_EQ(ReadFailure<EROException>(m, ExceptionReply("EX", std::string(65537, 't'))),
            "Stream read error: Invalid string length \"65537\"");
  // A negative length reads as an empty name.
  m.ReadFromStream(
      test::CountedCopy(Header(0, 0, kServerId) + Hex("FF FF FF FF") + Counted("M"), destroyed));
  EXPECT_EQ(m.GetInterfaceName(), "");
  EXPECT_EQ(m.GetMessageName(), "M");
}

TEST(BinMessageErrors, NamesCutShort) {
  TROBinMessage m;
  EXPECT_EQ(ReadFailure<EROException>(m, Header(0, 0, kServerId) + Hex("05 00")),
            "Unexpected end of stream.");
  EXPECT_EQ(ReadFailure<EROException>(m, Header(0, 0, kServerId) + Counted("I") + Hex("05 00 00")),
            "Unexpected end of stream.");
  EXPECT_EQ(ReadFailure<EROException>(m, Header(0, 0, kServerId) + Hex("05 00 00 00 41 42")),
            "Unexpected end of stream.");
  EXPECT_EQ(ReadFailure<EROException>(m, Header(0, 0, kServerId)), "Unexpected end of stream.");
}

TEST(BinMessageErrors, CorruptAndTruncatedCompressedBodies) {
  TROBinMessage server;
  server.MinSizeForCompression = 1;
  server.InitializeResponse(nullptr, "L", "I", "M");
  const std::string text(3000, 'c');
  server.WriteMessageParameter("Result", TypeInfo_String(), &text, 0);
  TMemoryStream out;
  server.WriteToStream(out);
  const std::string reply = test::Bytes(out);
  ASSERT_EQ(reply[5], 1);

  TROBinMessage m;
  std::string corrupt = reply;
  corrupt[30] = char(corrupt[30] ^ 0x55);
  EXPECT_FALSE(ReadFailure<EZCompressionError>(m, corrupt).empty());
  EXPECT_FALSE(ReadFailure<EZCompressionError>(m, reply.substr(0, reply.size() - 5)).empty());
  EXPECT_FALSE(ReadFailure<EZCompressionError>(m, Header(1, 0, kServerId) + "garbage").empty());
  EXPECT_FALSE(ReadFailure<EZCompressionError>(m, Header(1, 0, kServerId)).empty());
}

TEST(BinMessageErrors, InflatedSizeIsBounded) {
  // 8 MB of zeros deflate to a few kilobytes; a reader bounded at 1 MB refuses them.
  TMemoryStream zeros, packed;
  zeros.SetSize(8 << 20);
  ZCompress(zeros, -1, packed, -1);
  ASSERT_LT(packed.Size(), 64 << 10);
  TROBinMessage m;
  m.MaxDecompressedSize = 1 << 20;
  EXPECT_FALSE(
      ReadFailure<EZCompressionError>(m, Header(1, 0, kServerId) + test::Bytes(packed)).empty());
}

// Every proper prefix of a valid message fails with a clear error and frees the stream once.
TEST(BinMessageErrors, EveryPrefixOfAValidMessageFailsCleanly) {
  for (bool compressed : {false, true}) {
    TROBinMessage server;
    server.MinSizeForCompression = compressed ? 1 : 1 << 30;
    server.InitializeResponse(nullptr, "L", "ExecSqlService", "SynchReadData");
    const int32_t result = 1;
    auto blob = std::make_unique<TROBinaryMemoryStream>("blob-bytes");
    server.WriteMessageParameter("Result", TypeInfo_Integer(), &result, 0);
    server.WriteMessageParameter("aOutData", TypeInfo_Binary(), &blob, 0);
    TMemoryStream out;
    server.WriteToStream(out);
    const std::string reply = test::Bytes(out);
    for (size_t n = 0; n < reply.size(); ++n) {
      TROBinMessage m;
      int destroyed = 0;
      bool failed = false;
      try {
        m.ReadFromStream(test::CountedCopy(reply.substr(0, n), destroyed));
        int32_t r = 0;
        std::unique_ptr<TROBinaryMemoryStream> data;
        m.ReadMessageParameter("Result", TypeInfo_Integer(), &r, 0);
        m.ReadMessageParameter("aOutData", TypeInfo_Binary(), &data, 0);
      } catch (const Exception&) {
        failed = true;
      }
      EXPECT_TRUE(failed) << "prefix " << n << (compressed ? " (compressed)" : "");
      m.ReleaseBody();
      EXPECT_EQ(destroyed, 1) << "prefix " << n;
    }
    // The whole reply reads.
    TROBinMessage m;
    int destroyed = 0;
    m.ReadFromStream(test::CountedCopy(reply, destroyed));
    std::unique_ptr<TROBinaryMemoryStream> data;
    int32_t r = 0;
    m.ReadMessageParameter("Result", TypeInfo_Integer(), &r, 0);
    m.ReadMessageParameter("aOutData", TypeInfo_Binary(), &data, 0);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(data->ToString(), "blob-bytes");
    // A compressed reply's stream is freed once inflated; a plain one becomes the body.
    EXPECT_EQ(destroyed, compressed ? 1 : 0);
    m.ReleaseBody();
    EXPECT_EQ(destroyed, 1);
  }
}

TEST(BinMessageErrors, UnknownServerExceptionClass) {
  TROBinMessage m;
  try {
    int destroyed = 0;
    m.ReadFromStream(test::CountedCopy(ExceptionReply("EDatabaseError", "no table"), destroyed));
    ADD_FAILURE();
  } catch (const EROUnregisteredServerException& e) {
    EXPECT_STREQ(e.what(), "An exception was raised on the server: no table");
  }
  EXPECT_EQ(m.Body(), nullptr);
  m.AddServerExceptionPrefix = false;
  EXPECT_EQ(
      ReadFailure<EROUnregisteredServerException>(m, ExceptionReply("EDatabaseError", "no table")),
      "no table");
}

TEST(BinMessageErrors, RegisteredClassesAreFoundWithoutCase) {
  TROBinMessage m;
  EXPECT_EQ(ReadFailure<EROSessionNotFound>(m, ExceptionReply("erosessionnotfound", "gone")),
            "An exception was raised on the server: gone");
  // The exact class is rebuilt, not just a parent.
  try {
    int destroyed = 0;
    m.ReadFromStream(test::CountedCopy(ExceptionReply("SessionNotFoundException", "s"), destroyed));
    ADD_FAILURE();
  } catch (const EROSessionNotFound& e) {
    EXPECT_STREQ(e.ClassName(), "SessionNotFoundException");
  }
  for (const char* name : {"EROUnknownType", "EROMessageTooLarge", "EROSessionExpired",
                           "SessionDoesNotHaveRequiredRolesException"}) {
    try {
      int destroyed = 0;
      m.ReadFromStream(test::CountedCopy(ExceptionReply(name, "t"), destroyed));
      ADD_FAILURE();
    } catch (const EROException& e) {
      EXPECT_STREQ(e.ClassName(), name);
    }
  }
  // The server's text travels as raw ANSI bytes, any byte included.
  m.AddServerExceptionPrefix = false;
  EXPECT_EQ(ReadFailure<EROMessageTooLarge>(
                m, ExceptionReply("EROMessageTooLarge", std::string("a\0\xe9", 3))),
            std::string("a\0\xe9", 3));
}

TEST(BinMessageErrors, OnServerExceptionMayKeepTheException) {
  TROBinMessage m;
  std::unique_ptr<EROException> kept;
  m.OnServerException = [&](std::unique_ptr<EROException>& e, bool& raise) {
    EXPECT_TRUE(raise);
    raise = false;
    kept = std::move(e);
  };
  int destroyed = 0;
  m.ReadFromStream(test::CountedCopy(ExceptionReply("EROSessionExpired", "late"), destroyed));
  ASSERT_TRUE(kept);
  EXPECT_STREQ(kept->ClassName(), "EROSessionExpired");
  EXPECT_STREQ(kept->what(), "An exception was raised on the server: late");
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(m.Body(), nullptr);

  // Leaving RaiseException set raises as usual.
  m.OnServerException = [](std::unique_ptr<EROException>&, bool&) {};
  EXPECT_EQ(ReadFailure<EROSessionExpired>(m, ExceptionReply("EROSessionExpired", "x")),
            "An exception was raised on the server: x");
}

TEST(BinMessageErrors, WriteExceptionRoundTrip) {
  TROBinMessage server;
  server.UseCompression = false;
  TMemoryStream out;
  server.WriteException(out, EROSessionNotFound("who are you"));
  const std::string bytes = test::Bytes(out);
  EXPECT_EQ(bytes.substr(0, 7), Hex("52 4F 31 30 37 00 01"));
  EXPECT_EQ(bytes.substr(28), Counted("EROSessionNotFound") + Counted("who are you"));

  TROBinMessage client;
  EXPECT_EQ(ReadFailure<EROSessionNotFound>(client, bytes),
            "An exception was raised on the server: who are you");
  // Exceptions of other families travel under their class name too.
  TMemoryStream out2;
  server.WriteException(out2, EConvertError("bad"));
  EXPECT_EQ(test::Bytes(out2).substr(28), Counted("EConvertError") + Counted("bad"));
  EXPECT_EQ(ReadFailure<EROUnregisteredServerException>(client, test::Bytes(out2)),
            "An exception was raised on the server: bad");
}

TEST(BinMessageErrors, NullStreamIsRefused) {
  TROBinMessage m;
  EXPECT_THROW(m.ReadFromStream(std::unique_ptr<TStream>()), EROException);
}

}  // namespace
}  // namespace qorvin
