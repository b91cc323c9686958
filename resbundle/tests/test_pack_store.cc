// The writer's buffers and the zlib adapters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <climits>
#include <cstring>

#include "resbundle/KXPack/KXPackFiles_startUnpack.h"
#include "resbundle/KXPack/KXPackFiles_startpack.h"
#include "resbundle/KXPack/store/growbuf.h"
#include "resbundle/KXPack/store/mmap.h"
#include "resbundle/tests/pack_test_support.h"

namespace {

off_t fileLength(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_size : -1;
}

std::string readBack(MMapBuf& buf, int offset, int size) {
  auto* p = static_cast<const char*>(buf.get(offset, size));
  std::string s = p ? std::string(p, size) : std::string();
  buf.release();
  return s;
}

TEST(PackGrowBuf, GrowsKeepsAndFrees) {
  GrowBuf buf;
  EXPECT_EQ(buf.add("abc", 3), 0);
  EXPECT_EQ(buf.add("defg", 4), 3);
  EXPECT_EQ(buf.getlen(), 7);
  EXPECT_EQ(buf.allocatedSize(), 2 * 3 + 32768);
  EXPECT_EQ(std::string(static_cast<char*>(buf.get()), 7), "abcdefg");
  EXPECT_EQ(buf.add("x", 0), 0);
  EXPECT_EQ(buf.add(nullptr, 5), 0);
  EXPECT_EQ(buf.getlen(), 7);

  ASSERT_TRUE(buf.resize(100000));
  EXPECT_EQ(std::string(static_cast<char*>(buf.get()), 7), "abcdefg");
  ASSERT_TRUE(buf.resize(0));  // Above 64 KiB allocated: freed.
  EXPECT_EQ(buf.allocatedSize(), 0);
  EXPECT_EQ(buf.get(), nullptr);
  EXPECT_FALSE(buf.resize(-1));

  GrowBuf zeroed;
  zeroed.setZeroFill(true);
  zeroed.add("zz", 2);
  zeroed.resize(1);
  zeroed.resize(50);
  const auto* z = static_cast<const unsigned char*>(zeroed.get());
  for (int i = 1; i < 50; ++i) ASSERT_EQ(z[i], 0) << i;
}

TEST(PackMMapBuf, MovesToFileAt16MiBAndKeepsEveryByte) {
  MMapBuf buf;
  const std::string chunk = packtest::randomBytes(65536, 11);
  const int limit = MMapBuf::kFileModeThreshold - 1;  // 16,777,215
  while (buf.getlen() + 65536 <= limit) buf.add(chunk.data(), 65536);
  const std::string tail = chunk.substr(0, limit - buf.getlen());
  buf.add(tail.data(), static_cast<int>(tail.size()));
  ASSERT_EQ(buf.getlen(), limit);
  EXPECT_FALSE(buf.inFileMode());

  EXPECT_EQ(buf.add("!", 1), limit);
  ASSERT_TRUE(buf.inFileMode());
  EXPECT_EQ(buf.getlen(), limit + 1);
  EXPECT_EQ(buf.allocatedSize(), 33554432);
  EXPECT_EQ(fileLength(buf.filePart().descriptor()), 33554433);

  // Compared as booleans: a mismatch would print megabytes.
  EXPECT_TRUE(readBack(buf, 0, 65536) == chunk);
  EXPECT_TRUE(readBack(buf, limit - 65535, 65535) == tail);
  EXPECT_EQ(readBack(buf, limit, 1), "!");

  // Shrinking keeps file mode; growing again within the allocation keeps
  // the file as it is.
  ASSERT_TRUE(buf.resize(100));
  EXPECT_TRUE(buf.inFileMode());
  EXPECT_EQ(buf.add("more", 4), 100);
  EXPECT_EQ(readBack(buf, 100, 4), "more");
}

TEST(PackMMapBuf, LargestAllocationIsCapped) {
  MMapBuf buf;
  ASSERT_TRUE(buf.resize(2130706432));
  EXPECT_EQ(buf.allocatedSize(), INT_MAX);
  EXPECT_EQ(buf.add("x", 1), 2130706432);
  // Nothing can be added once the 2 GiB limit would be passed.
  ASSERT_TRUE(buf.resize(INT_MAX - 1));
  EXPECT_EQ(buf.add("ab", 2), 0);
  EXPECT_EQ(buf.getlen(), INT_MAX - 1);
}

TEST(PackMMapFile, ViewsAreAlignedAndChecked) {
  MMapFile file;
  ASSERT_TRUE(file.resize(100000));
  EXPECT_FALSE(file.resize(50000));  // Already large enough.
  auto* p = static_cast<char*>(file.get(5001, 10));
  ASSERT_NE(p, nullptr);
  const int page = MMapFile::allocationGranularity();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % page, 5001u % page);
  std::memcpy(p, "0123456789", 10);
  file.release();
  char back[10];
  ASSERT_EQ(pread(file.descriptor(), back, 10, 5001), 10);
  EXPECT_EQ(std::string(back, 10), "0123456789");

