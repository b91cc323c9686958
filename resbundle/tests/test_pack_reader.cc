// The unpack reader: finding the header, checking the index, and restoring
// records, including damaged and hostile packs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/tests/pack_test_support.h"

namespace pf = packformat;
using packtest::BuiltPack;
using packtest::FakePack;
using packtest::FakeRecord;
using packtest::readFile;
using packtest::readTree;
using packtest::ScratchDir;
using packtest::writeFile;

namespace {

std::string validHeaderBytes() {
  return packtest::buildPack(FakePack{}).bytes.substr(0, pf::kHeaderSize);
}

TEST(PackReader, HeaderSearchAcrossWindows) {
  const std::string pack = packtest::buildPack(FakePack{}).bytes;
  const struct {
    const char* name;
    std::string bytes;
    std::optional<uint64_t> expected;
  } kCases[] = {
      {"at 0", pack, 0},
      {"odd host", std::string(1001, 'x') + pack, 1001},
      {"straddling the first boundary",
       std::string(65500, '0') + pack + std::string(10, 'z'), 65500},
      {"starting at the last byte of a window", std::string(65535, 'a') + pack,
       65535},
      {"starting exactly at a window", std::string(65536, 'a') + pack, 65536},
      {"far into the file", std::string(3 * 65536 + 123, '\0') + pack,
       3 * 65536 + 123},
      {"two blocks: the lower wins",
       std::string(70000, 'q') + pack + std::string(5, 'r') + pack, 70000},
      {"block ending exactly at the end", std::string(10, 'a') + pack, 10},
      {"shorter than a block", validHeaderBytes().substr(0, 459), std::nullopt},
      {"one byte cut off the end",
       std::string(65500, 'b') + validHeaderBytes().substr(0, 459),
       std::nullopt},
      {"only signature texts",
       std::string(100, 'x') + validHeaderBytes().substr(0, 456) +
           std::string(100, 'x'),
       std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    writeFile(dir / "f", c.bytes);
    uint64_t h = 12345;
    const bool found = KXPackFiles::searchPackOffset(dir / "f", &h);
    EXPECT_EQ(found, c.expected.has_value());
    EXPECT_EQ(h, c.expected.value_or(12345u));
  }
}

TEST(PackReader, HeaderOnlyPackRestoresNothing) {
  ScratchDir dir;
  KXPackFiles empty;
  auto block = KXPackFiles::packHeader(&empty);
  writeFile(dir / "p",
            std::string(reinterpret_cast<char*>(block.get()), pf::kHeaderSize));
  EXPECT_TRUE(startUnpack((dir / "p").c_str(), (dir / "out").c_str()));
  EXPECT_FALSE(packtest::exists(dir / "out"));
}

TEST(PackReader, RestoresRecordsAndFolders) {
  ScratchDir dir;
  FakePack fake;
  fake.host = "HOST";
  fake.records = {{"a/b/c.txt", "deep"},
                  {"empty", ""},
                  {"plain.bin", "stored as is", false},
                  {"same", "old"},
                  {"same", "new"}};
  writeFile(dir / "p", packtest::buildPack(fake).bytes);
  writeFile(dir / "out/existing", "kept");
  writeFile(dir / "out/same", "overwritten");
  ASSERT_TRUE(startUnpack((dir / "p").c_str(), (dir / "out").c_str()));
  const std::map<std::string, std::string> expected = {
      {"a/b/c.txt", "deep"},
      {"empty", ""},
      {"plain.bin", "stored as is"},
      {"existing", "kept"},
      {"same", "new"}};
  EXPECT_EQ(readTree(dir / "out"), expected);
}

TEST(PackReader, MissingDestinationIsCreated) {
  ScratchDir dir;
  FakePack fake;
  fake.records = {{"f", "x"}};
  writeFile(dir / "p", packtest::buildPack(fake).bytes);
  ASSERT_TRUE(startUnpack((dir / "p").c_str(), (dir / "x/y/out").c_str()));
  EXPECT_EQ(readFile(dir / "x/y/out/f"), "x");
}

TEST(PackReader, BadPacksWriteNothing) {
  FakePack good;
  good.records = {{"f", "content"}};
  const std::string goodBytes = packtest::buildPack(good).bytes;
  auto withIndexByteFlipped = [&] {
    std::string b = goodBytes;
    b[b.size() - 3] ^= 0x40;
    return b;
  };
  FakePack badCrc = good;
  badCrc.breakIndexChecksum = true;
  FakePack pastEnd = good;
  pastEnd.indexOffset = uint64_t{1} << 40;
  FakePack wrapping = good;
  wrapping.indexOffset = ~uint64_t{0} - 10;
  FakePack notXml = good;
  notXml.document = "<fileGroupList><filegroup>";
  FakePack otherRoot = good;
  otherRoot.document = "<root/>";
  const struct {
    const char* name;
    std::string bytes;
  } kCases[] = {
      {"index byte altered", withIndexByteFlipped()},
      {"wrong index checksum", packtest::buildPack(badCrc).bytes},
      {"index past the end", packtest::buildPack(pastEnd).bytes},
      {"index offset wraps around", packtest::buildPack(wrapping).bytes},
      {"index is not XML", packtest::buildPack(notXml).bytes},
      {"other root element", packtest::buildPack(otherRoot).bytes},
      {"no pack", std::string(5000, 'x')},
      {"empty file", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    writeFile(dir / "p", c.bytes);
    EXPECT_FALSE(startUnpack((dir / "p").c_str(), (dir / "out").c_str()));
    EXPECT_FALSE(packtest::exists(dir / "out"));
  }
}

// Runs a pack whose records are given and reports the result and what was
// written below the destination and beside it.
struct UnpackOutcome {
  bool result;
  std::map<std::string, std::string> inside;
  std::map<std::string, std::string> everywhere;
};

UnpackOutcome unpackRecords(
    const std::vector<FakeRecord>& records,
    const std::function<void(const ScratchDir&)>& prepare =
        [](const ScratchDir&) {}) {
  ScratchDir dir;
  FakePack fake;
  fake.records = records;
  writeFile(dir / "p", packtest::buildPack(fake).bytes);
  mkdir((dir / "out").c_str(), 0777);
  prepare(dir);
  UnpackOutcome o;
  o.result = startUnpack((dir / "p").c_str(), (dir / "out").c_str());
  o.inside = readTree(dir / "out");
  o.everywhere = readTree(dir.path());
  o.everywhere.erase("p");
  return o;
}

TEST(PackReader, RecordsStayBelowTheDestination) {
  const struct {
    const char* name;
    std::string subPath;
  } kCases[] = {
      {"absolute", "/tmp/escaped-by-pack-test"},
      {"parent", "../escaped"},
      {"parent inside", "a/../../escaped"},
      {"only parent", ".."},
      {"empty", ""},
      {"trailing separator", "dir/"},
      {"dot", "."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    UnpackOutcome o = unpackRecords({{"first", "1"}, {c.subPath, "evil"}});
    EXPECT_FALSE(o.result);
    // The record before stays; nothing else appears anywhere.
    EXPECT_EQ(o.inside, (std::map<std::string, std::string>{{"first", "1"}}));
    EXPECT_EQ(o.everywhere.size(), 1u);
  }
  EXPECT_FALSE(packtest::exists("/tmp/escaped-by-pack-test"));
}

TEST(PackReader, PlantedLinksAreNotFollowed) {
  // A link inside the destination pointing out of it, as an earlier run or
  // another program may have left there.
  auto plantLink = [](const ScratchDir& d) {
    mkdir((d / "victim").c_str(), 0777);
    symlink((d / "victim").c_str(), (d / "out/link").c_str());
    symlink((d / "victim/target").c_str(), (d / "out/filelink").c_str());
  };
  UnpackOutcome through = unpackRecords({{"link/x", "evil"}}, plantLink);
  EXPECT_FALSE(through.result);
  EXPECT_EQ(through.everywhere.count("victim/x"), 0u);

  // A link as the file itself is replaced, never written through.
  UnpackOutcome onto = unpackRecords({{"filelink", "data"}}, plantLink);
  EXPECT_TRUE(onto.result);
  EXPECT_EQ(onto.everywhere.count("victim/target"), 0u);
  EXPECT_EQ(onto.inside["filelink"], "data");
}

TEST(PackReader, OutputIsCappedAtFileLength) {
  const std::string big = packtest::textBytes(1 << 20);
  FakeRecord bomb{"bomb", big};
  bomb.fileLength = 1000;  // The stream inflates to a whole MiB.
  FakeRecord plain{"plain", "0123456789", false};
  plain.fileLength = 4;
  FakeRecord shortStream{"short", "abc"};
  shortStream.fileLength = 10;  // Fewer bytes than said: not an error.
  UnpackOutcome o = unpackRecords({bomb, plain, shortStream});
  EXPECT_TRUE(o.result);
  EXPECT_TRUE(o.inside["bomb"] == big.substr(0, 1000));
  EXPECT_EQ(o.inside["plain"], "0123");
  EXPECT_EQ(o.inside["short"], "abc");
}

TEST(PackReader, DamagedRecordsAndInterruptedFiles) {
  FakeRecord garbage{"garbage", "content"};
  garbage.stored = "\xff\xff\xff\xff not deflate";
  FakeRecord pastEnd{"past-end", "content"};
  pastEnd.fileOffset = 1u << 30;
  FakeRecord wraps{"wraps", "content"};
  wraps.fileOffset = ~uint64_t{0} - 100;
  FakeRecord hugeLength{"huge", "content"};
  hugeLength.compressLength = ~uint64_t{0};

  // Damaged stored bytes give what the decompressor makes of them.
  UnpackOutcome damaged = unpackRecords({garbage});
  EXPECT_TRUE(damaged.result);
  EXPECT_EQ(damaged.inside.count("garbage"), 1u);

  for (const FakeRecord& r : {pastEnd, wraps, hugeLength}) {
    SCOPED_TRACE(r.subPath);
    UnpackOutcome o = unpackRecords({{"before", "b"}, r, {"after", "a"}});
    EXPECT_FALSE(o.result);
    // The interrupted file is removed; later records are not attempted.
    EXPECT_EQ(o.inside, (std::map<std::string, std::string>{{"before", "b"}}));
  }
}

TEST(PackReader, FileInTheWayOfAFolderStopsTheRun) {
  UnpackOutcome o = unpackRecords({{"a", "file"}, {"a/b", "x"}});
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.inside, (std::map<std::string, std::string>{{"a", "file"}}));
}

TEST(PackReader, ArgumentChecks) {
  EXPECT_FALSE(startUnpack(nullptr, "/tmp"));
  EXPECT_FALSE(startUnpack("/nonexistent", ""));
  EXPECT_TRUE(startUnpack_debug("a", "b"));
  EXPECT_FALSE(startUnpack_debug(nullptr, "b"));
  EXPECT_FALSE(startUnpack("/nonexistent/pack", "/tmp/never-made-by-pack"));
  EXPECT_FALSE(packtest::exists("/tmp/never-made-by-pack"));
}

TEST(PackReader, CancelledBeforeStartWritesNothing) {
  ScratchDir dir;
  FakePack fake;
  fake.records = {{"f", "x"}};
  writeFile(dir / "p", packtest::buildPack(fake).bytes);
  setIsCanncelled(true);
  EXPECT_TRUE(isCanncelled());
  EXPECT_FALSE(startUnpack((dir / "p").c_str(), (dir / "out").c_str()));
  setIsCanncelled(false);
  EXPECT_FALSE(packtest::exists(dir / "out"));
  EXPECT_TRUE(startUnpack((dir / "p").c_str(), (dir / "out").c_str()));
}

}  // namespace
