#include "dispatch/tests/TestSupport.h"

#include <dirent.h>

#include <thread>

#include "dispatch/Reactor.h"
#include "dispatch/ReadinessSource.h"
#include "dispatch/Timer.h"

namespace dispatch::testing {

bool eventually(const std::function<bool()>& pred) {
  const auto limit = std::chrono::steady_clock::now() + kPatience;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int openFdCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}

void LeakCheckedTest::SetUp() {
  // The reactor opens its descriptors once, on first use.
  Reactor::shared();
  fds_ = openFdCount();
  sources_ = ReadinessSource::liveCount();
  timers_ = Timer::liveCount();
}

void LeakCheckedTest::TearDown() {
  EXPECT_TRUE(eventually([&] {
    return ReadinessSource::liveCount() == sources_ &&
           Timer::liveCount() == timers_ && openFdCount() == fds_;
  })) << "left behind: "
      << ReadinessSource::liveCount() - sources_ << " sources, "
      << Timer::liveCount() - timers_ << " timers, " << openFdCount() - fds_
      << " descriptors";
}

}  // namespace dispatch::testing
