// startDetachedThread: starts the library's own threads (workers, reactor,
// pool watchdog). Internal to the dispatch library.
//
// The new thread blocks every asynchronous signal (SIGTERM, SIGINT, SIGCHLD
// and the like), so that signals meant for the process reach the main
// thread or a thread of the program's own choosing, never a library thread
// in the middle of a task. Signals raised by faults stay unblocked.
#pragma once

#include <functional>

namespace dispatch {

// Runs body on a new detached thread. False when the system refuses a new
// thread; body is then dropped without running.
bool startDetachedThread(std::function<void()> body);

}  // namespace dispatch
