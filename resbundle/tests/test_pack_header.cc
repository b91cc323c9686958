// The 460-byte header block: validity rules and the codec both ways.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mycrc32.h"

namespace pf = packformat;

namespace {

std::vector<unsigned char> validBlock() {
  KXPackFiles pack;
  pack.setFilesXMLOffset(0x1122334455667788ull);
  pack.setFilesXMLLength(1000);
  pack.setFilesXMLCompressLength(400);
  pack.setFilesXMLCrc32(0xDEADBEEF);
  pack.setFilesXMLCompressCrc32(0x01020304);
  pack.setFileXMLIsCompressed(true);
  pack.addPackGroup(std::make_unique<KXPackGroup>());
  pack.addPackGroup(std::make_unique<KXPackGroup>());
  auto block = KXPackFiles::packHeader(&pack);
  return {block.get(), block.get() + pf::kHeaderSize};
}

void reseal(std::vector<unsigned char>& b) {
  pf::storeLE32(b.data() + 456, myCRC32(0, b.data(), 456));
}

TEST(PackHeader, LayoutOfWrittenBlock) {
  const auto b = validBlock();
  EXPECT_EQ(std::memcmp(b.data(), "0e2a744e-4d15-4fb5-8816-3107437abc31", 36),
            0);
  EXPECT_EQ(
      std::memcmp(b.data() + 111, "8f8ed818-04eb-4639-a012-cd259d7b631b", 36),
      0);
  const struct {
    size_t offset;
    int width;
    uint64_t value;
  } kFields[] = {{148, 4, 460},
                 {152, 4, 1},
                 {156, 4, 1},
                 {160, 4, 2},
                 {164, 8, 0x1122334455667788ull},
                 {172, 8, 1000},
                 {180, 8, 400},
                 {188, 4, 0xDEADBEEF},
                 {192, 4, 0x01020304},
                 {196, 4, 1},
                 {36, 1, 0},
                 {147, 1, 0}};
  for (const auto& f : kFields) {
    SCOPED_TRACE(f.offset);
    const uint64_t got = f.width == 8   ? pf::loadLE64(b.data() + f.offset)
                         : f.width == 4 ? pf::loadLE32(b.data() + f.offset)
                                        : b[f.offset];
    EXPECT_EQ(got, f.value);
  }
  for (size_t i = 200; i < 456; ++i) ASSERT_EQ(b[i], 0) << i;
  EXPECT_EQ(pf::loadLE32(b.data() + 456), myCRC32(0, b.data(), 456));
}

TEST(PackHeader, Validity) {
  const struct {
    const char* name;
    std::function<void(std::vector<unsigned char>&)> change;
    bool valid;
  } kCases[] = {
      {"as written", [](auto&) {}, true},
      {"byte 148 changed", [](auto& b) { b[148] ^= 1; }, false},
      {"reserved byte changed", [](auto& b) { b[300] = 7; }, false},
      {"byte 455 changed", [](auto& b) { b[455] ^= 0x80; }, false},
      {"checksum changed", [](auto& b) { b[457] ^= 1; }, false},
      {"signature 3 changed, resealed",
       [](auto& b) {
         b[80] = 'x';
         reseal(b);
       },
       false},
      {"separators non-zero, resealed",
       [](auto& b) {
         b[36] = b[73] = b[110] = b[147] = '!';
         reseal(b);
       },
       true},
      {"odd versions and reserved bytes, resealed",
       [](auto& b) {
         b[152] = 9;
         b[250] = 1;
         reseal(b);
       },
       true},
      {"standard CRC-32 instead",
       [](auto& b) {
         // zlib's crc32 of the same bytes: a foreign checksum.
         uint32_t c = 0xFFFFFFFF;
         for (size_t i = 0; i < 456; ++i) {
           c ^= b[i];
           for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & -(c & 1));
         }
         pf::storeLE32(b.data() + 456, ~c);
       },
       false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto b = validBlock();
    c.change(b);
    EXPECT_EQ(KXPackFiles::isValidFilesSignature(b.data()), c.valid);
    EXPECT_EQ(KXPackFiles::buildPackHeader(b.data()) != nullptr, c.valid);
  }
  EXPECT_FALSE(KXPackFiles::isValidFilesSignature(nullptr));
}

TEST(PackHeader, BuildTakesFieldsButNotGroups) {
  const auto b = validBlock();
  auto pack = KXPackFiles::buildPackHeader(b.data());
  ASSERT_NE(pack, nullptr);
  EXPECT_EQ(pack->packGroupCount(), 0u);  // The block says 2.
  EXPECT_EQ(pack->filesXMLOffset(), 0x1122334455667788ull);
  EXPECT_EQ(pack->filesXMLLength(), 1000u);
  EXPECT_EQ(pack->filesXMLCompressLength(), 400u);
  EXPECT_EQ(pack->filesXMLCrc32(), 0xDEADBEEF);
  EXPECT_EQ(pack->filesXMLCompressCrc32(), 0x01020304u);
  EXPECT_TRUE(pack->filesXMLIsCompressed());
  EXPECT_EQ(KXPackFiles::packHeader(nullptr), nullptr);
}

}  // namespace
