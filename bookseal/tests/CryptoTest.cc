// The body cipher and the digest: published known answers, in-place work
// on the caller's buffer, and the key rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bookseal/crypto/RC4.h"
#include "bookseal/crypto/SHA256.h"

namespace {

using bookseal::ByteBuffer;

ByteBuffer bufferOf(const std::string& bytes) {
  std::optional<ByteBuffer> buffer = ByteBuffer::allocate(bytes.size());
  EXPECT_TRUE(buffer.has_value());
  if (!bytes.empty()) std::memcpy(buffer->data(), bytes.data(), bytes.size());
  return std::move(*buffer);
}

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string hexOf(std::span<const uint8_t> bytes) {
  std::string text;
  char pair[3];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

std::optional<std::string> rc4(const std::string& key, const std::string& in) {
  std::optional<ByteBuffer> out =
      bookseal::RC4EncryptedDataUsingKey(bufferOf(in), bytesOf(key), nullptr);
  if (!out) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out->data()), out->size());
}

TEST(RC4, KnownAnswers) {
  const struct {
    const char* key;
    const char* plain;
    const char* cipherHex;
  } kCases[] = {
      {"Key", "Plaintext", "bbf316e8d940af0ad3"},
      {"Wiki", "pedia", "1021bf0420"},
      {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.key);
    const std::optional<std::string> cipher = rc4(c.key, c.plain);
    ASSERT_TRUE(cipher.has_value());
    EXPECT_EQ(hexOf(bytesOf(*cipher)), c.cipherHex);
    EXPECT_EQ(rc4(c.key, *cipher), c.plain) << "not symmetric";
  }
}

TEST(RC4, TransformsTheGivenBufferInPlace) {
  ByteBuffer buffer = bufferOf(std::string(100000, 'x'));
  const uint8_t* where = buffer.data();
  std::optional<ByteBuffer> out = bookseal::RC4EncryptedDataUsingKey(
      std::move(buffer), bytesOf("key"), nullptr);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->data(), where);
  EXPECT_EQ(out->size(), 100000u);
}

TEST(RC4, LongKeysActAsTheirFirst256Bytes) {
  std::string key(600, '\0');
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>(i * 7 + 1);
  const std::string plain(1000, 'p');
  const std::optional<std::string> reference = rc4(key.substr(0, 256), plain);
  ASSERT_TRUE(reference.has_value());
  for (size_t length : {257u, 512u, 513u, 600u}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(rc4(key.substr(0, length), plain), reference);
  }
  EXPECT_NE(rc4(key.substr(0, 255), plain), reference);
}

TEST(RC4, EmptyKeyGivesNothingAndSaysWhy) {
  bookseal::CryptoError error;
  EXPECT_FALSE(bookseal::RC4EncryptedDataUsingKey(bufferOf("abc"), {}, &error)
                   .has_value());
  EXPECT_FALSE(error.message.empty());
  EXPECT_EQ(rc4("key", ""), "");
}

TEST(SHA256, KnownAnswers) {
  const struct {
    const char* text;
    const char* digestHex;
  } kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(hexOf(bookseal::sha256(bytesOf(c.text))), c.digestHex);
  }
}

}  // namespace
