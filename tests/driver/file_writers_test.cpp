// The data-file and entry-file writers against the program's own readers: what
// they write reads back to the same bits, with the same marks, and a failed
// write leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/writers.hpp"
#include "tests/driver/scratch.hpp"

namespace tessaline {
namespace {

using testing::ScratchDir;

// Numbers whose shortest decimal forms need many digits, a whole number, a tiny
// and a negative value.
constexpr double kAwkward[] = {0.1 + 0.2, 1.0 / 3.0, 1e-7, -0.59, 100.0, 2.0 / 7.0e5, 6.02e23};
constexpr int kAwkwardCount = sizeof kAwkward / sizeof kAwkward[0];

TEST(DataFileWriter, TheReaderGetsEveryNumberBackToTheLastBit) {
  ScratchDir dir;
  const int nn = 3;
  std::vector<DataPoint> points;
  for (int q = 0; q < 4 * nn; ++q) {
    const double a = kAwkward[q % kAwkwardCount];
    // A subnormal reflectivity and an error bar of exactly the smallest allowed.
    points.push_back({q == 5 ? 4.9e-324 : a * (q + 1), q == 7 ? 1e-30 : std::fabs(a) / 7,
                      (q + 1) * (1.0 / 3.0) * 1e-3});
  }
  write_data_file(dir.file("out.dat"), points);

  auto t = make_tables();
  t->nn = nn;
  textio::OutStream quiet;
  read_data_file(*t, dir.file("out.dat"), quiet);
  for (int q = 1; q <= 4 * nn; ++q) {
    SCOPED_TRACE("point " + std::to_string(q));
    const DataPoint& p = points[static_cast<std::size_t>(q - 1)];
    EXPECT_EQ(t->POINTS(4 * q - 3), p.R);
    EXPECT_EQ(t->POINTS(4 * q - 2), p.dR);
    EXPECT_EQ(t->POINTS(4 * q - 1), p.theta);
    EXPECT_EQ(t->POINTS(4 * q), (q - 1) / nn + 1);
  }
  // One point per line, nothing after the last.
  const std::string text = dir.read("out.dat");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4 * nn);
  EXPECT_EQ(text.back(), '\n');
}

TEST(DataFileWriter, AFailedWriteLeavesNoFileAndNamesTheTarget) {
  ScratchDir dir;
  const std::vector<DataPoint> four(4, DataPoint{1, 0.1, 0.01});
  // A directory in the way of the rename: the temporary file must be gone again.
  std::filesystem::create_directory(dir.path() / "taken");
  dir.write("taken/keep", "x");
  try {
    write_data_file(dir.file("taken"), four);
    FAIL() << "no error";
  } catch (const WriteError& e) {
    EXPECT_NE(std::string(e.what()).find(dir.file("taken")), std::string::npos) << e.what();
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator{}),
            1);
  EXPECT_THROW(write_data_file(dir.file("no/such/dir.dat"), four), WriteError);
  EXPECT_THROW(write_data_file(dir.file("odd.dat"), std::vector<DataPoint>(6)), WriteError);
  EXPECT_FALSE(dir.exists("odd.dat"));
  // The reader cannot read a number that is not finite.
  std::vector<DataPoint> nan = four;
  nan[3].R = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(write_data_file(dir.file("nan.dat"), nan), WriteError);
  EXPECT_FALSE(dir.exists("nan.dat"));
}

// Two layers of different values and marks, every global value set apart from
// its default, so that a value written into the wrong line cannot go unseen.
EntryDescription awkward_description() {
  EntryDescription d;
  int k = 0;
  auto next = [&](bool fixed) {
    const double v = kAwkward[k % kAwkwardCount] * (1 + k);
    ++k;
    return EntryValue{v, fixed, k % 3 == 0 ? "a note, with a comma / and a slash" : ""};
  };
  for (auto& v : d.Pi) v = next(k % 2 == 0);
  for (auto& v : d.Pf) v = next(k % 2 == 1);
  d.wavelength = 4.75;
  d.nn = 1000;
  d.j0 = 13;
  d.coll_step = 0.1 + 0.2;
  d.coll_sigma = 1.0 / 3.0;
  for (int n = 0; n < 2; ++n) {
    EntryMedium m;
    m.heading = "layer of test";
    m.thickness = next(n == 0);
    m.re_nb = next(true);
    m.im_nb = next(false);
    m.np = next(n == 1);
    m.cos_delta_gamma = next(n == 0);
    m.debye_waller = next(false);
    d.layers.push_back(m);
  }
  d.substrate.re_nb = next(false);
  d.substrate.im_nb = next(true);
  d.substrate.np = next(false);
  d.substrate.cos_delta_gamma = next(true);
  d.substrate.debye_waller = next(false);
  d.cos_gamma = next(false);
  d.sin_gamma = next(true);
  d.sin2_gamma = next(false);
  d.scaling = next(false);
  d.alpha0 = next(true);
  d.background = next(false);
  d.zero_correction = -0.015;
  return d;
}

