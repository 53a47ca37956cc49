// Console input: line reads for the prompts and the single-key read of the final
// wait, over one buffer on standard input so that answers typed ahead (or piped)
// reach the right reader.
//
// On a terminal the final wait switches to non-canonical mode without echo and
// restores the saved settings on return, on exit and on the usual terminating
// signals.  Every read blocks; nothing polls.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "textio/textio.hpp"

namespace tessaline::textio {

namespace {

std::string g_buffer;   // bytes read from standard input, not yet consumed
bool g_at_end = false;  // standard input has ended, or cannot be read
int g_read_error = 0;   // errno of the read that failed; 0 at a plain end

// Reads more bytes into the buffer; false at the end of input or on an error.
bool fill() {
  if (g_at_end) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n > 0) {
      g_buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) g_read_error = errno;
    g_at_end = true;
    return false;
  }
}

// Next byte of standard input, or -1 at its end.
int next_byte() {
  if (g_buffer.empty() && !fill()) return -1;
  const unsigned char c = static_cast<unsigned char>(g_buffer.front());
  g_buffer.erase(0, 1);
  return c;
}

// ---------------------------------------------------------------- terminal mode

struct termios g_saved;
volatile sig_atomic_t g_raw = 0;

void restore_terminal() {
  if (g_raw) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_raw = 0;
  }
}

void on_signal(int sig) {
  restore_terminal();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Holds the terminal in non-canonical mode without echo for its lifetime.
class RawTerminal {
 public:
  RawTerminal() {
    if (::tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
    static bool installed = false;
    if (!installed) {
      std::atexit(restore_terminal);
      for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, on_signal);
      installed = true;
    }
    struct termios raw = g_saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_raw = 1;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
    ok_ = true;
  }
  ~RawTerminal() { restore_terminal(); }
  bool ok() const { return ok_; }

  // Reads one byte, waiting at most a tenth of a second; -1 if none came.
  static int byte_soon() {
    struct termios t;
    if (::tcgetattr(STDIN_FILENO, &t) != 0) return -1;
    struct termios soon = t;
    soon.c_cc[VMIN] = 0;
    soon.c_cc[VTIME] = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &soon);
    unsigned char c = 0;
    ssize_t n;
    do {
      n = ::read(STDIN_FILENO, &c, 1);
    } while (n < 0 && errno == EINTR);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
    return n == 1 ? c : -1;
  }

 private:
  bool ok_ = false;
};

// The rest of an escape sequence after ESC: CSI (ESC [ params final) and SS3
// (ESC O final) sequences are swallowed whole; a lone ESC is just ignored.
void swallow_escape() {
  int c = RawTerminal::byte_soon();
  if (c == '[') {
    while ((c = RawTerminal::byte_soon()) >= 0) {
      if (c >= 0x40 && c <= 0x7e) return;
    }
  } else if (c == 'O') {
    RawTerminal::byte_soon();
  }
}

}  // namespace

int console_read_error() { return g_read_error; }

bool console_getline(std::string& line, std::string::size_type max_len) {
  OutStream::console().flush();
  line.clear();
  for (;;) {
    const auto nl = g_buffer.find('\n');
    if (nl != std::string::npos) {
      line.assign(g_buffer, 0, nl);
      g_buffer.erase(0, nl + 1);
      return true;
    }
    if (g_buffer.size() > max_len) {
      throw TextError("standard input: an answer longer than " + std::to_string(max_len) +
                      " characters");
    }
    if (!fill()) {
      if (g_buffer.empty()) return false;
      line.swap(g_buffer);  // a last line without its line end
      g_buffer.clear();
      return true;
    }
  }
}

void wait_for_enter() {
  OutStream::console().flush();
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  if (!terminal) {
    for (;;) {
      const int c = next_byte();
      if (c < 0 || c == '\r' || c == '\n') return;
    }
  }
  // Keys typed ahead while the program was busy come first.
  while (!g_buffer.empty()) {
    const int c = next_byte();
    if (c == '\r' || c == '\n') return;
  }
  RawTerminal raw;
  for (;;) {
    unsigned char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal went away
    if (c == '\r' || c == '\n') return;
    if (c == 0x1b) swallow_escape();
  }
}

}  // namespace tessaline::textio
