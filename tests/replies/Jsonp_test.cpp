#include "replies/Jsonp.h"

#include <gtest/gtest.h>

namespace dralmin {
namespace {

std::string JsString(std::string_view text) {
  std::string out;
  AppendJsString(out, text);
  return out;
}

TEST(JsonpTest, EscapesWhatCouldEndTheStringOrTheScript) {
  EXPECT_EQ(JsString("plain 4601"), "plain 4601");
  EXPECT_EQ(JsString("it's"), "it\\'s");
  EXPECT_EQ(JsString("a\\b"), "a\\\\b");
  EXPECT_EQ(JsString("l1\r\nl2\n"), "l1\\r\\nl2\\n");
  EXPECT_EQ(JsString("</script><script>"), "<\\/script><script>");
  EXPECT_EQ(JsString("a/b </"), "a/b <\\/");
  EXPECT_EQ(JsString("\"double\""), "\"double\"");
}

TEST(JsonpTest, EightBitBytesPassUnchanged) {
  const std::string cp1251 = "\xD3\xE1\xE5\xF0\xE8\xF2\xE5";
  EXPECT_EQ(JsString(cp1251), cp1251);
  EXPECT_EQ(FingerprintError(cp1251), "VeltranaSdk__callback({error:'" + cp1251 + "'});");
}

}  // namespace
}  // namespace dralmin
