#include "app/AgentSettings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "tests/support/AgentProcess.h"

namespace dralmin {
namespace {

TEST(StoreSettingTest, ReplacesTheKeysLineOrAppendsOneAndKeepsTheRest) {
  test::TempFolder folder;
  const std::string path = folder.path() + "/agent.conf";
  std::ofstream(path) << "# scanner\nscan_mode = color\nhttp_port = 8081\n  scan_mode=gray\n";
  std::string error;
  ASSERT_TRUE(StoreSetting(path, "scan_mode", "lineart", error)) << error;
  ASSERT_TRUE(StoreSetting(path, "sane_device", "test:0", error)) << error;
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  // A later duplicate would override the stored value, so it goes.
  EXPECT_EQ(text.str(), "# scanner\nscan_mode = lineart\nhttp_port = 8081\nsane_device = test:0\n");
  AgentSettings settings;
  ApplySettingsText(settings, text.str(), path, std::cerr);
  EXPECT_EQ(settings.scanMode, "lineart");
  EXPECT_EQ(settings.saneDevice, "test:0");
}

}  // namespace
}  // namespace dralmin
