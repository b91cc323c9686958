// Loggers and helpers for the logging tests: a logger that records what it
// is handed and can be held at its first record, a latch, and a reader of
// the console logger's lines.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pagehost/Logging/AbstractLogger.h"

// A one-way latch that hands control between threads.
class Latch {
 public:
  void open();
  void wait();
  bool isOpen();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Records the text of every record it handles, in order, and counts the
// optional calls it offers. With holdFirst, its first logMessage waits
// until release() so that records pile up behind it.
class RecordingLogger : public AbstractLogger {
 public:
  struct Options {
    bool holdFirst = false;
    bool offersCallbacks = false;  // flush, didAddLogger, willRemoveLogger
  };
  static std::shared_ptr<RecordingLogger> make(std::string name,
                                               Options options);
  static std::shared_ptr<RecordingLogger> make(std::string name) {
    return make(std::move(name), Options{});
  }

  void logMessage(const std::shared_ptr<const LogMessage>& record) override;
  bool offers(LoggerOperation operation) const override;
  void didAddLogger() override;
  void willRemoveLogger() override;
  void flush() override;

  // Runs inside logMessage, on the logger's queue, before it records.
  void setHook(std::function<void(const LogMessage&)> hook);

  std::vector<std::string> texts();
  std::vector<std::shared_ptr<const LogMessage>> records();
  int handled() const { return handled_.load(); }
  int added() const { return added_.load(); }
  int removed() const { return removed_.load(); }
  int flushed() const { return flushed_.load(); }
  // False once any call arrived off the logger's own queue.
  bool alwaysOnOwnQueue() const { return onOwnQueue_.load(); }

  // Waits until the held first record has arrived; then lets it go.
  void waitUntilHeld() { held_.wait(); }
  void release() { gate_.open(); }

 private:
  RecordingLogger(std::string name, Options options)
      : AbstractLogger(std::move(name)), options_(options) {}
  void checkQueue();

  const Options options_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<const LogMessage>> records_;
  std::function<void(const LogMessage&)> hook_;
  Latch held_, gate_;
  std::atomic<int> handled_{0}, added_{0}, removed_{0}, flushed_{0};
  std::atomic<bool> onOwnQueue_{true};
};

// A connected pair of packet sockets standing in for standard error: each
// write the logger makes arrives as one packet, so the tests see how many
// system calls wrote the lines. A thread keeps reading so the logger
// never blocks.
class PacketReader {
 public:
  PacketReader();
  ~PacketReader();

  // The descriptor the logger writes to.
  int writeFd() const { return writeFd_; }
  // Waits until count packets have arrived and returns all of them.
  std::vector<std::string> waitForPackets(size_t count);
  // Closes the writing end and waits for the reading thread; returns every
  // packet received. Requires: nothing writes to writeFd() any more.
  std::vector<std::string> finish();

 private:
  int writeFd_ = -1;
  int readFd_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> packets_;
};
