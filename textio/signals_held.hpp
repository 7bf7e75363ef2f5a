// Every signal that can be blocked held back on the calling thread for a scope, so
// that no handler runs between two steps that belong together (a temporary file
// getting or losing its name), and threads started meanwhile never take a signal.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace kelv {

class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace kelv
