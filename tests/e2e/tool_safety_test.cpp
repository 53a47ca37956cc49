// No tool destroys an input or reports success on a half-done job: every tool
// run on outputs that name its inputs, on two outputs naming one file, on a
// device as output, with a standard output that fails, and interrupted while it
// works.  Each run has a deadline (run_program.hpp) and a scratch directory of
// its own; what the files must hold afterwards comes from the files written
// before the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/driver/scratch.hpp"
#include "tests/e2e/run_program.hpp"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using testing::Child;
using testing::Outcome;
using testing::run_in;
using testing::ScratchDir;

std::string example(const std::string& name) {
  std::ifstream in(std::string(TESSALINE_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every entry of a directory (links by their target's name) with its content.
std::map<std::string, std::string> snapshot(const ScratchDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (name == "answers.txt" || name == "stdout.txt" || name == "stderr.txt") continue;
    files[name] = fs::is_symlink(e.path())        ? "-> " + fs::read_symlink(e.path()).string()
                  : fs::is_regular_file(e.path()) ? dir.read(name)
                                                  : std::string("(special)");
  }
  return files;
}

// The shipped example, its reduced spin-valve files, a link to one of them and,
// with `results`, a fit's results file (whose text matters only to runs that
// are not refused first).
void fill(const ScratchDir& dir, bool results = true) {
  for (const char* f : {"film.ent", "film.dat"}) dir.write(f, example(f));
  for (const char* f : {"n101Gc1.reflA", "n101Gc1.reflB", "n101Gc1.reflC", "n101Gc1.reflD"}) {
    dir.write(f, example(std::string("spinvalve/") + f));
  }
  if (results) dir.write("VreloBag.dat", "    Tessaline results:\n");
  fs::create_symlink("n101Gc1.reflA", dir.path() / "link");
}

const std::vector<std::string> kReduced = {"n101Gc1.reflA", "n101Gc1.reflB", "n101Gc1.reflC",
                                           "n101Gc1.reflD"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ToolSafety, AnOutputThatNamesAnInputOrAnotherOutputIsRefusedAndNothingChanges) {
  struct Case {
    std::string exe;
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string same = "is the same file as the ";
  const std::vector<Case> cases = {
      {TESSALINE_IMPORT_EXE, with({"-o", "n101Gc1.reflD"}, kReduced), 1,
       "the data file to write, \"n101Gc1.reflD\", " + same + "reduced file \"n101Gc1.reflD\""},
      {TESSALINE_IMPORT_EXE, with({"-o", "link"}, kReduced), 1,
       "the data file to write, \"link\", " + same + "reduced file \"n101Gc1.reflA\""},
      {TESSALINE_IMPORT_EXE, with({"-o", "x.dat", "--entry", "n101Gc1.reflB"}, kReduced), 1,
       "the entry file to write, \"n101Gc1.reflB\", " + same + "reduced file"},
      {TESSALINE_IMPORT_EXE, with({"-o", "x", "--entry", "./x"}, kReduced), 1,
       "the data file \"x\" and the entry file \"./x\" to write are the same file"},
      {TESSALINE_ENTRY_EXE,
       {"update", "film.ent", "VreloBag.dat", "-o", "VreloBag.dat"},
       1,
       "the new entry file to write, \"VreloBag.dat\", " + same + "results file"},
      {TESSALINE_ENTRY_EXE,
       {"update", "film.ent", "VreloBag.dat", "-o", "film.ent"},
       1,
       "the new entry file to write, \"film.ent\", " + same + "entry file \"film.ent\""},
      {TESSALINE_PLOT_EXE,
       {"film.dat", "--out", "film.dat", "--format", "png"},
       1,
       "the picture to write, \"film.dat\", " + same + "data file \"film.dat\""},
      {TESSALINE_PLOT_EXE,
       {"film.dat", "--out", "VreloBag.dat", "--format", "png"},
       1,
       "the picture to write, \"VreloBag.dat\", " + same + "results file"},
      {TESSALINE_PLOT_EXE,
       {"--entry", "film.ent", "--profile-table", "film.ent"},
       1,
       "the profile table to write, \"film.ent\", " + same + "entry file \"film.ent\""},
      {TESSALINE_SIM_EXE,
       {"film.ent", "film.dat", "film.ent"},
       2,
       "the new data file to write, \"film.ent\", " + same + "entry file \"film.ent\""},
      {TESSALINE_SIM_EXE,
       {"film.ent", "film.dat", "film.dat"},
       2,
       "the new data file to write, \"film.dat\", " + same + "data file \"film.dat\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe + " " + c.args[1] + " " + c.args[2]);
    ScratchDir dir;
    fill(dir);
    const auto before = snapshot(dir);
    const Outcome o = run_in(dir, c.exe, c.args, "");
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_EQ(snapshot(dir), before);
  }
}

// The importer writes the data file and the entry file together: when the
// entry file cannot be written, the data file is not replaced either.
TEST(ToolSafety, TheImporterWritesBothFilesOrNeither) {
  ScratchDir dir;
  fill(dir);
  dir.write("data.dat", "old data\n");
  fs::create_directory(dir.path() / "taken.ent");
  const auto before = snapshot(dir);
  for (const std::string entry : {"no/such/dir/e.ent", "taken.ent"}) {
    SCOPED_TRACE(entry);
    const Outcome o =
        run_in(dir, TESSALINE_IMPORT_EXE, with({"-o", "data.dat", "--entry", entry}, kReduced), "");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(entry), std::string::npos) << o.err;
    EXPECT_EQ(o.out.find("written"), std::string::npos) << o.out;
    EXPECT_EQ(snapshot(dir), before);
  }
  const Outcome o =
      run_in(dir, TESSALINE_IMPORT_EXE, with({"-o", "data.dat", "--entry", "e.ent"}, kReduced), "");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(dir.read("data.dat"), "old data\n");
  EXPECT_TRUE(dir.exists("e.ent"));
}

// A device as output is written in place: it stays a device.  The node is made
// in the scratch directory, so that a fault could not replace the system's.
TEST(ToolSafety, ADeviceAsOutputStaysADevice) {
  ScratchDir dir;
  fill(dir);
  if (::mknod(dir.file("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
    GTEST_SKIP() << "device nodes cannot be made here (not root)";
  }
  const Outcome sim = run_in(dir, TESSALINE_SIM_EXE, {"film.ent", "film.dat", "null"}, "");
  EXPECT_EQ(sim.status, 0) << sim.err;
  const Outcome import = run_in(dir, TESSALINE_IMPORT_EXE, with({"-o", "null"}, kReduced), "");
  EXPECT_EQ(import.status, 0) << import.err;
  struct stat st {};
  ASSERT_EQ(::lstat(dir.file("null").c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// A standard output that fails is reported with its reason and a non-zero
// status; a tool that prints before it writes writes nothing then.
TEST(ToolSafety, AStandardOutputThatFailsIsNotSuccess) {
  struct Case {
    std::string exe;
    std::vector<std::string> args;
    int status;
    std::string not_written;  // a file the run must not have written, or ""
  };
  const std::vector<Case> cases = {
      {TESSALINE_IMPORT_EXE, with({"-o", "new.dat", "--entry", "new.ent"}, kReduced), 1, "new.dat"},
      {TESSALINE_IMPORT_EXE, {"--help"}, 1, ""},
      {TESSALINE_ENTRY_EXE, {"show", "film.ent"}, 2, ""},
      {TESSALINE_ENTRY_EXE, {"--help"}, 1, ""},
      {TESSALINE_SIM_EXE, {"film.ent", "film.dat", "new.dat", "--noise", "3"}, 2, "new.dat"},
      {TESSALINE_PLOT_EXE, {"--entry", "film.ent", "--profile-table", "profile.txt"}, 1, ""},
      {TESSALINE_PLOT_EXE, {"--help"}, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe + " " + c.args[0]);
    ScratchDir dir;
    fill(dir, false);
    Child full(dir, c.exe, c.args, "/dev/null", "/dev/full", "err.txt");
    const int rc = full.wait();
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), c.status);
    EXPECT_NE(dir.read("err.txt").find("cannot write to standard output: No space left on device"),
              std::string::npos)
        << dir.read("err.txt");
    if (!c.not_written.empty()) {
      EXPECT_FALSE(dir.exists(c.not_written));
    }
  }
  // A closed standard output: refused before anything is read.
  ScratchDir dir;
  fill(dir);
  Child closed(dir, TESSALINE_ENTRY_EXE, {"show", "film.ent"}, "/dev/null", testing::kClosed,
               "err.txt");
  const int rc = closed.wait();
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  EXPECT_NE(dir.read("err.txt").find("standard output is closed"), std::string::npos);
}

// Interrupted while gnuplot draws, the picture tool ends gnuplot and removes
// its temporary folder; the old picture stays.  gnuplot is stood in for by a
// script that notes its process and waits.
TEST(ToolSafety, AnInterruptedPictureLeavesNoTemporaryFolder) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    ScratchDir dir;
    fill(dir, false);
    fs::create_directory(dir.path() / "tmp");
    dir.write("fit.png", "old picture");
    const std::string fake = dir.file("slow-gnuplot");
    dir.write("slow-gnuplot", "#!/bin/sh\necho $$ > '" + dir.file("gnuplot.pid") +
                                  "'\nprintf half > picture.png\nexec sleep 30\n");
    fs::permissions(fake, fs::perms::owner_all);
    Child run(dir, TESSALINE_PLOT_EXE, {"film.dat", "--entry", "film.ent"}, "/dev/null",
              "stdout.txt", "stderr.txt",
              {"TESSALINE_GNUPLOT=" + fake, "TMPDIR=" + dir.file("tmp")});
    ASSERT_TRUE(run.wait_until([&] { return !dir.read("gnuplot.pid").empty(); }))
        << dir.read("stderr.txt");
    ASSERT_FALSE(fs::is_empty(dir.path() / "tmp"));  // the folder is there while gnuplot works
    run.signal(sig);
    const int status = run.wait(20);
    ASSERT_TRUE(WIFSIGNALED(status)) << "not ended by the signal";
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp")) << "temporary folder left in TMPDIR";
    EXPECT_EQ(dir.read("fit.png"), "old picture");
    for (const auto& e : fs::directory_iterator(dir.path())) {
      EXPECT_NE(e.path().filename().string().rfind(".fit.png.", 0), 0u) << e.path();
    }
    const pid_t gnuplot = std::stoi(dir.read("gnuplot.pid"));
    EXPECT_NE(::kill(gnuplot, 0), 0) << "gnuplot was left running";
  }
}

}  // namespace
}  // namespace tessaline
