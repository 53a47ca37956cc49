// Output files that never destroy an input: the checks on the names of a run,
// the staged writer (all files or none, temporaries beside their targets,
// special files written in place), the removal of temporaries on a signal,
// and the standard streams.  Signals are raised in forked children, each with
// a deadline, working in a scratch directory that goes with the test.
#include "textio/output_files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/driver/in_child.hpp"
#include "tests/driver/scratch.hpp"
#include "textio/textio.hpp"

namespace tessaline::textio {
namespace {

namespace fs = std::filesystem;
using testing::handler_of;
using testing::in_child;
using testing::ScratchDir;

std::string error_of(const std::vector<NamedFile>& in, const std::vector<NamedFile>& out) {
  try {
    check_outputs(in, out);
  } catch (const TextError& e) {
    return e.what();
  }
  return "";
}

// The names in a directory, sorted.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---------------------------------------------------------------- names

TEST(CheckOutputs, AnOutputThatIsAnInputIsRefusedHoweverItIsNamed) {
  ScratchDir dir;
  dir.write("in.dat", "points\n");
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink("in.dat", dir.path() / "soft");
  fs::create_hard_link(dir.path() / "in.dat", dir.path() / "hard");
  const std::string in = dir.file("in.dat");
  for (const std::string& out :
       {in, dir.file("soft"), dir.file("hard"), dir.file("sub/../in.dat"), dir.file("./in.dat")}) {
    SCOPED_TRACE(out);
    EXPECT_EQ(error_of({{"a.ent", "entry file"}, {in, "data file"}}, {{out, "picture"}}),
              "the picture to write, \"" + out + "\", is the same file as the data file \"" + in +
                  "\"; refused, so that the data file is not replaced");
  }
  // The input named through the link, the output by its own name.
  EXPECT_NE(error_of({{dir.file("soft"), "reduced file"}}, {{in, "data file"}}), "");
  // Other files, and outputs not made yet, pass.
  EXPECT_EQ(error_of({{in, "data file"}}, {{dir.file("new.dat"), "data file"}}), "");
  dir.write("other.dat", "points\n");  // the same content is not the same file
  EXPECT_EQ(error_of({{in, "data file"}}, {{dir.file("other.dat"), "data file"}}), "");
  EXPECT_EQ(error_of({{dir.file("missing"), "data file"}}, {{in, "picture"}}), "");
}

TEST(CheckOutputs, TwoOutputsNamingOneFileAreRefused) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "sub");
  const std::string x = dir.file("x");
  // Not made yet: the same name in the same directory, however spelled.
  for (const std::string& other : {x, dir.file("./x"), dir.file("sub/../x")}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(error_of({}, {{x, "data file"}, {other, "entry file"}}),
              "the data file \"" + x + "\" and the entry file \"" + other +
                  "\" to write are the same file; refused, so that one does not replace the "
                  "other");
  }
  EXPECT_EQ(error_of({}, {{x, "data file"}, {dir.file("sub/x"), "entry file"}}), "");
  // Existing: one file under two names.
  dir.write("y", "old\n");
  fs::create_symlink("y", dir.path() / "link");
  EXPECT_NE(error_of({}, {{dir.file("y"), "data file"}, {dir.file("link"), "entry file"}}), "");
}

TEST(CheckOutputs, CharacterDevicesHoldNothingToDestroy) {
  EXPECT_EQ(error_of({{"/dev/null", "data file"}}, {{"/dev/null", "picture"}}), "");
  EXPECT_EQ(error_of({}, {{"/dev/null", "data file"}, {"/dev/null", "entry file"}}), "");
}

// ---------------------------------------------------------------- staged files

// TMPDIR pointed at a folder of the scratch directory for the test's lifetime.
class TmpDirSet {
 public:
  explicit TmpDirSet(const std::string& path) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", path.c_str(), 1);
  }
  ~TmpDirSet() {
    if (old_.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", old_.c_str(), 1);
    }
  }

 private:
  std::string old_;
};

