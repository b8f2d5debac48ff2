// HTTP users: the users file, the Basic credentials of a request, the hashes libxcrypt makes,
// and the throttle of an address that keeps failing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "server/net/HttpUsers.h"
#include "tests/support/TempPath.h"

namespace qorvin::server {
namespace {

std::string Basic(const std::string& userAndPassword) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < userAndPassword.size(); i += 3) {
    const uint32_t n = uint32_t(uint8_t(userAndPassword[i])) << 16 |
                       uint32_t(uint8_t(userAndPassword[i + 1])) << 8 |
                       uint8_t(userAndPassword[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(n >> s) & 63];
  }
  if (userAndPassword.size() - i == 1) {
    const uint32_t n = uint32_t(uint8_t(userAndPassword[i])) << 16;
    out += std::string{kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63], '=', '='};
  } else if (userAndPassword.size() - i == 2) {
    const uint32_t n = uint32_t(uint8_t(userAndPassword[i])) << 16 |
                       uint32_t(uint8_t(userAndPassword[i + 1])) << 8;
    out += std::string{kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63],
                       kAlphabet[(n >> 6) & 63], '='};
  }
  return "Basic " + out;
}

TEST(HttpUsers, OnlyTheRightPasswordOfAKnownUserPasses) {
  const std::string path = qorvin::test::TempPath("users-a");
  std::filesystem::remove(path);
  UserDirectory::SetPassword(path, "alice", "s3cret:with colon");
  UserDirectory::SetPassword(path, "bob", "hunter2");
  UserDirectory::SetPassword(path, "alice", "n3w");  // replaces alice's entry, keeps bob's
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().find("n3w"), std::string::npos) << "no password in the file";
  EXPECT_NE(text.str().find("alice:$y$"), std::string::npos) << text.str();
  const auto users = UserDirectory::Load(path);
  EXPECT_EQ(users->Count(), 2u);
  EXPECT_EQ(users->Check(Basic("alice:n3w")), "alice");
  EXPECT_EQ(users->Check(Basic("bob:hunter2")), "bob");
  EXPECT_EQ(users->Check(Basic("alice:s3cret:with colon")), "");  // the old one
  EXPECT_EQ(users->Check(Basic("alice:n3w ")), "");
  EXPECT_EQ(users->Check(Basic("carol:hunter2")), "");  // unknown user
  EXPECT_EQ(users->Check(""), "");
  EXPECT_EQ(users->Check("Bearer abc"), "");
  EXPECT_EQ(users->Check("basic " + Basic("bob:hunter2").substr(6)), "bob");  // scheme's case
  // Two hashes of one password differ (a fresh salt each time).
  EXPECT_NE(UserDirectory::Hash("x"), UserDirectory::Hash("x"));
}

