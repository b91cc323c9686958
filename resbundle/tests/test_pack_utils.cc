// Path helpers and the folder scan.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/utils/KXUtility.h"
#include "resbundle/tests/pack_test_support.h"

namespace {

using packtest::ScratchDir;

TEST(PackUtility, PathSplitting) {
  const struct {
    const char* in;
    const char* parent;
  } kCases[] = {{"/home/x/book.bin", "/home/x"},
                {"book.bin", "book.bin"},
                {"dir/", "dir"},
                {"/a", ""},
                {"a\\b\\c", "a\\b"},
                {"a/b\\c", "a/b"},
                {"", ""}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(KXUtility::pathByRemoveLastComponent(c.in), c.parent);
  }
  EXPECT_EQ(KXUtility::lastPathSeparator(""), nullptr);
  EXPECT_EQ(KXUtility::lastPathSeparator("name"), nullptr);
  const char* trailing = "a/b/";
  EXPECT_EQ(KXUtility::lastPathSeparator(trailing), trailing + 3);
}

TEST(PackUtility, CreateMultiDir) {
  ScratchDir dir;
  const std::string deep = dir / "a/b/c";
  EXPECT_TRUE(KXUtility::createMultiDir(deep.c_str()));
  EXPECT_TRUE(KXUtility::folderExist(deep));
  EXPECT_TRUE(KXUtility::createMultiDir(deep.c_str()));
  EXPECT_FALSE(KXUtility::createMultiDir("bare-name"));
  EXPECT_FALSE(KXUtility::createMultiDir(""));
  EXPECT_FALSE(KXUtility::createMultiDir(nullptr));
  packtest::writeFile(dir / "file", "x");
  EXPECT_FALSE(KXUtility::createMultiDir((dir / "file").c_str()));

  // Far longer than 260 bytes: every level is still made.
  std::string longPath = dir.path();
  for (int i = 0; i < 30; ++i) longPath += "/level-" + std::to_string(i);
  EXPECT_TRUE(KXUtility::createMultiDir(longPath.c_str()));
  EXPECT_TRUE(KXUtility::folderExist(longPath));
}

TEST(PackUtility, ExistenceAndSize) {
  ScratchDir dir;
  packtest::writeFile(dir / "f", "12345");
  packtest::writeFile(dir / "empty", "");
  EXPECT_TRUE(KXUtility::fileExist(dir / "f"));
  EXPECT_FALSE(KXUtility::fileExist(dir / "missing"));
  EXPECT_FALSE(KXUtility::folderExist(dir / "f"));
  EXPECT_EQ(KXUtility::fileSize(dir / "f"), 5u);
  EXPECT_EQ(KXUtility::fileSize(dir / "empty"), 0u);
  EXPECT_EQ(KXUtility::fileSize(dir / "missing"), 0u);
  if (geteuid() != 0) {  // root reads anything
    chmod((dir / "f").c_str(), 0);
    EXPECT_EQ(KXUtility::fileSize(dir / "f"), 0u);
  }
  KXUtility::deleteFile(dir / "f");
  EXPECT_FALSE(packtest::exists(dir / "f"));
}

TEST(PackUtility, TempPaths) {
  ScratchDir dir;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  const struct {
    std::string tmpdir;
    std::string prefix;
  } kCases[] = {{dir.path() + "/", dir.path() + "/temp_"},
                {dir.path() + "/sub", dir.path() + "/sub/temp_"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.tmpdir);
    setenv("TMPDIR", c.tmpdir.c_str(), 1);
    const std::string path = KXUtility::tempFileFullPath();
    ASSERT_EQ(path.size(), c.prefix.size() + 6);
    EXPECT_EQ(path.substr(0, c.prefix.size()), c.prefix);
    EXPECT_FALSE(packtest::exists(path));
  }
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(KXUtility::tempDir(), "/tmp");
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

std::vector<std::string> scan(const std::string& folder) {
  auto lists = KXPackFiles::searchVecSingleFileListInFolder({folder});
  std::vector<std::string> subs;
  for (const auto& list : lists) {
    for (size_t i = 0; i < list->singleFileCount(); ++i) {
      const auto* f = list->singleFileAtIndex(i);
      EXPECT_EQ(f->folderFullPath(), folder);
      subs.push_back(f->subFilePath());
    }
  }
  std::sort(subs.begin(), subs.end());
  return subs;
}

TEST(PackScan, FindsRegularFilesOnly) {
  ScratchDir dir;
  packtest::writeFile(dir / "src/a.txt", "a");
  packtest::writeFile(dir / "src/sub/b.txt", "b");
  packtest::writeFile(dir / "src/.DS_Store", "");
  packtest::writeFile(dir / "outside.txt", "o");
  mkdir((dir / "src/emptydir").c_str(), 0777);
  symlink((dir / "outside.txt").c_str(), (dir / "src/link").c_str());
  symlink(dir.path().c_str(), (dir / "src/dirlink").c_str());
  mkfifo((dir / "src/pipe").c_str(), 0600);

  const std::vector<std::string> expected = {".DS_Store", "a.txt", "sub/b.txt"};
  EXPECT_EQ(scan(dir / "src"), expected);
  EXPECT_EQ(scan(dir / "src/"), expected);  // Same sub-paths.
  EXPECT_EQ(
      KXPackFiles::searchVecSingleFileListInFolder({"", dir / "src"}).size(),
      1u);
}

TEST(PackScan, EmptyTreesGiveNoList) {
  ScratchDir dir;
  mkdir((dir / "empty").c_str(), 0777);
  packtest::writeFile(dir / "target", "t");
  packtest::writeFile(dir / "onlydirs/x/placeholder", "");
  unlink((dir / "onlydirs/x/placeholder").c_str());
  mkdir((dir / "links").c_str(), 0777);
  symlink((dir / "target").c_str(), (dir / "links/l").c_str());
  for (const char* name : {"empty", "onlydirs", "links", "missing"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(
        KXPackFiles::searchVecSingleFileListInFolder({dir / name}).empty());
  }
}

TEST(PackScan, CancelledScanMakesNoList) {
  ScratchDir dir;
  packtest::writeFile(dir / "src/a.txt", "a");
  KXPackFiles::setIsCanncelled(true);
  EXPECT_TRUE(
      KXPackFiles::searchVecSingleFileListInFolder({dir / "src"}).empty());
  KXPackFiles::setIsCanncelled(false);
  EXPECT_FALSE(
      KXPackFiles::searchVecSingleFileListInFolder({dir / "src"}).empty());
}

TEST(PackScan, Filters) {
  using L = KXSingleFileListInFolder;
  const struct {
    L::FilterList list;
    const char* sub;
    bool ext;
    bool file;
  } kCases[] = {
      {{"txt"}, "a/b.txt", true, false}, {{"txt"}, "a/b.TXT", false, false},
      {{"txt"}, "a/b", false, false},    {{"txt"}, "a/b.", false, false},
      {{}, "a/b.txt", false, false},     {{"a/b.txt"}, "a/b.txt", false, true},
      {{"a/b.txt"}, "", false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sub);
    EXPECT_EQ(L::pathExtIsFiltered(c.list, c.sub), c.ext);
    EXPECT_EQ(L::fileIsFiltered(c.list, c.sub), c.file);
  }
}

}  // namespace
