#include "server/net/HttpUsers.h"

#include <crypt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qorvin::server {

namespace {

constexpr size_t kMaxName = 64;
constexpr size_t kMaxHeader = 4096;  // an Authorization value longer than this is no user's

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64 (RFC 4648, with padding): false for anything else.
bool DecodeBase64(std::string_view text, std::string& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + size_t(k)];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // data after padding
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const uint32_t n =
        uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
    out += char(n >> 16);
    if (pad < 2) out += char(n >> 8);
    if (pad < 1) out += char(n);
  }
  return true;
}

// One crypt(3) run; empty on failure.
std::string Crypt(const std::string& password, const std::string& setting) {
  crypt_data data{};
  const char* hashed = crypt_r(password.c_str(), setting.c_str(), &data);
  if (hashed == nullptr || hashed[0] == '*') return {};
  return hashed;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// A hash of no password, for unknown users (the same work as a real check).
const std::string& DummyHash() {
  static const std::string hash = UserDirectory::Hash("\x01 no user has this password");
  return hash;
}

}  // namespace

bool DecodeBasicCredentials(std::string_view authorization, std::string& user,
                            std::string& password) {
  user.clear();
  password.clear();
  if (authorization.size() > kMaxHeader) return false;
  // The scheme's name is case-insensitive; one or more blanks follow it.
  if (authorization.size() < 6) return false;
  std::string scheme(authorization.substr(0, 5));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  if (scheme != "basic" || authorization[5] != ' ') return false;
  std::string_view rest = authorization.substr(6);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  std::string decoded;
  if (!DecodeBase64(rest, decoded)) return false;
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  user = decoded.substr(0, colon);
  password = decoded.substr(colon + 1);
  return true;
}

// The RIGHTS field into `user`; why it is not one (empty: it is).
static std::string ParseRights(const std::string& field, HttpUser& user) {
  if (field.empty()) return "the field after the hash is empty (leave out the ':' then)";
  size_t start = 0;
  for (;;) {
    const size_t comma = field.find(',', start);
    const std::string item =
        field.substr(start, comma == std::string::npos ? comma : comma - start);
    if (item == "read-only") {
      user.readOnly = true;
    } else if (item == "admin") {
      user.admin = true;
    } else if (item.rfind("role=", 0) == 0) {
      const std::string role = item.substr(5);
      if (role.empty() || role.size() > 63) return "a role has 1 to 63 characters";
      for (const char c : role)
        if (c == ':' || static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
          return "a role cannot hold ':', blanks or control characters";
      if (!user.role.empty()) return "role= is given twice";
      user.role = role;
    } else {
      return "\"" + item.substr(0, 40) + "\" is none of role=ROLE, read-only, admin";
    }
    if (comma == std::string::npos) return {};
    start = comma + 1;
  }
}

std::string UserDirectory::NameProblem(const std::string& name) {
  if (name.empty()) return "a user name cannot be empty";
  if (name.size() > kMaxName) return "a user name has at most 64 characters";
  for (const char c : name)
    if (c == ':' || static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
      return "a user name cannot hold ':', blanks or control characters";
  return {};
}

std::shared_ptr<const UserDirectory> UserDirectory::Parse(const std::string& text,
                                                          const std::string& where) {
  auto directory = std::make_shared<UserDirectory>();
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string at = where + ":" + std::to_string(number) + ": ";
    if (line.empty() || line[0] == '#') continue;
    const size_t first = line.find(':');
    if (first == std::string::npos) throw std::runtime_error(at + "expected NAME:HASH[:OPTIONS]");
    HttpUser user;
    user.name = line.substr(0, first);
    const size_t second = line.find(':', first + 1);
    user.hash = line.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    const std::string problem = NameProblem(user.name);
    if (!problem.empty()) throw std::runtime_error(at + problem);
    if (user.hash.size() < 3 || user.hash[0] != '$')
      throw std::runtime_error(at + "the hash of " + user.name +
                               " is not a crypt(3) hash (write it with qorvin-server passwd)");
    if (second != std::string::npos) {
      const std::string problem = ParseRights(line.substr(second + 1), user);
      if (!problem.empty())
        throw std::runtime_error(at + "the rights of " + user.name + ": " + problem);
    }
    if (directory->users_.count(user.name) != 0)
      throw std::runtime_error(at + user.name + " is named twice");
    const std::string name = user.name;
    directory->users_.emplace(name, std::move(user));
  }
  return directory;
}

std::shared_ptr<const UserDirectory> UserDirectory::Load(const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("Cannot read the users file " + path + ": " +
                             (errno != 0 ? std::strerror(errno) : "unknown reason"));
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str(), path);
}

const HttpUser* UserDirectory::Find(const std::string& name) const {
  auto it = users_.find(name);
  return it == users_.end() ? nullptr : &it->second;
}

std::string UserDirectory::Check(std::string_view authorization) const {
  std::string name, password;
  if (!DecodeBasicCredentials(authorization, name, password)) return {};
  const HttpUser* user = Find(name);
  const std::string& hash = user != nullptr ? user->hash : DummyHash();
  const std::string computed = Crypt(password, hash);
  if (user == nullptr || computed.empty() || !SameText(computed, hash)) return {};
  return name;
}

std::string UserDirectory::Hash(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, int(sizeof setting)) == nullptr)
    throw std::runtime_error(std::string("Cannot make a password salt: ") + std::strerror(errno));
  const std::string hash = Crypt(password, setting);
  if (hash.empty()) throw std::runtime_error("Cannot hash the password");
  return hash;
}

void UserDirectory::SetPassword(const std::string& path, const std::string& user,
                                const std::string& password) {
  const std::string problem = NameProblem(user);
  if (!problem.empty()) throw std::runtime_error(problem);
  std::vector<std::string> lines;
  std::string kept;  // ":RIGHTS" of the user's earlier entry
  {
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(user + ":", 0) != 0) {
        lines.push_back(line);
        continue;
      }
      // The user's rights (the field after the hash) stay as they were.
      const size_t rights = line.find(':', user.size() + 1);
      if (rights != std::string::npos) {
        kept = line.substr(rights);
        if (!kept.empty() && kept.back() == '\r') kept.pop_back();
      }
    }
  }
  lines.push_back(user + ":" + Hash(password) + kept);
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("Cannot write " + temporary + ": " + std::strerror(errno));
    ::chmod(temporary.c_str(), 0640);
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (!out) throw std::runtime_error("Cannot write " + temporary + ": " + std::strerror(errno));
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) throw std::runtime_error("Cannot replace " + path + ": " + ec.message());
}

std::chrono::milliseconds FailureThrottle::Failed(const std::string& address,
                                                  std::chrono::steady_clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= kMaxAddresses && entries_.count(address) == 0) {
    for (auto i = entries_.begin(); i != entries_.end();)
      i = now - i->second.first >= std::chrono::minutes(1) ? entries_.erase(i) : std::next(i);
    if (entries_.size() >= kMaxAddresses) entries_.erase(entries_.begin());
  }
  Entry& e = entries_[address];
  if (e.failures == 0 || now - e.first >= std::chrono::minutes(1)) {
    e.first = now;
    e.failures = 0;
  }
  ++e.failures;
  if (e.failures <= kFreeFailures) return std::chrono::milliseconds(0);
  const int doublings = std::min(e.failures - kFreeFailures - 1, 5);
  return std::chrono::milliseconds(250 << doublings);
}

void FailureThrottle::Succeeded(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(address);
}

}  // namespace qorvin::server
