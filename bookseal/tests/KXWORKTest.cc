// The sealing tool's jobs run in process: round trips, the path checks and
// their side effects, refusals of bad sealed files, and the atomic write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bookseal/KXParseArgument.h"
#include "bookseal/KXWORK.h"
#include "bookseal/encrypt/qmcrpt.h"
#include "bookseal/encrypt/qmcrptutil.h"
#include "bookseal/tests/TestFiles.h"

namespace {

using bookseal::test::bookBytes;
using bookseal::test::exists;
using bookseal::test::readFile;
using bookseal::test::ScratchDir;
using bookseal::test::writeFile;

constexpr char kKeyText[] = "0123456789abcdef0123456789abcdef";

std::string headerFor(const char* keyText) {
  std::string header(144, '\0');
  EXPECT_EQ(qmcrpt_bookbin_header(
                keyText, reinterpret_cast<uint8_t*>(header.data()), 144),
            144);
  return header;
}

TEST(KXWORK, RoundTripsBooksOfManySizes) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  for (size_t size :
       {size_t{1}, size_t{2}, size_t{7}, size_t{4099}, size_t{(5 << 20) + 5}}) {
    SCOPED_TRACE(size);
    const std::string plain = bookBytes(size, static_cast<uint32_t>(size));
    ASSERT_TRUE(writeFile(dir / "plain", plain));
    ASSERT_EQ(
        KXWORK::encryptFileWithKeyText(dir / "plain", dir / "sealed", kKeyText),
        0);
    const std::string sealed = readFile(dir / "sealed").value_or("");
    ASSERT_EQ(sealed.size(), 144 + size);
    EXPECT_EQ(sealed.substr(0, 144), headerFor(kKeyText));
    EXPECT_NE(sealed.substr(144, 64), plain.substr(0, 64));
    ASSERT_EQ(KXWORK::decryptFile(dir / "sealed", dir / "back"), 0);
    EXPECT_TRUE(readFile(dir / "back") == plain);
  }
}

TEST(KXWORK, SealingIsReproducibleForOneKeyText) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "plain", bookBytes(5000)));
  ASSERT_EQ(KXWORK::encryptFileWithKeyText(dir / "plain", dir / "a", kKeyText),
            0);
  ASSERT_EQ(KXWORK::encryptFileWithKeyText(dir / "plain", dir / "b", kKeyText),
            0);
  ASSERT_EQ(KXWORK::encryptFileWithKeyText(dir / "plain", dir / "c",
                                           "00000000000000000000000000000000"),
            0);
  EXPECT_EQ(readFile(dir / "a"), readFile(dir / "b"));
  EXPECT_NE(readFile(dir / "a")->substr(144), readFile(dir / "c")->substr(144));
}

TEST(KXWORK, SealsEmptyFilesAndFoldersToTheHeaderAlone) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "empty", ""));
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  for (const char* source : {"empty", "folder"}) {
    SCOPED_TRACE(source);
    ASSERT_EQ(
        KXWORK::encryptFileWithKeyText(dir / source, dir / "sealed", kKeyText),
        0);
    EXPECT_EQ(readFile(dir / "sealed"), headerFor(kKeyText));
    EXPECT_EQ(KXWORK::decryptFile(dir / "sealed", dir / "back"), -1);
    EXPECT_FALSE(exists(dir / "back"));
  }
}

TEST(KXWORK, KeyTextsTheHeaderCannotCarryAreRefused) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "plain", "book"));
  const std::string kCases[] = {"", "0123456789ab", std::string(72, 'a'),
                                std::string("01234567\0"
                                            "9abcdef",
                                            16)};
  for (const std::string& keyText : kCases) {
    SCOPED_TRACE(keyText.size());
    ASSERT_TRUE(writeFile(dir / "out", "old"));
    EXPECT_EQ(
        KXWORK::encryptFileWithKeyText(dir / "plain", dir / "out", keyText),
        -1);
    EXPECT_FALSE(exists(dir / "out"));
  }
}

TEST(KXWORK, ToolKeyTextComesFromTheDateDigest) {
  EXPECT_EQ(KXWORK::keyTextForDate("abc"), "ba7816bf8f01cfea414140de5dae2223");
  const std::string date = KXWORK::currentDateText();
  EXPECT_EQ(date.size(), std::strlen("2024-05-01 10:20:30.123456789 +0000"));
  EXPECT_NE(date, KXWORK::currentDateText());

  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "plain", "book"));
  ASSERT_EQ(KXWORK::encryptFile(dir / "plain", dir / "sealed"), 0);
  const std::string sealed = readFile(dir / "sealed").value_or("");
  ASSERT_EQ(sealed.size(), 148u);
  const std::optional<std::string> keyText = KXWORK::keyTextOfHeader(
      reinterpret_cast<const uint8_t*>(sealed.data()), sealed.size());
  ASSERT_TRUE(keyText.has_value());
  EXPECT_EQ(keyText->size(), 32u);
  EXPECT_EQ(keyText->find_first_not_of("0123456789abcdef"), std::string::npos);
}

