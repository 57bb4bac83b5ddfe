#include "support/SettingsFile.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>

#include "tests/supportlib/FakePrinter.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using test::ReadFile;
using test::TempFolder;

}  // namespace

void PrintTo(const StoredSettings& settings, std::ostream* out) {
  *out << "{\"" << settings.printerAddress << "\", " << settings.codePage << ", "
       << settings.forcePeeler << "}";
}

namespace {

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(SettingsFileTest, SavedSettingsReadBackAndTheFolderIsCreated) {
  TempFolder folder;
  const SettingsFile file(folder.path() + "/config/Dralmin/printer.conf");
  const StoredSettings saved{"printer.local:9101", 866, true};
  std::string error;
  ASSERT_TRUE(file.Save(saved, &error)) << error;
  EXPECT_EQ(file.Load(), saved);
  EXPECT_EQ(ReadFile(file.path()),
            "printerAddress=printer.local:9101\ncodePage=866\nforcePeeler=1\n");

  // Saving again replaces the whole file and leaves no temporary file behind.
  ASSERT_TRUE(file.Save(StoredSettings{}, &error)) << error;
  EXPECT_EQ(file.Load(), StoredSettings{});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path() + "/config/Dralmin"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(SettingsFileTest, MissingOrUnreadableFileGivesTheDefaults) {
  TempFolder folder;
  const StoredSettings defaults{"", 1251, false};
  EXPECT_EQ(SettingsFile(folder.path() + "/none.conf").Load(), defaults);
  EXPECT_EQ(SettingsFile(folder.path()).Load(), defaults);  // a folder, not a file
#ifndef _WIN32
  // A FIFO would hold the first print (and the status page) in open() for good.
  const std::string fifo = folder.path() + "/fifo.conf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(SettingsFile(fifo).Load(), defaults);
#endif
}

TEST(SettingsFileTest, CorruptLinesFallBackOneByOne) {
  TempFolder folder;
  const SettingsFile file(folder.path() + "/printer.conf");
  Write(file.path(),
        "garbage\r\nprinterAddress= /dev/usb/lp0\r\ncodePage=12x\r\nforcePeeler=yes\r\n");
  EXPECT_EQ(file.Load(), (StoredSettings{" /dev/usb/lp0", 1251, false}));

  Write(file.path(), std::string("codePage=866\n\0\xFF\nforcePeeler=1\n", 30));
  EXPECT_EQ(file.Load(), (StoredSettings{"", 866, true}));

  Write(file.path(), "codePage=437\n");
  EXPECT_EQ(file.Load().codePage, 1251);
}

TEST(SettingsFileTest, OnlyTheTwoCodePagesAreStored) {
  TempFolder folder;
  const SettingsFile file(folder.path() + "/printer.conf");
  ASSERT_TRUE(file.Save({"", 65001, false}));
  EXPECT_EQ(file.Load().codePage, 1251);
  ASSERT_TRUE(file.Save({"", 866, false}));
  EXPECT_EQ(file.Load().codePage, 866);
}

TEST(SettingsFileTest, AnAddressWithALineBreakCannotAddSettings) {
  TempFolder folder;
  const SettingsFile file(folder.path() + "/printer.conf");
  ASSERT_TRUE(file.Save({"10.0.0.5\nforcePeeler=1", 1251, false}));
  EXPECT_EQ(file.Load(), (StoredSettings{"10.0.0.5", 1251, false}));
}

TEST(SettingsFileTest, AFailedSaveSaysWhyAndLeavesNothingBehind) {
  TempFolder folder;
  Write(folder.path() + "/file", "x");
  std::string error;
  EXPECT_FALSE(SettingsFile(folder.path() + "/file/printer.conf").Save({}, &error));
  EXPECT_NE(error.find("/file/printer.conf"), std::string::npos) << error;

  // The rename cannot replace a folder that holds something.
  const std::string taken = folder.path() + "/taken";
  std::filesystem::create_directories(taken + "/inside");
  EXPECT_FALSE(SettingsFile(taken).Save({}, &error));
  EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            2);
}

}  // namespace
}  // namespace dralmin
