// The Group Policy templates against the settings they set: a policy the agent would not
// understand, or a text the policy editor would not find, fails here rather than on a domain
// controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <string>

#include "settings/AgentSettings.h"
#include "settings/SettingsFiles.h"

namespace dralmin {
namespace {

std::string Templates() {
  return std::string(std::getenv("DRALMIN_SOURCE_DIR")) + "/packaging/windows/policies/";
}

TEST(PolicyTemplatesTest, EachPolicySetsAKnownSettingThatTheAgentTakes) {
  pugi::xml_document admx;
  ASSERT_TRUE(admx.load_file((Templates() + "DralminTrayAgent.admx").c_str()));
  const std::vector<std::string_view> keys = SettingKeys();
  size_t count = 0;
  for (const pugi::xpath_node& found : admx.select_nodes("//*[local-name()='policy']")) {
    const pugi::xml_node policy = found.node();
    ++count;
    const std::string name = policy.attribute("name").value();
    SCOPED_TRACE(name);
    EXPECT_EQ(std::string(policy.attribute("key").value()), kPolicySettingsKey);
    EXPECT_EQ(std::string(policy.attribute("class").value()), "Machine");
    const pugi::xml_node element = policy.child("elements").first_child();
    EXPECT_EQ(std::string(element.attribute("valueName").value()), name);
    EXPECT_NE(std::find(keys.begin(), keys.end(), name), keys.end());
    // Every value the editor can store is one the agent accepts.
    AgentSettings settings;
    if (std::string(element.name()) == "enum") {
      for (const pugi::xml_node item : element.children("item")) {
        EXPECT_EQ(ApplySetting(settings, name, item.child("value").child_value("string")),
                  std::nullopt);
      }
    } else if (std::string(element.name()) == "decimal") {
      EXPECT_EQ(ApplySetting(settings, name, element.attribute("minValue").value()), std::nullopt);
      EXPECT_EQ(ApplySetting(settings, name, element.attribute("maxValue").value()), std::nullopt);
    }
  }
  EXPECT_GT(count, 0u);
}

TEST(PolicyTemplatesTest, EachLanguageHasEveryTextAndFormTheTemplateNames) {
  std::ifstream file(Templates() + "DralminTrayAgent.admx");
  const std::string admx((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::regex reference(R"(\$\((string|presentation)\.([A-Za-z0-9_]+)\))");
  for (const char* language : {"en-US", "ru-RU"}) {
    SCOPED_TRACE(language);
    pugi::xml_document adml;
    ASSERT_TRUE(adml.load_file((Templates() + language + "/DralminTrayAgent.adml").c_str()));
    std::set<std::string> strings, forms;
    for (const pugi::xpath_node& node : adml.select_nodes("//*[local-name()='string']")) {
      strings.insert(node.node().attribute("id").value());
    }
    for (const pugi::xpath_node& node : adml.select_nodes("//*[local-name()='presentation']")) {
      forms.insert(node.node().attribute("id").value());
    }
    for (auto it = std::sregex_iterator(admx.begin(), admx.end(), reference);
         it != std::sregex_iterator(); ++it) {
      const std::set<std::string>& table = (*it)[1] == "string" ? strings : forms;
      EXPECT_TRUE(table.contains((*it)[2])) << (*it)[0];
    }
  }
}

}  // namespace
}  // namespace dralmin
