// The sealed header's writer and reader: layout, known answers from an
// independent implementation (oracle.py), refusals, and the reader's
// tolerance of fields the writer never makes.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bookseal/encrypt/SealedFormat.h"
#include "bookseal/encrypt/qmcrpt.h"
#include "bookseal/encrypt/qmcrptutil.h"
#include "bookseal/encrypt/qmdecrpt.h"

namespace {

using Header = std::array<uint8_t, bookseal::kHeaderSize>;

constexpr char kKeyText[] = "0123456789abcdef0123456789abcdef";

Header sealedHeader(const char* keyText) {
  Header header{};
  EXPECT_EQ(qmcrpt_bookbin_header(keyText, header.data(), 144), 144);
  return header;
}

std::string fieldText(const Header& header) {
  const char* field = reinterpret_cast<const char*>(header.data() + 16);
  return std::string(field, strnlen(field, 128));
}

void setFieldText(Header& header, const std::string& text) {
  std::memset(header.data() + 16, 0, 128);
  std::memcpy(header.data() + 16, text.data(), text.size());
}

TEST(HeaderCodec, WritesKnownHeaders) {
  // Sealed fields as computed by oracle.py, a separate implementation.
  const struct {
    const char* keyText;
    const char* field;
  } kCases[] = {
      {"kkkkkkkk", "2DC922E8B1E3642E"},
      {kKeyText,
       "186FF5CA1B31B4AC8A1D81ECB56C59E12E42A42F963220E0C3BEC1BFD04E3F00"},
      {"fedcba9876543210fedcba9876543210fedcba98",
       "6E9BD6B6CB4BE39D625A547D23198B712A6F787651C8B191B1B3D9C7B6F6E818675A7B"
       "39DF0D9F3A"},
      {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
       "AC2F6CDE0A78CE1F29EC4C0EEA2F91CF6E2454CE3C04C4EDDEAC43870FC34AD23AAD05"
       "162980DA6C0CD1B45DB3CF2BB7AD4D2389E5530C78F84680E7894318A2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.keyText);
    const Header header = sealedHeader(c.keyText);
    EXPECT_EQ(std::memcmp(header.data(), "9PAGEVUBINMC", 12), 0);
    EXPECT_EQ(header[12], 1);
    EXPECT_EQ(header[13] | header[14] | header[15], 0);
    const size_t fieldLength = std::strlen(c.field);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header.data() + 16),
                          fieldLength),
              c.field);
    for (size_t i = 16 + fieldLength; i < header.size(); ++i) {
      ASSERT_EQ(header[i], 0) << "at offset " << i;
    }
    EXPECT_EQ(sealedHeader(c.keyText), header) << "not deterministic";
  }
}

