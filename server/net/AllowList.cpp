#include "server/net/AllowList.h"

#include <stdexcept>

namespace qorvin::server {

namespace {

using boost::asio::ip::address;

// The address as 16 bytes and its family; an IPv4-mapped IPv6 address becomes its IPv4 address.
void BytesOf(const address& a, bool& v6, std::array<uint8_t, 16>& bytes) {
  bytes = {};
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    const auto v4 = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6());
    const auto b = v4.to_bytes();
    std::copy(b.begin(), b.end(), bytes.begin());
    v6 = false;
  } else if (a.is_v4()) {
    const auto b = a.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), bytes.begin());
    v6 = false;
  } else {
    bytes = a.to_v6().to_bytes();
    v6 = true;
  }
}

bool Matches(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b, int prefix) {
  int i = 0;
  for (; prefix >= 8; prefix -= 8, ++i)
    if (a[size_t(i)] != b[size_t(i)]) return false;
  if (prefix == 0) return true;
  const uint8_t mask = uint8_t(0xFF << (8 - prefix));
  return (a[size_t(i)] & mask) == (b[size_t(i)] & mask);
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

AllowList AllowList::Parse(const std::string& text) {
  AllowList list;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string entry =
        Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    if (entry.empty()) {
      if (text.find_first_not_of(" \t,") == std::string::npos) continue;  // "" or only commas
      throw std::invalid_argument("an empty entry in the allow list \"" + text + "\"");
    }
    const size_t slash = entry.find('/');
    boost::system::error_code ec;
    const address a = boost::asio::ip::make_address(entry.substr(0, slash), ec);
    if (ec) throw std::invalid_argument("\"" + entry + "\" is not an IP address or network");
    Network n;
    BytesOf(a, n.v6, n.bytes);
    const int bits = n.v6 ? 128 : 32;
    n.prefix = bits;
    if (slash != std::string::npos) {
      const std::string length = entry.substr(slash + 1);
      size_t used = 0;
      int p = -1;
      try {
        p = std::stoi(length, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (length.empty() || used != length.size() || p < 0 || p > bits)
        throw std::invalid_argument("\"" + entry + "\": the prefix length must lie between 0 and " +
                                    std::to_string(bits));
      n.prefix = p;
    }
    list.networks_.push_back(n);
  }
  return list;
}

bool AllowList::Allows(const address& client) const {
  if (networks_.empty()) return true;
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};
  BytesOf(client, v6, bytes);
  for (const Network& n : networks_)
    if (n.v6 == v6 && Matches(n.bytes, bytes, n.prefix)) return true;
  return false;
}

std::string AllowList::Text() const {
  std::string out;
  for (const Network& n : networks_) {
    if (!out.empty()) out += ',';
    if (n.v6) {
      out += boost::asio::ip::make_address_v6(n.bytes).to_string();
    } else {
      boost::asio::ip::address_v4::bytes_type b{n.bytes[0], n.bytes[1], n.bytes[2], n.bytes[3]};
      out += boost::asio::ip::make_address_v4(b).to_string();
    }
    out += "/" + std::to_string(n.prefix);
  }
  return out;
}

bool RefusalLog::ShouldLog(const std::string& address, std::chrono::steady_clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = last_.find(address);
  if (it != last_.end()) {
    if (now - it->second < std::chrono::minutes(1)) return false;
    it->second = now;
    return true;
  }
  if (last_.size() >= kMaxAddresses) {
    // Forget those logged longest ago (a minute or more: they would be logged again anyway).
    for (auto i = last_.begin(); i != last_.end();)
      i = now - i->second >= std::chrono::minutes(1) ? last_.erase(i) : std::next(i);
    if (last_.size() >= kMaxAddresses) last_.erase(last_.begin());
  }
  last_.emplace(address, now);
  return true;
}

}  // namespace qorvin::server
