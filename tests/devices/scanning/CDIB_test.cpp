#include "devices/scanning/CDIB.h"

#include <gtest/gtest.h>

#include <cstring>

#include "DibImages.h"
#include "platform/MemoryHandle.h"

namespace dralmin {
namespace {

using test::BuildDib;
using test::DibLayout;
using Refusals = std::vector<std::string>;

class CDIBTest : public ::testing::Test {
 protected:
  // Loads `bytes`, noting the reason of a refusal.
  bool Load(const std::vector<uint8_t>& bytes) {
    const bool loaded = dib.LoadFromMemory(bytes.data(), bytes.size());
    if (!loaded) refusals.push_back(dib.Refusal());
    return loaded;
  }

  Refusals refusals;
  CDIB dib;
};

// The pixel value of column x in a row of a 1, 4 or 8-bit DIB.
unsigned IndexAt(const uint8_t* row, int bits, int x) {
  const int perByte = 8 / bits;
  return (row[x / perByte] >> (8 - bits * (x % perByte + 1))) & ((1u << bits) - 1);
}

TEST_F(CDIBTest, PaddedRowsAreReadTopRowFirstForEveryAcceptedBitCount) {
  struct Case {
    int bits;
    int32_t width;
    int32_t stride;
  };
  for (const Case c : {Case{1, 33, 8}, Case{1, 32, 4}, Case{4, 7, 4}, Case{8, 3, 4},
                       Case{8, 640, 640}, Case{24, 5, 16}, Case{24, 1, 4}}) {
    SCOPED_TRACE(c.bits);
    const int32_t height = 5;
    DibLayout layout{c.bits, c.width, height};
    if (c.bits <= 8) layout.palette.assign(1u << c.bits, 0x102030);
    auto pixel = [&](int x, int y) -> uint32_t {
      return c.bits == 24 ? static_cast<uint32_t>(x * 40 + y) : (x + y) % (1u << c.bits);
    };
    ASSERT_TRUE(Load(BuildDib(layout, pixel)));
    EXPECT_EQ(dib.Width(), c.width);
    EXPECT_EQ(dib.Height(), height);
    EXPECT_EQ(dib.Stride(), c.stride);
    EXPECT_EQ(dib.BitCount(), c.bits);
    EXPECT_EQ(dib.ColourCount(), c.bits <= 8 ? 1 << c.bits : 0);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        if (c.bits == 24) {
          const uint8_t* p = dib.Row(y) + 3 * x;
          ASSERT_EQ(p[0] | p[1] << 8 | p[2] << 16, static_cast<int>(pixel(x, y))) << x << "," << y;
        } else {
          ASSERT_EQ(IndexAt(dib.Row(y), c.bits, x), pixel(x, y)) << x << "," << y;
        }
      }
    }
  }
  EXPECT_TRUE(refusals.empty());
  EXPECT_STREQ(dib.Refusal(), "");
}

TEST_F(CDIBTest, TopDownDibReadsLikeTheSameBottomUpOne) {
  auto pixel = [](int x, int y) -> uint32_t { return static_cast<uint32_t>((y << 16) | x); };
  ASSERT_TRUE(Load(BuildDib(DibLayout{24, 3, -4}, pixel)));
  EXPECT_EQ(dib.Height(), 4);
  for (int y = 0; y < 4; ++y) {
    EXPECT_EQ(dib.Row(y)[0], 0);  // blue of x = 0
    EXPECT_EQ(dib.Row(y)[2], y);  // red holds the row number
  }
}

TEST_F(CDIBTest, ShorterColourTableIsReadAsDeclared) {
  DibLayout layout{8, 4, 2};
  layout.palette = {0xFF0000, 0x00FF00, 0x0000FF};
  layout.clrUsed = 3;
  ASSERT_TRUE(Load(BuildDib(layout, [](int x, int) -> uint32_t { return x % 3; })));
  ASSERT_EQ(dib.ColourCount(), 256);
  const uint8_t* table = dib.ColourTable();
  EXPECT_EQ(table[2], 0xFF);                                       // entry 0 red
  EXPECT_EQ(table[4 + 1], 0xFF);                                   // entry 1 green
  EXPECT_EQ(table[8 + 0], 0xFF);                                   // entry 2 blue
  for (int i = 12; i < 256 * 4; ++i) ASSERT_EQ(table[i], 0) << i;  // not declared: black
  // The pixels follow the three entries, not a full table.
  EXPECT_EQ(dib.Row(0)[0], 0);
  EXPECT_EQ(dib.Row(0)[1], 1);
  EXPECT_EQ(dib.Row(0)[2], 2);
  // The copy describes itself as a plain header with a full table.
  uint32_t clrUsed = 1, size = 0;
  std::memcpy(&clrUsed, dib.Info() + 32, 4);
  std::memcpy(&size, dib.Info(), 4);
  EXPECT_EQ(clrUsed, 0u);
  EXPECT_EQ(size, 40u);
}