TEST(EntryFileWriter, TheProgramsReaderReadsWhatItWritesWithoutChange) {
  const EntryDescription d = awkward_description();
  ScratchDir dir;
  write_entry_file(dir.file("model.ent"), d);
  auto t = make_tables();
  textio::OutStream quiet;
  read_entry_file(*t, dir.file("model.ent"), quiet);

  EXPECT_EQ(t->wavelength, d.wavelength);
  EXPECT_EQ(t->nn, 1000);
  EXPECT_EQ(t->j0, 13);
  EXPECT_EQ(t->coll_step, d.coll_step / 1000.0);
  EXPECT_EQ(t->coll_sigma, d.coll_sigma / 1000.0);
  EXPECT_EQ(t->zero_correction, d.zero_correction / 1000.0);
  ASSERT_EQ(t->nlay, 2);

  // Slots in the order of the parameter vector; the file's units are 1e-6 A^-2
  // for the scattering-length densities and mrad for alpha_0.
  enum Unit { kAsWritten, kMicro, kMilli };
  std::vector<std::pair<EntryValue, Unit>> slots;
  for (const EntryMedium& m : d.layers) {
    slots.insert(slots.end(), {{m.thickness, kAsWritten},
                               {m.re_nb, kMicro},
                               {m.im_nb, kMicro},
                               {m.np, kMicro},
                               {m.cos_delta_gamma, kAsWritten},
                               {m.debye_waller, kAsWritten}});
  }
  const EntryMedium& s = d.substrate;
  slots.insert(slots.end(), {{s.re_nb, kMicro},
                             {s.im_nb, kMicro},
                             {s.np, kMicro},
                             {s.cos_delta_gamma, kAsWritten},
                             {s.debye_waller, kAsWritten},
                             {d.cos_gamma, kAsWritten},
                             {d.sin_gamma, kAsWritten},
                             {d.sin2_gamma, kAsWritten},
                             {d.scaling, kAsWritten},
                             {d.alpha0, kMilli},
                             {d.background, kAsWritten}});
  for (const auto* p : {&d.Pi, &d.Pf})
    for (const EntryValue& v : *p) slots.push_back({v, kAsWritten});
  ASSERT_EQ(static_cast<int>(slots.size()), t->NPAR);

  int fixed = 0;
  for (int i = 1; i <= t->NPAR; ++i) {
    SCOPED_TRACE("slot " + std::to_string(i));
    const auto& [v, unit] = slots[static_cast<std::size_t>(i - 1)];
    double phys = v.value;
    if (unit == kMicro) phys = v.value * 1.0e-6;
    if (unit == kMilli) phys = v.value / 1000.0;
    EXPECT_EQ(t->PARAM(i), phys * t->SCALE(i));
    EXPECT_EQ(t->STEPLIM(i) == 0, v.fixed);
    fixed += v.fixed ? 1 : 0;
  }
  EXPECT_EQ(t->NFIX, fixed);
}

TEST(EntryFileWriter, RefusesADescriptionTheProgramWouldStopOn) {
  ScratchDir dir;
  auto refused = [&](EntryDescription d, const std::string& why) {
    SCOPED_TRACE(why);
    try {
      write_entry_file(dir.file("model.ent"), d);
      ADD_FAILURE() << "written";
    } catch (const WriteError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
    EXPECT_FALSE(dir.exists("model.ent"));
  };
  EntryDescription d = awkward_description();
  d.layers[1].np.fixed = false;
  d.layers[1].cos_delta_gamma.fixed = false;
  refused(d, "of layer 2 are both free");
  d = awkward_description();
  d.nn = 1001;
  refused(d, "nn = 1001");
  d = awkward_description();
  d.j0 = 0;
  refused(d, "j0 = 0");
  d = awkward_description();
  d.wavelength = 0;
  refused(d, "wavelength");
  d = awkward_description();
  d.layers[0].thickness.value = std::numeric_limits<double>::quiet_NaN();
  refused(d, "thickness [A] is not a finite number");
}

}  // namespace
}  // namespace tessaline