TEST(HeaderCodec, RefusesAndWritesNothing) {
  const std::string tooLong(72, 'a');
  const struct {
    const char* name;
    const char* keyText;
    bool nullHeader;
    int32_t capacity;
  } kCases[] = {
      {"12 characters", "0123456789ab", false, 144},
      {"7 characters", "0123456", false, 144},
      {"empty key text", "", false, 144},
      {"72 characters", tooLong.c_str(), false, 144},
      {"null key text", nullptr, false, 144},
      {"null header", kKeyText, true, 144},
      {"capacity 143", kKeyText, false, 143},
      {"capacity 0", kKeyText, false, 0},
      {"negative capacity", kKeyText, false, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::array<uint8_t, 200> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(
        qmcrpt_bookbin_header(c.keyText, c.nullHeader ? nullptr : buffer.data(),
                              c.capacity),
        -1);
    for (uint8_t byte : buffer) ASSERT_EQ(byte, 0xEE);
  }
}

TEST(HeaderCodec, ReadsBackEveryKeyLength) {
  for (size_t length = 8; length <= 64; length += 8) {
    const std::string keyText =
        std::string(
            "Zz9-key-text-of-any-bytes-0123456789abcdef!?~ABCDEFGHIJ"
            "KLMNOPQRSTU")
            .substr(0, length);
    SCOPED_TRACE(keyText);
    const Header header = sealedHeader(keyText.c_str());
    EXPECT_EQ(fieldText(header).size(), 2 * length);
    char key[128] = {};
    ASSERT_EQ(qmdecrpt_bookbin_header(header.data(), 144, key, 128), 144);
    EXPECT_EQ(std::string(key), keyText);
  }
}

TEST(HeaderCodec, ReaderCasesTable) {
  const Header good = sealedHeader(kKeyText);
  const std::string field = fieldText(good);
  std::string lower = field;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));

  const struct {
    const char* name;
    std::function<void(Header&)> change;
    int32_t headerLength;
    int32_t capacity;
    int32_t result;
    size_t keyLength;  // Bytes written to keyOut when result is 144.
  } kCases[] = {
      {"as written", [](Header&) {}, 144, 128, 144, 32},
      {"lowercase field", [&](Header& h) { setFieldText(h, lower); }, 144, 128,
       144, 32},
      {"version 7", [](Header& h) { h[12] = 7; }, 144, 128, 144, 32},
      {"version 0xFFFFFFFF",
       [](Header& h) { std::memset(h.data() + 12, 0xFF, 4); }, 144, 128, 144,
       32},
      {"longer buffer given", [](Header&) {}, 1000, 128, 144, 32},
      {"capacity one more than the key", [](Header&) {}, 144, 33, 144, 32},
      {"capacity equal to the key", [](Header&) {}, 144, 32, 0, 0},
      {"capacity 1", [](Header&) {}, 144, 1, 0, 0},
      {"capacity 0", [](Header&) {}, 144, 0, -1, 0},
      {"negative capacity", [](Header&) {}, 144, -5, -1, 0},
      {"header length 143", [](Header&) {}, 143, 128, -1, 0},
      {"negative header length", [](Header&) {}, -1, 128, -1, 0},
      {"empty field", [](Header& h) { setFieldText(h, ""); }, 144, 128, -1, 0},
      {"12-character field",
       [&](Header& h) { setFieldText(h, field.substr(0, 12)); }, 144, 128, -1,
       0},
      {"15-character field",
       [&](Header& h) { setFieldText(h, field.substr(0, 15)); }, 144, 128, -1,
       0},
      {"16-character field",
       [&](Header& h) { setFieldText(h, field.substr(0, 16)); }, 144, 128, 144,
       8},
      {"21-character field",
       [&](Header& h) { setFieldText(h, field.substr(0, 21)); }, 144, 128, 144,
       10},
      {"128 characters, no zero byte",
       [](Header& h) { std::memset(h.data() + 16, 'A', 128); }, 144, 128, 144,
       64},
      {"not hexadecimal",
       [](Header& h) {
         h[20] = 'G';
         h[21] = '#';
       },
       144, 128, 144, 32},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Header header = good;
    c.change(header);
    std::vector<uint8_t> buffer(std::max<int32_t>(c.headerLength, 144));
    std::memcpy(buffer.data(), header.data(), header.size());
    char key[160];
    std::memset(key, 0, sizeof key);
    key[0] = '?';  // Shows whether anything was written.
    ASSERT_EQ(
        qmdecrpt_bookbin_header(buffer.data(), c.headerLength, key, c.capacity),
        c.result);
    if (c.result != 144) {
      EXPECT_EQ(key[0], '?');
      EXPECT_EQ(strnlen(key, sizeof key), 1u);
      continue;
    }
    EXPECT_EQ(strnlen(key + c.keyLength, sizeof key - c.keyLength), 0u)
        << "wrote past the key";
  }
}