TEST(StagedFiles, TemporariesStandBesideTheirTargetsAndNothingChangesBeforeTheCommit) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "tmp");
  fs::create_directory(dir.path() / "sub");
  TmpDirSet tmpdir(dir.file("tmp"));
  dir.write("a.dat", "old a\n");
  {
    StagedFiles files;
    files.stage(dir.file("a.dat"), "new a\n");
    files.stage(dir.file("sub/b.ent"), "new b\n");
    // Each temporary is a hidden file in its target's own directory (so that
    // the rename is atomic on one file system), and holds the whole content.
    const fs::path ta = files.temporary_of(dir.file("a.dat"));
    const fs::path tb = files.temporary_of(dir.file("sub/b.ent"));
    EXPECT_EQ(ta.parent_path(), dir.path());
    EXPECT_EQ(tb.parent_path(), dir.path() / "sub");
    EXPECT_EQ(ta.filename().string().rfind(".a.dat.", 0), 0u) << ta;
    EXPECT_EQ(tb.filename().string().rfind(".b.ent.", 0), 0u) << tb;
    EXPECT_EQ(dir.read(ta.lexically_relative(dir.path()).string()), "new a\n");
    EXPECT_EQ(dir.read("a.dat"), "old a\n");
    EXPECT_FALSE(dir.exists("sub/b.ent"));
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));
    files.commit();
  }
  EXPECT_EQ(dir.read("a.dat"), "new a\n");
  EXPECT_EQ(dir.read("sub/b.ent"), "new b\n");
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"a.dat", "sub", "tmp"}));
  EXPECT_EQ(listing(dir.path() / "sub"), std::vector<std::string>{"b.ent"});
  EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));
  // The mode of a new file under the umask, not the private mode of a temporary.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("a.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(StagedFiles, AFailureOnALaterFileLeavesTheEarlierTargetsAsTheyWere) {
  ScratchDir dir;
  dir.write("a.dat", "old a\n");
  fs::create_directory(dir.path() / "taken");
  const std::vector<std::pair<std::string, std::string>> bad = {
      {dir.file("no/such/dir/b.ent"), "cannot create a file beside"},
      {dir.file("taken"), "it is a directory"},
      {dir.file("./a.dat"), "it is the same file as"},
  };
  for (const auto& [path, message] : bad) {
    SCOPED_TRACE(path);
    try {
      StagedFiles files;
      files.stage(dir.file("a.dat"), "new a\n");
      files.stage(path, "new b\n");
      files.commit();
      ADD_FAILURE() << "no error";
    } catch (const TextError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(dir.read("a.dat"), "old a\n");
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"a.dat", "taken"}));
  }
  // A staging that is never committed changes nothing either.
  {
    StagedFiles files;
    files.stage(dir.file("a.dat"), "new a\n");
  }
  EXPECT_EQ(dir.read("a.dat"), "old a\n");
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"a.dat", "taken"}));
}

TEST(StagedFiles, ALinkStaysALinkAndTheFileItNamesIsReplaced) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "store");
  dir.write("store/real.ent", "old\n");
  fs::create_symlink("store/real.ent", dir.path() / "link.ent");
  replace_file(dir.file("link.ent"), "new\n");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.ent"));
  EXPECT_EQ(dir.read("store/real.ent"), "new\n");
  EXPECT_EQ(listing(dir.path() / "store"), std::vector<std::string>{"real.ent"});
}

// A device node made in the scratch directory stands in for /dev/null and
// /dev/full: a fault that replaced the node must not replace the system's.
bool make_device(const ScratchDir& dir, const char* name, unsigned minor) {
  return ::mknod(dir.file(name).c_str(), S_IFCHR | 0666, ::makedev(1, minor)) == 0;
}

bool is_character_device(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

TEST(StagedFiles, DevicesAndFifosAreWrittenInPlaceAndStayWhatTheyAre) {
  ScratchDir dir;
  // A FIFO that no process reads is refused at once, not waited on.
  ASSERT_EQ(::mkfifo(dir.file("lonely").c_str(), 0600), 0);
  try {
    replace_file(dir.file("lonely"), "nobody\n");
    ADD_FAILURE() << "no error";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("no process reads this FIFO"), std::string::npos)
        << e.what();
  }
  // A FIFO with a reader gets the content, and stays a FIFO.  The reader waits
  // at most 10 s, so that a fault cannot leave it blocked.
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  const int fd = ::open(dir.file("pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::string received;
  std::thread reader([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      struct pollfd p {
        fd, POLLIN, 0
      };
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;  // the writer has closed it
      received.append(buf, static_cast<std::size_t>(n));
    }
  });
  try {
    replace_file(dir.file("pipe"), "through the pipe\n");
  } catch (const TextError& e) {
    ADD_FAILURE() << e.what();
  }
  reader.join();
  ::close(fd);
  EXPECT_EQ(received, "through the pipe\n");
  for (const char* name : {"lonely", "pipe"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << name;
  }
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"lonely", "pipe"}));

  if (!make_device(dir, "null", 3) || !make_device(dir, "full", 7)) {
    GTEST_SKIP() << "device nodes cannot be made here (not root)";
  }
  replace_file(dir.file("null"), "gone\n");
  EXPECT_TRUE(is_character_device(dir.file("null")));
  // A device that fails (a full disk) fails the commit before any rename.
  dir.write("a.dat", "old a\n");
  try {
    StagedFiles files;
    files.stage(dir.file("a.dat"), "new a\n");
    files.stage(dir.file("full"), "no room\n");
    files.commit();
    ADD_FAILURE() << "no error";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(is_character_device(dir.file("full")));
  EXPECT_EQ(dir.read("a.dat"), "old a\n");
  EXPECT_EQ(listing(dir.path()),
            (std::vector<std::string>{"a.dat", "full", "lonely", "null", "pipe"}));
}

