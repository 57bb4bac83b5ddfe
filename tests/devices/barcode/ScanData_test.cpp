#include "devices/barcode/ScanData.h"

#include <gtest/gtest.h>

namespace dralmin {
namespace {

using namespace std::string_literals;

TEST(ScanDataTest, LabelIsCutFromTheFirstDataLabelToTheNextClosingTag) {
  EXPECT_EQ(ExtractDataLabel("<scandata><datalabel>0x34 0x36</datalabel><rawdata>0x99</rawdata>"
                             "<datalabel>0x31</datalabel></scandata>"),
            "0x34 0x36");
  // Blanks around the values go; the label may run to the end when nothing closes it.
  EXPECT_EQ(ExtractDataLabel("<datalabel>\n\t 0x41\r\n0x42 \n</datalabel>"), "0x41\r\n0x42");
  EXPECT_EQ(ExtractDataLabel("<datalabel> 0x41 0x42"), "0x41 0x42");
  EXPECT_EQ(ExtractDataLabel("<datalabel></datalabel>"), "");
  EXPECT_EQ(ExtractDataLabel("<scandata><rawdata>0x31</rawdata></scandata>"), std::nullopt);
  EXPECT_EQ(ExtractDataLabel(""), std::nullopt);
}

TEST(ScanDataTest, TrimBlanksRemovesOnlySpaceTabAndLineBreaksAtTheEnds) {
  EXPECT_EQ(TrimBlanks(" \t\r\n a b \n\r\t "), "a b");
  EXPECT_EQ(TrimBlanks(" \t\r\n"), "");
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks("\va\f"), "\va\f");
}

TEST(ScanDataTest, DecodesTheDocumentedLabels) {
  EXPECT_EQ(DecodeHexLabel("0x34 0x36 0x30 0x31"), "4601");
  EXPECT_EQ(DecodeHexLabel(*ExtractDataLabel("<datalabel>\n0x41\n0x42\n</datalabel>")), "AB");
  EXPECT_EQ(DecodeHexLabel("0x41\t0x42\r\n0x43"), "ABC");
  EXPECT_EQ(DecodeHexLabel("0x410x42"), "AB");
  EXPECT_EQ(DecodeHexLabel("0xC9"), "\xC9");  // passed on as the byte, no code page conversion
  EXPECT_EQ(DecodeHexLabel("0xc9 0x00 0x41"), "\xC9\0A"s);
}

TEST(ScanDataTest, OddTokensGiveZeroOrTheirLowByte) {
  EXPECT_EQ(DecodeHexLabel("0x 0x41"), "\0A"s);  // no digits: a zero byte
  EXPECT_EQ(DecodeHexLabel("0xzz 0x41"), "\0A"s);
  EXPECT_EQ(DecodeHexLabel("0x141 0x1FF42"), "\x41\x42"s);  // more than two digits: low byte
  EXPECT_EQ(DecodeHexLabel("0x4G"), "\x04");                // conversion stops at a non-digit
  EXPECT_EQ(DecodeHexLabel("0x-1"), "\xFF");                // a sign is allowed, as strtol has it
  // The first token starts two characters in, whatever they are.
  EXPECT_EQ(DecodeHexLabel("xx41 0x42"), "AB");
  EXPECT_EQ(DecodeHexLabel("4142"), "\x42");
}

TEST(ScanDataTest, LabelsThatDoNotStartWithAPrefixNeverReadOutOfBounds) {
  // An "0x" right after the first character ends the first token before it starts.
  EXPECT_EQ(DecodeHexLabel("00x41"), "\0A"s);
  EXPECT_EQ(DecodeHexLabel("x0x41"), "\0A"s);
  EXPECT_EQ(DecodeHexLabel("0x41 0x"), "A\0"s);
  EXPECT_EQ(DecodeHexLabel("0x0x0x"), "\0\0\0"s);
  EXPECT_EQ(DecodeHexLabel("0"), "\0"s);
  EXPECT_EQ(DecodeHexLabel(""), "\0"s);
}

}  // namespace
}  // namespace dralmin
