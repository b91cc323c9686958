// Cancelling a running job from another thread, as the front end does.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "resbundle/KXPack/PackFiles.h"
#include "resbundle/tests/pack_test_support.h"

using packtest::readFile;
using packtest::readTree;
using packtest::ScratchDir;
using packtest::writeFile;

namespace {

// Enough incompressible data that deflate at level 9 runs well past the
// moment the cancel arrives.
void makeLargeFolder(const ScratchDir& dir) {
  for (int i = 0; i < 24; ++i) {
    writeFile(dir / ("src/f" + std::to_string(i)),
              packtest::randomBytes(1 << 20, static_cast<uint32_t>(i)));
  }
}

// Runs job on this thread while another thread raises the cancel flag
// shortly after the job has begun.
bool runAndCancel(const std::function<bool()>& job) {
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    setIsCanncelled(true);
  });
  const bool result = job();
  canceller.join();
  EXPECT_TRUE(isCanncelled());
  setIsCanncelled(false);
  return result;
}

TEST(PackCancel, CancelledPackLeavesDestinationUnchanged) {
  ScratchDir dir;
  makeLargeFolder(dir);
  writeFile(dir / "host", "the host's own bytes");
  const bool result = runAndCancel(
      [&] { return startPack((dir / "host").c_str(), (dir / "src").c_str()); });
  EXPECT_FALSE(result);
  EXPECT_EQ(readFile(dir / "host"), "the host's own bytes");
  for (const auto& [path, content] : readTree(dir.path())) {
    EXPECT_EQ(path.find(".kxpack-"), std::string::npos) << path;
  }
}

TEST(PackCancel, CancelledUnpackLeavesOnlyWholeFiles) {
  ScratchDir dir;
  makeLargeFolder(dir);
  writeFile(dir / "host", "h");
  ASSERT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  // Restoring is fast; cancel right away and accept either an early stop
  // or none, but never a cut-short file.
  std::thread canceller([] { setIsCanncelled(true); });
  const bool result =
      startUnpack((dir / "host").c_str(), (dir / "out").c_str());
  canceller.join();
  setIsCanncelled(false);
  const auto source = readTree(dir / "src");
  const auto restored = readTree(dir / "out");
  if (result) {
    EXPECT_EQ(restored.size(), source.size());
  }
  for (const auto& [path, content] : restored) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(source.at(path) == content);
  }
}

TEST(PackCancel, FlagStaysUpUntilLowered) {
  ScratchDir dir;
  writeFile(dir / "src/a", "a");
  writeFile(dir / "host", "h");
  setIsCanncelled(true);
  EXPECT_FALSE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  EXPECT_FALSE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
  setIsCanncelled(false);
  EXPECT_TRUE(startPack((dir / "host").c_str(), (dir / "src").c_str()));
}

}  // namespace
