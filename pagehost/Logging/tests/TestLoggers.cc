#include "pagehost/Logging/tests/TestLoggers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

void Latch::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  cv_.notify_all();
}

void Latch::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return open_; });
}

bool Latch::isOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

std::shared_ptr<RecordingLogger> RecordingLogger::make(std::string name,
                                                       Options options) {
  return std::shared_ptr<RecordingLogger>(
      new RecordingLogger(std::move(name), options));
}

void RecordingLogger::checkQueue() {
  if (!isOnInternalLoggerQueue()) onOwnQueue_ = false;
}

void RecordingLogger::logMessage(
    const std::shared_ptr<const LogMessage>& record) {
  checkQueue();
  if (options_.holdFirst && !held_.isOpen()) {
    held_.open();
    gate_.wait();
  }
  std::function<void(const LogMessage&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(*record);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
  }
  ++handled_;
}

bool RecordingLogger::offers(LoggerOperation operation) const {
  switch (operation) {
    case LoggerOperation::kDidAddLogger:
    case LoggerOperation::kWillRemoveLogger:
    case LoggerOperation::kFlush:
      return options_.offersCallbacks;
    default:
      return AbstractLogger::offers(operation);
  }
}

void RecordingLogger::didAddLogger() {
  checkQueue();
  ++added_;
}

void RecordingLogger::willRemoveLogger() {
  checkQueue();
  ++removed_;
}

void RecordingLogger::flush() {
  checkQueue();
  ++flushed_;
}

void RecordingLogger::setHook(std::function<void(const LogMessage&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<std::string> RecordingLogger::texts() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& record : records_) texts.push_back(record->logMsg());
  return texts;
}

std::vector<std::shared_ptr<const LogMessage>> RecordingLogger::records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

PacketReader::PacketReader() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    ADD_FAILURE() << "socketpair failed";
    return;
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  thread_ = std::thread([this] {
    std::string buffer(1 << 16, '\0');
    for (;;) {
      const ssize_t length =
          recv(readFd_, buffer.data(), buffer.size(), MSG_TRUNC);
      if (length < 0 && errno == EINTR) continue;
      if (length <= 0) break;
      if (static_cast<size_t>(length) > buffer.size()) {
        ADD_FAILURE() << "packet larger than the test expects";
        break;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      packets_.emplace_back(buffer.data(), static_cast<size_t>(length));
      cv_.notify_all();
    }
  });
}

PacketReader::~PacketReader() { finish(); }

std::vector<std::string> PacketReader::waitForPackets(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return packets_.size() >= count; });
  return packets_;
}

std::vector<std::string> PacketReader::finish() {
  if (writeFd_ >= 0) close(std::exchange(writeFd_, -1));
  if (thread_.joinable()) thread_.join();
  if (readFd_ >= 0) close(std::exchange(readFd_, -1));
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}