TEST(HeaderCodec, ReaderKeepsKeysFromEquivalentFields) {
  const Header good = sealedHeader(kKeyText);
  std::string lower = fieldText(good);
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  Header lowered = good;
  setFieldText(lowered, lower);
  Header versioned = good;
  versioned[12] = 2;
  const Header* const headers[] = {&good, &lowered, &versioned};
  for (const Header* header : headers) {
    char key[128] = {};
    ASSERT_EQ(qmdecrpt_bookbin_header(header->data(), 144, key, 128), 144);
    EXPECT_STREQ(key, kKeyText);
  }
}

TEST(HeaderCodec, ReaderDecodesTailBytesOfAnOddFieldAsText) {
  Header header = sealedHeader(kKeyText);
  // 20 characters: two words are decrypted, the last two bytes are not.
  setFieldText(header, fieldText(header).substr(0, 16) + "7aF0");
  char key[128] = {};
  ASSERT_EQ(qmdecrpt_bookbin_header(header.data(), 144, key, 128), 144);
  EXPECT_EQ(static_cast<uint8_t>(key[8]), 0x7A);
  EXPECT_EQ(static_cast<uint8_t>(key[9]), 0xF0);
}

TEST(HeaderCodec, ReaderRefusesAnyWrongMagicByte) {
  const Header good = sealedHeader(kKeyText);
  for (size_t i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    Header header = good;
    header[i] ^= 0x20;
    char key[128] = {};
    EXPECT_EQ(qmdecrpt_bookbin_header(header.data(), 144, key, 128), -1);
    EXPECT_EQ(key[0], 0);
  }
  char key[128] = {};
  EXPECT_EQ(qmdecrpt_bookbin_header(nullptr, 144, key, 128), -1);
  EXPECT_EQ(qmdecrpt_bookbin_header(good.data(), 144, nullptr, 128), -1);
}

TEST(HeaderCodecUtil, ConvertASCIItoBinTable) {
  const struct {
    const char* text;
    uint8_t byte;
  } kCases[] = {
      {"00", 0x00}, {"09", 0x09}, {"A0", 0xA0}, {"af", 0xAF}, {"FF", 0xFF},
      {"fF", 0xFF}, {"G1", 0x71}, {"zz", 0xAA}, {"::", 0xAA}, {" 0", 0x00},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    uint8_t out[2] = {0x55, 0x55};
    qmcrptutil::ConvertASCIItoBin(c.text, out, 1);
    EXPECT_EQ(out[0], c.byte);
    EXPECT_EQ(out[1], 0x55) << "wrote more than count bytes";
  }
}

TEST(HeaderCodecUtil, LittleEndianWords) {
  uint8_t bytes[5] = {0, 0, 0, 0, 0x55};
  qmcrptutil::WriteInt32(bytes, 0x01020304u);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(bytes[4], 0x55);
  EXPECT_EQ(qmcrptutil::ReadInt32(bytes), 0x01020304u);
  qmcrptutil::WriteInt32(bytes, 0xFEDCBA98u);
  EXPECT_EQ(qmcrptutil::ReadInt32(bytes), 0xFEDCBA98u);
}

TEST(HeaderCodecUtil, XXTEADecryptUndoesEncryptForEveryWordCount) {
  uint32_t key[4];
  qmcrptutil::SealingKeyWords(key);
  EXPECT_EQ(key[0], 0x08C3175Au);
  EXPECT_EQ(key[3], 0x0B8ED241u);
  for (int32_t n = 2; n <= 32; ++n) {
    SCOPED_TRACE(n);
    std::vector<uint32_t> words(n);
    for (int32_t i = 0; i < n; ++i) words[i] = 0x9E3779B9u * (i + 1) ^ n;
    std::vector<uint32_t> sealed = words;
    qmcrptutil::XXTEAEncrypt(sealed.data(), n, key);
    EXPECT_NE(sealed, words);
    qmcrptutil::XXTEADecrypt(sealed.data(), n, key);
    EXPECT_EQ(sealed, words);
  }
}

}  // namespace
