#include "support/LabelRenderer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace dralmin {
namespace {

using ::testing::HasSubstr;

std::string Render(const std::string& xml, int codePage = 1251, bool peeler = false) {
  return LabelRenderer(codePage, peeler).Render(xml);
}

std::string ErrorOf(const std::string& xml) {
  try {
    LabelRenderer(1251, false).Render(xml);
  } catch (const LabelException& e) {
    return e.what();
  }
  return "no error";
}

std::string Job(const std::string& commands, const std::string& head =
                                                 "SIZE 58 mm,40 mm\r\n"
                                                 "GAP 2 mm,0 mm\r\n"
                                                 "DIRECTION 1\r\n"
                                                 "CODEPAGE 1251\r\n"
                                                 "CLS\r\n") {
  return head + commands + "PRINT 1\r\n";
}

std::string InLabel(const std::string& elements) {
  return "<label width=\"58\" height=\"40\">" + elements + "</label>";
}

TEST(LabelRendererTest, EachElementWithItsDefaults) {
  EXPECT_EQ(Render(InLabel("<text x='10' y='20'>Hi</text>")),
            Job("TEXT 10,20,\"3\",0,1,1,\"Hi\"\r\n"));
  EXPECT_EQ(Render(InLabel("<barcode x='1' y='2'>4600001</barcode>")),
            Job("BARCODE 1,2,\"128\",80,1,0,2,2,\"4600001\"\r\n"));
  EXPECT_EQ(Render(InLabel("<qrcode x='5' y='6'>https://x.test/?a=1</qrcode>")),
            Job("QRCODE 5,6,M,4,A,0,\"https://x.test/?a=1\"\r\n"));
  EXPECT_EQ(Render(InLabel("<box x='1' y='2' xend='300' yend='200'/>")),
            Job("BOX 1,2,300,200,2\r\n"));
  EXPECT_EQ(Render(InLabel("<bar x='0' y='100' width='400' height='3'/>")),
            Job("BAR 0,100,400,3\r\n"));
}

TEST(LabelRendererTest, EveryAttributeGiven) {
  const std::string xml =
      "<label width='57.5' height='30' gap='3' copies='4' direction='0'>"
      "<text x='1' y='2' font='ROMAN.TTF' rotation='90' xmul='2' ymul='3'>T</text>"
      "<barcode x='3' y='4' type='EAN13' height='50' readable='0' rotation='180' narrow='3' "
      "wide='6'>460000000001</barcode>"
      "<qrcode x='5' y='6' ecc='h' cell='8' rotation='270'>Q</qrcode>"
      "<box x='1' y='1' xend='9' yend='9' thickness='5'/>"
      "</label>";
  EXPECT_EQ(Render(xml, 866, true),
            "SIZE 57.5 mm,30 mm\r\nGAP 3 mm,0 mm\r\nDIRECTION 0\r\nCODEPAGE 866\r\n"
            "SET PEEL ON\r\nCLS\r\n"
            "TEXT 1,2,\"ROMAN.TTF\",90,2,3,\"T\"\r\n"
            "BARCODE 3,4,\"EAN13\",50,0,180,3,6,\"460000000001\"\r\n"
            "QRCODE 5,6,H,8,A,270,\"Q\"\r\n"
            "BOX 1,1,9,9,5\r\n"
            "PRINT 4\r\n");
}

TEST(LabelRendererTest, TextsInBothCodePagesWithQuotesAndMissingCharacters) {
  const std::string xml = InLabel("<text x='0' y='0'>Цена \"Ёж\" 5€ ✓</text>");
  // Windows-1251 has the euro sign; neither code page has the check mark.
  EXPECT_THAT(Render(xml, 1251),
              HasSubstr("\"\xD6\xE5\xED\xE0 \\[\"]\xA8\xE6\\[\"] 5\x88 ?\"\r\n"));
  EXPECT_THAT(Render(xml, 866), HasSubstr("\"\x96\xA5\xAD\xA0 \\[\"]\xF0\xA6\\[\"] 5? ?\"\r\n"));
  EXPECT_THAT(Render(xml, 866), HasSubstr("CODEPAGE 866\r\n"));
}

TEST(LabelRendererTest, InvalidUtf8CostsOneQuestionMarkPerBadSequence) {
  // A lone lead byte before "A", a stray continuation byte, then a sequence cut at the end.
  const std::string xml = InLabel(
      "<text x='0' y='0'>\xD0"
      "A\x80Z\xD0</text>");
  EXPECT_THAT(Render(xml), HasSubstr(",\"?A?Z?\"\r\n"));
}

TEST(LabelRendererTest, ControlBytesInsideTextsCannotStartAnotherCommand) {
  // Line breaks would end the command; DEL is a control byte to the printer as well.
  const std::string job =
      Render(InLabel("<text x='0' y='0'>a&#13;&#10;PRINT 999\n\x7F\tb</text>"));
  EXPECT_THAT(job, HasSubstr("\"a  PRINT 999   b\"\r\n"));
  EXPECT_THAT(job, ::testing::Not(HasSubstr("\nPRINT 999")));
}

TEST(LabelRendererTest, DeclaredEncodingIsHonoured) {
  const std::string xml = "<?xml version='1.0' encoding='windows-1251'?>" +
                          InLabel("<text x='0' y='0'>\xCF\xF0</text>");
  EXPECT_THAT(Render(xml, 866), HasSubstr(",\"\x8F\xE0\"\r\n"));
  EXPECT_EQ(ErrorOf("<?xml version=\"1.0\" encoding=\"x-nonsense\"?><label/>"),
            "unsupported XML encoding x-nonsense");
}

TEST(LabelRendererTest, SeveralLabelsAreOneJob) {
  const std::string xml =
      "<labels><label width='40' height='30'><bar x='1' y='1' width='2' height='2'/></label>"
      "<!-- second --><label width='40' height='30' copies='2'/></labels>";
  const std::string head =
      "SIZE 40 mm,30 mm\r\nGAP 2 mm,0 mm\r\nDIRECTION 1\r\nCODEPAGE 1251\r\nCLS\r\n";
  EXPECT_EQ(Render(xml), head + "BAR 1,1,2,2\r\nPRINT 1\r\n" + head + "PRINT 2\r\n");
}

TEST(LabelRendererTest, AcceptsTheBytesAFormPartMayBringAlong) {
  // Whitespace before the document and a stray delimiter fragment after the root element.
  EXPECT_EQ(Render("\n" + InLabel("") + "\r\n--A"), Job(""));
}

TEST(LabelRendererTest, ReasonsForLabelsThatCannotBePrinted) {
  EXPECT_EQ(ErrorOf("<label width='58' height='40'><text x='1'"),
            "XML error at offset 40: Error parsing start element tag");
  EXPECT_EQ(ErrorOf("<label width='58' height='40'></lable>"),
            "XML error at offset 32: Start-end tags mismatch");
  EXPECT_EQ(ErrorOf(""), "XML error at offset 0: No document element found");
  EXPECT_EQ(ErrorOf("<labels/>"), "no label in the XML");
  EXPECT_EQ(ErrorOf("<page/>"), "unknown element <page>");
  EXPECT_EQ(ErrorOf("<labels><page/></labels>"), "unknown element <page>");
  EXPECT_EQ(ErrorOf(InLabel("<circle/>")), "unknown element <circle>");
  EXPECT_EQ(ErrorOf("<label height='40'/>"), "missing attribute width of <label>");
  EXPECT_EQ(ErrorOf(InLabel("<text y='1'>a</text>")), "missing attribute x of <text>");
  EXPECT_EQ(ErrorOf(InLabel("<box x='1' y='1' xend='2'/>")), "missing attribute yend of <box>");
  EXPECT_EQ(ErrorOf(InLabel("<bar x='1' y='1' height='2'/>")), "missing attribute width of <bar>");
}

TEST(LabelRendererTest, AttributeValuesCannotReachIntoTheCommand) {
  EXPECT_EQ(ErrorOf(InLabel("<text x='1,\"x\"' y='1'>a</text>")), "invalid attribute x of <text>");
  EXPECT_EQ(ErrorOf(InLabel("<text x='1' y='1' font='3\"'>a</text>")),
            "invalid attribute font of <text>");
  EXPECT_EQ(ErrorOf(InLabel("<barcode x='1' y='1' type='128&#13;&#10;CLS'>1</barcode>")),
            "invalid attribute type of <barcode>");
  EXPECT_EQ(ErrorOf(InLabel("<qrcode x='1' y='1' ecc='Z'>1</qrcode>")),
            "invalid attribute ecc of <qrcode>");
  EXPECT_EQ(ErrorOf(InLabel("<text x='1' y='1' rotation='45'>a</text>")),
            "invalid attribute rotation of <text>");
  EXPECT_EQ(ErrorOf("<label width='58mm' height='40'/>"), "invalid attribute width of <label>");
  EXPECT_EQ(ErrorOf("<label width='58' height='40' copies='0'/>"),
            "invalid attribute copies of <label>");
  EXPECT_EQ(ErrorOf("<label width='-5' height='40'/>"), "invalid attribute width of <label>");
  // Spaces around a value are forgiven.
  EXPECT_THAT(Render("<label width=' 58 ' height='40'/>"), HasSubstr("SIZE 58 mm,40 mm\r\n"));
}

}  // namespace
}  // namespace dralmin
