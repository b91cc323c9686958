#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "dispatch/SerialQueue.h"
#include "pagehost/Logging/LogMessage.h"

namespace {

TEST(ExtractFileNameWithoutExtensionTest, Table) {
  const struct {
    const char* name;
    const char* path;
    std::optional<std::string> out;
  } kCases[] = {
      {"directories and a one-letter extension",
       "/Users/dev/pagehost/Core/HTTPConnection.m", "HTTPConnection"},
      {"neither slash nor dot", "HTTPConnection", "HTTPConnection"},
      {"no directories, text before the last dot", "archive.tar.gz",
       "archive.tar"},
      {"a dot in a directory does not count", "/src/v1.2/Makefile", "Makefile"},
      {"hidden file", "/home/x/.profile", ""},
      {"trailing slash", "/home/x/", ""},
      {"empty path", "", ""},
      {"no path", nullptr, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto name = ExtractFileNameWithoutExtension(c.path);
    ASSERT_EQ(name.has_value(), c.out.has_value());
    if (name) {
      EXPECT_EQ(std::string(*name), *c.out);
    }
  }
}

TEST(LogMessageTest, CopiesOnlyWhatOptionsAskFor) {
  char file[] = "/src/pagehost/Core/HTTPServer.cc";
  char function[] = "startServer";
  const LogMessage referring("m", 3, 1, 80, file, function, 7, nullptr, 0);
  const LogMessage copying("m", 3, 1, 80, file, function, 7, nullptr,
                           kLogMessageCopyFile | kLogMessageCopyFunction);
  std::memset(file, 'X', sizeof file - 1);
  std::memset(function, 'Y', sizeof function - 1);

  EXPECT_EQ(referring.file(), file);
  EXPECT_EQ(referring.function(), function);
  EXPECT_STREQ(copying.file(), "/src/pagehost/Core/HTTPServer.cc");
  EXPECT_STREQ(copying.function(), "startServer");
  EXPECT_EQ(copying.fileName(), "HTTPServer");
  EXPECT_EQ(copying.methodName(), "startServer");

  const LogMessage bare("m", 0, 0, 0, nullptr, nullptr, 0, nullptr,
                        kLogMessageCopyFile | kLogMessageCopyFunction);
  EXPECT_EQ(bare.file(), nullptr);
  EXPECT_EQ(bare.fileName(), std::nullopt);
  EXPECT_EQ(bare.methodName(), std::nullopt);
}

// The record describes the thread and queue that made it, and keeps the
// queue's label after the queue is gone.
TEST(LogMessageTest, DescribesTheMakingThreadAndQueue) {
  std::unique_ptr<LogMessage> onThread, onQueue;
  uint32_t threadId = 0;
  std::thread maker([&] {
    pthread_setname_np(pthread_self(), "maker-thread");
    threadId = static_cast<uint32_t>(gettid());
    onThread = std::make_unique<LogMessage>("a", 3, 2, 80, __FILE__, __func__,
                                            __LINE__, nullptr, 0);
    auto queue = dispatch::SerialQueue::create("some.queue");
    queue->sync([&] {
      onQueue = std::make_unique<LogMessage>("b", 3, 2, 80, __FILE__, __func__,
                                             __LINE__, nullptr, 0);
    });
  });
  maker.join();

  EXPECT_EQ(onThread->machThreadID(), threadId);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", threadId);
  EXPECT_EQ(onThread->threadID(), hex);
  EXPECT_EQ(onThread->threadName(), "maker-thread");
  EXPECT_EQ(onThread->queueLabel(), nullptr);
  ASSERT_NE(onQueue->queueLabel(), nullptr);
  EXPECT_STREQ(onQueue->queueLabel(), "some.queue");
  EXPECT_EQ(onQueue->fileName(), "LogMessageTest");
}

}  // namespace