// A sealed file whose key field unseals to a key starting with a zero byte,
// which leaves an empty RC4 key.
std::string sealedWithEmptyKey() {
  uint8_t keyBytes[32] = {0, 'a', 'b', 'c'};
  uint32_t words[8];
  for (int i = 0; i < 8; ++i)
    words[i] = qmcrptutil::ReadInt32(keyBytes + 4 * i);
  uint32_t key[4];
  qmcrptutil::SealingKeyWords(key);
  qmcrptutil::XXTEAEncrypt(words, 8, key);
  for (int i = 0; i < 8; ++i)
    qmcrptutil::WriteInt32(keyBytes + 4 * i, words[i]);
  std::string header = headerFor(kKeyText);
  qmcrptutil::ConvertBinToASCII(keyBytes, 32, header.data() + 16);
  return header + "body";
}

TEST(KXWORK, RefusesFilesThatAreNotSealedBooks) {
  const std::string header = headerFor(kKeyText);
  std::string badMagic = header + "body";
  badMagic[3] = 'X';
  std::string shortField = header + "body";
  std::memset(shortField.data() + 16 + 14, 0, 128 - 14);
  const struct {
    const char* name;
    std::string content;
  } kCases[] = {
      {"empty file", ""},
      {"143 bytes", header.substr(0, 143)},
      {"header without body", header},
      {"wrong magic", badMagic},
      {"14-character key field", shortField},
      {"key unseals empty", sealedWithEmptyKey()},
  };
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(writeFile(dir / "sealed", c.content));
    ASSERT_TRUE(writeFile(dir / "out", "old destination"));
    EXPECT_EQ(KXWORK::decryptFile(dir / "sealed", dir / "out"), -1);
    EXPECT_FALSE(exists(dir / "out"));
    EXPECT_EQ(readFile(dir / "sealed"), c.content) << "source changed";
  }
}

TEST(KXWORK, RefusesSealedFilesOf2GiBOrMore) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  // Sparse: takes no disk space, and must be refused before it is read.
  ASSERT_TRUE(writeFile(dir / "huge", headerFor(kKeyText)));
  ASSERT_EQ(::truncate((dir / "huge").c_str(), off_t{1} << 31), 0);
  EXPECT_EQ(KXWORK::decryptFile(dir / "huge", dir / "out"), -1);
  EXPECT_FALSE(exists(dir / "out"));
}

TEST(KXWORK, UnsealsInMemory) {
  const std::string plain = bookBytes(300);
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "plain", plain));
  ASSERT_EQ(
      KXWORK::encryptFileWithKeyText(dir / "plain", dir / "sealed", kKeyText),
      0);
  const std::string sealed = readFile(dir / "sealed").value_or("");
  std::optional<bookseal::ByteBuffer> buffer =
      bookseal::ByteBuffer::allocate(sealed.size());
  ASSERT_TRUE(buffer.has_value());
  std::memcpy(buffer->data(), sealed.data(), sealed.size());
  std::optional<bookseal::ByteBuffer> body =
      KXWORK::unsealedBody(std::move(*buffer));
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(body->data()), body->size()),
      plain);
}

