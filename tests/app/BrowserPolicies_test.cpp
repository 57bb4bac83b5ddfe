#include "app/BrowserPolicies.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace dralmin {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

QJsonObject Parse(const std::string& text) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
  EXPECT_TRUE(document.isObject()) << text;
  return document.object();
}

QStringList List(const QJsonValue& value) {
  QStringList items;
  for (const QJsonValue& item : value.toArray()) items << item.toString();
  return items;
}

TEST(BrowserPoliciesTest, ChromiumFileListsTheOriginsUnderBothPolicies) {
  const QJsonObject policies =
      Parse(ChromiumPolicyJson({"https://shop.example", "http://10.1.2.3:8080"}));
  EXPECT_EQ(policies.keys(),
            QStringList({"LocalNetworkAccessAllowedForUrls", "LoopbackNetworkAllowedForUrls"}));
  for (const QJsonValue& list : policies) {
    EXPECT_EQ(List(list), QStringList({"https://shop.example", "http://10.1.2.3:8080"}));
  }
}

TEST(BrowserPoliciesTest, FirefoxDomainsAreAddedBesideOtherPoliciesAndTakenOutAgain) {
  const std::string existing =
      R"({"policies": {"DisableTelemetry": true,
                       "LocalNetworkAccess": {"Enabled": true, "SkipDomains": ["shop.example"]}}})";
  std::vector<std::string> added;
  std::string error;
  std::optional<std::string> written =
      AddFirefoxDomains(existing, {"shop.example", "10.1.2.3"}, added, error);
  ASSERT_TRUE(written) << error;
  EXPECT_THAT(added, ElementsAre("10.1.2.3"));  // the administrator's own entry stays theirs
  const QJsonObject policies = Parse(*written)["policies"].toObject();
  EXPECT_TRUE(policies["DisableTelemetry"].toBool());
  EXPECT_EQ(List(policies["LocalNetworkAccess"].toObject()["SkipDomains"]),
            QStringList({"shop.example", "10.1.2.3"}));

  bool empty = true;
  const std::optional<std::string> removed = RemoveFirefoxDomains(*written, added, empty, error);
  ASSERT_TRUE(removed) << error;
  EXPECT_FALSE(empty);
  EXPECT_EQ(Parse(*removed), Parse(existing));

  // A file that held only ours is left with nothing in it.
  ASSERT_TRUE(written = AddFirefoxDomains("", {"shop.example"}, added, error));
  ASSERT_TRUE(RemoveFirefoxDomains(*written, added, empty, error));
  EXPECT_TRUE(empty);

  EXPECT_FALSE(AddFirefoxDomains("[1, 2]", {"shop.example"}, added, error));
  EXPECT_EQ(error, "not a JSON object");
  EXPECT_FALSE(RemoveFirefoxDomains("{\"policies\": ", {"shop.example"}, empty, error));
}

TEST(BrowserPoliciesTest, RegistryListsOfChromeEdgeAndFirefox) {
  const std::vector<std::string> origins = {"https://shop.example:8443", "http://shop.example",
                                            "http://[::1]:8080"};
  std::vector<std::pair<std::string, std::vector<std::string>>> lists;
  for (const RegistryListPolicy& list : RegistryBrowserPolicies(origins, true)) {
    lists.emplace_back(list.key, list.items);
  }
  EXPECT_THAT(
      lists,
      ElementsAre(
          Pair("SOFTWARE\\Policies\\Google\\Chrome\\LocalNetworkAccessAllowedForUrls", origins),
          Pair("SOFTWARE\\Policies\\Google\\Chrome\\LoopbackNetworkAllowedForUrls", origins),
          Pair("SOFTWARE\\Policies\\Microsoft\\Edge\\LocalNetworkAccessAllowedForUrls", origins),
          Pair("SOFTWARE\\Policies\\Microsoft\\Edge\\LoopbackNetworkAllowedForUrls", origins),
          // Firefox lists hosts, each once.
          Pair("SOFTWARE\\Policies\\Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains",
               ElementsAre("shop.example", "[::1]"))));
  EXPECT_EQ(RegistryBrowserPolicies(origins, false).size(), 4u);
}

TEST(BrowserPoliciesTest, RegistryItemsAreNumberedAfterTheOthersAndNotRepeated) {
  const std::vector<RegistryValue> existing = {{"1", "https://intranet.example"},
                                               {"7", "https://shop.example"},
                                               {"note", "not a list entry"},
                                               {"3", std::nullopt}};
  EXPECT_THAT(NumberedAdditions(existing, {"https://shop.example", "https://b.example",
                                           "https://c.example"}),
              ElementsAre(Pair("8", "https://b.example"), Pair("9", "https://c.example")));
  EXPECT_THAT(NumberedAdditions({}, {"https://a.example"}), ElementsAre(Pair("1", "https://a.example")));
}

TEST(BrowserPoliciesTest, TheRecordReadsBackAndSkipsALineItCannotRead) {
  const std::vector<WrittenPolicy> written = {
      {WrittenPolicy::Kind::kFolder, "/etc/opt/chrome", "", ""},
      {WrittenPolicy::Kind::kFirefoxDomain, "/etc/firefox/policies/policies.json", "a.example", ""},
      {WrittenPolicy::Kind::kKey, "SOFTWARE\\Policies\\Google", "", ""},
      {WrittenPolicy::Kind::kValue, "SOFTWARE\\Policies\\Google\\Chrome\\X", "2", "https://a"}};
  const std::string text = FormatRecord(written);
  EXPECT_EQ(ParseRecord(text), written);
  EXPECT_EQ(ParseRecord("bogus\tline\n" + text + "file\tno-fields\n"), written);
}

}  // namespace
}  // namespace dralmin
