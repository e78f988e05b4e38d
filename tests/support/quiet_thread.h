// Threads that never take the library's signals.
//
// The tick is the SIGALRM handler and must only ever run on the main thread,
// and SIGINT must reach the library's stop flag from there: a process-
// directed signal goes to any thread that does not block it. A thread that
// blocks them itself, once it runs, leaves a moment in which the tick could
// run on it, beside the main flow. So the mask is set before the thread
// exists, and the thread inherits it.
#pragma once

#include <csignal>
#include <pthread.h>
#include <thread>
#include <utility>

namespace osl::test {

// Runs `body` in a new thread with every signal blocked.
template <class F> std::thread quiet_thread(F &&body) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread t(std::forward<F>(body));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

// Holds every signal off the calling thread while it lives, for a library
// (libmosquitto's loop_start) that starts a thread of its own.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

  private:
    sigset_t old_;
};

} // namespace osl::test
