// Checks on the names of a run, whole files committed together, removal of
// temporary files on a signal, and the standard streams; see output_files.hpp.
#include "textio/output_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "textio/textio.hpp"

namespace tessaline::textio {
namespace {

std::string quote(const std::string& path) { return "\"" + path + "\""; }

std::string reason(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

// ---------------------------------------------------------------- registry

// Names to remove on a signal.  Filled and emptied only while the signals are
// held, so that the handler never sees a slot half made.
struct Slot {
  char* path = nullptr;
  bool folder = false;
};
constexpr int kSlots = 256;
Slot g_slots[kSlots];
int g_used = 0;
volatile sig_atomic_t g_child = 0;
std::unique_ptr<SignalHandlers> g_handlers;  // while any slot is in use

void on_signal(int sig) {
  const pid_t child = static_cast<pid_t>(g_child);
  if (child > 0) {
    ::kill(child, SIGTERM);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (const Slot& s : g_slots) {
    if (s.path != nullptr && !s.folder) ::unlink(s.path);
  }
  for (int i = kSlots - 1; i >= 0; --i) {
    if (g_slots[i].path != nullptr && g_slots[i].folder) ::rmdir(g_slots[i].path);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// ---------------------------------------------------------------- identities

// What makes two names one file: the device and inode of an existing file, or
// for a name not yet made, its directory's device and inode and its last
// component (a name whose directory does not exist either: its normal form).
struct FileKey {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;
  bool operator==(const FileKey&) const = default;
};

void split(const std::string& path, std::string& dir, std::string& base) {
  const auto slash = path.rfind('/');
  dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  base = slash == std::string::npos ? path : path.substr(slash + 1);
}

FileKey key_of(const std::string& path, struct stat* st_out = nullptr) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (st_out != nullptr) *st_out = st;
    return {true, st.st_dev, st.st_ino, ""};
  }
  std::string dir;
  std::string base;
  split(path, dir, base);
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) == 0) return {false, st.st_dev, st.st_ino, base};
  return {false, 0, 0, std::filesystem::path(path).lexically_normal().string()};
}

bool is_character_device(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

// ---------------------------------------------------------------- signals

SignalHandlers::SignalHandlers(void (*handler)(int)) {
  for (int i = 0; i < kCount; ++i) {
    struct sigaction now {};
    ::sigaction(kSignals[i], nullptr, &now);
    if (now.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = handler;
    ::sigemptyset(&act.sa_mask);
    for (int sig : kSignals) ::sigaddset(&act.sa_mask, sig);
    act.sa_flags = SA_RESTART;
    installed_[i] = ::sigaction(kSignals[i], &act, &previous_[i]) == 0;
  }
}

SignalHandlers::~SignalHandlers() {
  for (int i = 0; i < kCount; ++i) {
    if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
  }
}

SignalsHeld::SignalsHeld() {
  sigset_t set;
  ::sigemptyset(&set);
  for (int sig : SignalHandlers::kSignals) ::sigaddset(&set, sig);
  ::sigprocmask(SIG_BLOCK, &set, &old_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

// ---------------------------------------------------------------- names

void check_outputs(const std::vector<NamedFile>& inputs, const std::vector<NamedFile>& outputs) {
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    const NamedFile& out = outputs[k];
    if (is_character_device(out.path)) continue;
    const FileKey key = key_of(out.path);
    if (key.exists) {
      for (const NamedFile& in : inputs) {
        if (key == key_of(in.path)) {
          throw TextError("the " + out.role + " to write, " + quote(out.path) +
                          ", is the same file as the " + in.role + " " + quote(in.path) +
                          "; refused, so that the " + in.role + " is not replaced");
        }
      }
    }
    for (std::size_t j = 0; j < k; ++j) {
      if (!is_character_device(outputs[j].path) && key == key_of(outputs[j].path)) {
        throw TextError("the " + outputs[j].role + " " + quote(outputs[j].path) + " and the " +
                        out.role + " " + quote(out.path) +
                        " to write are the same file; refused, so that one does not replace "
                        "the other");
      }
    }
  }
}

// ---------------------------------------------------------------- registry

RemoveOnSignal::RemoveOnSignal(const std::string& path, Kind kind) {
  SignalsHeld held;
  for (int i = 0; i < kSlots; ++i) {
    if (g_slots[i].path != nullptr) continue;
    char* copy = ::strdup(path.c_str());
    if (copy == nullptr) throw TextError("out of memory for the name " + quote(path));
    g_slots[i].folder = kind == Kind::kFolder;
    g_slots[i].path = copy;
    slot_ = i;
    if (g_used++ == 0) g_handlers = std::make_unique<SignalHandlers>(on_signal);
    return;
  }
  throw TextError("more than " + std::to_string(kSlots) + " temporary files at once");
}

RemoveOnSignal::~RemoveOnSignal() {
  if (slot_ < 0) return;
  SignalsHeld held;
  char* path = g_slots[slot_].path;
  g_slots[slot_].path = nullptr;
  std::free(path);
  if (--g_used == 0) g_handlers.reset();
}

void end_child_on_signal(pid_t pid) { g_child = pid; }

// ---------------------------------------------------------------- whole files

struct StagedFiles::Entry {
  std::string shown;   // the name as given, for messages
  std::string target;  // the name the rename replaces
  std::string temp;    // hidden temporary file; "" for a special file
  std::unique_ptr<RemoveOnSignal> guard;
  int fd = -1;          // a special file, open for writing
  std::string content;  // what a special file gets at commit()
  FileKey key;
};

StagedFiles::StagedFiles() = default;

StagedFiles::~StagedFiles() { discard(); }

void StagedFiles::discard() noexcept {
  for (Entry& e : entries_) {
    if (!e.temp.empty()) ::unlink(e.temp.c_str());
    if (e.fd >= 0) ::close(e.fd);
  }
  entries_.clear();  // the guards go only after their files
}

std::string StagedFiles::temporary_of(const std::string& path) const {
  for (const Entry& e : entries_) {
    if (e.shown == path) return e.temp;
  }
  return "";
}

void StagedFiles::stage(const std::string& path, std::string_view content) {
  Entry e;
  e.shown = path;
  e.target = path;
  struct stat st {};
  e.key = key_of(path, &st);
  for (const Entry& other : entries_) {
    if (other.key == e.key) {
      throw TextError("cannot write " + quote(path) + ": it is the same file as " +
                      quote(other.shown) + ", written by the same run");
    }
  }
  const std::string cannot = "cannot write " + quote(path) + ": ";
  if (e.key.exists && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) throw TextError(cannot + "it is a directory");
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
      throw TextError(cannot + "it is neither a regular file, a character device nor a FIFO");
    }
    // Written in place at commit(); a FIFO is opened without waiting, so that
    // one without a reader is refused instead of blocking the run.
    const bool fifo = S_ISFIFO(st.st_mode);
    e.fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (fifo ? O_NONBLOCK : 0));
    if (e.fd < 0) {
      if (fifo && errno == ENXIO) throw TextError(cannot + "no process reads this FIFO");
      throw TextError(cannot + std::strerror(errno));
    }
    if (fifo) ::fcntl(e.fd, F_SETFL, ::fcntl(e.fd, F_GETFL) & ~O_NONBLOCK);
    e.content.assign(content);
    entries_.push_back(std::move(e));
    return;
  }
  // A symbolic link to a regular file: the file is replaced, the link stays.
  struct stat lst {};
  if (e.key.exists && ::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) e.target = resolved;
  }