TEST(HttpUsers, AFileThatIsNotAUsersFileIsRefusedWithItsLine) {
  const std::string hash = UserDirectory::Hash("p");
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"# users\n\nalice\n", "u:3: expected NAME:HASH"},
      {"alice:plain-password\n", "u:1: the hash of alice is not a crypt(3) hash"},
      {":" + hash + "\n", "u:1: a user name cannot be empty"},
      {"a b:" + hash + "\n", "u:1: a user name cannot hold"},
      {"alice:" + hash + ":sudo\n", "u:1: the rights of alice: \"sudo\" is none of"},
      {"alice:" + hash + ":\n", "u:1: the rights of alice: the field after the hash is empty"},
      {"alice:" + hash + ":role=\n", "u:1: the rights of alice: a role has 1 to 63"},
      {"alice:" + hash + ":role=a b\n", "u:1: the rights of alice: a role cannot hold"},
      {"alice:" + hash + ":role=a,role=b\n", "u:1: the rights of alice: role= is given twice"},
      {"alice:" + hash + ":admin,\n", "u:1: the rights of alice: \"\" is none of"},
      {"alice:" + hash + "\nalice:" + hash + "\n", "u:2: alice is named twice"},
  };
  for (const Case& c : cases) {
    try {
      UserDirectory::Parse(c.text, "u");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(UserDirectory::Parse("alice:" + hash + "\r\n", "u")->Check(Basic("alice:p")), "alice");
  EXPECT_THROW(UserDirectory::Load("/nonexistent/users"), std::runtime_error);
  EXPECT_THROW(UserDirectory::SetPassword(qorvin::test::TempPath("users-b"), "a:b", "p"),
               std::runtime_error);
}

// The field after the hash: a role, read-only and admin, in any order; a file of NAME:HASH
// lines means what it meant before (no rights of their own); a new password keeps the rights.
TEST(HttpUsers, RightsFollowTheHashAndSurviveANewPassword) {
  const std::string hash = UserDirectory::Hash("p");
  const auto users = UserDirectory::Parse("alice:" + hash + ":role=Sales\"Team,read-only\n" +
                                              "ops:" + hash + ":admin\nbob:" + hash + "\n",
                                          "u");
  ASSERT_EQ(users->Count(), 3u);
  const HttpUser* alice = users->Find("alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(alice->hash, hash);
  EXPECT_EQ(alice->role, "Sales\"Team") << "any role name; the database quotes it";
  EXPECT_TRUE(alice->readOnly);
  EXPECT_FALSE(alice->admin);
  EXPECT_TRUE(users->Find("ops")->admin);
  EXPECT_TRUE(users->Find("ops")->role.empty());
  const HttpUser* bob = users->Find("bob");
  EXPECT_TRUE(bob->role.empty());
  EXPECT_FALSE(bob->readOnly || bob->admin);
  EXPECT_EQ(users->Check(Basic("alice:p")), "alice");

  const std::string path = qorvin::test::TempPath("users-rights");
  std::filesystem::remove(path);
  {
    std::ofstream out(path);
    out << "alice:" << hash << ":role=reporting,admin\r\nbob:" << hash << "\n";
  }
  UserDirectory::SetPassword(path, "alice", "n3w");
  UserDirectory::SetPassword(path, "bob", "n3w");
  const auto after = UserDirectory::Load(path);
  EXPECT_EQ(after->Find("alice")->role, "reporting");
  EXPECT_TRUE(after->Find("alice")->admin);
  EXPECT_EQ(after->Check(Basic("alice:n3w")), "alice");
  EXPECT_TRUE(after->Find("bob")->role.empty());
  EXPECT_EQ(after->Check(Basic("bob:n3w")), "bob");
}

// The header as an attacker writes it: nothing but a well-formed Basic value decodes, and
// nothing makes the decoder read past its input or grow without bound.
TEST(HttpUsers, TheAuthorizationHeaderDecodesOnlyWhenWellFormed) {
  std::string user, password;
  ASSERT_TRUE(DecodeBasicCredentials(Basic("u:p"), user, password));
  EXPECT_EQ(user, "u");
  EXPECT_EQ(password, "p");
  ASSERT_TRUE(DecodeBasicCredentials(Basic("u:"), user, password));
  EXPECT_EQ(password, "");
  for (const char* bad : {"Basic", "Basic ", "Basic dTp", "Basic dTpw=", "Basic d=Tpw",
                          "Basic dTp*", "Basicx dTpwcA==",
                          "Basic "
                          "dQ==" /* no colon */,
                          "Basic dTpwcA==dTpwcA=="})
    EXPECT_FALSE(DecodeBasicCredentials(bad, user, password)) << bad;
  EXPECT_FALSE(DecodeBasicCredentials("Basic " + std::string(8192, 'A'), user, password));
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string header = i % 2 ? "Basic " : "";
    const int n = int(random() % 40);
    for (int k = 0; k < n; ++k) header += char(random() % 256);
    DecodeBasicCredentials(header, user, password);  // must neither crash nor overrun
    EXPECT_LE(user.size() + password.size(), header.size());
  }
}

TEST(HttpUsers, AnAddressThatKeepsFailingIsSlowedDown) {
  FailureThrottle throttle;
  const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  for (int i = 0; i < FailureThrottle::kFreeFailures; ++i)
    EXPECT_EQ(throttle.Failed("10.0.0.1", t0).count(), 0);
  EXPECT_EQ(throttle.Failed("10.0.0.1", t0).count(), 250);
  EXPECT_EQ(throttle.Failed("10.0.0.1", t0).count(), 500);
  for (int i = 0; i < 10; ++i) throttle.Failed("10.0.0.1", t0);
  EXPECT_EQ(throttle.Failed("10.0.0.1", t0).count(), 8000);  // capped
  EXPECT_EQ(throttle.Failed("10.0.0.2", t0).count(), 0);     // another address
  // A minute later, or after a success, the address starts afresh.
  EXPECT_EQ(throttle.Failed("10.0.0.1", t0 + std::chrono::seconds(61)).count(), 0);
  for (int i = 0; i < 10; ++i) throttle.Failed("10.0.0.3", t0);
  throttle.Succeeded("10.0.0.3");
  EXPECT_EQ(throttle.Failed("10.0.0.3", t0).count(), 0);
}

}  // namespace
}  // namespace qorvin::server
