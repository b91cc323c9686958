// The sums behind the read queue: how many offered bytes a read takes, with
// terminators split between arrivals and maximum lengths; and the
// pre-buffer's bookkeeping.
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "pagehost/Socket/QueueSocketPreBuffer.h"
#include "pagehost/Socket/QueueSocketReadPacket.h"

namespace {

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

TEST(QueueSocketReadPacketTest, TerminatorSearch) {
  const struct {
    const char* name;
    const char* term;
    uint64_t maxLength;
    const char* gathered;  // bytes the read already holds
    const char* offered;   // bytes now available
    size_t length;
    bool found;
  } kCases[] = {
      {"found at the end", "\r\n", 0, "", "GET /\r\n", 7, true},
      {"stops after the first terminator", "\r\n", 0, "", "a\r\nb\r\n", 3,
       true},
      {"not found takes everything", "\r\n", 0, "", "abc", 3, false},
      {"fewer bytes than the terminator", "\r\n", 0, "", "\r", 1, false},
      {"split after CR", "\r\n", 0, "abc\r", "\nrest", 1, true},
      {"split inside a long terminator", "\r\n\r\n", 0, "x\r\n", "\r\ny", 2,
       true},
      {"split after two of four", "\r\n\r\n", 0, "x\r\n\r", "\nz", 1, true},
      {"lone CR earlier is no terminator", "\r\n", 0, "a\rb", "c\r\n", 3, true},
      {"carried bytes alone never match", "\r\n", 0, "\r\n", "xy", 2, false},
      {"maximum cuts the window", "\r\n", 8, "", "1234567\r\n", 8, false},
      {"terminator ending at the maximum", "\r\n", 8, "", "123456\r\nxx", 8,
       true},
      {"maximum counts gathered bytes", "\r\n", 8, "12345", "6\r\n", 3, true},
      {"maximum reached with a split terminator", "\r\n", 6, "12345\r", "\n", 0,
       false},
      {"maximum allows the split terminator", "\r\n", 7, "12345\r", "\n", 1,
       true},
      {"one-byte terminator", "\n", 0, "", "ab\ncd", 3, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    QueueSocketReadPacket packet(0, bytesOf(c.term), c.maxLength, -1, 1);
    packet.appendBytes(reinterpret_cast<const uint8_t*>(c.gathered),
                       std::strlen(c.gathered));
    auto search = packet.readLengthForTermWithBytes(
        reinterpret_cast<const uint8_t*>(c.offered), std::strlen(c.offered));
    EXPECT_EQ(search.length, c.length);
    EXPECT_EQ(search.found, c.found);
  }
}

TEST(QueueSocketReadPacketTest, LengthWithoutTerminator) {
  const struct {
    const char* name;
    uint64_t readLength;
    uint64_t maxLength;
    uint64_t bytesDone;
    uint64_t hint;
    uint64_t expected;
  } kCases[] = {
      {"length read takes what it lacks", 10, 0, 4, 100, 6},
      {"length read takes all offered", 10, 0, 4, 3, 3},
      {"available read with a maximum", 0, 8, 5, 100, 3},
      {"available read without maximum", 0, 0, 0, 12345, 12345},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    QueueSocketReadPacket packet(c.readLength, Bytes(), c.maxLength, -1, 1);
    packet.bytesDone = c.bytesDone;
    EXPECT_EQ(packet.readLengthForNonTermWithHint(c.hint), c.expected);
  }
}

TEST(QueueSocketReadPacketTest, LengthReadAllocatesItsBufferOnce) {
  QueueSocketReadPacket packet(5, Bytes(), 0, -1, 1);
  ASSERT_EQ(packet.buffer.size(), 5u);
  const uint8_t* storage = packet.buffer.data();
  packet.appendBytes(reinterpret_cast<const uint8_t*>("abc"), 3);
  packet.appendBytes(reinterpret_cast<const uint8_t*>("de"), 2);
  EXPECT_EQ(packet.buffer.data(), storage);
  EXPECT_EQ(std::string(packet.buffer.begin(), packet.buffer.end()), "abcde");
}

TEST(QueueSocketPreBufferTest, KeepsBytesInOrderAcrossGrowth) {
  QueueSocketPreBuffer buffer(4);
  buffer.ensureCapacityForWrite(3);
  std::memcpy(buffer.writeBuffer(), "abc", 3);
  buffer.didWrite(3);
  buffer.didRead(1);
  // Needs 5 more with 1 free: grows by exactly 4.
  buffer.ensureCapacityForWrite(5);
  EXPECT_EQ(buffer.capacity(), 8u);
  std::memcpy(buffer.writeBuffer(), "defgh", 5);
  buffer.didWrite(5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.readBuffer()),
                        buffer.availableBytes()),
            "bcdefgh");
  // Consuming everything rewinds both positions; the capacity stays.
  buffer.didRead(7);
  EXPECT_EQ(buffer.availableBytes(), 0u);
  EXPECT_EQ(buffer.availableSpace(), 8u);
  buffer.ensureCapacityForWrite(8);
  EXPECT_EQ(buffer.capacity(), 8u);
}

}  // namespace
