// The console: answers read line by line, and the final wait for the Enter key on
// a terminal (a pseudo-terminal here) and off a terminal (a pipe).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "textio/textio.hpp"

namespace tessaline::textio {
namespace {

// Waits up to `ms` for the child; returns its wait status or -1 if it is still running.
int wait_child(pid_t pid, int ms) {
  for (int waited = 0; waited <= ms; waited += 10) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

void send(int fd, const char* s) {
  ASSERT_EQ(::write(fd, s, std::strlen(s)), static_cast<ssize_t>(std::strlen(s)));
}

// Child body: wait for Enter, then report through the exit status whether the
// terminal is back in canonical mode with echo.
[[noreturn]] void child_waits_on_terminal() {
  wait_for_enter();
  struct termios t;
  if (::tcgetattr(STDIN_FILENO, &t) != 0) ::_exit(4);
  ::_exit((t.c_lflag & ECHO) && (t.c_lflag & ICANON) ? 0 : 3);
}

TEST(FinalWait, OnATerminalOtherKeysAndArrowKeysDoNotEndIt) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) child_waits_on_terminal();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  send(master, "a");
  send(master, "\x1b[A");  // arrow up: an escape sequence, consumed whole
  send(master, "\x1bOB");  // arrow down in application mode
  EXPECT_EQ(wait_child(pid, 400), -1) << "the wait ended on a key other than Enter";
  send(master, "\r");
  const int status = wait_child(pid, 3000);
  ASSERT_NE(status, -1) << "Enter did not end the wait";
  ::kill(pid, SIGKILL);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "terminal settings were not restored";
  ::close(master);
}

TEST(FinalWait, OnATerminalKeysAreNotEchoed) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) child_waits_on_terminal();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  send(master, "zq");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string seen;
  struct pollfd p {
    master, POLLIN, 0
  };
  while (::poll(&p, 1, 100) > 0) {
    char buf[64];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(seen.find('z'), std::string::npos) << "echoed: " << seen;
  send(master, "\r");
  EXPECT_NE(wait_child(pid, 3000), -1);
  ::kill(pid, SIGKILL);
  ::close(master);
}

// Runs `body` in a child whose standard input is a pipe fed with `input`.
int run_with_piped_input(const std::string& input, bool close_after, void (*body)()) {
  int fds[2];
  if (::pipe(fds) != 0) return -2;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    body();
    ::_exit(0);
  }
  ::close(fds[0]);
  if (!input.empty()) (void)!::write(fds[1], input.data(), input.size());
  if (close_after) ::close(fds[1]);
  const int status = wait_child(pid, 2000);
  if (status == -1) ::kill(pid, SIGKILL);
  if (!close_after) ::close(fds[1]);
  ::waitpid(pid, nullptr, WNOHANG);
  return status;
}

TEST(FinalWait, OffATerminalALineEndOrTheEndOfInputEndsIt) {
  EXPECT_NE(run_with_piped_input("xyz\n", false, [] { wait_for_enter(); }), -1);
  EXPECT_NE(run_with_piped_input("xyz\r", false, [] { wait_for_enter(); }), -1);
  EXPECT_NE(run_with_piped_input("", true, [] { wait_for_enter(); }), -1);
  // Without a line end and with the pipe still open, it keeps waiting.
  EXPECT_EQ(run_with_piped_input("xyz", false, [] { wait_for_enter(); }), -1);
}

TEST(ConsoleInput, AnswersTypedAheadReachTheirPromptsAndTheFinalWait) {
  // The child reads two answers, then waits; the third line ends the wait. Exit
  // status 0 only if both answers arrived intact.
  const int status = run_with_piped_input("model.ent\n 'my data.dat'\n\n", false, [] {
    std::string a, b;
    InStream::console().read_text(a, 256, "entry-file name");
    InStream::console().read_text(b, 256, "data-file name");
    if (a != "model.ent" || b != "my data.dat") ::_exit(5);
    wait_for_enter();
    ::_exit(0);
  });
  ASSERT_NE(status, -1);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ConsoleInput, EndOfInputAtAPromptIsAnError) {
  const int status = run_with_piped_input("", true, [] {
    std::string a;
    try {
      InStream::console().read_text(a, 256, "entry-file name");
    } catch (const TextError&) {
      ::_exit(7);
    }
    ::_exit(0);
  });
  ASSERT_NE(status, -1);
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
}  // namespace tessaline::textio
