// Test doubles for the binary message tests: a web transport that records its HTTP attributes,
// a plain transport, and a memory stream that counts its destructions.
#pragma once

#include <map>
#include <string>

#include "messaging/uROBinMessage.h"
#include "messaging/uROClientIntf.h"
#include "platform/rtl/Stream.h"

namespace qorvin::test {

class FakeWebTransport : public IROTransport, public IROWebTransport {
 public:
  void* GetTransportInstance() override { return this; }
  IROWebTransport* AsWebTransport() override { return this; }
  void SetHeaders(const std::string& name, const std::string& value) override {
    headers[name] = value;
  }
  std::string GetHeaders(const std::string& name) override { return headers[name]; }
  std::string GetTransportName() override { return "HTTP"; }
  void SetUserAgent(const std::string& agent) override { userAgent = agent; }
  std::string GetUserAgent() override { return userAgent; }

  std::map<std::string, std::string> headers;
  std::string userAgent;
};

class FakePlainTransport : public IROTransport {
 public:
  void* GetTransportInstance() override { return this; }
};

// Counts how often streams of this class were destroyed.
class CountedStream : public TMemoryStream {
 public:
  explicit CountedStream(int& destroyed) : destroyed_(destroyed) {}
  ~CountedStream() override { ++destroyed_; }

 private:
  int& destroyed_;
};

inline std::unique_ptr<CountedStream> CountedCopy(std::string_view bytes, int& destroyed) {
  auto s = std::make_unique<CountedStream>(destroyed);
  s->WriteBytes(bytes);
  s->SetPosition(0);
  return s;
}

// Header bytes: "RO107", flags, kind, 5 zero bytes, the client id.
inline std::string Header(uint8_t flags, uint8_t kind, const TGUID& id) {
  std::string h = "RO107";
  h.push_back(char(flags));
  h.push_back(char(kind));
  h.append(5, '\0');
  const auto bytes = id.ToBytes();
  h.append(reinterpret_cast<const char*>(bytes.data()), 16);
  return h;
}

inline std::string Counted(std::string_view text) {
  std::string out(4, '\0');
  const uint32_t n = uint32_t(text.size());
  for (int i = 0; i < 4; ++i) out[size_t(i)] = char(n >> (8 * i));
  out.append(text);
  return out;
}

}  // namespace qorvin::test
