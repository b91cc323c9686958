// The main queue: a SerialQueue bound to the main thread and drained by
// runMainLoop(). Tasks submitted before the loop runs wait for it; its
// async tasks run only on the main thread. sync onto it from another thread
// waits for its turn and runs on the caller; sync from the main thread
// outside the loop first runs the tasks waiting ahead of it.
// Used by resbundle's front end (job completion, standard-input reads) and
// by pagehost's host link (its timers, notices handed over from other
// threads).
#pragma once

#include <memory>

#include "dispatch/SerialQueue.h"

namespace dispatch {

// The process's main queue, created on first use.
std::shared_ptr<SerialQueue> mainQueue();

// Runs the main queue's tasks on the calling thread until stopMainLoop().
// Requires: called from the main thread, not nested.
void runMainLoop();

// Makes runMainLoop() return once the task it is running (if any) ends.
// May be called from any thread; a call before the loop runs makes the
// next loop return at once.
void stopMainLoop();

}  // namespace dispatch
