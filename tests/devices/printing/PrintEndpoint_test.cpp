#include "devices/printing/PrintEndpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/PrintService.h"

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

const char* OkPrintFromXml(const char*) {
  return kPrintedAnswer.data();
}

class PrintEndpointTest : public ::testing::Test {
 protected:
  PrintEndpointTest() { printed.clear(); }

  static Request Post(std::optional<std::string_view> contentType, std::string_view body) {
    Request request;
    request.method = "POST";
    request.uri = "/print";
    request.body = body;
    request.contentType = contentType;
    return request;
  }

  PrintEndpoint endpoint_{&FakePrintFromXml};
};

const std::string kBody =
    "--q\r\nContent-Disposition: form-data; name=\"print_xml\"\r\n\r\n<label/>\r\n--q--\r\n";

TEST_F(PrintEndpointTest, TheLibraryAnswerIsTheReplyUnchangedAndAFailureIsSaid) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(endpoint_.PrintForm(Post("multipart/form-data; boundary=q", kBody)),
            "DralminPrinter__callback({error:'it\\'s only a test'})");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("printer: label not printed: DralminPrinter__callback({error:"
                                   "'it\\'s only a test'})\n"));
  EXPECT_EQ(printed, std::vector<std::string>{"<label/>"});

  PrintEndpoint printing(&OkPrintFromXml);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(printing.PrintForm(Post("multipart/form-data; boundary=q", kBody)), kPrintedAnswer);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(PrintEndpointTest, NoPartMeansAnEmptyReplyAndNoPrintEachSaidOnce) {
  ::testing::internal::CaptureStderr();
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
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 5) << said;
  EXPECT_THAT(said,
              ::testing::HasSubstr("printer: nothing printed: the request has no Content-Type\n"));
  EXPECT_THAT(said, ::testing::HasSubstr("nothing printed: the Content-Type names no boundary\n"));
  EXPECT_THAT(said, ::testing::HasSubstr("nothing printed: the form has no print_xml part\n"));
}

TEST_F(PrintEndpointTest, ANullAnswerBecomesAnEmptyReply) {
  PrintEndpoint endpoint(&NullPrintFromXml);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(endpoint.PrintForm(Post("multipart/form-data; boundary=q", kBody)), "");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("nothing printed: the printing library gave no answer\n"));
}

}  // namespace
}  // namespace dralmin
