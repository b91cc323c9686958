// The pack writer through its entry point: the product's layout, merging,
// special files, and that a failed run leaves the destination alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mmap.h"
#include "resbundle/tests/pack_test_support.h"

namespace pf = packformat;
using packtest::readFile;
using packtest::ScratchDir;
using packtest::writeFile;

namespace {

// The pack of a product, read back through the reader's first half.
std::unique_ptr<KXPackFiles> restore(const std::string& path,
                                     uint64_t* headerPos) {
  return KXPackFiles::searchAndRestorePackFiles(path, headerPos);
}

TEST(PackWriter, FreshProductLayout) {
  ScratchDir dir;
  const std::string host = packtest::randomBytes(1000, 1);
  writeFile(dir / "host", host);
  writeFile(dir / "src/ten.txt", "0123456789");
  ASSERT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));

  const std::string product = *readFile(dir / "host");
  EXPECT_TRUE(product.substr(0, 1000) == host);
  EXPECT_TRUE(KXPackFiles::isValidFilesSignature(
      reinterpret_cast<const unsigned char*>(product.data()) + 1000));
  uint64_t h = 0;
  auto pack = restore(dir / "host", &h);
  ASSERT_NE(pack, nullptr);
  EXPECT_EQ(h, 1000u);
  ASSERT_EQ(pack->packGroupCount(), 1u);
  const KXPackSingleFile* r = pack->packGroupAtIndex(0)->fileRecordAtIndex(0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->subFilePath(), "ten.txt");
  EXPECT_EQ(r->fileOffset(), 460u);
  EXPECT_TRUE(r->isCompressed());
  EXPECT_EQ(r->fileLength(), 10u);
  const std::string stored = product.substr(1460, r->compressedLength());
  EXPECT_EQ(packtest::rawInflate(stored), "0123456789");
  EXPECT_EQ(r->fileContextCrc32(), myCRC32(0, "0123456789", 10));
  EXPECT_EQ(r->fileContextCompressedCrc32(),
            myCRC32(0, stored.data(), stored.size()));
  // The index follows the data and ends the product.
  EXPECT_EQ(pack->filesXMLOffset(), 460 + r->compressedLength());
  EXPECT_EQ(1000 + pack->filesXMLOffset() + pack->filesXMLCompressLength(),
            product.size());
  EXPECT_TRUE(pack->filesXMLIsCompressed());
  EXPECT_EQ(pf::loadLE32(reinterpret_cast<const unsigned char*>(
                product.data() + 1000 + pf::kOffGroupCount)),
            1u);
}

TEST(PackWriter, MergeKeepsHeaderAndAppends) {
  ScratchDir dir;
  writeFile(dir / "host", std::string(1001, 'h'));  // Odd host length.
  writeFile(dir / "src/a.txt", "first");
  ASSERT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  const std::string first = *readFile(dir / "host");
  uint64_t h1 = 0;
  auto before = restore(dir / "host", &h1);
  ASSERT_NE(before, nullptr);

  writeFile(dir / "src/a.txt", "second");
  writeFile(dir / "src/b.txt", "");
  ASSERT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  const std::string second = *readFile(dir / "host");
  uint64_t h2 = 0;
  auto after = restore(dir / "host", &h2);
  ASSERT_NE(after, nullptr);

  EXPECT_EQ(h1, 1001u);
  EXPECT_EQ(h2, 1001u);
  // Everything after the header block is kept byte for byte.
  EXPECT_TRUE(second.compare(1001 + 460, first.size() - 1461, first, 1461,
                             first.size() - 1461) == 0);
  EXPECT_EQ(after->packGroupCount(), 2u);
  EXPECT_GT(after->filesXMLOffset(), before->filesXMLOffset());
  EXPECT_GE(after->filesXMLOffset(), first.size() - 1001);
  EXPECT_EQ(pf::loadLE32(reinterpret_cast<const unsigned char*>(
                second.data() + 1001 + pf::kOffGroupCount)),
            2u);

  ASSERT_TRUE(startUnpack((dir / "host").c_str(), (dir / "out").c_str()));
  EXPECT_EQ(readFile(dir / "out/a.txt"), "second");  // The later copy wins.
  EXPECT_EQ(readFile(dir / "out/b.txt"), "");
}

