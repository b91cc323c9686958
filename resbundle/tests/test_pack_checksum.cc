// The pack checksum: known values, chaining, and the slicing form agreeing
// with the byte form at every length and alignment.
#include <gtest/gtest.h>

#include <string>

#include "resbundle/KXPack/store/mycrc32.h"
#include "resbundle/tests/pack_test_support.h"

namespace {

TEST(PackChecksum, KnownValues) {
  const struct {
    const char* name;
    uint32_t init;
    std::string data;
    uint32_t expected;
  } kCases[] = {
      {"abc", 0, "abc", 0x938FFEBE},
      {"no bytes keep init", 5, "", 5},
      {"no bytes from 0", 0, "", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(myCRC32(c.init, c.data.data(), c.data.size()), c.expected);
    EXPECT_EQ(myCRC32Bytewise(c.init, c.data.data(), c.data.size()),
              c.expected);
  }
}

TEST(PackChecksum, TableStartsAsDefined) {
  const uint32_t kFirst[] = {0x00000000, 0x376AC201, 0x6ED48403, 0x59BE4602};
  for (unsigned i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(myCRC32TableEntry(i), kFirst[i]);
  }
}

TEST(PackChecksum, IsNotZlibCrc) {
  // The standard CRC-32 of "abc" is 0x352441C2; a pack made with it must
  // not pass.
  EXPECT_NE(myCRC32(0, "abc", 3), 0x352441C2u);
}

TEST(PackChecksum, SlicingMatchesBytewiseAtEveryLengthAndAlignment) {
  const std::string data = packtest::randomBytes(4096 + 64, 7);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length : {0, 1, 15, 16, 17, 31, 33, 255, 1000, 4096}) {
      SCOPED_TRACE(testing::Message() << offset << "+" << length);
      const char* p = data.data() + offset;
      EXPECT_EQ(myCRC32Slicing16(0x12345678, p, length),
                myCRC32Bytewise(0x12345678, p, length));
    }
  }
}

TEST(PackChecksum, ChainsAcrossPieces) {
  const std::string data = packtest::randomBytes(100000, 3);
  const uint32_t whole = myCRC32(0, data.data(), data.size());
  for (size_t cut : {0, 1, 17, 65536, 99999, 100000}) {
    SCOPED_TRACE(cut);
    const uint32_t first = myCRC32(0, data.data(), cut);
    EXPECT_EQ(myCRC32(first, data.data() + cut, data.size() - cut), whole);
  }
}

}  // namespace
