// GUIDs come from random bytes buffered per thread; a forked child must not repeat its parent's.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/rtl/Guid.h"

namespace qorvin {
namespace {

TEST(Guid, AForkedChildDrawsOtherIdentifiersThanItsParent) {
  TGUID::New();  // the parent's buffer now holds bytes for its next identifiers
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string text = TGUID::New().ToString();
    const bool sent = write(fds[1], text.data(), text.size()) == ssize_t(text.size());
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  std::string fromChild(kGuidTextLength, '\0');
  size_t got = 0;
  while (got < fromChild.size()) {
    const ssize_t n = read(fds[0], fromChild.data() + got, fromChild.size() - got);
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, fromChild.size());
  EXPECT_NE(fromChild, TGUID::New().ToString());
}

}  // namespace
}  // namespace qorvin
