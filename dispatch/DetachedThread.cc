#include "dispatch/DetachedThread.h"

#include <pthread.h>
#include <signal.h>

#include <memory>

namespace dispatch {
namespace {

// Signals the kernel sends to the thread that caused them; blocking them
// would turn a crash report (or a sanitizer's handler) into a silent kill.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL,
                                 SIGTRAP, SIGSYS, SIGABRT};

void* threadMain(void* arg) {
  std::unique_ptr<std::function<void()>> body(
      static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

bool startDetachedThread(std::function<void()> body) {
  sigset_t blocked;
  sigfillset(&blocked);
  for (int sig : kFaultSignals) sigdelset(&blocked, sig);
  sigset_t previous;
  // The new thread inherits the creator's mask; the creator's own mask is
  // restored right after.
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* heapBody = new std::function<void()>(std::move(body));
  pthread_t thread;
  const int error = pthread_create(&thread, &attr, threadMain, heapBody);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (error != 0) {
    delete heapBody;
    return false;
  }
  return true;
}

}  // namespace dispatch
