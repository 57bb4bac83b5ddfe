#include "app/Commands.h"

#include <gtest/gtest.h>

#include <sstream>

namespace dralmin {
namespace {

TEST(CommandsTest, HelpAndUnknownArgumentsPrintTheUsageAndStartNoRole) {
  std::ostringstream out;
  std::ostringstream err;
  const char* help[] = {"dralmin-tray-agent", "--help"};
  EXPECT_EQ(RunCommand(2, help, out, err), 0);
  EXPECT_NE(out.str().find("usage: dralmin-tray-agent"), std::string::npos);
  EXPECT_EQ(err.str(), "");

  out.str("");
  for (const char* argument : {"--bogus", "statuss", "-v"}) {
    err.str("");
    const char* unknown[] = {"dralmin-tray-agent", argument};
    EXPECT_EQ(RunCommand(2, unknown, out, err), 2) << argument;
    EXPECT_NE(err.str().find(argument), std::string::npos);
    EXPECT_NE(err.str().find("usage: dralmin-tray-agent"), std::string::npos);
  }
  const char* extra[] = {"dralmin-tray-agent", "status", "now"};
  EXPECT_EQ(RunCommand(3, extra, out, err), 2);
  EXPECT_EQ(out.str(), "");

  // The two roles are left to the caller.
  const char* watchdog[] = {"dralmin-tray-agent"};
  EXPECT_EQ(RunCommand(1, watchdog, out, err), std::nullopt);
  const char* agent[] = {"dralmin-tray-agent", "run"};
  EXPECT_EQ(RunCommand(2, agent, out, err), std::nullopt);
}

}  // namespace
}  // namespace dralmin
