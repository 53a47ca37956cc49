// The report and the picture of a table: the numbers of profiles whose
// minimum and interval are known by hand, the notes on what limits an
// interval, and a gnuplot script that names only its own fixed files.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "tests/scan/table_fixture.hpp"
#include "tools/scan/report.hpp"

namespace tessaline::scan {
namespace {

using testing::axis;

// A table of 200 points whose files have names no script may hold.
ScanTable table_of(const std::vector<Axis>& axes,
                   const std::function<double(const std::vector<double>&)>& f) {
  ScanTable t = testing::table_of(axes, f, 200);
  t.head.entry = "it's mine.ent";
  t.head.data = "a\"b.dat";
  return t;
}

TEST(ScanReport, AProfileItsMinimumAndItsInterval) {
  // 2S = 199 + ((x - 0.05) / 0.008)^2: minimum 0.05, interval 0.042 to 0.058;
  // scaled by hi_sq.norm = 2S/199 at the best grid point (0.05 itself), 1.
  const ScanTable t = table_of({axis(AxisKind::kZero, -0.1, 0.2, 31)},
                               [](const std::vector<double>& x) {
                                 return 199 + std::pow((x[0] - 0.05) / 0.008, 2);
                               });
  const std::string r = report_text(t, analyse(t, true));
  EXPECT_NE(r.find("Profile scan of it's mine.ent with a\"b.dat\n"), std::string::npos) << r;
  EXPECT_NE(r.find("  zero correction [mrad]: 31 values from -0.1 to 0.2\n"), std::string::npos);
  EXPECT_NE(r.find("a fit of 1 free parameters from the entry file's start; 200 points, 199 "
                   "degrees of freedom."),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("Best grid point (16 of 31): zero correction 0.05 mrad: 2S = 199, "
                   "hi_sq.norm = 1, converged\n"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("Minimum of the parabola through it and its neighbours: zero correction 0.05 "
                   "mrad, 2S = 199\n"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("interval at delta(2S) = 1: 0.042 to 0.058 mrad, that is 0.05 -0.008 +0.008"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("scaled by hi_sq.norm, at delta(2S) = 1: 0.042 to 0.058 mrad"),
            std::string::npos);
  EXPECT_EQ(r.find("Note:"), std::string::npos) << r;
}

TEST(ScanReport, NotesOnWhatLimitsTheResult) {
  // Chi-square lowest at sigma = 0: an upper limit only.
  ScanTable t = table_of({axis(AxisKind::kSigma, 0, 0.3, 31)},
                         [](const std::vector<double>& x) { return 300 + 1e4 * x[0] * x[0]; });
  std::string r = report_text(t, analyse(t, false));
  EXPECT_NE(r.find("interval at delta(2S) = 1: 0 (no smearing) to 0.01 mrad"), std::string::npos)
      << r;
  EXPECT_NE(r.find("the data set an upper limit on the resolution only"), std::string::npos);
  EXPECT_NE(r.find("the best grid point lies at the edge of the grid"), std::string::npos);

  // The same profile of the zero correction: the range is to be extended.
  t = table_of({axis(AxisKind::kZero, 0, 0.3, 31)},
               [](const std::vector<double>& x) { return 300 + 1e4 * x[0] * x[0]; });
  t.rows[20].S = std::nan("");
  t.rows[21].status = -3;
  t.incomplete = "stopped by SIGINT after 31 of 31 grid points";
  r = report_text(t, analyse(t, false));
  EXPECT_NE(r.find("below 0 to 0.01 mrad"), std::string::npos) << r;
  EXPECT_NE(r.find("down to the lowest grid point with a chi-square (0 mrad): the interval "
                   "reaches beyond the grid; extend the range."),
            std::string::npos);
  EXPECT_NE(r.find("The table is incomplete (stopped by SIGINT"), std::string::npos);
  EXPECT_NE(r.find("Note: 1 grid point had no finite chi-square"), std::string::npos);
  EXPECT_NE(r.find("Note: the fits of 1 grid point did not end converged"), std::string::npos);

  // A map: its contours.
  const ScanTable m = table_of(
      {axis(AxisKind::kZero, -0.1, 0.1, 11), axis(AxisKind::kSigma, 0.1, 0.3, 11)},
      [](const std::vector<double>& x) {
        return 199 + std::pow(x[0] / 0.03, 2) + std::pow((x[1] - 0.2) / 0.05, 2);
      });
  r = report_text(m, analyse(m, false));
  EXPECT_NE(r.find("Minimum of the quadratic through it and its neighbours: zero correction 0 "
                   "mrad, collimation sigma 0.2 mrad, 2S = 199"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("Contours of the map: delta(2S) = 2.30 and 6.18 above the minimum"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("  zero correction [mrad]: minimum at 0 (parabola)\n    interval at delta(2S) = "
                   "1: -0.03 to 0.03 mrad"),
            std::string::npos)
      << r;
}

TEST(ScanReport, ThePictureNamesOnlyItsOwnFiles) {
  for (const bool map : {false, true}) {
    std::vector<Axis> axes = {axis(AxisKind::kZero, -0.1, 0.1, 11)};
    if (map) axes.push_back(axis(AxisKind::kSigma, 0.1, 0.3, 11));
    ScanTable t = table_of(axes, [](const std::vector<double>& x) {
      return 199 + std::pow(x[0] / 0.03, 2) + (x.size() > 1 ? std::pow(x[1] - 0.2, 2) : 0);
    });
    const Analysis a = analyse(t, false);
    ASSERT_TRUE(has_picture(t, a));
    const PictureJob job = picture_job(t, a);
    const std::string stem = map ? "map" : "profile";
    EXPECT_EQ(job.picture, stem + ".png");
    EXPECT_EQ(job.temporary, stem + ".png.part");
    EXPECT_EQ(job.script, stem + ".gp");
    const TextFile* script = nullptr;
    for (const TextFile& f : job.files) {
      EXPECT_EQ(f.name.find('/'), std::string::npos) << f.name;
      EXPECT_EQ(f.name.compare(0, stem.size(), stem), 0) << f.name;
      if (f.name == job.script) script = &f;
    }
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->text.find("mine"), std::string::npos);
    EXPECT_EQ(script->text.find("a\"b"), std::string::npos);
    EXPECT_NE(script->text.find("set output '" + job.temporary + "'"), std::string::npos);
    // Every file the script reads is one of the job's, or the contour table it
    // writes itself.
    for (std::size_t at = script->text.find(".dat'"); at != std::string::npos;
         at = script->text.find(".dat'", at + 1)) {
      const std::size_t open = script->text.rfind('\'', at);
      const std::string name = script->text.substr(open + 1, at + 4 - open - 1);
      bool known = name == "map_contours.dat";
      for (const TextFile& f : job.files) known = known || f.name == name;
      EXPECT_TRUE(known) << name;
    }
  }
  // No picture without a scan or without a chi-square.
  ScanTable none = table_of({}, [](const std::vector<double>&) { return 10.0; });
  EXPECT_FALSE(has_picture(none, analyse(none, false)));
}

}  // namespace
}  // namespace tessaline::scan
