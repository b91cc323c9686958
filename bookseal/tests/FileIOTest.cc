// The sealing tool's file and memory helpers: the atomic write, the
// folder of a path, and the one buffer that holds a whole book.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "bookseal/ByteBuffer.h"
#include "bookseal/fileio/AtomicWrite.h"
#include "bookseal/fileio/Paths.h"
#include "bookseal/tests/TestFiles.h"

namespace {

using bookseal::test::bookBytes;
using bookseal::test::readFile;
using bookseal::test::ScratchDir;

TEST(AtomicWrite, WritesPiecesInOrderAndCleansUpAfterFailure) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string a = "head", c = bookBytes(100000);
  const std::span<const uint8_t> pieces[] = {
      {reinterpret_cast<const uint8_t*>(a.data()), a.size()},
      {},
      {reinterpret_cast<const uint8_t*>(c.data()), c.size()}};
  bookseal::FileError error;
  ASSERT_TRUE(bookseal::writeFileAtomically(dir / "out", pieces, &error))
      << error.message;
  EXPECT_EQ(readFile(dir / "out"), a + c);
  EXPECT_FALSE(
      bookseal::writeFileAtomically(dir / "missing/out", pieces, &error));
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_NE(error.message.find("missing"), std::string::npos);
  EXPECT_EQ(dir.listing(), std::set<std::string>{"out"});
}

TEST(Paths, FolderOfTable) {
  const struct {
    const char* path;
    const char* folder;
  } kCases[] = {
      {"/a/b/c", "/a/b"}, {"/a/b/c/", "/a/b"}, {"a/b", "a"},   {"a//b", "a"},
      {"book", "."},      {"book/", "."},      {"/book", "/"}, {"//book", "/"},
      {"/", "/"},         {"./x", "."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(bookseal::folderOf(c.path), c.folder);
  }
}

TEST(ByteBuffer, SizesAroundTheMappedThreshold) {
  // Small buffers come from new[], large ones from a mapping of their own;
  // every byte of each must be usable and the tail must survive
  // removePrefix and moves.
  for (size_t size : {size_t{1}, size_t{4095}, (size_t{4} << 20) - 1,
                      size_t{4} << 20, (size_t{9} << 20) + 3}) {
    SCOPED_TRACE(size);
    std::optional<bookseal::ByteBuffer> buffer =
        bookseal::ByteBuffer::allocate(size);
    ASSERT_TRUE(buffer.has_value());
    ASSERT_EQ(buffer->size(), size);
    std::memset(buffer->data(), 0xA5, size);
    buffer->data()[size - 1] = 0x5A;
    buffer->removePrefix(size - 1);
    bookseal::ByteBuffer moved = std::move(*buffer);
    EXPECT_EQ(buffer->size(), 0u);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved.data()[0], 0x5A);
  }
  EXPECT_TRUE(bookseal::ByteBuffer::allocate(0)->empty());
  EXPECT_FALSE(bookseal::ByteBuffer::allocate(SIZE_MAX - 4096).has_value());
}

}  // namespace
