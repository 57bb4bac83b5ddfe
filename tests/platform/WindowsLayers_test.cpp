// The Windows layers where they do more than pass a call on: the registry value's limits, the
// named mutex, files replaced in place and the access lists of the agent's own files.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/UserValue.h"
#include "platform/WideText.h"
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

// Lets every user read `path`, besides the system and its owner.
bool OpenToEveryone(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;;FA;;;SY)(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  std::wstring wide = Widen(path);
  const bool set = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                   SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return set;
}

// What the agent makes for itself is its user's alone, and is refused once every user may read it.
TEST(FilesWinTest, OwnFilesAndFoldersAreRefusedOnceOthersMayUseThem) {
  TempFolder temp;
  const std::string folder = temp.path() + "\\queue";
  const std::string file = folder + "\\page";
  ASSERT_TRUE(MakeFolders(folder));
  ASSERT_EQ(WriteFileWhole(file, "bytes"), WriteFailure::kNone);
  EXPECT_EQ(PrivateFolderRefusal(folder), "");
  const OwnFile own = ReadOwnFile(file);
  EXPECT_EQ(own.failure, OwnFile::Failure::kNone) << own.why;
  EXPECT_EQ(own.content, "bytes");

  ASSERT_TRUE(OpenToEveryone(file));
  ASSERT_TRUE(OpenToEveryone(folder));
  const std::string why = "another user or group may use it (S-1-1-0 in its access list)";
  EXPECT_EQ(ReadOwnFile(file).failure, OwnFile::Failure::kRefused);
  EXPECT_EQ(ReadOwnFile(file).why, why);
  EXPECT_EQ(PrivateFolderRefusal(folder), why);
}

}  // namespace
}  // namespace dralmin::test
