// A piece of a test run in a forked child, for what must not happen in the
// test process itself: a signal that ends the process, a closed standard
// stream.  Every child has a deadline and is killed when it passes it.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/driver/scratch.hpp"

namespace tessaline::testing {

// The wait status of a child, which is killed if it has not ended in 30 s
// (and then -1).
inline int wait_child(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status;
}

// Runs `body` in a child working in `dir`, with its standard error in the
// file `err` there when one is named; returns the child's wait status.  A body
// that returns ends the child with status 0.
template <class F>
int in_child(const ScratchDir& dir, F body, const char* err = nullptr) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
    if (err != nullptr && std::freopen(err, "w", stderr) == nullptr) ::_exit(126);
    body();
    ::_exit(0);
  }
  return wait_child(pid);
}

// The disposition of `sig` now.
inline void (*handler_of(int sig))(int) {
  struct sigaction now {};
  ::sigaction(sig, nullptr, &now);
  return now.sa_handler;
}

}  // namespace tessaline::testing