// ---------------------------------------------------------------- signals

TEST(RemoveOnSignal, AnInterruptedStagingLeavesNoTemporaryAndNoTargetChanged) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    ScratchDir dir;
    dir.write("a.dat", "old a\n");
    const int status = in_child(dir, [sig] {
      StagedFiles files;
      files.stage("a.dat", "new a\n");
      files.stage("b.ent", "new b\n");
      std::raise(sig);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "not ended by the signal";
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"a.dat"});
    EXPECT_EQ(dir.read("a.dat"), "old a\n");
  }
}

TEST(RemoveOnSignal, AFolderGoesWithItsFilesAfterTheChildProcessHasEnded) {
  ScratchDir dir;
  const int status = in_child(dir, [] {
    ::mkdir("work", 0700);
    RemoveOnSignal folder("work", RemoveOnSignal::Kind::kFolder);
    RemoveOnSignal file("work/data.txt");
    RemoveOnSignal late("work/late.txt");
    std::FILE* f = std::fopen("work/data.txt", "w");
    std::fputs("x\n", f);
    std::fclose(f);
    // A child that would write into the folder after a moment, unless ended.
    const pid_t writer = ::fork();
    if (writer == 0) {
      ::sleep(1);
      std::FILE* g = std::fopen("work/late.txt", "w");
      if (g != nullptr) std::fclose(g);
      ::_exit(0);
    }
    std::FILE* p = std::fopen("writer.pid", "w");
    std::fprintf(p, "%d\n", static_cast<int>(writer));
    std::fclose(p);
    end_child_on_signal(writer);
    std::raise(SIGTERM);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"writer.pid"});
  // The writer was ended and reaped by the handler, not left to write later.
  const pid_t writer = std::stoi(dir.read("writer.pid"));
  EXPECT_NE(::kill(writer, 0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_FALSE(dir.exists("work"));
}

TEST(RemoveOnSignal, HandlersLiveOnlyWhileSomethingIsRegistered) {
  ScratchDir dir;
  const int status = in_child(dir, [] {
    std::signal(SIGHUP, SIG_IGN);  // as under nohup
    {
      RemoveOnSignal one("a");
      RemoveOnSignal two("b");
      if (handler_of(SIGINT) == SIG_DFL || handler_of(SIGQUIT) == SIG_DFL) ::_exit(1);
      if (handler_of(SIGHUP) != SIG_IGN) ::_exit(2);
    }
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
      if (handler_of(sig) != SIG_DFL) ::_exit(3);
    }
    if (handler_of(SIGHUP) != SIG_IGN) ::_exit(4);
    ::_exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: no handler, 2/4: an ignored signal handled, 3: a handler left behind";
}

// ---------------------------------------------------------------- standard streams

TEST(StandardStreams, AFailedStandardOutputIsAnErrorWithItsReason) {
  ScratchDir dir;
  const int status = in_child(dir, [] {
    if (std::freopen("/dev/full", "w", stdout) == nullptr) ::_exit(126);
    if (std::freopen("err.txt", "w", stderr) == nullptr) ::_exit(126);
    std::printf("a summary\n");
    const int rc = finish_standard_output("tessaline-test", 0, 7);
    std::fflush(stderr);
    ::_exit(rc);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(dir.read("err.txt"),
            "tessaline-test: cannot write to standard output: No space left on device\n");
}

TEST(StandardStreams, AClosedOutputIsRefusedAndAClosedPipeIsAnError) {
  ScratchDir dir;
  const int status = in_child(dir, [] {
    ::close(STDOUT_FILENO);
    try {
      check_standard_streams();
      ::_exit(1);  // a closed standard output went unnoticed
    } catch (const TextError&) {
    }
    // The descriptor is held, so that no file takes its place.
    if (::fcntl(STDOUT_FILENO, F_GETFD) == -1) ::_exit(2);
    // A closed pipe is a write error, not the end of the process.
    if (handler_of(SIGPIPE) != SIG_IGN) ::_exit(3);
    ::_exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused, 2: descriptor free, 3: SIGPIPE kills";
}

}  // namespace
}  // namespace tessaline::textio
