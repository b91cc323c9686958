// Helpers shared by the queue library's tests: waiting without hanging,
// counting open descriptors, and a fixture that checks that a test leaves
// no source, timer or descriptor behind.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace dispatch::testing {

// How long a test waits for something that should happen soon. Generous:
// it only keeps a broken build from hanging, it asserts nothing about speed.
constexpr auto kPatience = std::chrono::seconds(30);

// Polls pred until it holds; false if kPatience passed first.
bool eventually(const std::function<bool()>& pred);

// Number of entries in /proc/self/fd.
int openFdCount();

// Records open descriptors and live sources and timers before the test and
// expects the same numbers once the test's cancellations have completed.
class LeakCheckedTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  int fds_ = 0;
  size_t sources_ = 0;
  size_t timers_ = 0;
};

}  // namespace dispatch::testing
