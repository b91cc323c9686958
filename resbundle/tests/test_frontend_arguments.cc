// How the front end reads its command line into mode and paths.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "resbundle/KXAppDelegate.h"

namespace {

// A delegate of its own for each case: no control channel, no job.
struct Delegate : KXAppDelegate {};

using Path = std::optional<std::string>;

TEST(FrontendArguments, ModeAndPaths) {
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    bool isPack, isUnpack;
    Path file, folder;  // of the chosen mode
  } kCases[] = {
      {"nothing", {"resbundle"}, false, false, {}, {}},
      {"folder alone", {"resbundle", "-f", "d"}, false, false, {}, {}},
      {"pack", {"resbundle", "-p", "h", "-f", "d"}, true, false, "h", "d"},
      {"folder first",
       {"resbundle", "-f", "d", "-p", "h"},
       true,
       false,
       "h",
       "d"},
      {"unpack", {"resbundle", "-u", "h", "-f", "d"}, false, true, "h", "d"},
      {"pack wins",
       {"resbundle", "-u", "u", "-p", "p", "-f", "d"},
       true,
       false,
       "p",
       "d"},
      {"first occurrence counts",
       {"resbundle", "-p", "a", "-p", "b", "-f", "c", "-f", "e"},
       true,
       false,
       "a",
       "c"},
      {"value taken whatever it holds",
       {"resbundle", "-p", "-f", "d"},
       true,
       false,
       "-f",
       "d"},
      {"folder last", {"resbundle", "-p", "h", "-f"}, true, false, "h", {}},
      {"pack switch last",
       {"resbundle", "-f", "d", "-p"},
       true,
       false,
       {},
       "d"},
      {"empty values kept",
       {"resbundle", "-u", "", "-f", ""},
       false,
       true,
       "",
       ""},
      {"switches match whole and case",
       {"resbundle", "-P", "h", "-pf", "x"},
       false,
       false,
       {},
       {}},
      {"program name is no switch",
       {"-p", "x", "-f", "d"},
       false,
       false,
       {},
       {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Delegate delegate;
    delegate.setUpArguments(c.arguments);
    EXPECT_EQ(delegate.isPack, c.isPack);
    EXPECT_EQ(delegate.isUnpack, c.isUnpack);
    if (c.isPack) {
      EXPECT_EQ(delegate.mStrPackDstFilePath, c.file);
      EXPECT_EQ(delegate.mStrPackResourceFolder, c.folder);
    } else {
      EXPECT_FALSE(delegate.mStrPackDstFilePath ||
                   delegate.mStrPackResourceFolder);
    }
    if (c.isUnpack) {
      EXPECT_EQ(delegate.mStrUnpackSrcFilePath, c.file);
      EXPECT_EQ(delegate.mStrUnpackDstFolder, c.folder);
    } else {
      EXPECT_FALSE(delegate.mStrUnpackSrcFilePath ||
                   delegate.mStrUnpackDstFolder);
    }
  }
}

}  // namespace