// Each case starts from a scratch folder holding "book" (a plain file) and
// "old" (a file in the destination's place).
TEST(KXWORK, PathChecksTable) {
  enum Kept { kRemoved, kKept };
  const struct {
    const char* name;
    std::function<void(const ScratchDir&)> setup;
    std::string src;  // Relative to the scratch folder unless empty.
    std::string dst;
    int code;
    Kept dstKept;           // What happened to whatever was at dst before.
    const char* mustExist;  // A path the check must leave or create.
  } kCases[] = {
      {"empty source", nullptr, "", "old", 2, kKept, "old"},
      {"missing source", nullptr, "missing", "old", 2, kKept, "old"},
      {"empty destination", nullptr, "book", "", 3, kKept, "old"},
      {"old destination file", nullptr, "book", "old", 0, kRemoved, "book"},
      {"nested new folder", nullptr, "book", "a/b/c/out", 0, kRemoved, "a/b/c"},
      {"folder where a file is", nullptr, "book", "old/sub/out", 3, kKept,
       "old"},
      {"old destination folder",
       [](const ScratchDir& d) {
         ::mkdir((d / "tree").c_str(), 0755);
         writeFile(d / "tree/leaf", "x");
       },
       "book", "tree", 0, kRemoved, "book"},
      {"destination is the source", nullptr, "book", "book", 0, kKept, "book"},
      {"destination is a link to the source",
       [](const ScratchDir& d) {
         ::symlink((d / "book").c_str(), (d / "link").c_str());
       },
       "book", "link", 0, kRemoved, "book"},
      {"source is a link to the destination",
       [](const ScratchDir& d) {
         ::symlink((d / "book").c_str(), (d / "link").c_str());
       },
       "link", "book", 0, kKept, "book"},
      {"destination folder holds the source",
       [](const ScratchDir& d) {
         ::mkdir((d / "shelf").c_str(), 0755);
         ::mkdir((d / "shelf/row").c_str(), 0755);
         writeFile(d / "shelf/row/inner", "inner book");
       },
       "shelf/row/inner", "shelf", 0, kKept, "shelf/row/inner"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(writeFile(dir / "book", "plain book"));
    ASSERT_TRUE(writeFile(dir / "old", "old destination"));
    if (c.setup) c.setup(dir);
    const std::string dst = c.dst.empty() ? "" : dir / c.dst;
    const bool dstExisted = !dst.empty() && exists(dst);
    EXPECT_EQ(
        KXWORK::checkEncryptArgument(c.src.empty() ? "" : dir / c.src, dst),
        c.code);
    if (dstExisted) {
      EXPECT_EQ(exists(dst), c.dstKept == kKept);
    }
    EXPECT_TRUE(exists(dir / c.mustExist));
    EXPECT_EQ(readFile(dir / "book"), "plain book");
  }
}

TEST(KXWORK, SealsAndUnsealsInPlace) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string plain = bookBytes(70000);
  ASSERT_TRUE(writeFile(dir / "book", plain));
  ASSERT_EQ(
      KXWORK::encryptFileWithKeyText(dir / "book", dir / "book", kKeyText), 0);
  const std::string sealed = readFile(dir / "book").value_or("");
  EXPECT_EQ(sealed.size(), 144 + plain.size());
  EXPECT_EQ(sealed.substr(0, 144), headerFor(kKeyText));
  ASSERT_EQ(KXWORK::decryptFile(dir / "book", dir / "book"), 0);
  EXPECT_TRUE(readFile(dir / "book") == plain);
  EXPECT_EQ(dir.listing(), std::set<std::string>{"book"});
}

TEST(KXWORK, FailedInPlaceUnsealKeepsTheSource) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "book", "not a sealed book at all"));
  EXPECT_EQ(KXWORK::decryptFile(dir / "book", dir / "book"), -1);
  EXPECT_EQ(readFile(dir / "book"), "not a sealed book at all");
}

TEST(KXWORK, FailedWriteLeavesNoTemporaryFile) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  // The destination folder holds the source, so it stays, and renaming
  // the result over a folder fails.
  ASSERT_EQ(::mkdir((dir / "shelf").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(dir / "shelf/book", "plain book"));
  EXPECT_EQ(KXWORK::encryptFileWithKeyText(dir / "shelf/book", dir / "shelf",
                                           kKeyText),
            -1);
  EXPECT_EQ(dir.listing(), (std::set<std::string>{"shelf", "shelf/book"}));
  EXPECT_EQ(readFile(dir / "shelf/book"), "plain book");
}

TEST(KXParseArgument, ArgumentsTable) {
  const struct {
    std::vector<const char*> arguments;
    int result;
    int64_t mode;
  } kCases[] = {
      {{"bookseal"}, 1, 0},
      {{"bookseal", "-e", "src"}, 1, 0},
      {{"bookseal", "-e", "src", "dst"}, 0, 1},
      {{"bookseal", "-E", "src", "dst"}, 0, 1},
      {{"bookseal", "-d", "src", "dst"}, 0, 2},
      {{"bookseal", "-D", "src", "dst", "more", "args"}, 0, 2},
      {{"bookseal", "-x", "src", "dst"}, -1, 0},
      {{"bookseal", "e", "src", "dst"}, -1, 0},
      {{"bookseal", "-ed", "src", "dst"}, -1, 0},
      {{"bookseal", "", "src", "dst"}, -1, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.arguments.size() > 1 ? c.arguments[1] : "(none)");
    KXParseArgument parsed;
    EXPECT_EQ(parsed.parseArgument(c.arguments), c.result);
    EXPECT_EQ(parsed.mWorkMode, c.mode);
    EXPECT_EQ(parsed.srcFilePath, c.result == 0 ? "src" : "");
    EXPECT_EQ(parsed.dstFilePath, c.result == 0 ? "dst" : "");
  }
  EXPECT_EQ(&KXParseArgument::shareParseArgument(),
            &KXParseArgument::shareParseArgument());
}

}  // namespace
