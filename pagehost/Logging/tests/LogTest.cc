#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pagehost/Logging/Log.h"
#include "pagehost/Logging/tests/TestLoggers.h"
#include "pagehost/Support/NotificationCenter.h"

namespace {

void logText(bool asynchronous, const std::string& text) {
  Log::log(asynchronous, 3, 1, 80, __FILE__, __func__, __LINE__, nullptr, "%s",
           text.c_str());
}

// Every test leaves the process-wide dispatcher without loggers.
class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Log::removeAllLoggers();
    Log::flushLog();
  }
};

// A faulty build that lets a call through early gets this long to show it;
// correct code passes whatever the timing.
void giveAFaultTimeToShow() {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST_F(LogTest, SynchronousCallReturnsAfterEveryLoggerHasTheRecord) {
  auto first = RecordingLogger::make("first");
  auto second = RecordingLogger::make("second");
  Log::addLogger(first);
  Log::addLogger(second);

  // Level, flag and context reach the loggers as given: nothing filters on
  // them, even a flag outside its level.
  const struct {
    int32_t level, flag, context;
  } kCalls[] = {{3, 1, 80}, {3, 2, 80}, {0, 4, 0}, {1, 2, -5}};
  for (const auto& c : kCalls) {
    Log::log(false, c.level, c.flag, c.context, __FILE__, __func__, 42, nullptr,
             "call %d/%d/%d %s", c.level, c.flag, c.context, "x");
    const size_t n = static_cast<size_t>(&c - kCalls) + 1;
    ASSERT_EQ(first->records().size(), n);
    ASSERT_EQ(second->records().size(), n);
  }
  const auto records = first->records();
  for (size_t i = 0; i < std::size(kCalls); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i]->logLevel(), kCalls[i].level);
    EXPECT_EQ(records[i]->logFlag(), kCalls[i].flag);
    EXPECT_EQ(records[i]->logContext(), kCalls[i].context);
    EXPECT_EQ(records[i]->lineNumber(), 42);
    EXPECT_EQ(records[i]->options(), 0);
    EXPECT_EQ(records[i]->file(), __FILE__);  // Referred to, not copied.
  }
  EXPECT_EQ(records[2]->logMsg(), "call 0/4/0 x");
  EXPECT_TRUE(first->alwaysOnOwnQueue());
  EXPECT_TRUE(second->alwaysOnOwnQueue());
}

TEST_F(LogTest, CallsWithoutFormatOrLoggerProduceNothing) {
  logText(false, "no logger yet");  // Returns; goes nowhere.
  auto logger = RecordingLogger::make("logger");
  Log::addLogger(logger);
  Log::log(false, 3, 1, 80, __FILE__, __func__, __LINE__, nullptr, nullptr);
  logText(false, "seen");
  EXPECT_EQ(logger->texts(), std::vector<std::string>{"seen"});
}

// Records from several threads, asynchronous and synchronous mixed: each
// thread's records arrive in its order, every logger sees one and the same
// order, and a thread's synchronous call returns after its earlier
// asynchronous ones have been handled.
TEST_F(LogTest, OrderOfAsynchronousAndSynchronousCalls) {
  auto first = RecordingLogger::make("first");
  auto second = RecordingLogger::make("second");
  Log::addLogger(first);
  Log::addLogger(second);
  constexpr int kThreads = 4, kPerThread = 200;

  std::vector<std::thread> threads;
  std::atomic<int> unhandledAtSync{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        logText(true, std::to_string(t) + ":" + std::to_string(i));
      }
      logText(false, std::to_string(t) + ":sync");
      const auto seen = first->texts();
      const std::string last =
          std::to_string(t) + ":" + std::to_string(kPerThread - 1);
      if (std::find(seen.begin(), seen.end(), last) == seen.end()) {
        ++unhandledAtSync;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Log::flushLog();

  EXPECT_EQ(unhandledAtSync.load(), 0);
  const auto texts = first->texts();
  EXPECT_EQ(texts, second->texts());
  ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * (kPerThread + 1)));
  std::vector<int> next(kThreads, 0);
  for (const auto& text : texts) {
    const int t = std::stoi(text.substr(0, text.find(':')));
    const std::string rest = text.substr(text.find(':') + 1);
    const std::string expected =
        next[t] < kPerThread ? std::to_string(next[t]) : "sync";
    ASSERT_EQ(rest, expected) << "thread " << t;
    ++next[t];
  }
}