TEST(PackWriter, FileSizesAroundThePiece) {
  ScratchDir dir;
  const struct {
    const char* name;
    std::string content;
  } kFiles[] = {
      {"empty", ""},
      {"one", "x"},
      {"piece", packtest::randomBytes(65536, 2)},
      {"two-pieces", packtest::textBytes(131072)},
      {"piece-plus-one", packtest::randomBytes(65537, 3)},
      {"random-large", packtest::randomBytes(300000, 4)},
  };
  for (const auto& f : kFiles) writeFile(dir / "src/" + f.name, f.content);
  writeFile(dir / "host", "H");
  ASSERT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  uint64_t h = 0;
  auto pack = restore(dir / "host", &h);
  ASSERT_NE(pack, nullptr);
  const KXPackGroup* group = pack->packGroupAtIndex(0);
  ASSERT_EQ(group->fileRecordCount(), std::size(kFiles));
  for (size_t i = 0; i < group->fileRecordCount(); ++i) {
    const KXPackSingleFile* r = group->fileRecordAtIndex(i);
    SCOPED_TRACE(r->subFilePath());
    if (r->subFilePath() == "empty") {
      EXPECT_FALSE(r->isCompressed());
      EXPECT_EQ(r->compressedLength() + r->fileOffset() +
                    r->fileContextCrc32() + r->fileContextCompressedCrc32(),
                0u);
    }
    if (r->subFilePath() == "random-large") {
      EXPECT_GT(r->compressedLength(), r->fileLength());  // Still deflated.
    }
  }
  ASSERT_TRUE(startUnpack((dir / "host").c_str(), (dir / "out").c_str()));
  for (const auto& f : kFiles) {
    SCOPED_TRACE(f.name);
    EXPECT_TRUE(readFile(dir / "out/" + f.name) == f.content);
  }
}

TEST(PackWriter, MissingDestinationGetsPackAlone) {
  ScratchDir dir;
  writeFile(dir / "src/a", "abc");
  ASSERT_TRUE(startPack((dir / "new/dest.bin").c_str(), (dir / "src").c_str()));
  uint64_t h = 99;
  ASSERT_NE(restore(dir / "new/dest.bin", &h), nullptr);
  EXPECT_EQ(h, 0u);
}

