// Signal handling around the output phase of a run; see interruption.hpp.
#include "driver/interruption.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <optional>
#include <string>

#include "report/report.hpp"
#include "textio/output_files.hpp"

namespace tessaline {
namespace {

// Phase of the output: nothing to mend, fitting, or writing the curve files.
enum Phase : int { kIdle = 0, kFitting = 1, kCurves = 2 };
volatile sig_atomic_t g_phase = kIdle;
volatile sig_atomic_t g_results_fd = -1;

// File names as C strings, built before any handler can run.
char g_results_name[32];
char g_curve_names[4][32];

// The handlers, while a guard lives.
std::optional<textio::SignalHandlers> g_handlers;

void put(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGQUIT";
  }
}

void on_signal(int sig) {
  const char* name = signal_name(sig);
  for (const char* curve : g_curve_names) ::unlink(curve);
  if (g_phase == kFitting && g_results_fd >= 0) {
    // The results file is line buffered, so its bytes on disk end with a whole
    // line; this one says that the last block is not a fitted result.
    put(g_results_fd, "Run interrupted by ");
    put(g_results_fd, name);
    put(g_results_fd,
        " before the fit ended: the last block is not a fitted result,"
        " and no curve files were written.\n");
  } else if (g_phase == kCurves) {
    const int fd = ::open(g_results_name, O_WRONLY | O_APPEND);
    if (fd >= 0) {
      put(fd, "Run interrupted by ");
      put(fd, name);
      put(fd, " while the curve files were written: they have been removed.\n");
      ::close(fd);
    }
  }
  put(STDERR_FILENO, "\ntessaline: interrupted by ");
  put(STDERR_FILENO, name);
  if (g_phase != kIdle) {
    put(STDERR_FILENO, "; ");
    put(STDERR_FILENO, g_results_name);
    put(STDERR_FILENO, g_phase == kFitting
                           ? " says so in its last line, and no curve files were written"
                           : " is complete, but the curve files were removed");
  }
  put(STDERR_FILENO, "\n");
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void copy_name(char (&to)[32], std::string_view padded) {
  const std::string_view name = file_name(padded);
  const std::size_t n = name.size() < sizeof to - 1 ? name.size() : sizeof to - 1;
  std::memcpy(to, name.data(), n);
  to[n] = '\0';
}

}  // namespace

OutputGuard::OutputGuard() {
  copy_name(g_results_name, OUTNAM(5));
  for (int j = 1; j <= 4; ++j) copy_name(g_curve_names[j - 1], OUTNAM(j));
  for (const char* curve : g_curve_names) ::unlink(curve);
  g_phase = kIdle;
  g_handlers.emplace(on_signal);
}

OutputGuard::~OutputGuard() {
  // After the output phase a signal must not touch the finished files: the
  // dispositions from before the guard come back.
  g_handlers.reset();
  g_phase = kIdle;
  g_results_fd = -1;
}

void OutputGuard::fitting(int results_fd) {
  g_results_fd = results_fd;
  g_phase = kFitting;
}

void OutputGuard::writing_curves() {
  g_results_fd = -1;
  g_phase = kCurves;
}

}  // namespace tessaline
