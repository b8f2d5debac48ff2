// Which client addresses a listener serves: a list of networks, "CIDR[,CIDR...]", each an IPv4 or
// IPv6 address with an optional prefix length ("10.1.0.0/16", "192.168.5.7", "::1",
// "fd00::/8"); an address without one is that address alone. An empty list serves everyone.
// An IPv4 client reaching an IPv6 socket (an IPv4-mapped address, ::ffff:a.b.c.d) is judged as
// the IPv4 address it is.
//
// The transports ask before they read anything of a client: TCP and HTTP close a refused
// connection at accept, UDP drops a refused datagram unanswered. RefusalLog decides which
// refusals are logged: one line per address per minute at most, so that a scan cannot flood the
// log (every refusal is still counted in the metrics).
//
// Threads: an AllowList is read-only once made; RefusalLog locks.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qorvin::server {

class AllowList {
 public:
  AllowList() = default;
  // std::invalid_argument naming the entry that is not a network.
  static AllowList Parse(const std::string& text);

  bool Empty() const { return networks_.empty(); }
  bool Allows(const boost::asio::ip::address& client) const;
  // The list as given, normalised ("10.1.0.0/16,::1/128"); empty for everyone.
  std::string Text() const;

 private:
  struct Network {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};
    int prefix = 0;  // bits that must match
  };
  std::vector<Network> networks_;
};

class RefusalLog {
 public:
  // True when a refusal of `address` should be logged now (none logged for it within a minute).
  // Remembers at most kMaxAddresses; past that the oldest entries are forgotten.
  bool ShouldLog(const std::string& address, std::chrono::steady_clock::time_point now);

  static constexpr size_t kMaxAddresses = 4096;

 private:
  std::mutex mutex_;
  std::map<std::string, std::chrono::steady_clock::time_point> last_;
};

}  // namespace qorvin::server