TEST(PackWriter, FailuresLeaveDestinationUnchanged) {
  const std::string longName(300, 'n');
  const struct {
    const char* name;
    std::function<void(const ScratchDir&)> setUp;
    std::string destination;
    std::string folder;
  } kCases[] = {
      {"only empty subfolders",
       [](const ScratchDir& d) {
         mkdir((d / "src").c_str(), 0777);
         mkdir((d / "src/x").c_str(), 0777);
       },
       "host", "src"},
      {"missing folder", [](const ScratchDir&) {}, "host", "nothing"},
      {"sub-path longer than 259 bytes",
       [&](const ScratchDir& d) {
         writeFile(d / "src/ok", "1");
         writeFile(d / ("src/" + longName.substr(0, 200) + "/" +
                        longName.substr(0, 100)),
                   "2");
       },
       "host", "src"},
      {"name that CDATA cannot carry",
       [](const ScratchDir& d) { writeFile(d / "src/a]]>b", "x"); }, "host",
       "src"},
      {"old index holds a name a new index cannot carry",
       [](const ScratchDir& d) {
         writeFile(d / "src/a", "x");
         packtest::FakePack fake;
         fake.host = "host bytes";
         fake.document =
             "<fileGroupList><filegroup><singleFile><subFilePath>a&#13;b"
             "</subFilePath></singleFile></filegroup></fileGroupList>";
         writeFile(d / "host", packtest::buildPack(fake).bytes);
       },
       "host", "src"},
      {"damaged pack in the destination",
       [](const ScratchDir& d) {
         writeFile(d / "src/a", "x");
         packtest::FakePack fake;
         fake.host = "host bytes";
         fake.records = {{"f", "content"}};
         fake.breakIndexChecksum = true;
         writeFile(d / "host", packtest::buildPack(fake).bytes);
       },
       "host", "src"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    writeFile(dir / "host", "original host");
    c.setUp(dir);
    const auto before = readFile(dir / c.destination);
    EXPECT_FALSE(
        startPack((dir / c.destination).c_str(), (dir / c.folder).c_str()));
    EXPECT_TRUE(readFile(dir / c.destination) == before);
    for (const auto& [path, content] : packtest::readTree(dir.path())) {
      EXPECT_EQ(path.find(".kxpack-"), std::string::npos) << path;
    }
  }
}

TEST(PackWriter, NoTemporaryFilesLeftBehind) {
  ScratchDir dir;
  ScratchDir tmp;
  setenv("TMPDIR", tmp.path().c_str(), 1);
  writeFile(dir / "src/a", packtest::randomBytes(20 << 20, 9));  // File mode.
  writeFile(dir / "host", "h");
  EXPECT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  unsetenv("TMPDIR");
  EXPECT_TRUE(packtest::readTree(tmp.path()).empty());
  auto files = packtest::readTree(dir.path());
  EXPECT_EQ(files.size(), 2u);  // host and src/a only.
}

TEST(PackWriter, RelativePaths) {
  ScratchDir dir;
  writeFile(dir / "src/a", "relative");
  writeFile(dir / "sub/host", "h1");
  writeFile(dir / "bare", "h2");
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_TRUE(startPack("sub/host", "src"));
  EXPECT_TRUE(startPack("bare", "src"));
  EXPECT_TRUE(startUnpack("sub/host", "out"));
  EXPECT_TRUE(startUnpack("bare", "sub/out"));
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(readFile(dir / "out/a"), "relative");
  EXPECT_EQ(readFile(dir / "sub/out/a"), "relative");
}

TEST(PackWriter, MapBufToFileWritesARange) {
  ScratchDir dir;
  writeFile(dir / "out", "old");
  MMapBuf buffer;
  buffer.add("hello world", 11);
  uint32_t crc = 1;
  EXPECT_FALSE(
      KXPackFiles::mapBufToFile(dir / "out", &buffer, 6, 6, &crc));  // Past.
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(readFile(dir / "out"), "old");
  ASSERT_TRUE(KXPackFiles::mapBufToFile(dir / "out", &buffer, 6, 5, &crc));
  EXPECT_EQ(readFile(dir / "out"), "world");
  EXPECT_EQ(crc, myCRC32(0, "world", 5));
  ASSERT_TRUE(
      KXPackFiles::mapBufToFile(dir / "new/sub/f", &buffer, 0, 5, nullptr));
  EXPECT_EQ(readFile(dir / "new/sub/f"), "hello");
}

TEST(PackWriter, ArgumentChecks) {
  ScratchDir dir;
  writeFile(dir / "src/a", "x");
  writeFile(dir / "host", "h");
  EXPECT_FALSE(startPack(nullptr, (dir / "src").c_str()));
  EXPECT_FALSE(startPack((dir / "host").c_str(), ""));
  EXPECT_FALSE(startPack("", (dir / "src").c_str()));
  EXPECT_TRUE(startPack_debug("a", "b"));
  EXPECT_FALSE(startPack_debug("a", nullptr));
  EXPECT_FALSE(startPack_debug("", "b"));
  EXPECT_EQ(readFile(dir / "host"), "h");
}

}  // namespace
