// resbundle: packs a folder into a pack appended to an existing file, or
// restores such a pack into a folder (see KXAppDelegate.h for the command
// line). The job runs on a background thread while the main thread runs the
// main loop, which delivers the host's cancel message from standard input.
// Exit status: 0 when no job ran or the job succeeded, -1 (255) when it
// failed or was cancelled.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "dispatch/ConcurrentQueue.h"
#include "dispatch/MainQueue.h"
#include "resbundle/KXAppDelegate.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = -1;

// A host may start the tool with a standard descriptor closed. The next
// file the pack core opens would then take its number, and the control
// channel would read, or a buffer message be written, into that file.
// Standard descriptors are meant to be inherited, hence no O_CLOEXEC.
void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is fd.
    int opened;
    do {
      opened = ::open("/dev/null", O_RDWR);
    } while (opened < 0 && errno == EINTR);
  }
}

// Ends the process at once. Static destructors and exit handlers are
// skipped on purpose: worker threads of the queue library, and the control
// channel's reader, may still be running and must not see the objects they
// use torn down. Only the C streams are flushed, because the pack core
// prints its buffer messages on standard output.
[[noreturn]] void endProcess(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  occupyClosedStandardDescriptors();
  KXAppDelegate::setProcessArguments(argc, argv);
  KXAppDelegate& delegate = KXAppDelegate::defaultAppDelegate();

  const bool packReady = delegate.isPack && delegate.isPreparedPack();
  const bool unpackReady = delegate.isUnpack && delegate.isPreparedUnpack();
  if (!packReady && !unpackReady) endProcess(kExitSuccess);

  dispatch::ConcurrentQueue::shared().async(
      [&delegate, packReady, unpackReady] {
        bool succeeded = false;
        if (packReady) succeeded = delegate.pack();
        if (unpackReady) succeeded = delegate.unpack();
        dispatch::mainQueue()->async([succeeded] {
          dispatch::stopMainLoop();
          endProcess(succeeded ? kExitSuccess : kExitFailure);
        });
      });
  dispatch::runMainLoop();
  // The completion task ends the process; the loop never returns first.
  endProcess(kExitFailure);
}
