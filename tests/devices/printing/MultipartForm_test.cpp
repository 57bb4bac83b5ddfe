#include "devices/printing/MultipartForm.h"

#include <gtest/gtest.h>

namespace dralmin {
namespace {

const std::string kXml =
    "<label width=\"58\" height=\"40\"><text x=\"1\" y=\"1\">Hi</text></label>";

// A body as a browser sends it for a form with a text field, the XML and a file.
std::string BrowserBody(const std::string& boundary, const std::string& xmlHeaders,
                        const std::string& xml) {
  return "--" + boundary + "\r\n" +
         "Content-Disposition: form-data; name=\"shop\"\r\n\r\n"
         "12\r\n"
         "--" +
         boundary + "\r\n" + xmlHeaders + "\r\n" + xml + "\r\n" + "--" + boundary + "\r\n" +
         "Content-Disposition: form-data; name=\"logo\"; filename=\"a.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n"
         "\x01\x02\r\n"
         "--" +
         boundary + "--\r\n";
}

const std::string kXmlHeader = "Content-Disposition: form-data; name=\"print_xml\"\r\n";

TEST(BoundaryOfTest, QuotedUnquotedAndAmongOtherParameters) {
  EXPECT_EQ(BoundaryOf("multipart/form-data; boundary=----WebKitFormBoundaryx7Yz"),
            "----WebKitFormBoundaryx7Yz");
  EXPECT_EQ(BoundaryOf("multipart/form-data;boundary=abc;charset=utf-8"), "abc");
  EXPECT_EQ(BoundaryOf("multipart/form-data; charset=utf-8; Boundary = \"a b;c=\\\"d\" ; x=1"),
            "a b;c=\"d");
  EXPECT_EQ(BoundaryOf("multipart/form-data; boundary=Z"), "Z");
  EXPECT_EQ(BoundaryOf("multipart/form-data; xboundary=abc"), std::nullopt);
  EXPECT_EQ(BoundaryOf("multipart/form-data; boundary="), std::nullopt);
  EXPECT_EQ(BoundaryOf("multipart/form-data; boundary=\"\""), std::nullopt);
  EXPECT_EQ(BoundaryOf("multipart/form-data; boundary=\"open"), std::nullopt);
  EXPECT_EQ(BoundaryOf("multipart/form-data"), std::nullopt);
  EXPECT_EQ(BoundaryOf("boundary=abc"), std::nullopt);  // a parameter needs a media type first
  EXPECT_EQ(BoundaryOf(""), std::nullopt);
}

TEST(ExtractPrintXmlTest, TheContentExactlyAsSent) {
  EXPECT_EQ(ExtractPrintXml(BrowserBody("----WebKitFormBoundaryx7Yz", kXmlHeader, kXml),
                            "----WebKitFormBoundaryx7Yz"),
            kXml);
  // One-character boundaries are as good as any.
  EXPECT_EQ(ExtractPrintXml(BrowserBody("Z", kXmlHeader, kXml), "Z"), kXml);
  // Line breaks and trailing blanks of the XML itself belong to it.
  const std::string multiLine = "<?xml version=\"1.0\"?>\r\n" + kXml + "\r\n\r\n";
  EXPECT_EQ(ExtractPrintXml(BrowserBody("b", kXmlHeader, multiLine), "b"), multiLine);
  EXPECT_EQ(ExtractPrintXml(BrowserBody("b", kXmlHeader, ""), "b"), "");
}

TEST(ExtractPrintXmlTest, PartHeadersAreHeadersWhateverTheirOrderAndCase) {
  const std::string headers =
      "content-type: text/xml; charset=utf-8\r\n"
      "CONTENT-DISPOSITION:form-data;name=print_xml\r\n";
  EXPECT_EQ(ExtractPrintXml(BrowserBody("xyz", headers, kXml), "xyz"), kXml);
  const std::string withFile =
      "Content-Disposition: form-data; name=\"print_xml\"; filename=\"label.xml\"\r\n"
      "Content-Type: text/xml\r\n";
  EXPECT_EQ(ExtractPrintXml(BrowserBody("xyz", withFile, kXml), "xyz"), kXml);
}

TEST(ExtractPrintXmlTest, OnlyTheFieldNamedPrintXml) {
  for (const char* header : {"Content-Disposition: form-data; name=\"print_xml2\"\r\n",
                             "Content-Disposition: form-data; name=\"Print_xml\"\r\n",
                             "Content-Disposition: attachment; name=\"print_xml\"\r\n",
                             "X-Note: name=\"print_xml\"\r\n"}) {
    EXPECT_EQ(ExtractPrintXml(BrowserBody("b", header, kXml), "b"), std::nullopt) << header;
  }
  // The word in another part's content names nothing.
  const std::string body = "--b\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\n" +
                           kXmlHeader + "\r\n<label/>\r\n--b--\r\n";
  EXPECT_EQ(ExtractPrintXml(body, "b"), std::nullopt);
}

TEST(ExtractPrintXmlTest, TheFirstOfTwoPrintXmlParts) {
  const std::string body = "--b\r\n" + kXmlHeader + "\r\n<first/>\r\n--b\r\n" + kXmlHeader +
                           "\r\n<second/>\r\n--b--\r\n";
  EXPECT_EQ(ExtractPrintXml(body, "b"), "<first/>");
}

TEST(ExtractPrintXmlTest, BoundaryTextInsideTheXmlDoesNotCutIt) {
  // Only "--" + boundary at the start of a line and ending it is a delimiter.
  const std::string xml = "<label>\r\n--bx\r\n--b and more\r\nb--b</label>";
  EXPECT_EQ(ExtractPrintXml(BrowserBody("b", kXmlHeader, xml), "b"), xml);
}

TEST(ExtractPrintXmlTest, PreambleAndTransportPadding) {
  const std::string body =
      "This is a preamble.\r\n--b  \r\n" + kXmlHeader + "\r\n" + kXml +
      "\r\n--b\t\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n\r\n--b--";
  EXPECT_EQ(ExtractPrintXml(body, "b"), kXml);
}

TEST(ExtractPrintXmlTest, APartWithoutADelimiterAfterItRunsToTheEndOfTheBody) {
  const std::string whole = BrowserBody("boundary", kXmlHeader, kXml);
  const size_t xmlStart = whole.find(kXml);
  // Cut within the headers: nothing; cut after them: whatever content arrived.
  for (size_t length = 0; length < xmlStart; ++length) {
    EXPECT_EQ(ExtractPrintXml(whole.substr(0, length), "boundary"), std::nullopt) << length;
  }
  for (size_t length = xmlStart; length <= xmlStart + kXml.size() + 8; ++length) {
    EXPECT_EQ(ExtractPrintXml(whole.substr(0, length), "boundary"),
              whole.substr(xmlStart, length - xmlStart))
        << length;
  }
  EXPECT_EQ(ExtractPrintXml("--b\r\n" + kXmlHeader + "\r\n" + kXml, "b"), kXml);
}

TEST(ExtractPrintXmlTest, MalformedBodiesPrintNothing) {
  const std::string whole = BrowserBody("boundary", kXmlHeader, kXml);

  EXPECT_EQ(ExtractPrintXml(whole, "other"), std::nullopt);
  EXPECT_EQ(ExtractPrintXml(whole, ""), std::nullopt);
  EXPECT_EQ(ExtractPrintXml(whole, "bound"), std::nullopt);  // a prefix of the boundary
  // Headers that never end.
  EXPECT_EQ(ExtractPrintXml("--b\r\n" + kXmlHeader, "b"), std::nullopt);
  // The closing delimiter ends the search even if parts seem to follow.
  EXPECT_EQ(ExtractPrintXml("--b--\r\n--b\r\n" + kXmlHeader + "\r\nx\r\n--b--", "b"), std::nullopt);
}

}  // namespace
}  // namespace dralmin
