#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pagehost/Logging/Log.h"
#include "pagehost/Logging/TTYLogger.h"
#include "pagehost/Logging/tests/TestLoggers.h"

namespace {

// Central European time without daylight saving (UTC+1), set before any
// thread exists, so local times in these tests are known.
const bool kZoneSet = [] {
  setenv("TZ", "CET-1", 1);
  tzset();
  return true;
}();

constexpr char kProgram[] = "pagehost_logging_tests";

std::string pid() { return std::to_string(getpid()); }

// A moment given in UTC, plus nanoseconds.
LogMessage::Clock::time_point utc(int year, int month, int day, int hour,
                                  int minute, int second, long nanos) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return LogMessage::Clock::from_time_t(timegm(&tm)) +
         std::chrono::nanoseconds(nanos);
}

std::shared_ptr<const LogMessage> record(std::string text,
                                         LogMessage::Clock::time_point when,
                                         uint32_t threadID) {
  LogMessage::Origin origin;
  origin.timestamp = when;
  origin.machThreadID = threadID;
  return std::make_shared<const LogMessage>(std::move(text), 3, 1, 80, __FILE__,
                                            __func__, __LINE__, nullptr, 0,
                                            origin);
}

// The parts of one console line, as the tests read it back.
struct Line {
  std::string dateTime;  // "YYYY-MM-DD HH:MM:SS", without milliseconds.
  std::string program, pid, thread, message;
};

// Splits "YYYY-MM-DD HH:MM:SS:mmm PROGRAM[PID:THREAD] MESSAGE\n"; nothing
// when the text does not have that shape.
std::optional<Line> parseLine(const std::string& text) {
  const std::string shape = "dddd-dd-dd dd:dd:dd:ddd ";
  if (text.size() < shape.size() || text.back() != '\n') return std::nullopt;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
  }
  Line line;
  line.dateTime = text.substr(0, 19);
  const size_t open = text.find('[', shape.size());
  const size_t colon = text.find(':', open);
  const size_t close = text.find("] ", colon);
  if (close == std::string::npos) return std::nullopt;
  line.program = text.substr(shape.size(), open - shape.size());
  line.pid = text.substr(open + 1, colon - open - 1);
  line.thread = text.substr(colon + 1, close - colon - 1);
  line.message = text.substr(close + 2, text.size() - close - 3);
  const auto allOf = [](const std::string& s, const char* set) {
    return !s.empty() && s.find_first_not_of(set) == std::string::npos;
  };
  if (!allOf(line.pid, "0123456789") ||
      !allOf(line.thread, "0123456789abcdef")) {
    return std::nullopt;
  }
  return line;
}

// Points the console logger at a packet reader for the test's duration.
class TTYLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kZoneSet);
    logger_ = TTYLogger::sharedInstance();
    previousFd_ = logger_->redirectOutputForTesting(reader_.writeFd());
    Log::addLogger(logger_);
  }
  void TearDown() override {
    Log::removeLogger(logger_);
    Log::flushLog();
    logger_->redirectOutputForTesting(previousFd_);
    reader_.finish();
  }

  std::shared_ptr<TTYLogger> logger_;
  PacketReader reader_;
  int previousFd_ = -1;
};

// Each case is one record written through the dispatcher; the packet is
// exactly what one write put out.
TEST_F(TTYLoggerTest, LineFormat) {
  const std::string prefix = std::string(kProgram) + "[" + pid() + ":";
  const std::string longText(5000, 'L');
  const struct {
    const char* name;
    std::shared_ptr<const LogMessage> record;
    std::string line;
  } kCases[] = {
      {"date, time and milliseconds in local time",
       record("x", utc(2024, 3, 5, 13, 7, 9, 42'000'000), 0x1a2b),
       "2024-03-05 14:07:09:042 " + prefix + "1a2b] x\n"},
      {"milliseconds are truncated",
       record("t", utc(2024, 3, 5, 13, 7, 9, 999'900'000), 0xdeadbeef),
       "2024-03-05 14:07:09:999 " + prefix + "deadbeef] t\n"},
      {"whole second, day change in local time",
       record("midnight", utc(2023, 12, 31, 23, 0, 0, 0), 7),
       "2024-01-01 00:00:00:000 " + prefix + "7] midnight\n"},
      {"a trailing newline is not doubled",
       record("ends\n", utc(2024, 3, 5, 13, 7, 9, 0), 1),
       "2024-03-05 14:07:09:000 " + prefix + "1] ends\n"},
      {"a multi-line message stays one record",
       record("first\nsecond\nthird", utc(2024, 3, 5, 13, 7, 9, 0), 1),
       "2024-03-05 14:07:09:000 " + prefix + "1] first\nsecond\nthird\n"},
      {"UTF-8 bytes as they are",
       record("Gr\xC3\xBC\xC3\x9F"
              "e \xE6\x97\xA5",
              utc(2024, 3, 5, 13, 7, 9, 0), 1),
       "2024-03-05 14:07:09:000 " + prefix +
           "1] Gr\xC3\xBC\xC3\x9F"
           "e \xE6\x97\xA5\n"},
      {"empty message", record("", utc(2024, 3, 5, 13, 7, 9, 0), 1),
       "2024-03-05 14:07:09:000 " + prefix + "1] \n"},
      {"a long message is written whole",
       record(longText, utc(2024, 3, 5, 13, 7, 9, 0), 1),
       "2024-03-05 14:07:09:000 " + prefix + "1] " + longText + "\n"},
  };
  for (const auto& c : kCases) Log::queueLogMessage(c.record, false);
  const auto packets = reader_.waitForPackets(std::size(kCases));
  ASSERT_EQ(packets.size(), std::size(kCases));
  for (size_t i = 0; i < std::size(kCases); ++i) {
    SCOPED_TRACE(kCases[i].name);
    EXPECT_EQ(packets[i], kCases[i].line);
  }
}

