// Building requests and reading replies of the three services with the messaging layer, for
// tests: a request is a TROBinMessage written by the test; a reply is read back either as values
// or, when it is an exception reply, as the class name and text the server wrote.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "messaging/uROBinMessage.h"
#include "messaging/uROBinaryHelpers.h"
#include "platform/rtl/Guid.h"
#include "platform/rtl/Text.h"

namespace qorvin::server::testing {

// The request bytes of `service.operation`, its values written by `write`.
inline std::string Request(const std::string& service, const std::string& operation,
                           const std::function<void(TROBinMessage&)>& write = {},
                           const TGUID& client = TGUID::New()) {
  TROBinMessage m;
  m.UseCompression = false;
  m.SetClientID(client);
  m.InitializeRequest(nullptr, "VelmarLib", service, operation);
  if (write) write(m);
  m.FinalizeMessage();
  TMemoryStream out;
  m.WriteToStream(out);
  return std::string(out.View());
}

// The common first values of ExecSqlService operations plus one command.
inline std::function<void(TROBinMessage&)> UserAndSql(const std::string& sql,
                                                      const char* sqlName = "aSqlCommand") {
  return [sql, sqlName](TROBinMessage& m) {
    m.WriteString("aUserId", "u1");
    m.WriteString("aHDHSerialNumber", "");
    m.WriteWideString(sqlName, Utf8ToUtf16(sql));
  };
}

struct Reply {
  bool exception = false;
  bool compressed = false;
  std::string errorClass;  // exception replies: the class name the server wrote
  std::string errorText;   // and its text
  TGUID clientId;
  std::unique_ptr<TROBinMessage> message;  // value replies, positioned at the first value

  int32_t Integer(const char* name = "Result") {
    int32_t v = 0;
    message->ReadInteger(name, TOrdType::otSLong, &v);
    return v;
  }
  bool Boolean(const char* name = "Result") {
    bool v = false;
    message->ReadEnumerated(name, TypeInfo_Boolean(), &v);
    return v;
  }
  double DateTime(const char* name = "Result") {
    double v = 0;
    message->ReadDateTime(name, v);
    return v;
  }
  std::string Ansi(const char* name) {
    std::string v;
    message->ReadString(name, v);
    return AnsiToUtf8(v);
  }
  std::unique_ptr<TROBinaryMemoryStream> Binary(const char* name) {
    std::unique_ptr<TROBinaryMemoryStream> v;
    message->ReadBinary(name, v);
    return v;
  }
};

inline std::string LengthPrefixed(const std::string& bytes, size_t& pos) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= uint32_t(uint8_t(bytes.at(pos + size_t(i)))) << (8 * i);
  pos += 4;
  std::string s = bytes.substr(pos, n);
  pos += n;
  return s;
}

inline Reply ReadReply(const std::string& bytes) {
  Reply r;
  if (bytes.size() < 28) throw std::runtime_error("reply shorter than a header");
  r.compressed = (uint8_t(bytes[5]) & 1) != 0;
  r.clientId = TGUID::FromBytes(reinterpret_cast<const uint8_t*>(bytes.data() + 12));
  if (bytes[6] == 1 && !r.compressed) {
    size_t pos = 28;
    r.exception = true;
    r.errorClass = LengthPrefixed(bytes, pos);
    r.errorText = LengthPrefixed(bytes, pos);
    return r;
  }
  r.message = std::make_unique<TROBinMessage>();
  TMemoryStream in;
  in.WriteBytes(bytes);
  in.SetPosition(0);
  r.message->ReadFromStream(in);
  return r;
}

}  // namespace qorvin::server::testing
