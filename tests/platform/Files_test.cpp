#include "platform/Files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

namespace fs = std::filesystem;

void Write(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << text;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// Nothing but a regular file is opened, and nothing waits: a FIFO without a writer would hold
// open() for good, a device may act on being opened.
TEST(FilesTest, OnlyRegularFilesAreOpenedAndNothingBlocks) {
  test::TempFolder folder;
  const std::string regular = folder.path() + "/regular";
  const std::string fifo = folder.path() + "/fifo";
  Write(regular, "text");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(regular, folder.path() + "/to-regular");
  fs::create_symlink(fifo, folder.path() + "/to-fifo");

  for (const std::string& path :
       {fifo, folder.path(), std::string("/dev/null"), folder.path() + "/to-fifo"}) {
    errno = 0;
    EXPECT_EQ(ReadFileWhole(path), std::nullopt) << path;
    EXPECT_EQ(errno, EINVAL) << path;
  }
  EXPECT_EQ(ReadFileWhole(regular), "text");
  // A user's settings may be a link into a folder of dotfiles; what the agent keeps may not.
  EXPECT_EQ(ReadFileWhole(folder.path() + "/to-regular"), "text");
  EXPECT_EQ(ReadFileWhole(folder.path() + "/to-regular", Links::kRefuse), std::nullopt);
  EXPECT_EQ(ReadFileWhole(regular, Links::kRefuse), "text");
}

TEST(FilesTest, OwnFilesMustBeThisUsersAloneAndNoLinks) {
  test::TempFolder folder;
  const std::string own = folder.path() + "/own";
  Write(own, "0123456789");
  OwnFile file = ReadOwnFile(own);
  EXPECT_EQ(file.failure, OwnFile::Failure::kNone) << file.why;
  EXPECT_EQ(file.content, "0123456789");
  file = ReadOwnFileEnds(own, 3);
  EXPECT_EQ(file.size, 10u);
  EXPECT_EQ(file.content, "012");
  EXPECT_EQ(file.tail, "789");

  EXPECT_EQ(ReadOwnFile(folder.path() + "/none").failure, OwnFile::Failure::kMissing);
  const std::string open = folder.path() + "/open";
  Write(open, "x", 0644);
  EXPECT_EQ(ReadOwnFile(open).failure, OwnFile::Failure::kRefused);
  EXPECT_EQ(ReadOwnFile(open).why, "other users may use it (mode 0644)");
  fs::create_symlink(own, folder.path() + "/link");
  EXPECT_EQ(ReadOwnFile(folder.path() + "/link").failure, OwnFile::Failure::kRefused);
  if (geteuid() == 0) {  // only root can give a file away
    const std::string others = folder.path() + "/others";
    Write(others, "x");
    ASSERT_EQ(chown(others.c_str(), 65534, 65534), 0);
    EXPECT_EQ(ReadOwnFile(others).failure, OwnFile::Failure::kRefused);
  }
}

TEST(FilesTest, APrivateFolderIsThisUsersAloneAndCannotBeSwapped) {
  test::TempFolder folder;
  const std::string own = folder.path() + "/own";
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  EXPECT_EQ(PrivateFolderRefusal(own), "");

  const std::string open = folder.path() + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0755), 0);
  EXPECT_EQ(PrivateFolderRefusal(open), "other users may use it (mode 0755)");
  fs::create_symlink(own, folder.path() + "/link");
  EXPECT_EQ(PrivateFolderRefusal(folder.path() + "/link"), "it is a symbolic link");
  // Whoever may change the folder above could put another folder in this one's place.
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((open + "/inside").c_str(), 0700), 0);
  EXPECT_EQ(PrivateFolderRefusal(open + "/inside"),
            "every user may change the folder " + open + " above it (mode 0777)");
  ASSERT_EQ(chmod(open.c_str(), 01777), 0);  // sticky, as /tmp is
  EXPECT_EQ(PrivateFolderRefusal(open + "/inside"), "");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    EXPECT_EQ(PrivateFolderRefusal(own), "it belongs to user 65534, not to this agent's user 0");
  }
}

}  // namespace
}  // namespace dralmin
