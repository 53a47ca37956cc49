// Runs a built program of the project in a scratch directory and collects its
// exit status, standard output and standard error.  Shared by every test that
// starts the program or a tool.
//
// Every child has a deadline: one that has not ended by then is killed with
// its whole process group (gnuplot included) and reported as status 124, so a
// loop can never outlast the test.  Every file a child writes is limited to
// kMaxFileBytes (RLIMIT_FSIZE), so that a loop that writes cannot fill the
// disk before its deadline.  Its scratch directory goes with the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/driver/scratch.hpp"

extern char** environ;

namespace tessaline::testing {

inline constexpr int kDeadlineSeconds = 60;
// As the name of standard output: the descriptor is closed.
inline constexpr const char* kClosed = "&-";
inline constexpr rlim_t kMaxFileBytes = rlim_t{64} << 20;

// A started program.  Standard input is the file `in` of the directory, or a
// pipe that the test writes (write_input, close_input) when `in` is empty;
// standard output the file `out`, or a pipe that the test reads (read_until,
// close_output) when `out` is empty, or closed when it is kClosed; standard
// error the file `err`.  `env`
// adds or replaces variables of the environment ("NAME=value").
class Child {
 public:
  Child(const ScratchDir& dir, const std::string& exe, const std::vector<std::string>& args,
        const std::string& in, const std::string& out, const std::string& err,
        const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string v = *e;
      bool replaced = false;
      for (const std::string& n : env) {
        replaced = replaced || v.rfind(n.substr(0, n.find('=') + 1), 0) == 0;
      }
      if (!replaced) env_s.push_back(v);
    }
    env_s.insert(env_s.end(), env.begin(), env.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string where = dir.path().string();

    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    if (in.empty() && ::pipe2(in_pipe, O_CLOEXEC) != 0) return;
    if (out.empty() && ::pipe2(out_pipe, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      // The child starts from the defaults, whatever the test process set.
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ}) ::signal(sig, SIG_DFL);
      const struct rlimit limit { kMaxFileBytes, kMaxFileBytes };
      ::setrlimit(RLIMIT_FSIZE, &limit);
      if (::chdir(where.c_str()) != 0) ::_exit(126);
      const auto redirect = [](int fd, const std::string& name, int flags) {
        const int f = ::open(name.c_str(), flags, 0644);
        if (f < 0 || ::dup2(f, fd) < 0) ::_exit(126);
        ::close(f);
      };
      if (in.empty()) {
        ::dup2(in_pipe[0], 0);
      } else {
        redirect(0, in, O_RDONLY);
      }
      if (out.empty()) {
        ::dup2(out_pipe[1], 1);
      } else if (out == kClosed) {
        ::close(1);
      } else {
        redirect(1, out, O_WRONLY | O_CREAT | O_TRUNC);
      }
      redirect(2, err, O_WRONLY | O_CREAT | O_TRUNC);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    if (in.empty()) {
      ::close(in_pipe[0]);
      input_ = in_pipe[1];
    }
    if (out.empty()) {
      ::close(out_pipe[1]);
      output_ = out_pipe[0];
    }
  }
  ~Child() {
    if (running()) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    close_input();
    close_output();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void write_input(const std::string& text) {
    if (input_ >= 0 && !text.empty()) (void)!::write(input_, text.data(), text.size());
  }
  void close_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  void close_output() {
    if (output_ >= 0) ::close(output_);
    output_ = -1;
  }

  // Reads standard output until it holds `needle`, the child ends or the
  // deadline passes; returns everything read so far.
  const std::string& read_until(const std::string& needle, int seconds = kDeadlineSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (output_ >= 0 && read_.find(needle) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      struct pollfd p {
        output_, POLLIN, 0
      };
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(output_, buf, sizeof buf);
      if (n <= 0) break;
      read_.append(buf, static_cast<std::size_t>(n));
    }
    return read_;
  }

  // Waits until `done` holds, or the child ends, or the deadline passes;
  // returns `done`'s last answer.
  bool wait_until(const std::function<bool()>& done, int seconds = kDeadlineSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (!running() || std::chrono::steady_clock::now() >= deadline) return done();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  void signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  // The wait status of the ended child; at the deadline the child and its
  // process group are killed and -1 is returned.
  int wait(int seconds = kDeadlineSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (int pause_us = 200; running() && std::chrono::steady_clock::now() < deadline;
         pause_us = pause_us < 20000 ? 2 * pause_us : pause_us) {
      std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    }
    if (running()) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      reaped_ = true;
      return -1;
    }
    return status_;
  }

 private:
  bool running() {
    if (pid_ <= 0 || reaped_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  int input_ = -1;
  int output_ = -1;
  std::string read_;
};

struct Outcome {
  int status = -1;  // exit status; 124 after the deadline, -1 when ended by a signal
  std::string out;
  std::string err;
};

// The outcome of a child that wrote stdout.txt and stderr.txt in `dir` and
// ended with the wait status `rc` (-1: killed at its deadline).
inline Outcome outcome_of(const ScratchDir& dir, int rc) {
  Outcome o;
  o.status = rc == -1 ? 124 : WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  o.out = dir.read("stdout.txt");
  o.err = dir.read("stderr.txt");
  return o;
}

// Runs `exe` with `args` in `dir`, `input` on standard input (from the file
// answers.txt), standard output and error into stdout.txt and stderr.txt.
inline Outcome run_in(const ScratchDir& dir, const std::string& exe,
                      const std::vector<std::string>& args, const std::string& input,
                      const std::vector<std::string>& env = {}) {
  dir.write("answers.txt", input);
  Child child(dir, exe, args, "answers.txt", "stdout.txt", "stderr.txt", env);
  return outcome_of(dir, child.wait());
}

#ifdef TESSALINE_EXE
// The fitting program, answers piped into its prompts.
inline Outcome run_program(const ScratchDir& dir, const std::string& answers) {
  return run_in(dir, TESSALINE_EXE, {}, answers);
}
#endif

}  // namespace tessaline::testing