TEST_F(CDIBTest, TrueColourPixelsFollowADeclaredTable) {
  DibLayout layout{24, 2, 1};
  layout.palette = {0x111111, 0x222222, 0x333333};
  layout.clrUsed = 3;
  ASSERT_TRUE(
      Load(BuildDib(layout, [](int x, int) -> uint32_t { return x ? 0x0000FF : 0xFF0000; })));
  EXPECT_EQ(dib.ColourCount(), 0);
  const uint8_t* row = dib.Row(0);
  EXPECT_EQ(row[0] | row[1] << 8 | row[2] << 16, 0xFF0000);
  EXPECT_EQ(row[3] | row[4] << 8 | row[5] << 16, 0x0000FF);
  // A table that would run past the block is refused, not read.
  layout.clrUsed = 0x40000000;
  EXPECT_FALSE(Load(BuildDib(layout, [](int, int) -> uint32_t { return 0; })));
}

TEST_F(CDIBTest, LongerHeaderKeepsTheTableAfterIt) {
  DibLayout layout{1, 8, 1};
  layout.headerSize = 124;
  layout.palette = {0x000000, 0xFFFFFF};
  ASSERT_TRUE(Load(BuildDib(layout, [](int x, int) -> uint32_t { return x & 1; })));
  EXPECT_EQ(dib.ColourTable()[4], 0xFF);
  EXPECT_EQ(dib.Row(0)[0], 0x55);
}

TEST_F(CDIBTest, RefusedDibsSayWhyAndHoldNothing) {
  auto any = [](int, int) -> uint32_t { return 0; };
  struct Case {
    DibLayout layout;
    const char* message;
  };
  DibLayout compressed{8, 4, 4};
  compressed.palette.assign(256, 0);
  compressed.compression = 1;
  DibLayout noWidth{24, 0, 4};
  DibLayout noHeight{24, 4, 0};
  for (const Case& c :
       {Case{DibLayout{16, 4, 4}, "Invalid bit count"},
        Case{DibLayout{32, 4, 4}, "Invalid bit count"},
        Case{DibLayout{2, 4, 4}, "Invalid bit count"}, Case{compressed, "Invalid compression"},
        Case{noWidth, "Error create"}, Case{noHeight, "Error create"}}) {
    ASSERT_TRUE(Load(BuildDib(DibLayout{24, 2, 2}, any)));  // something held before
    refusals.clear();
    EXPECT_FALSE(Load(BuildDib(c.layout, any))) << c.message;
    EXPECT_EQ(refusals, (Refusals{c.message}));
    EXPECT_FALSE(dib.IsLoaded());
  }
}

TEST_F(CDIBTest, BlocksShorterThanTheirHeaderClaimsAreRefused) {
  DibLayout layout{8, 33, 10};
  layout.palette.assign(256, 0);
  std::vector<uint8_t> bytes = BuildDib(layout, [](int, int) -> uint32_t { return 1; });

  std::vector<uint8_t> oneByteShort(bytes.begin(), bytes.end() - 1);
  EXPECT_FALSE(Load(oneByteShort));
  std::vector<uint8_t> headerOnly(bytes.begin(), bytes.begin() + 40);
  EXPECT_FALSE(Load(headerOnly));
  std::vector<uint8_t> partOfHeader(bytes.begin(), bytes.begin() + 39);
  EXPECT_FALSE(Load(partOfHeader));

  // Dimensions whose product overflows must not wrap round to a small size.
  std::vector<uint8_t> huge = bytes;
  const int32_t big = 0x7FFFFFFF;
  std::memcpy(huge.data() + 4, &big, 4);
  std::memcpy(huge.data() + 8, &big, 4);
  EXPECT_FALSE(Load(huge));
  const int32_t lowest = INT32_MIN;
  std::memcpy(huge.data() + 8, &lowest, 4);
  EXPECT_FALSE(Load(huge));
  // A header size beyond the block.
  std::vector<uint8_t> longHeader = bytes;
  const uint32_t headerSize = 0xFFFFFFF0;
  std::memcpy(longHeader.data(), &headerSize, 4);
  EXPECT_FALSE(Load(longHeader));

  EXPECT_EQ(refusals, Refusals(6, "Error create"));
  EXPECT_TRUE(Load(bytes));
}

TEST_F(CDIBTest, LoadsFromAMemoryHandle) {
  std::vector<uint8_t> bytes = BuildDib(DibLayout{24, 2, 2}, [](int x, int y) -> uint32_t {
    return x == 1 && y == 0 ? 0xABCDEF : 0;
  });
  TW_HANDLE handle = AllocateMemory(bytes.size());
  std::memcpy(LockMemory(handle), bytes.data(), bytes.size());
  UnlockMemory(handle);
  ASSERT_TRUE(dib.LoadFromHandle(handle));
  FreeMemory(handle);  // the copy outlives the block
  EXPECT_EQ(dib.Row(0)[3], 0xEF);
  EXPECT_EQ(dib.Row(0)[5], 0xAB);

  EXPECT_FALSE(dib.LoadFromHandle(nullptr));
  EXPECT_STREQ(dib.Refusal(), "Error create");
}

}  // namespace
}  // namespace dralmin
