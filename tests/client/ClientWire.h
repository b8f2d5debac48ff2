// Hand-written reading of requests and building of replies for the scripted servers of the
// client tests: little-endian reads on a bounded view, independent of the library's serializer.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace qorvin::testing {

// A request as it arrived: header fields, names, and a cursor over the parameter values.
class WireReader {
 public:
  explicit WireReader(std::string bytes) : b_(std::move(bytes)) {
    if (b_.size() < 28 || b_.compare(0, 5, "RO107") != 0) throw std::runtime_error("not RO107");
    clientId_ = b_.substr(12, 16);
    pos_ = 28;
    interfaceName_ = Str();
    messageName_ = Str();
  }
  const std::string& InterfaceName() const { return interfaceName_; }
  const std::string& MessageName() const { return messageName_; }
  const std::string& ClientId() const { return clientId_; }
  bool AtEnd() const { return pos_ == b_.size(); }

  int32_t Int() {
    Need(4);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(b_[pos_ + size_t(i)])) << (8 * i);
    pos_ += 4;
    return int32_t(v);
  }
  std::string Str() {
    const int32_t n = Int();
    if (n <= 0) return {};
    Need(size_t(n));
    std::string s = b_.substr(pos_, size_t(n));
    pos_ += size_t(n);
    return s;
  }
  // A wide string, returned as its UTF-16LE bytes narrowed when ASCII (tests send ASCII).
  std::string WideAscii() {
    const int32_t n = Int();
    std::string s;
    for (int32_t i = 0; i < n; ++i) {
      Need(2);
      s += b_[pos_];
      pos_ += 2;
    }
    return s;
  }
  // A binary value: present flag, then count and bytes. `present` reports the flag.
  std::string Binary(bool* present = nullptr) {
    Need(1);
    const bool p = b_[pos_++] != 0;
    if (present) *present = p;
    if (!p) return {};
    const int32_t n = Int();
    Need(size_t(n));
    std::string s = b_.substr(pos_, size_t(n));
    pos_ += size_t(n);
    return s;
  }

 private:
  void Need(size_t n) const {
    if (b_.size() - pos_ < n) throw std::runtime_error("request cut short");
  }
  std::string b_;
  size_t pos_ = 0;
  std::string clientId_, interfaceName_, messageName_;
};

// Builds a reply message (kind 0) or an exception reply (kind 1).
class WireWriter {
 public:
  explicit WireWriter(uint8_t kind = 0, const std::string& clientId = std::string(16, '\x5A')) {
    b_ = "RO107";
    b_ += '\0';
    b_ += char(kind);
    b_ += std::string(5, '\0');
    b_ += clientId;
  }
  WireWriter& Int(int32_t v) {
    for (int i = 0; i < 4; ++i) b_ += char(uint32_t(v) >> (8 * i));
    return *this;
  }
  WireWriter& Str(const std::string& s) {
    Int(int32_t(s.size()));
    b_ += s;
    return *this;
  }
  WireWriter& Double(double d) {
    uint64_t u;
    static_assert(sizeof u == sizeof d);
    std::memcpy(&u, &d, 8);
    for (int i = 0; i < 8; ++i) b_ += char(u >> (8 * i));
    return *this;
  }
  WireWriter& Binary(const std::string* bytes) {
    if (bytes == nullptr) {
      b_ += '\0';
      return *this;
    }
    b_ += '\x01';
    Int(int32_t(bytes->size()));
    b_ += *bytes;
    return *this;
  }
  const std::string& Bytes() const { return b_; }

 private:
  std::string b_;
};

// A normal reply: names chosen by the server, then values added by the caller.
inline WireWriter Reply(const std::string& interfaceName = "ExecSqlService",
                        const std::string& messageName = "Response") {
  WireWriter w;
  w.Str(interfaceName).Str(messageName);
  return w;
}

inline std::string ExceptionReply(const std::string& className, const std::string& text) {
  WireWriter w(1);
  w.Str(className).Str(text);
  return w.Bytes();
}

}  // namespace qorvin::testing