// A real log call from a named thread: the line carries the calling
// thread's id, the process id and a time between before and after.
TEST_F(TTYLoggerTest, LineOfALogCall) {
  const auto localText = [](std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(when));
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(text);
  };
  const std::string before = localText(std::chrono::system_clock::now());
  uint32_t threadID = 0;
  std::thread caller([&] {
    pthread_setname_np(pthread_self(), "http-worker");
    threadID = static_cast<uint32_t>(gettid());
    static const auto kThisFile = ExtractFileNameWithoutExtension(__FILE__);
    Log::log(false, 3, 2, 80, __FILE__, __func__, __LINE__, nullptr,
             "%.*s: bad request %d from %p",
             static_cast<int>(kThisFile->size()), kThisFile->data(), 400,
             static_cast<void*>(nullptr));
  });
  caller.join();
  const std::string after = localText(std::chrono::system_clock::now());

  const auto packets = reader_.waitForPackets(1);
  ASSERT_EQ(packets.size(), 1u);
  const auto line = parseLine(packets[0]);
  ASSERT_TRUE(line) << packets[0];
  EXPECT_LE(before, line->dateTime);
  EXPECT_GE(after, line->dateTime);
  EXPECT_EQ(line->program, kProgram);
  EXPECT_EQ(line->pid, pid());
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", threadID);
  EXPECT_EQ(line->thread, hex);
  EXPECT_EQ(line->message, "TTYLoggerTest: bad request 400 from (nil)");
}

// Records from several threads, many lines each: every record arrives as
// exactly one write holding exactly one line prefix.
TEST_F(TTYLoggerTest, OneWritePerRecordUnderConcurrency) {
  constexpr int kThreads = 4, kPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        Log::log(i % 10 == 0 ? false : true, 3, 1, 80, __FILE__, __func__,
                 __LINE__, nullptr, "thread %d record %d\ncontinued %d", t, i,
                 i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Log::flushLog();
  const auto packets = reader_.waitForPackets(kThreads * kPerThread);
  ASSERT_EQ(packets.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (const auto& packet : packets) {
    const auto line = parseLine(packet);
    ASSERT_TRUE(line) << packet;
    int t = -1, i = -1, again = -1;
    ASSERT_EQ(std::sscanf(line->message.c_str(),
                          "thread %d record %d\ncontinued %d", &t, &i, &again),
              3)
        << packet;
    ASSERT_TRUE(t >= 0 && t < kThreads) << packet;
    EXPECT_EQ(line->message, "thread " + std::to_string(t) + " record " +
                                 std::to_string(i) + "\ncontinued " +
                                 std::to_string(i));
    EXPECT_EQ(i, next[t]);
    ++next[t];
  }
}

// A formatter's own text is written alone plus the line end; handing back
// the record's own text keeps the standard line; none writes nothing.
TEST_F(TTYLoggerTest, Formatter) {
  class Formatter : public LogFormatter {
   public:
    std::shared_ptr<const std::string> formatLogMessage(
        const LogMessage& record) override {
      if (record.logMsg() == "drop") return nullptr;
      if (record.logMsg() == "keep") return record.sharedLogMsg();
      return std::make_shared<const std::string>("custom " + record.logMsg());
    }
  };
  logger_->setLogFormatter(std::make_shared<Formatter>());
  const auto when = utc(2024, 3, 5, 13, 7, 9, 0);
  for (const char* text : {"drop", "keep", "x", "y\n"}) {
    Log::queueLogMessage(record(text, when, 0xab), false);
  }
  logger_->setLogFormatter(nullptr);
  Log::queueLogMessage(record("plain", when, 0xab), false);

  const std::string prefix = "2024-03-05 14:07:09:000 " +
                             std::string(kProgram) + "[" + pid() + ":ab] ";
  const auto packets = reader_.waitForPackets(4);
  EXPECT_EQ(packets,
            (std::vector<std::string>{prefix + "keep\n", "custom x\n",
                                      "custom y\n", prefix + "plain\n"}));
}

TEST_F(TTYLoggerTest, SharedInstanceAndItsQueue) {
  EXPECT_EQ(TTYLogger::sharedInstance(), logger_);
  EXPECT_EQ(logger_->loggerName(), "pagehost.log.tty");
  EXPECT_EQ(logger_->loggerQueue()->label(), "pagehost.log.tty");
}

}  // namespace
