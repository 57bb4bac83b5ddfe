#include "platform/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

using State = InstanceLock::State;

TEST(InstanceLockTest, OneHolderPerFileAndTheFileIsPrivate) {
  TempFolder folder;
  const std::string path = folder.path() + "/agent.lock";
  {
    InstanceLock first(path);
    ASSERT_EQ(first.state(), State::Held) << first.error();
    InstanceLock second(path);
    EXPECT_EQ(second.state(), State::HeldByPeer);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);
  }
  EXPECT_EQ(InstanceLock(path).state(), State::Held);  // released with its holder
}

TEST(InstanceLockTest, AFileThatCannotBeMadeOrIsNotThisUsersIsUnavailable) {
  InstanceLock nowhere("/nonexistent/agent.lock");
  EXPECT_EQ(nowhere.state(), State::Unavailable);
  EXPECT_NE(nowhere.error().find("/nonexistent/agent.lock"), std::string::npos);

  TempFolder folder;
  const std::string link = folder.path() + "/link.lock";
  ASSERT_EQ(symlink((folder.path() + "/target").c_str(), link.c_str()), 0);
  EXPECT_EQ(InstanceLock(link).state(), State::Unavailable);

  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const std::string foreign = folder.path() + "/foreign.lock";
  std::ofstream(foreign) << "";
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  InstanceLock refused(foreign);
  EXPECT_EQ(refused.state(), State::Unavailable);
  EXPECT_NE(refused.error().find("not a file of this user"), std::string::npos);
}

TEST(InstanceLockTest, WithoutARuntimeFolderTheNameCarriesTheUserId) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceLockPath("X"), "/tmp/X-" + std::to_string(geteuid()) + ".lock");
  setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  EXPECT_EQ(InstanceLockPath("X"), "/run/user/7/X.lock");
  if (saved != nullptr) {
    setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace dralmin::test
