// The guard of the program's output phase: which files it removes and when,
// where its note goes, and that no handler outlives it.  The signals are
// raised in forked children working in a scratch directory; each child has a
// deadline and is killed when it passes it.
#include "driver/interruption.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "report/report.hpp"
#include "tests/driver/in_child.hpp"
#include "tests/driver/scratch.hpp"
#include "textio/textio.hpp"

namespace tessaline {
namespace {

using testing::handler_of;
using testing::in_child;
using testing::ScratchDir;

const char* const kCurves[] = {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                               "VreloFunctDU.dat"};

TEST(OutputGuard, OldCurveFilesGoAtOnceAndNoHandlerOutlivesTheGuard) {
  ScratchDir dir;
  for (const char* f : kCurves) dir.write(f, " 0.1 0.2\n");
  const int status = in_child(
      dir,
      [] {
        std::signal(SIGHUP, SIG_IGN);  // as under nohup
        {
          OutputGuard guard;
          for (const char* f : kCurves) {
            if (::access(f, F_OK) == 0) ::_exit(1);  // an old curve file survived
          }
          if (handler_of(SIGINT) == SIG_DFL || handler_of(SIGTERM) == SIG_DFL) ::_exit(2);
          if (handler_of(SIGHUP) != SIG_IGN) ::_exit(3);  // an ignored signal must stay ignored
        }
        for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
          if (handler_of(sig) != SIG_DFL) ::_exit(4);  // a handler outlived the guard
        }
        if (handler_of(SIGHUP) != SIG_IGN) ::_exit(5);
        ::_exit(0);
      },
      "err.txt");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: old curve file kept, 2: no handler, 3/5: ignored signal handled, 4: handler left";
}

TEST(OutputGuard, ASignalDuringTheFitEndsTheResultsFileWithANote) {
  ScratchDir dir;
  const int status = in_child(
      dir,
      [] {
        OutputGuard guard;
        textio::OutStream results;
        results.create("VreloBag.dat");
        results.write("    Tessaline results:");
        results.write("   0 iterate");
        results.write_no_advance("   1 ite");  // a line cut by the signal never reaches the file
        guard.fitting(results.fd());
        std::raise(SIGTERM);
      },
      "err.txt");
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child was not ended by the signal";
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(dir.read("VreloBag.dat"),
            "    Tessaline results:\n"
            "   0 iterate\n"
            "Run interrupted by SIGTERM before the fit ended: the last block is not a fitted "
            "result, and no curve files were written.\n");
  for (const char* f : kCurves) EXPECT_FALSE(dir.exists(f)) << f;
  EXPECT_EQ(dir.read("err.txt"),
            "\ntessaline: interrupted by SIGTERM; VreloBag.dat says so in its last line, and no "
            "curve files were written\n");
}

TEST(OutputGuard, ASignalWhileTheCurveFilesAreWrittenRemovesThem) {
  ScratchDir dir;
  const std::string complete = "    Tessaline results:\n" + std::string(73, '%') + "\n";
  dir.write("VreloBag.dat", complete);
  const int status = in_child(
      dir,
      [] {
        OutputGuard guard;
        guard.writing_curves();
        for (const char* f : {kCurves[0], kCurves[1]}) {
          textio::OutStream curve;
          curve.create(f);
          curve.write(" 0.1 0.2");
        }
        std::raise(SIGHUP);
      },
      "err.txt");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGHUP);
  for (const char* f : kCurves) EXPECT_FALSE(dir.exists(f)) << f;
  EXPECT_EQ(dir.read("VreloBag.dat"),
            complete +
                "Run interrupted by SIGHUP while the curve files were written: they have been "
                "removed.\n");
  EXPECT_EQ(dir.read("err.txt"),
            "\ntessaline: interrupted by SIGHUP; VreloBag.dat is complete, but the curve files "
            "were removed\n");
}

}  // namespace
}  // namespace tessaline
