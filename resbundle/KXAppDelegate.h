// KXAppDelegate: resbundle's controller. It reads the command line, checks
// and prepares the paths, runs the one pack or unpack job through the pack
// core, and listens on standard input for the host's cancel message.
//
// Command line (argument 0 is the program name; each switch is followed by
// its value; the first occurrence of a switch counts):
//   -p FILE    pack: append a pack of the folder to this existing file
//   -u FILE    unpack: restore the pack found in this file
//   -f FOLDER  the folder to pack (-p), or the folder to restore into (-u)
// "-p" wins over "-u". The program entry (main.cc) ends the process with 0
// when no job runs, else with 0 for a successful job and -1 (seen as 255)
// for a failed or cancelled one. Nothing is printed.
//
// Threads: the shared instance is made, checked and told to cancel on the
// main thread; pack() and unpack() run on one background thread. The only
// state both touch is the cancel flag, which is atomic.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class KXAppDelegate {
 public:
  // Records the process's arguments for the shared instance.
  // Requires: called once, from main, before defaultAppDelegate().
  static void setProcessArguments(int argc, const char* const* argv);

  // The shared instance, created by the first call (thread-safe) and never
  // destroyed. Creating it reads the process's arguments and starts the
  // control channel on standard input, whose chunks reach commandSentData
  // on the main queue while the main loop runs.
  static KXAppDelegate& defaultAppDelegate();

  KXAppDelegate(const KXAppDelegate&) = delete;
  KXAppDelegate& operator=(const KXAppDelegate&) = delete;

  // Fills the mode and path properties from arguments (argument 0 being the
  // program name). A switch given as the last argument has no value.
  void setUpArguments(const std::vector<std::string>& arguments);

  // Check and prepare the paths for a pack job. A missing folder of the
  // destination file is created (the check still fails then, since the file
  // cannot be there). True when the destination file exists in a folder
  // named by its path and something exists at the resource folder path.
  bool isPreparedPack();

  // Check and prepare the paths for an unpack job: the pack file must
  // exist; the destination folder is removed with everything in it and
  // created anew, empty. False, and nothing removed, when the destination
  // is the pack file or a folder that holds it.
  bool isPreparedUnpack();

  // Run the job on the calling thread through the pack core, which gets the
  // paths in absolute form. True only when the core succeeded and no cancel
  // arrived during the job.
  // Requires: the matching isPrepared check returned true.
  bool pack();
  bool unpack();

  // Stores flag and passes it on to the pack core, whose running job then
  // stops at its next check. Any thread.
  void setIsCanncelled(bool flag);

  // Handles one chunk read from standard input: a cancel message (id 2) as
  // the whole chunk cancels the job; anything else is ignored silently.
  void commandSentData(std::string_view chunk);

  // Raised by a cancel; cleared when a job starts. The core keeps its own
  // flag, which nothing lowers, so a cancel that arrives before the job
  // starts still stops it.
  std::atomic<bool> mIsCancelled{false};
  // The mode: at most one of the two is set.
  bool isPack = false;
  bool isUnpack = false;
  // Paths from the command line; unset when the switch was absent or had
  // no value.
  std::optional<std::string> mStrPackDstFilePath;
  std::optional<std::string> mStrPackResourceFolder;
  std::optional<std::string> mStrUnpackSrcFilePath;
  std::optional<std::string> mStrUnpackDstFolder;

 protected:
  // A delegate without control channel and without arguments; only the
  // shared instance (and tests) make one.
  KXAppDelegate();
  ~KXAppDelegate();

 private:
  class ControlChannel;

  // Reads the process's arguments and starts the control channel.
  void init();

  std::unique_ptr<ControlChannel> channel_;
};