  std::string dir;
  std::string base;
  split(e.target, dir, base);
  std::string temp = dir + "." + base + ".XXXXXX";
  int fd = -1;
  {
    // The temporary file is known to the handler from the moment it exists.
    SignalsHeld held;
    fd = ::mkstemp(temp.data());
    if (fd < 0) {
      throw TextError("cannot create a file beside " + quote(path) + ": " + std::strerror(errno));
    }
    try {
      e.guard = std::make_unique<RemoveOnSignal>(temp);
    } catch (...) {
      ::close(fd);
      ::unlink(temp.c_str());
      throw;
    }
  }
  e.temp = temp;
  // mkstemp makes the file private to its owner; give it the mode a newly
  // created file would have.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  int error = ::fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
  std::size_t done = 0;
  while (error == 0 && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    throw TextError(cannot + reason(error));
  }
  entries_.push_back(std::move(e));
}

void StagedFiles::commit() {
  // No signal between the first change of a target and the last.
  SignalsHeld held;
  for (Entry& e : entries_) {
    if (e.fd < 0) continue;
    int error = 0;
    std::size_t done = 0;
    while (done < e.content.size()) {
      const ssize_t n = ::write(e.fd, e.content.data() + done, e.content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : EIO;
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    if (::close(e.fd) != 0 && error == 0) error = errno;
    e.fd = -1;
    if (error != 0) {
      const std::string shown = e.shown;
      discard();
      throw TextError("cannot write " + quote(shown) + ": " + reason(error));
    }
  }
  std::string done;
  for (Entry& e : entries_) {
    if (e.temp.empty()) continue;
    if (std::rename(e.temp.c_str(), e.target.c_str()) != 0) {
      const int error = errno;
      const std::string shown = e.shown;
      discard();
      throw TextError("cannot write " + quote(shown) + ": " + reason(error) +
                      (done.empty() ? "" : "; already written: " + done));
    }
    e.temp.clear();
    done += (done.empty() ? "" : ", ") + quote(e.shown);
  }
  entries_.clear();
}

void replace_file(const std::string& path, std::string_view content) {
  StagedFiles file;
  file.stage(path, content);
  file.commit();
}

// ---------------------------------------------------------------- standard streams

void check_standard_streams() {
  // A closed descriptor 0, 1 or 2 would be taken by the next file the run
  // opens, so that console lines or messages would land in an output file.
  // Each is held by /dev/null instead; a closed standard output, where all
  // that is printed would be lost, ends the run.
  bool output_closed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
    if (fd == 1) output_closed = true;
  }
  std::signal(SIGPIPE, SIG_IGN);
  if (output_closed) {
    throw TextError("standard output is closed; nothing the program prints could be seen");
  }
}

void flush_standard_output() {
  // std::cout writes through C stdio; the first flush that fails tells why.
  errno = 0;
  const bool flush_failed = std::fflush(stdout) != 0;
  const int error = errno;
  std::cout.flush();
  if (flush_failed || std::ferror(stdout) != 0 || !std::cout) {
    throw TextError("cannot write to standard output" +
                    (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
  }
}

int finish_standard_output(const char* tool, int status, int failure) {
  try {
    flush_standard_output();
  } catch (const TextError& e) {
    std::fprintf(stderr, "%s: %s\n", tool, e.what());
    return failure;
  }
  return status;
}

}  // namespace tessaline::textio
