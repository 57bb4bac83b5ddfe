#include "devices/printing/PrintEndpoint.h"

#include <gtest/gtest.h>

#include <vector>

namespace dralmin {
namespace {

// What the fake library was given; the endpoint calls it on the test's thread only.
std::vector<std::string> printed;

const char* FakePrintFromXml(const char* xml) {
  printed.emplace_back(xml);
  return "DralminPrinter__callback({error:'it\\'s only a test'})";
}

const char* NullPrintFromXml(const char*) {
  return nullptr;
}

class PrintEndpointTest : public ::testing::Test {
 protected:
  PrintEndpointTest() { printed.clear(); }

  static Request Post(std::optional<std::string_view> contentType, std::string_view body) {
    return Request{"POST", "/print", body, std::nullopt, contentType, std::nullopt, std::nullopt};
  }

  PrintEndpoint endpoint_{&FakePrintFromXml};
};

const std::string kBody =
    "--q\r\nContent-Disposition: form-data; name=\"print_xml\"\r\n\r\n<label/>\r\n--q--\r\n";

TEST_F(PrintEndpointTest, TheLibraryAnswerIsTheReplyUnchanged) {
  EXPECT_EQ(endpoint_.PrintForm(Post("multipart/form-data; boundary=q", kBody)),
            "DralminPrinter__callback({error:'it\\'s only a test'})");
  EXPECT_EQ(printed, std::vector<std::string>{"<label/>"});
}

TEST_F(PrintEndpointTest, NoPartMeansAnEmptyReplyAndNoPrint) {
  EXPECT_EQ(endpoint_.PrintForm(Post(std::nullopt, kBody)), "");
  EXPECT_EQ(endpoint_.PrintForm(Post("multipart/form-data", kBody)), "");
  EXPECT_EQ(endpoint_.PrintForm(Post("multipart/form-data; boundary=other", kBody)), "");
  EXPECT_EQ(endpoint_.PrintForm(Post("multipart/form-data; boundary=q", "")), "");
  // The library takes a C string: a NUL ends the body there, before the part is complete.
  const std::string withNul = std::string(
                                  "--q\r\nContent-Disposition: form-data; name=\"x\"\r\n"
                                  "\r\n\0\r\n",
                                  52) +
                              kBody.substr(2);
  EXPECT_EQ(endpoint_.PrintForm(Post("multipart/form-data; boundary=q", withNul)), "");
  EXPECT_TRUE(printed.empty());
}

TEST_F(PrintEndpointTest, ANullAnswerBecomesAnEmptyReply) {
  PrintEndpoint endpoint(&NullPrintFromXml);
  EXPECT_EQ(endpoint.PrintForm(Post("multipart/form-data; boundary=q", kBody)), "");
}

}  // namespace
}  // namespace dralmin
