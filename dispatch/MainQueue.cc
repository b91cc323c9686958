#include "dispatch/MainQueue.h"

#include <sys/types.h>
#include <unistd.h>

#include <cassert>

#include "dispatch/QueueRunner.h"

namespace dispatch {

std::shared_ptr<SerialQueue> mainQueue() {
  // Never destroyed: tasks may still be submitted while the process exits.
  static auto* queue =
      new std::shared_ptr<SerialQueue>(QueueRunner::createMainQueue("main"));
  return *queue;
}

void runMainLoop() {
  assert(gettid() == getpid() && "runMainLoop() belongs to the main thread");
  QueueRunner::runMainLoop(*mainQueue());
}

void stopMainLoop() { QueueRunner::stopMainLoop(*mainQueue()); }

}  // namespace dispatch
