#include "replies/OriginPolicy.h"

#include <gtest/gtest.h>

namespace dralmin {
namespace {

TEST(OriginPolicyTest, OriginsAreWrittenAsBrowsersCompareThem) {
  EXPECT_EQ(ParseOrigin("HTTPS://Shop.Example"), "https://shop.example");
  EXPECT_EQ(ParseOrigin("https://shop.example:443"), "https://shop.example");
  EXPECT_EQ(ParseOrigin("http://shop.example:80/"), "http://shop.example");
  EXPECT_EQ(ParseOrigin("http://shop.example:443"), "http://shop.example:443");
  EXPECT_EQ(ParseOrigin("http://10.1.2.3:08080"), "http://10.1.2.3:8080");
  EXPECT_EQ(ParseOrigin("http://[::1]:8080"), "http://[::1]:8080");
  EXPECT_EQ(ParseOrigin("http://a:"), "http://a");  // an empty port is the default one

  for (const char* notAnOrigin :
       {"null", "shop.example", "https://", "https://shop.example/cart", "https://a?b",
        "https://user@shop.example", "https://shop.example:65536", "https://shop.example:8o",
        "https://sh op.example", "https://sh%6Fp.example", "//shop.example", "1http://a",
        "http://[::1", "http://[::1]x", "*"}) {
    EXPECT_EQ(ParseOrigin(notAnOrigin), std::nullopt) << notAnOrigin;
  }
}

TEST(OriginPolicyTest, PageOriginFromOriginElseFromReferer) {
  Request request;
  EXPECT_EQ(OriginPolicy::PageOrigin(request), std::nullopt);
  request.referer = "HTTP://127.0.0.1:80/shop/page.html?item=5&_=x#top";
  EXPECT_EQ(OriginPolicy::PageOrigin(request), "http://127.0.0.1");
  request.referer = "https://shop.example?x=1";
  EXPECT_EQ(OriginPolicy::PageOrigin(request), "https://shop.example");
  request.origin = "https://other.example:8443";
  EXPECT_EQ(OriginPolicy::PageOrigin(request), "https://other.example:8443");
  // A page that the browser will not name is not named by its Referer either.
  request.origin = "null";
  EXPECT_EQ(OriginPolicy::PageOrigin(request), std::nullopt);
}

TEST(OriginPolicyTest, OnlyListedOriginsAreAllowedWhenThereIsAList) {
  EXPECT_TRUE(OriginPolicy().Allows(std::nullopt));
  const OriginPolicy shop({{"https://shop.example", "http://10.1.2.3:8080"}});
  EXPECT_TRUE(shop.Allows("http://10.1.2.3:8080"));
  EXPECT_FALSE(shop.Allows("http://10.1.2.3"));
  EXPECT_FALSE(shop.Allows("https://shop.example.evil"));
  EXPECT_FALSE(shop.Allows(std::nullopt));
  EXPECT_FALSE(OriginPolicy(std::vector<std::string>{}).Allows("https://shop.example"));
}

}  // namespace
}  // namespace dralmin
