#include "app/BrowserPolicyStore.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    paths.insert(entry.path().string().substr(root.size()));
  }
  return paths;
}

std::string Read(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void Write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

QJsonDocument Json(const std::string& text) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(text));
}

TEST(BrowserPolicyStoreTest, ASecondWriteReplacesTheFirstAndRemovalLeavesOnlyWhatOthersWrote) {
  test::TempFolder root;
  const std::string firefox = root.path() + "/etc/firefox/policies/policies.json";
  Write(firefox, R"({"policies": {"LocalNetworkAccess": {"SkipDomains": ["intranet.example"]}}})");
  fs::create_directories(root.path() + "/etc/chromium");
  fs::create_directories(root.path() + "/var/lib");
  const std::set<std::string> before = Tree(root.path());
  std::ostringstream out, err;

  ASSERT_TRUE(WriteBrowserPolicies({"https://old.example"}, root.path(), out, err)) << err.str();
  ASSERT_TRUE(WriteBrowserPolicies({"https://shop.example:8443"}, root.path(), out, err))
      << err.str();
  for (const char* folder : {"/etc/opt/chrome", "/etc/chromium"}) {
    EXPECT_EQ(Json(Read(root.path() + folder + "/policies/managed/dralmin-tray-agent.json")),
              Json(R"({"LocalNetworkAccessAllowedForUrls": ["https://shop.example:8443"],
                       "LoopbackNetworkAllowedForUrls": ["https://shop.example:8443"]})"));
  }
  EXPECT_EQ(Json(Read(firefox)),
            Json(R"({"policies": {"LocalNetworkAccess":
                       {"SkipDomains": ["intranet.example", "shop.example"]}}})"));

  // The administrator adds a domain of their own meanwhile.
  Write(firefox, R"({"policies": {"LocalNetworkAccess":
                       {"SkipDomains": ["intranet.example", "shop.example", "erp.example"]}}})");
  ASSERT_TRUE(RemoveBrowserPolicies(root.path(), out, err)) << err.str();
  EXPECT_EQ(Tree(root.path()), before);
  EXPECT_EQ(Json(Read(firefox)),
            Json(R"({"policies": {"LocalNetworkAccess":
                       {"SkipDomains": ["intranet.example", "erp.example"]}}})"));
  EXPECT_EQ(err.str(), "");
  // Nothing recorded any more: a second removal has nothing to do.
  EXPECT_TRUE(RemoveBrowserPolicies(root.path(), out, err));
}

TEST(BrowserPolicyStoreTest, FirefoxIsLeftAloneWhereItIsNotInstalledAndAnUnreadableFileIsKept) {
  test::TempFolder root;
  std::ostringstream out, err;
  ASSERT_TRUE(WriteBrowserPolicies({"https://shop.example"}, root.path(), out, err)) << err.str();
  EXPECT_FALSE(fs::exists(root.path() + "/etc/firefox"));
  ASSERT_TRUE(RemoveBrowserPolicies(root.path(), out, err));
  EXPECT_TRUE(Tree(root.path()).empty());

  const std::string firefox = root.path() + "/etc/firefox/policies/policies.json";
  Write(firefox, "{ not json");
  EXPECT_FALSE(WriteBrowserPolicies({"https://shop.example"}, root.path(), out, err));
  EXPECT_EQ(Read(firefox), "{ not json");
  EXPECT_NE(err.str().find(firefox + ": "), std::string::npos) << err.str();
}

}  // namespace
}  // namespace dralmin
