// libFuzzer entry for the HTTP users: the first byte picks what the rest is (even: the value of
// an Authorization header, checked against a small users file; odd: a users file). A header
// decodes to no more bytes than it holds and is accepted only with the right password; a users
// file either loads or fails with std::runtime_error. Anything else (a crash, a sanitizer
// report, another exception) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "server/net/HttpUsers.h"

using namespace qorvin::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    std::string user, password;
    if (DecodeBasicCredentials(text, user, password) && user.size() + password.size() > text.size())
      std::abort();
    // The hash of "secret" for "u", made once (crypt(3) is slow by design: only inputs that
    // decode to user u are checked against it).
    static const std::shared_ptr<const UserDirectory> users =
        UserDirectory::Parse("u:" + UserDirectory::Hash("secret") + "\n", "fuzz");
    if (user == "u" && (users->Check(text) == "u") != (password == "secret")) std::abort();
    return 0;
  }
  try {
    const auto users = UserDirectory::Parse(text, "fuzz");
    if (users->Count() > text.size()) std::abort();
  } catch (const std::runtime_error&) {
    // Not a users file: the expected outcome for most inputs.
  }
  return 0;
}
