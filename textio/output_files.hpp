// Output files that never destroy an input and never leave a half-done job:
// the checks a run makes on the names it is given, the writer of whole files
// that commits several files together, the removal of temporary files when a
// run is interrupted, and the checks on the standard streams.
//
// For the program and for every tool.  A tool that writes files does, in this
// order:
//
//   textio::check_standard_streams();                     // at the start of main
//   textio::check_outputs({{in, "entry file"}},           // before reading anything
//                         {{out, "data file"}});
//   ... read and compute ...
//   textio::StagedFiles files;
//   files.stage(out, text);                               // one call per file
//   textio::flush_standard_output();                      // what it printed was seen
//   files.commit();                                       // all of them, or none
//
// Allocation: the staged texts of special files, the temporary names and the
// registry of names to remove on a signal (a fixed table, filled outside signal
// handlers); the signal handler itself allocates nothing.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "textio/textio.hpp"  // TextError

namespace tessaline::textio {

// ---------------------------------------------------------------- names

// A file a run names, and what it is to the run ("entry file", "data file",
// "picture"); messages name both.
struct NamedFile {
  std::string path;
  std::string role;
};

// Refuses (TextError) a run that would replace one of its inputs or write two
// outputs into one file, before anything is read:
//   - an output that is the same file as an input, compared by device and inode,
//     so that a symbolic link, a hard link or another spelling of the name is
//     seen through;
//   - two outputs that are the same existing file, or, when they do not exist
//     yet, the same name in the same directory ("x", "./x", "d/../x").
// Character devices (/dev/null, a terminal) hold no content that a write could
// destroy and are not compared.  Names that do not exist as inputs are left to
// the readers, which say so.
void check_outputs(const std::vector<NamedFile>& inputs, const std::vector<NamedFile>& outputs);

// ---------------------------------------------------------------- whole files

// Whole files written together, all or nothing.
//
// stage() writes the complete content at once into a new hidden file beside its
// target (".NAME.XXXXXX" in the target's directory, so that the final rename
// stays on one file system and is atomic), flushes it to disk and closes it; a
// failure removes it again and throws TextError naming the target and the
// reason.  commit() then renames every staged file over its target.  Until
// commit() no target has changed, so a run that fails on its second file leaves
// the first target as it was; and the object's destructor removes the
// temporary files of a run that never commits.
//
// Targets:
//   - a regular file, or a new name: replaced by the rename (with the mode a
//     new file gets under the umask);
//   - a symbolic link to a regular file: the file it points to is replaced and
//     the link stays;
//   - an existing character device or FIFO (/dev/null, /dev/stdout on a pipe, a
//     named pipe): written directly, without a temporary file, when commit()
//     begins, before any rename; so the node stays what it is.  A FIFO that no
//     process reads is refused at once instead of blocking;
//   - a directory, a block device or a socket: refused.
// The same target staged twice is refused.
//
// While temporary files exist, SIGINT, SIGTERM, SIGHUP and SIGQUIT remove them
// before the process ends (RemoveOnSignal); commit() holds those signals back
// until every rename is done.  A SIGKILL cannot be caught: it can leave the
// hidden temporary files of the files being staged.
class StagedFiles {
 public:
  StagedFiles();
  ~StagedFiles();
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  void stage(const std::string& path, std::string_view content);
  void commit();

  // The hidden temporary file of a staged regular target ("" for a special
  // file or a name not staged); for the tests of where it is made.
  std::string temporary_of(const std::string& path) const;

 private:
  struct Entry;
  void discard() noexcept;
  std::vector<Entry> entries_;
};

// One whole file at once: stage() and commit() of a single file.
void replace_file(const std::string& path, std::string_view content);

// ---------------------------------------------------------------- interruption

// The signals that end a run from outside: SIGINT, SIGTERM, SIGHUP, SIGQUIT.
// For its lifetime, `handler` is installed for each of them, running with all
// four held; a signal that the process ignores (nohup) stays ignored.  The
// earlier dispositions come back when the object ends, so that no handler
// outlives the phase it guards.
class SignalHandlers {
 public:
  explicit SignalHandlers(void (*handler)(int));
  ~SignalHandlers();
  SignalHandlers(const SignalHandlers&) = delete;
  SignalHandlers& operator=(const SignalHandlers&) = delete;

  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

 private:
  static constexpr int kCount = sizeof kSignals / sizeof kSignals[0];
  struct sigaction previous_[kCount];
  bool installed_[kCount] = {};
};

// Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT back for its lifetime; a signal
// that comes meanwhile is delivered when it ends.  For the steps that must
// not be separated by a handler: a temporary name made and registered, a
// child process started and registered.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// A file or an empty folder removed when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends
// the process while the object lives; the object itself removes nothing.  The
// handler is installed while any such object lives (a signal that the process
// ignores stays ignored) and the earlier dispositions are restored when the
// last one goes.  Folders are removed after the files, so a folder whose files
// are all registered goes with them.  When a child process is registered
// (end_child_on_signal), the handler ends it first and waits for it, so that it
// cannot write into a folder being removed.  After the removals the signal's
// default action ends the process, so its exit status says which signal it was.
class RemoveOnSignal {
 public:
  enum class Kind { kFile, kFolder };
  explicit RemoveOnSignal(const std::string& path, Kind kind = Kind::kFile);
  ~RemoveOnSignal();
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

 private:
  int slot_ = -1;
};

// The child process the handler ends (SIGTERM) and waits for before it removes
// anything; 0 forgets it.
void end_child_on_signal(pid_t pid);

// ---------------------------------------------------------------- standard streams

// Makes sure that standard input, output and error are open descriptors (a
// closed one is held by /dev/null, so that no file the run opens takes its
// place) and that a closed pipe is reported as a write error rather than ending
// the process by SIGPIPE.  Throws TextError when standard output was closed.
// Called once, at the start of the program and of every tool.
void check_standard_streams();

// Flushes standard output (C stdio and std::cout) and throws TextError
// ("cannot write to standard output: REASON") when anything written to it was
// lost: a full disk, a closed pipe.
void flush_standard_output();

// The last word of a tool's main: flushes standard output and returns `status`;
// when what was printed is lost, says so on standard error ("TOOL: cannot write
// to standard output: REASON") and returns `failure` instead.
int finish_standard_output(const char* tool, int status, int failure);

}  // namespace tessaline::textio
