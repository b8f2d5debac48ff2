#include "tests/contract/Wire.h"

#include <cstring>
#include <stdexcept>

namespace qorvin::test {

std::string WireReader::Raw(size_t count) {
  if (count > Remaining()) throw std::runtime_error("request ends before its values do");
  std::string out(bytes_.substr(pos_, count));
  pos_ += count;
  return out;
}

uint8_t WireReader::U8() {
  return uint8_t(Raw(1)[0]);
}

int32_t WireReader::I32() {
  const std::string b = Raw(4);
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(b[size_t(i)]);
  return int32_t(v);
}

double WireReader::F64() {
  const std::string b = Raw(8);
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | uint8_t(b[size_t(i)]);
  double d;
  std::memcpy(&d, &v, 8);
  return d;
}

std::string WireReader::String() {
  const int32_t n = I32();
  if (n < 0) throw std::runtime_error("negative string count");
  return Raw(size_t(n));
}

std::u16string WireReader::WideString() {
  const int32_t n = I32();
  if (n < 0) throw std::runtime_error("negative wide string count");
  const std::string b = Raw(size_t(n) * 2);
  std::u16string out;
  for (size_t i = 0; i < b.size(); i += 2)
    out.push_back(char16_t(uint8_t(b[i]) | (uint8_t(b[i + 1]) << 8)));
  return out;
}

bool WireReader::Boolean() {
  const int32_t v = I32();
  if (v != 0 && v != 1) throw std::runtime_error("boolean is neither 0 nor 1");
  return v == 1;
}

std::optional<std::string> WireReader::Binary() {
  const uint8_t present = U8();
  if (present == 0) return std::nullopt;
  if (present != 1) throw std::runtime_error("binary presence byte is neither 0 nor 1");
  const int32_t n = I32();
  if (n < 0) throw std::runtime_error("negative binary count");
  return Raw(size_t(n));
}

WireRequest DecodeRequest(std::string_view bytes) {
  WireRequest rq;
  WireReader r(bytes);
  if (r.Raw(5) != "RO107") throw std::runtime_error("request does not start with RO107");
  rq.flags = r.U8();
  rq.kind = r.U8();
  rq.reserved = r.Raw(5);
  rq.clientId = r.Raw(16);
  if (rq.flags != 0) throw std::runtime_error("request body is compressed");
  rq.interfaceName = r.String();
  rq.messageName = r.String();
  rq.values = WireReader(bytes.substr(bytes.size() - r.Remaining()));
  return rq;
}

std::string LE32(int32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[size_t(i)] = char(uint32_t(value) >> (8 * i));
  return out;
}

std::string Counted(std::string_view bytes) {
  return LE32(int32_t(bytes.size())) + std::string(bytes);
}

namespace {

std::string Header(uint8_t kind, const std::string& clientId) {
  std::string h = "RO107";
  h += char(0);
  h += char(kind);
  h += std::string(5, '\0');
  h += clientId;
  return h;
}

}  // namespace

WireReply::WireReply(const std::string& clientId, const std::string& interfaceName,
                     const std::string& messageName)
    : bytes_(Header(0, clientId) + Counted(interfaceName) + Counted(messageName)) {}

WireReply& WireReply::Integer(int32_t value) {
  bytes_ += LE32(value);
  return *this;
}

WireReply& WireReply::Boolean(bool value) {
  return Integer(value ? 1 : 0);
}

WireReply& WireReply::DateTime(double value) {
  uint64_t v;
  std::memcpy(&v, &value, 8);
  for (int i = 0; i < 8; ++i) bytes_ += char(v >> (8 * i));
  return *this;
}

WireReply& WireReply::String(std::string_view value) {
  bytes_ += Counted(value);
  return *this;
}

WireReply& WireReply::Binary(std::optional<std::string_view> value) {
  if (!value) {
    bytes_ += char(0);
    return *this;
  }
  bytes_ += char(1);
  bytes_ += Counted(*value);
  return *this;
}

std::string WireExceptionReply(const std::string& clientId, std::string_view className,
                               std::string_view text) {
  return Header(1, clientId) + Counted(className) + Counted(text);
}

}  // namespace qorvin::test
