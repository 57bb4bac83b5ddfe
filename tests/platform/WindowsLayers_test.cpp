// The Windows layers where they do more than pass a call on: the registry value's limits, the
// named mutex, and files replaced in place.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/UserValue.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

constexpr const char* kKey = "DralminTest";

class UserValueTest : public ::testing::Test {
 protected:
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\DralminTest"); }
};

TEST_F(UserValueTest, StoredWithItsNulAndReadUpToTheFirstNulWithinTheBuffer) {
  EXPECT_EQ(ReadUserValue(kKey, "CertVersion", 128), "");  // no key yet
  ASSERT_TRUE(WriteUserValue(kKey, "CertVersion", "7"));
  EXPECT_EQ(ReadUserValue(kKey, "CertVersion", 128), "7");

  DWORD type = 0;
  BYTE data[8] = {};
  DWORD size = sizeof data;
  ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\DralminTest", "CertVersion",
                         RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 2u);  // "7" and its terminator

  // 127 characters and the NUL fill the 128 bytes; one more does not fit and counts as none.
  ASSERT_TRUE(WriteUserValue(kKey, "CertVersion", std::string(127, 'a')));
  EXPECT_EQ(ReadUserValue(kKey, "CertVersion", 128), std::string(127, 'a'));
  ASSERT_TRUE(WriteUserValue(kKey, "CertVersion", std::string(128, 'a')));
  EXPECT_EQ(ReadUserValue(kKey, "CertVersion", 128), "");

  RemoveUserValue(kKey, "CertVersion");
  EXPECT_EQ(ReadUserValue(kKey, "CertVersion", 128), "");
}

TEST(InstanceLockWinTest, TheNamedMutexIsHeldOnceAndGoneWithItsHolder) {
  const std::string name = "DralminTest_Mutex_" + std::to_string(GetCurrentProcessId());
  EXPECT_EQ(InstanceLockPath(name), name);  // no namespace prefix
  {
    InstanceLock first(name);
    ASSERT_EQ(first.state(), InstanceLock::State::Held) << first.error();
    EXPECT_EQ(InstanceLock(name).state(), InstanceLock::State::HeldByPeer);
  }
  EXPECT_EQ(InstanceLock(name).state(), InstanceLock::State::Held);
}

TEST(FilesWinTest, PutInPlaceReplacesAnExistingFile) {
  TempFolder folder;
  const std::string target = folder.path() + "\\settings.conf";
  std::ofstream(target, std::ios::binary) << "old";
  std::string temporary;
  const int fd = CreateFileBeside(target, temporary);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(_write(fd, "new", 3), 3);
  ASSERT_TRUE(SyncFile(fd));
  _close(fd);
  ASSERT_TRUE(PutInPlace(temporary, target));
  std::ifstream in(target, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
  EXPECT_FALSE(std::ifstream(temporary).good());
}

}  // namespace
}  // namespace dralmin::test