  int size = 10;
  ASSERT_NE(file.get(5001, &size), nullptr);
  EXPECT_EQ(size, 10 + 5001 % page);
  file.release();

  testing::internal::CaptureStdout();
  EXPECT_EQ(file.get(99995, 10), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Internal compiler error #12345: error mmapping file (99995, 10) "
            "is out of range.\n");
  EXPECT_EQ(file.get(0, 0), nullptr);
}

TEST(PackMMapFile, RefusesEmptyOrMissingFiles) {
  packtest::ScratchDir dir;
  packtest::writeFile(dir / "empty", "");
  std::FILE* f = std::fopen((dir / "empty").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  MMapFile file;
  EXPECT_FALSE(file.setfile(f, 0));
  EXPECT_FALSE(file.setfile(nullptr, 10));
  testing::internal::CaptureStdout();
  EXPECT_EQ(file.get(0, 1), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("out of range"),
            std::string::npos);
  std::fclose(f);
}

TEST(PackZlib, ErrorTexts) {
  const struct {
    int code;
    const char* text;
  } kCases[] = {{-2, "invalid stream - bad call"},
                {-3, "data error"},
                {-4, "not enough memory"},
                {-5, "buffer error - bad call"},
                {-6, "version error"},
                {0, "unknown error"},
                {1, "unknown error"},
                {-7, "unknown error"}};
  CZlib c;
  DZlib d;
  for (const auto& k : kCases) {
    SCOPED_TRACE(k.code);
    EXPECT_STREQ(c.GetErrStr(k.code), k.text);
    EXPECT_STREQ(d.GetErrStr(k.code), k.text);
  }
  EXPECT_STREQ(c.GetName(), "zlib");
}

TEST(PackZlib, RawStreamRoundTripAndFinishIgnoredByInflate) {
  const std::string text = packtest::textBytes(200000);
  CZlib c;
  ASSERT_EQ(c.Init(9, 8388608), Z_OK);
  std::string stored;
  char out[4096];
  c.SetNextIn(text.data(), static_cast<unsigned>(text.size()));
  do {
    c.SetNextOut(out, sizeof out);
    c.Compress(true);
    stored.append(out, sizeof out - c.GetAvailOut());
  } while (c.GetAvailOut() == 0);
  EXPECT_EQ(c.End(), Z_OK);
  ASSERT_GT(stored.size(), 2u);
  EXPECT_NE(static_cast<unsigned char>(stored[0]), 0x78);  // No zlib header.
  EXPECT_EQ(packtest::rawInflate(stored), text);

  // Half of the stream with the finish flag: a finishing inflate would
  // report a buffer error; this one carries on like a plain call.
  DZlib d;
  ASSERT_EQ(d.Init(9, 0), Z_OK);
  std::string restored;
  static char big[300000];
  d.SetNextIn(stored.data(), static_cast<unsigned>(stored.size() / 2));
  d.SetNextOut(big, sizeof big);
  EXPECT_EQ(d.Decompress(true), Z_OK);
  d.SetNextIn(stored.data() + stored.size() / 2,
              static_cast<unsigned>(stored.size() - stored.size() / 2));
  EXPECT_EQ(d.Decompress(true), Z_STREAM_END);
  EXPECT_EQ(sizeof big - d.GetAvailOut(), text.size());
  EXPECT_EQ(std::string(big, text.size()), text);
  EXPECT_EQ(d.End(), Z_OK);
}

}  // namespace
