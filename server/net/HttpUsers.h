// The users of the HTTP transport: HTTP Basic credentials checked against a users file.
//
// File (--users FILE), one user per line, blank lines and lines starting with '#' skipped:
//
//   NAME:HASH[:RIGHTS]
//
//   NAME    1..64 characters, none of ':', blanks or control characters
//   HASH    a crypt(3) hash made by libxcrypt ("$y$..." yescrypt, salted and slow), as
//           `qorvin-server passwd FILE NAME` writes it; never a password
//   RIGHTS  what the user's requests may do, comma-separated (none: the server's own database
//           account, no ControlService changes):
//             role=ROLE   PostgreSQL: the user's statements run as ROLE (SET ROLE), so its
//                         GRANTs decide what they read and change; 1..63 characters, none of
//                         ',', ':', blanks or control characters
//             read-only   statements that would write are refused (SQLite: before they run;
//                         PostgreSQL: transactions are read-only by default)
//             admin       the ControlService operations that change the server are allowed
//
//   e.g.  alice:$y$j9T$...:role=reporting,read-only
//         ops:$y$j9T$...:admin
//
// Check takes the value of an Authorization header and gives the user's name when it is
// "Basic " and base64 of NAME:PASSWORD for a user of the file whose hash the password matches.
// It costs one crypt(3) run (tens of milliseconds by design): callers run it off their I/O
// threads and remember a header once it was accepted. An unknown user costs the same as a wrong
// password, so the time of an answer tells nothing about which names exist. No password is ever
// kept, logged or put in an error text.
//
// FailureThrottle slows down an address that keeps failing: after kFreeFailures failures within
// a minute, each further refusal waits twice as long as the one before (from 250 ms up to 8 s).
//
// Threads: a UserDirectory is read-only once loaded (shared between threads); the throttle locks.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qorvin::server {

struct HttpUser {
  std::string name;
  std::string hash;
  std::string role;  // empty: none (the server's own account)
  bool readOnly = false;
  bool admin = false;
};

class UserDirectory {
 public:
  // std::runtime_error with the file's name and line (or the system's reason) when it cannot be
  // read or a line is not a user.
  static std::shared_ptr<const UserDirectory> Load(const std::string& path);
  // From the file's text (for tests); `where` names it in errors.
  static std::shared_ptr<const UserDirectory> Parse(const std::string& text,
                                                    const std::string& where);

  // The user's name, or empty when the header does not carry a known user's right password.
  std::string Check(std::string_view authorization) const;
  const HttpUser* Find(const std::string& name) const;
  size_t Count() const { return users_.size(); }

  // A new crypt(3) hash of `password` (yescrypt, a fresh salt). std::runtime_error when
  // libxcrypt cannot make one.
  static std::string Hash(const std::string& password);
  // Writes `user`'s entry with a hash of `password` into the file at `path` (made when absent,
  // mode 0640), replacing the user's earlier entry (its rights kept) and keeping every other
  // line; written to a temporary file beside it, then renamed over it.
  static void SetPassword(const std::string& path, const std::string& user,
                          const std::string& password);
  // Why `name` cannot be a user name; empty when it can.
  static std::string NameProblem(const std::string& name);

 private:
  std::map<std::string, HttpUser> users_;
};

// The "user:password" inside a Basic Authorization value; false (both emptied) when it is not
// one.
bool DecodeBasicCredentials(std::string_view authorization, std::string& user,
                            std::string& password);

class FailureThrottle {
 public:
  static constexpr int kFreeFailures = 5;
  // Notes a failure of `address` now and returns how long its refusal should wait.
  std::chrono::milliseconds Failed(const std::string& address,
                                   std::chrono::steady_clock::time_point now);
  // A success clears the address's count.
  void Succeeded(const std::string& address);

 private:
  struct Entry {
    std::chrono::steady_clock::time_point first;
    int failures = 0;
  };
  static constexpr size_t kMaxAddresses = 4096;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace qorvin::server
