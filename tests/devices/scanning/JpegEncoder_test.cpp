#include "devices/scanning/JpegEncoder.h"

#include <gtest/gtest.h>

#include "DibImages.h"
#include "devices/scanning/CDIB.h"

namespace dralmin {
namespace {

using test::BuildDib;
using test::DecodeJpeg;
using test::DibLayout;
using test::Near;

// Four solid quadrants, large enough that JPEG's 8x8 blocks inside each are flat.
constexpr uint32_t kQuadrants[4] = {0xC02010, 0x20B040, 0x3050D0, 0xF0F0F0};

int Quadrant(int x, int y, int width, int height) {
  return (x >= width / 2 ? 1 : 0) + (y >= height / 2 ? 2 : 0);
}

void ExpectQuadrants(const test::DecodedJpeg& jpeg) {
  const int w = jpeg.width;
  const int h = jpeg.height;
  const int xs[2] = {w / 4, 3 * w / 4};
  const int ys[2] = {h / 4, 3 * h / 4};
  for (int q = 0; q < 4; ++q) {
    const uint32_t got = jpeg.At(xs[q & 1], ys[q >> 1]);
    EXPECT_TRUE(Near(got, kQuadrants[q])) << "quadrant " << q << ": " << std::hex << got;
  }
}

class JpegEncoderTest : public ::testing::Test {
 protected:
  CDIB dib;
};

TEST_F(JpegEncoderTest, TrueColourPageKeepsItsColoursAndOrientation) {
  const int w = 67;  // odd: rows carry padding
  const int h = 49;
  auto bytes =
      BuildDib(DibLayout{24, w, h}, [&](int x, int y) { return kQuadrants[Quadrant(x, y, w, h)]; });
  ASSERT_TRUE(dib.LoadFromMemory(bytes.data(), bytes.size()));
  JpegResult result = EncodeJpeg(dib);
  ASSERT_EQ(result.failure, 0u);
  test::DecodedJpeg jpeg = DecodeJpeg(result.bytes);
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.width, w);
  EXPECT_EQ(jpeg.height, h);
  EXPECT_EQ(jpeg.components, 3);
  ExpectQuadrants(jpeg);
  // The encoder's default quality, 75, halves the standard tables: the DC quantiser is 8.
  EXPECT_EQ(jpeg.firstLuminanceQuant, 8);
}

TEST_F(JpegEncoderTest, ColourTablePagesBecomeFullColour) {
  for (int bits : {1, 4, 8}) {
    SCOPED_TRACE(bits);
    const int w = 45;
    const int h = 38;
    DibLayout layout{bits, w, h};
    // One-bit pages can show only two of the colours: use them for the left and right halves.
    layout.palette.assign(1u << bits, 0);
    if (bits == 1) {
      layout.palette = {kQuadrants[0], kQuadrants[1]};
    } else {
      for (int q = 0; q < 4; ++q) layout.palette[q + 1] = kQuadrants[q];
    }
    auto bytes = BuildDib(layout, [&](int x, int y) -> uint32_t {
      const int q = Quadrant(x, y, w, h);
      return bits == 1 ? q & 1 : q + 1;
    });
    ASSERT_TRUE(dib.LoadFromMemory(bytes.data(), bytes.size()));
    JpegResult result = EncodeJpeg(dib);
    ASSERT_EQ(result.failure, 0u);
    test::DecodedJpeg jpeg = DecodeJpeg(result.bytes);
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, w);
    EXPECT_EQ(jpeg.height, h);
    EXPECT_EQ(jpeg.components, 3);
    if (bits == 1) {
      EXPECT_TRUE(Near(jpeg.At(w / 4, h / 4), kQuadrants[0]));
      EXPECT_TRUE(Near(jpeg.At(3 * w / 4, 3 * h / 4), kQuadrants[1]));
    } else {
      ExpectQuadrants(jpeg);
    }
  }
}

TEST_F(JpegEncoderTest, TopDownPageIsNotFlipped) {
  const int w = 32;
  const int h = 32;
  auto bytes = BuildDib(DibLayout{24, w, -h},
                        [&](int x, int y) { return kQuadrants[Quadrant(x, y, w, h)]; });
  ASSERT_TRUE(dib.LoadFromMemory(bytes.data(), bytes.size()));
  ExpectQuadrants(DecodeJpeg(EncodeJpeg(dib).bytes));
}

TEST_F(JpegEncoderTest, NothingHeldIsAFailure) {
  JpegResult result = EncodeJpeg(dib);
  EXPECT_EQ(result.failure, kJpegFailed);
  EXPECT_TRUE(result.bytes.empty());
}

TEST_F(JpegEncoderTest, PagesBeyondTheFormatsLimitFailCleanly) {
  // JPEG dimensions stop at 65500 pixels.
  auto bytes = BuildDib(DibLayout{1, 70000, 1}, [](int, int) -> uint32_t { return 0; });
  bytes.insert(bytes.begin() + 40, 8, 0);  // the two palette entries
  ASSERT_TRUE(dib.LoadFromMemory(bytes.data(), bytes.size()));
  JpegResult result = EncodeJpeg(dib);
  EXPECT_EQ(result.failure, kJpegFailed);
  EXPECT_TRUE(result.bytes.empty());
}

}  // namespace
}  // namespace dralmin