TEST_F(LogTest, AddingAndRemovingLoggers) {
  auto twice = RecordingLogger::make("twice", {.offersCallbacks = true});
  auto plain = RecordingLogger::make("plain");
  Log::addLogger(nullptr);
  Log::addLogger(twice);
  Log::addLogger(twice);
  Log::addLogger(plain);
  logText(false, "a");

  Log::removeLogger(twice);  // The first registration only.
  Log::removeLogger(RecordingLogger::make("never added"));
  Log::removeLogger(nullptr);
  logText(false, "b");

  Log::removeAllLoggers();
  logText(false, "c");
  Log::flushLog();
  // willRemoveLogger reaches the logger's queue asynchronously.
  twice->loggerQueue()->sync([] {});

  EXPECT_EQ(twice->texts(), (std::vector<std::string>{"a", "a", "b"}));
  EXPECT_EQ(plain->texts(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(twice->added(), 2);
  EXPECT_EQ(twice->removed(), 2);
  EXPECT_TRUE(twice->alwaysOnOwnQueue());
}

// A logger that offers no queue of its own gets one from the dispatcher,
// labelled with its name when it has one.
TEST_F(LogTest, LoggerWithoutQueueGetsOne) {
  class BareLogger : public Logger {
   public:
    void logMessage(const std::shared_ptr<const LogMessage>&) override {
      const dispatch::SerialQueue* queue = dispatch::SerialQueue::current();
      labels.push_back(queue ? queue->label() : "<none>");
    }
    std::shared_ptr<LogFormatter> logFormatter() override { return nullptr; }
    void setLogFormatter(std::shared_ptr<LogFormatter>) override {}
    bool offers(LoggerOperation op) const override {
      return named && op == LoggerOperation::kLoggerName;
    }
    std::string loggerName() const override { return "bare.logger"; }
    bool named = false;
    std::vector<std::string> labels;  // Only on its queue.
  };
  auto named = std::make_shared<BareLogger>();
  named->named = true;
  auto unnamed = std::make_shared<BareLogger>();
  Log::addLogger(named);
  Log::addLogger(unnamed);
  logText(false, "x");
  Log::removeAllLoggers();
  Log::flushLog();
  EXPECT_EQ(named->labels, std::vector<std::string>{"bare.logger"});
  EXPECT_EQ(unnamed->labels, std::vector<std::string>{""});
}

// With kMaxQueuedMessages records unhandled, the next call waits until the
// oldest has been handled: the producer blocks instead of growing the
// backlog.
TEST_F(LogTest, BacklogIsBounded) {
  auto slow = RecordingLogger::make("slow", {.holdFirst = true});
  Log::addLogger(slow);
  constexpr int kExtra = 50;
  constexpr int kTotal = Log::kMaxQueuedMessages + kExtra;
  std::atomic<int> returned{0};
  std::atomic<int> largestBacklog{0};
  std::thread producer([&] {
    for (int i = 0; i < kTotal; ++i) {
      logText(true, std::to_string(i));
      const int backlog = ++returned - slow->handled();
      if (backlog > largestBacklog) largestBacklog = backlog;
    }
  });
  slow->waitUntilHeld();
  while (returned < Log::kMaxQueuedMessages) std::this_thread::yield();
  giveAFaultTimeToShow();
  EXPECT_EQ(returned.load(), Log::kMaxQueuedMessages);
  slow->release();
  producer.join();
  Log::flushLog();

  EXPECT_LE(largestBacklog.load(), Log::kMaxQueuedMessages);
  EXPECT_EQ(slow->handled(), kTotal);
}

// flushLog and the application's will-terminate notice both return only
// after every record queued before them has been handled, and after the
// loggers that flush have flushed.
TEST_F(LogTest, FlushWaitsForEverythingQueuedBefore) {
  const struct {
    const char* name;
    std::function<void()> flush;
  } kTriggers[] = {
      {"flushLog", [] { Log::flushLog(); }},
      {"will-terminate notice",
       [] {
         NotificationCenter::defaultCenter().post(
             kApplicationWillTerminateNotification);
       }},
  };
  for (const auto& trigger : kTriggers) {
    SCOPED_TRACE(trigger.name);
    auto slow = RecordingLogger::make(
        "slow", {.holdFirst = true, .offersCallbacks = true});
    Log::addLogger(slow);
    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) logText(true, std::to_string(i));

    std::atomic<int> handledAtReturn{-1}, flushedAtReturn{-1};
    std::thread flusher([&] {
      trigger.flush();
      handledAtReturn = slow->handled();
      flushedAtReturn = slow->flushed();
    });
    slow->waitUntilHeld();
    giveAFaultTimeToShow();
    slow->release();
    flusher.join();

    EXPECT_EQ(handledAtReturn.load(), kCount);
    EXPECT_EQ(flushedAtReturn.load(), 1);
    Log::removeLogger(slow);
    Log::flushLog();
  }
}

// Code on a logger's queue that logs synchronously, flushes or reads the
// formatter would wait for itself; the dispatcher turns such calls into
// ones that do not wait, and the record still arrives.
TEST_F(LogTest, LoggingFromInsideALoggerDoesNotDeadlock) {
  auto logger = RecordingLogger::make("reentrant");
  std::atomic<bool> formatterRead{false};
  logger->setHook([&](const LogMessage& record) {
    if (record.logMsg() != "outer") return;
    logText(false, "inner");
    Log::flushLog();
    Log::queueLogMessage(
        std::make_shared<const LogMessage>("queued inside", 3, 2, 80, nullptr,
                                           nullptr, 0, nullptr, 0),
        false);
    logger->logFormatter();
    formatterRead = true;
  });
  Log::addLogger(logger);
  logText(false, "outer");
  Log::flushLog();
  EXPECT_TRUE(formatterRead.load());
  EXPECT_EQ(logger->texts(),
            (std::vector<std::string>{"outer", "inner", "queued inside"}));
}

class TaggingFormatter : public LogFormatter {
 public:
  std::shared_ptr<const std::string> formatLogMessage(
      const LogMessage& record) override {
    return std::make_shared<const std::string>("<" + record.logMsg() + ">");
  }
  bool offers(LogFormatterOperation) const override { return true; }
  void didAddToLogger(Logger&) override { ++added; }
  void willRemoveFromLogger(Logger&) override { ++removed; }
  std::atomic<int> added{0}, removed{0};
};

TEST_F(LogTest, FormatterChangesAreOrderedAndAnnounced) {
  auto logger = RecordingLogger::make("formatted");
  Log::addLogger(logger);
  auto first = std::make_shared<TaggingFormatter>();
  auto second = std::make_shared<TaggingFormatter>();
  EXPECT_EQ(logger->logFormatter(), nullptr);
  logger->setLogFormatter(first);
  EXPECT_EQ(logger->logFormatter(), first);
  logger->setLogFormatter(first);  // The same one again: no news.
  logger->setLogFormatter(second);
  EXPECT_EQ(logger->logFormatter(), second);
  logger->setLogFormatter(nullptr);
  EXPECT_EQ(logger->logFormatter(), nullptr);

  EXPECT_EQ(first->added.load(), 1);
  EXPECT_EQ(first->removed.load(), 1);
  EXPECT_EQ(second->added.load(), 1);
  EXPECT_EQ(second->removed.load(), 1);
}

TEST_F(LogTest, QueueLabels) {
  EXPECT_EQ(Log::loggingQueue()->label(), "pagehost.log");
  bool onLoggingQueue = false;
  Log::loggingQueue()->sync(
      [&] { onLoggingQueue = Log::isOnLoggingOrLoggerQueue(); });
  EXPECT_TRUE(onLoggingQueue);
  EXPECT_FALSE(Log::isOnLoggingOrLoggerQueue());
}

}  // namespace
