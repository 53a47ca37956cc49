// Command line, title and the prepared panels of tessaline-plot: which point
// goes to which data file, where error bars are cut on the logarithmic axis,
// and where the Q ticks stand.
#include "tools/plot/plot_script.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

namespace tessaline::plot {
namespace {

template <class F>
std::string error_of(F f) {
  try {
    f();
  } catch (const PlotError& e) {
    return e.what();
  }
  return "";
}

// ---------------------------------------------------------------------------
// Options

TEST(PlotOptions, AllOptionsAndDefaults) {
  Options o = parse_options({"pts.dat"});
  EXPECT_EQ(o.data_file, "pts.dat");
  EXPECT_EQ(o.out, "fit.png");
  EXPECT_EQ(output_format(o), Format::png);
  EXPECT_FALSE(o.entry_file.has_value());
  EXPECT_EQ(o.first, 0);
  EXPECT_EQ(o.last, 0);
  EXPECT_EQ(o.nn, 0);
  EXPECT_FALSE(o.status.has_value());

  o = parse_options({"--entry", "a.ent", "--exclude", "3", "2", "pts.dat", "--nn", "50", "--out",
                     "pic.SVG", "--status", "-3", "--size", "800x600"});
  EXPECT_EQ(o.data_file, "pts.dat");
  EXPECT_EQ(o.entry_file.value_or(""), "a.ent");
  EXPECT_EQ(o.first, 3);
  EXPECT_EQ(o.last, 2);
  EXPECT_EQ(o.nn, 50);
  EXPECT_EQ(output_format(o), Format::svg);  // extension, any case
  EXPECT_EQ(o.status.value_or(0), -3);
  EXPECT_EQ(o.width, 800);
  EXPECT_EQ(o.height, 600);
  // --format wins over the extension.
  EXPECT_EQ(output_format(parse_options({"p", "--out", "x.png", "--format", "pdf"})), Format::pdf);
  EXPECT_TRUE(parse_options({"--help"}).help);
  // The profile table needs the entry file but no data file.
  o = parse_options({"--entry", "a.ent", "--profile-table", "p.txt"});
  EXPECT_EQ(o.profile_table.value_or(""), "p.txt");
  EXPECT_TRUE(o.data_file.empty());
}

TEST(PlotOptions, BadCommandLinesAreUsageErrors) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no data file"},
      {{"a", "b"}, "more than one data file"},
      {{"a", "--bogus"}, "unknown option --bogus"},
      {{"a", "--exclude", "3"}, "--exclude needs two counts"},
      {{"a", "--exclude", "x", "1"}, "'x' is not an integer"},
      {{"a", "--nn", "0"}, "--nn must be at least 1"},
      {{"a", "--status", "0"}, "--status must be 1, -1, -2 or -3"},
      {{"a", "--format", "gif"}, "'gif' is not png, svg or pdf"},
      {{"a", "--size", "800"}, "not WxH"},
      {{"a", "--size", "100x100"}, "between 200 and 10000"},
      {{"--profile-table", "p.txt"}, "--profile-table needs --entry"},
  };
  for (const auto& [args, expected] : cases) {
    try {
      parse_options(args);
      ADD_FAILURE() << "accepted: " << expected;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
  const std::string e = error_of([] { output_format(parse_options({"a", "--out", "pic.gif"})); });
  EXPECT_NE(e.find("give --format"), std::string::npos) << e;
}

// ---------------------------------------------------------------------------
// Title

TEST(PlotTitle, IterationChiSquareAndEndStatus) {
  ResultsFile fit;
  fit.last.iteration = 12;
  fit.last.chi_sq_text = ".1234E+01";
  fit.last.chi_sq = 1.234;
  fit.closed = true;
  EXPECT_EQ(plot_title("pts.dat", &fit, std::nullopt),
            std::vector<std::string>{"pts.dat  -  iteration 12, hi_sq.norm = 1.234"});
  // Converged: nothing added.
  EXPECT_EQ(plot_title("pts.dat", &fit, 1).size(), 1u);
  auto t = plot_title("pts.dat", &fit, -2);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1], "INFINIT ERROR ESTIMATIONS CAN NOT BE SKIPPED");
  EXPECT_EQ(plot_title("p", &fit, -1)[1], "CHI-SQ. WANTS NOT DECREASE, MAY BE DERIVATIVES ARE BAD");

  // At iteration 200 the title notes the limit, once.
  fit.last.iteration = 200;
  fit.last.chi_sq.reset();
  fit.last.chi_sq_text = "*********";
  t = plot_title("pts.dat", &fit, std::nullopt);
  EXPECT_EQ(t[0], "pts.dat  -  iteration 200, hi_sq.norm = *********  (iteration limit)");
  t = plot_title("pts.dat", &fit, -3);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].find("(iteration limit)"), std::string::npos);
  EXPECT_EQ(t[1], "ITERATION LIMIT IS EXEDED");

  fit.closed = false;
  t = plot_title("pts.dat", &fit, std::nullopt);
  EXPECT_NE(t.back().find("no closing line"), std::string::npos);

  // Before a fit: what is drawn instead, and no end status.
  EXPECT_EQ(plot_title("pts.dat", nullptr, -2, "pts.ent"),
            std::vector<std::string>{"pts.dat  -  start values of pts.ent, before a fit"});
  EXPECT_EQ(plot_title("pts.dat", nullptr, std::nullopt),
            std::vector<std::string>{"pts.dat  -  measured points, no fit"});
}

// ---------------------------------------------------------------------------
// Panels

const TextFile* find_file(const PlotJob& job, const std::string& name) {
  for (const TextFile& f : job.files) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

std::vector<std::vector<double>> rows_of(const TextFile* f) {
  std::vector<std::vector<double>> rows;
  if (f == nullptr) return rows;
  std::istringstream in(f->text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::vector<double> r;
    double v = 0;
    while (ls >> v) r.push_back(v);
    rows.push_back(r);
  }
  return rows;
}

PlotInput small_input() {
  PlotInput in;
  in.data_name = "pts.dat";
  in.data.nn = 5;
  for (int c = 0; c < kChannels; ++c) {
    auto& ch = in.data.channel[static_cast<std::size_t>(c)];
    for (int i = 1; i <= 5; ++i) ch.push_back({1.0 / (i * i), 0.01, i * 1e-3});
  }
  // UD point 3 is negative; UD point 4 has an error bar larger than its value.
  in.data.channel[2][2] = {-2e-3, 5e-3, 3e-3};
  in.data.channel[2][3] = {1e-2, 3e-2, 4e-3};
  for (int c = 0; c < kChannels; ++c) {
    for (int k = 1; k <= 200; ++k) {
      in.curves[static_cast<std::size_t>(c)].push_back({k * 5e-3 / 200, 0.5});
    }
  }
  in.curves[3][10].y = 0.0;  // a model value the log axis cannot show
  in.fit.emplace();
  in.fit->last.iteration = 4;
  in.fit->last.chi_sq_text = ".1000E+01";
  in.fit->last.chi_sq = 1.0;
  in.fit->closed = true;
  in.first = 1;
  in.last = 1;
  return in;
}

TEST(PlotPanels, ExcludedPointsGoToTheirOwnFile) {
  const PlotJob job = build_plot(small_input(), "picture.png", Format::png, 900, 1000);
  // First 1 and last 1 of 5 points excluded: points 1 and 5 grey, 2..4 kept.
  const auto kept = rows_of(find_file(job, "UU_data.dat"));
  const auto grey = rows_of(find_file(job, "UU_excluded.dat"));
  ASSERT_EQ(kept.size(), 3u);
  ASSERT_EQ(grey.size(), 2u);
  EXPECT_DOUBLE_EQ(grey[0][0], 1.0);  // angle 1e-3 rad shown as 1 mrad
  EXPECT_DOUBLE_EQ(grey[1][0], 5.0);
  EXPECT_DOUBLE_EQ(kept[0][0], 2.0);
  EXPECT_DOUBLE_EQ(kept[0][1], 0.25);
  EXPECT_DOUBLE_EQ(kept[0][2], 0.24);  // bar 0.25 -/+ 0.01
  EXPECT_DOUBLE_EQ(kept[0][3], 0.26);
  // Asymmetry of UU = DD: zero everywhere, with the same split.
  const auto a_kept = rows_of(find_file(job, "asymmetry_data.dat"));
  const auto a_grey = rows_of(find_file(job, "asymmetry_excluded.dat"));
  ASSERT_EQ(a_kept.size(), 3u);
  ASSERT_EQ(a_grey.size(), 2u);
  EXPECT_EQ(a_kept[1][1], 0.0);
  // sA = 2 sqrt(2) R sigma / (2R)^2 = sqrt(2) sigma / (2 R) at R = 1/9.
  EXPECT_NEAR(a_kept[1][3], std::sqrt(2.0) * 0.01 / (2.0 / 9.0), 1e-15);
  // Nothing is excluded: no file of excluded points at all.
  PlotInput all = small_input();
  all.first = all.last = 0;
  EXPECT_EQ(find_file(build_plot(all, "picture.png", Format::png, 900, 1000), "UU_excluded.dat"),
            nullptr);
}

TEST(PlotPanels, NonPositiveValuesAndLongBarsOnTheLogAxis) {
  const PlotJob job = build_plot(small_input(), "picture.png", Format::png, 900, 1000);
  // UD: values 1, 0.25, -2e-3 +/- 5e-3, 1e-2 +/- 3e-2, 0.04 and model 0.5.  The
  // smallest positive value is the negative point's upper bar end
  // -2e-3 + 5e-3 = 3e-3, so the axis spans 1e-3 .. 1 (the model's 0.5 is the
  // largest value in the fit); the negative point sits at 1e-3 with its bar up
  // to 3e-3.
  const auto zero = rows_of(find_file(job, "UD_nonpositive.dat"));
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_DOUBLE_EQ(zero[0][0], 3.0);
  EXPECT_DOUBLE_EQ(zero[0][1], 1e-3);
  EXPECT_DOUBLE_EQ(zero[0][2], 1e-3);
  EXPECT_DOUBLE_EQ(zero[0][3], 3e-3);
  EXPECT_DOUBLE_EQ(zero[0][5], -2e-3);  // the value as measured travels along
  const auto kept = rows_of(find_file(job, "UD_data.dat"));
  ASSERT_EQ(kept.size(), 2u);  // points 2 and 4
  EXPECT_DOUBLE_EQ(kept[1][1], 1e-2);
  EXPECT_DOUBLE_EQ(kept[1][2], 1e-3);  // 1e-2 - 3e-2 < 0: cut at the axis
  EXPECT_DOUBLE_EQ(kept[1][3], 4e-2);
  // Point 1 (1 +/- 0.01) is excluded and does not lift the axis to 10.
  EXPECT_NE(job.script.find("set yrange [0.001:1]"), std::string::npos);
  // A zero model value breaks the DU curve instead of being drawn.
  const auto fit = rows_of(find_file(job, "DU_fit.dat"));
  ASSERT_EQ(fit.size(), 200u);
  EXPECT_TRUE(fit[10].empty());
  EXPECT_EQ(fit[11].size(), 2u);
}

TEST(PlotPanels, QAxisTicksStandAtTheirAngles) {
  PlotInput in = small_input();
  in.first = in.last = 0;  // every point in the fit, up to 5 mrad
  const PlotJob plain = build_plot(in, "picture.png", Format::png, 900, 1000);
  EXPECT_EQ(plain.script.find("x2tics ("), std::string::npos);
  in.wavelength = 4.0;
  const PlotJob job = build_plot(in, "picture.png", Format::png, 900, 1000);
  // Axis to 1.03 * 5 mrad; Q(5.15 mrad) = pi * sin(0.00515) = 0.01618: raw
  // step 0.0027, round step 0.005, ticks 0 .. 0.015.  Q = 0.01 at
  // asin(0.01 * 4 / (4 pi)) = asin(1/(100 pi)) = 3.183104 mrad.
  EXPECT_NE(job.script.find("'0.01' 3.1831"), std::string::npos) << job.script;
  EXPECT_NE(job.script.find("'0.015' 4.77"), std::string::npos) << job.script;
  EXPECT_EQ(job.script.find("'0.02'"), std::string::npos);
  EXPECT_NE(job.script.find("wavelength 4 A"), std::string::npos);
}

TEST(PlotPanels, ScriptNamesFilesTerminalAndTitle) {
  PlotInput in = small_input();
  in.data_name = "it's \"mine\".dat";
  in.status = -1;
  const PlotJob job = build_plot(in, "picture.png", Format::png, 900, 1000);
  // gnuplot runs in its work directory: every file is named relative to it.
  EXPECT_NE(job.script.find("set output 'picture.png'\n"), std::string::npos);
  EXPECT_NE(job.script.find("plot 'UU_excluded.dat' using 1:2:3:4"), std::string::npos);
  EXPECT_EQ(job.script.find("'/"), std::string::npos) << "a path in the script";
  EXPECT_NE(job.script.find("pngcairo size 900,1000"), std::string::npos);
  EXPECT_NE(job.script.find("set terminal png size 900,1000"), std::string::npos);
  // Title lines in single quotes, joined by a line end.
  EXPECT_NE(job.script.find("title 'it''s \"mine\".dat  -  iteration 4, hi_sq.norm = 1'.\"\\n\"."
                            "'CHI-SQ. WANTS NOT DECREASE, MAY BE DERIVATIVES ARE BAD'"),
            std::string::npos)
      << job.script;
  // Files that stay empty are neither written nor plotted.
  EXPECT_EQ(find_file(job, "UU_nonpositive.dat"), nullptr);
  EXPECT_EQ(job.script.find("UU_nonpositive.dat"), std::string::npos);
  EXPECT_NE(job.script.find("UD_nonpositive.dat"), std::string::npos);
  const PlotJob pdf = build_plot(in, "picture.pdf", Format::pdf, 900, 1000);
  EXPECT_NE(pdf.script.find("pdfcairo size 9in,10in"), std::string::npos) << pdf.script;
  // More exclusions than points are refused before anything is drawn.
  in.first = 3;
  in.last = 2;
  EXPECT_THROW(build_plot(in, "picture.png", Format::png, 900, 1000), PlotError);
}

// In a single-quoted gnuplot string only the quote itself is special, and a
// line end would end the string and begin a command of its own.
TEST(PlotScript, NamesFromOutsideCannotBreakOutOfTheirStrings) {
  EXPECT_EQ(gnuplot_quote("a'b"), "'a''b'");
  EXPECT_EQ(gnuplot_quote("a\nb\r\t\x7f`c` @d"), "'a\\x0Ab\\x0D\\x09\\x7F`c` @d'");

  const std::string hostile = "x\n!touch pwned\nsystem('touch pwned')\n'`touch pwned`";
  PlotInput plain = small_input();
  ChannelResiduals res;
  plain.residuals = res;
  plain.profile = depth_profile({{10, 4.5, 1.0, 0}, {0, 2.0, 0, 0}});
  plain.profile_source = "pts.ent";
  PlotInput bad = plain;
  bad.data_name = hostile;
  bad.profile_source = hostile;
  bad.fit.reset();
  bad.start_model = hostile;
  plain.fit.reset();
  plain.start_model = "pts.ent";
  const std::string good_script = build_plot(plain, "picture.png", Format::svg, 900, 1000).script;
  const std::string bad_script = build_plot(bad, "picture.png", Format::svg, 900, 1000).script;
  // The same commands, line for line: nothing of the names became a command.
  EXPECT_EQ(std::count(bad_script.begin(), bad_script.end(), '\n'),
            std::count(good_script.begin(), good_script.end(), '\n'));
  for (const char c : bad_script) {
    EXPECT_FALSE((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f);
  }
  EXPECT_NE(bad_script.find("'x\\x0A!touch pwned\\x0Asystem(''touch pwned'')\\x0A''`touch pwned`"),
            std::string::npos)
      << bad_script;
}

// The ranges of every panel come from the points of the fit: a direct-beam
// point, excluded, may lie far above the rest, its residual at -60 and its
// asymmetry near 1, and none of that may widen an axis.
TEST(PlotPanels, RangesComeFromThePointsOfTheFitOnly) {
  PlotInput in = small_input();  // points 1 and 5 of every channel excluded
  in.data.channel[0][0] = {1e3, 10, 1e-3};
  ChannelResiduals res;
  for (int i = 1; i <= 5; ++i) {
    res[0].push_back({i * 1e-3, i == 1 ? -60.0 : 0.5 * i, i == 1 || i == 5});
  }
  in.residuals = res;
  const PlotJob job = build_plot(in, "picture.png", Format::png, 900, 1000);
  const auto block = [&](const std::string& from, const std::string& to) {
    const auto a = job.script.find(from);
    return job.script.substr(a, job.script.find(to, a) - a);
  };
  const auto range = [](const std::string& text, const std::string& axis) {
    const auto a = text.find("set " + axis + " [");
    EXPECT_NE(a, std::string::npos) << axis;
    const std::string r = text.substr(a + axis.size() + 6);
    return std::make_pair(std::stod(r), std::stod(r.substr(r.find(':') + 1)));
  };
  const std::string uu = block("# channel UU", "# channel DD");
  // UU in the fit: 1/4 +/- 0.01, 1/9, 1/16, 1/25 and the model 0.5: decades 0.01 .. 1.
  EXPECT_EQ(range(uu, "yrange"), std::make_pair(0.01, 1.0));
  // Its residuals in the fit: 1, 1.5, 2: the least range, +/-4.
  EXPECT_EQ(range(uu.substr(uu.find("unset title")), "yrange"), std::make_pair(-4.0, 4.0));
  EXPECT_NE(uu.find("(R - fit) / error"), std::string::npos);
  // The angle axis ends 3 % beyond the last angle in the fit, 4 mrad.
  const auto x = range(job.script, "xrange");
  EXPECT_EQ(x.first, 0.0);
  EXPECT_NEAR(x.second, 1.03 * 4, 1e-12);
  // Asymmetry in the fit: 0 with bars up to sqrt(2) 0.01 / (2/16) at R = 1/16,
  // the model 0; the axis adds 5 % of the span on either side.
  const auto a = range(block("# spin asymmetry", "plot "), "yrange");
  const double bar = std::sqrt(2.0) * 0.01 * 8;
  EXPECT_NEAR(a.first, -1.1 * bar, 1e-12);
  EXPECT_NEAR(a.second, 1.1 * bar, 1e-12);
}

// Before a fit the model is the start values, and the picture says so; with
// no model at all the measured points stand alone.
TEST(PlotPanels, StartModelOrDataAlone) {
  PlotInput in = small_input();
  in.fit.reset();
  in.start_model = "pts.ent";
  ChannelResiduals res;
  for (int c = 0; c < 4; ++c) res[static_cast<std::size_t>(c)].push_back({2e-3, 0.5, false});
  in.residuals = res;
  PlotJob job = build_plot(in, "picture.png", Format::png, 900, 1000);
  EXPECT_NE(job.script.find("title 'pts.dat  -  start values of pts.ent, before a fit'"),
            std::string::npos);
  EXPECT_NE(job.script.find("title 'start model'"), std::string::npos);
  EXPECT_NE(job.script.find("'(R - start model) / error'"), std::string::npos);
  EXPECT_NE(find_file(job, "UU_fit.dat"), nullptr);

  in.start_model.clear();
  in.residuals.reset();
  for (Curve& c : in.curves) c.clear();
  job = build_plot(in, "picture.png", Format::png, 900, 1000);
  EXPECT_NE(job.script.find("title 'pts.dat  -  measured points, no fit'"), std::string::npos);
  EXPECT_EQ(find_file(job, "UU_fit.dat"), nullptr);
  EXPECT_EQ(job.script.find("_fit.dat"), std::string::npos);
  EXPECT_EQ(job.script.find("title 'fit'"), std::string::npos);
  EXPECT_EQ(job.script.find("title 'start model'"), std::string::npos);
  EXPECT_NE(find_file(job, "UU_data.dat"), nullptr);
}

TEST(PlotPanels, ResidualStripsAndDepthProfile) {
  PlotInput in = small_input();
  ChannelResiduals res;
  for (int i = 1; i <= 5; ++i) res[1].push_back({i * 1e-3, i == 3 ? -9.0 : 0.5 * i, i == 1});
  in.residuals = res;
  in.profile = depth_profile({{10, 4.5, 1.0, 0}, {0, 2.0, 0, 0}});
  in.profile_source = "VreloBag.dat, iteration 4";
  const PlotJob job = build_plot(in, "picture.png", Format::png, 900, 1000);
  // DD: point 1 excluded and grey, the others kept, angles in mrad.
  const auto grey = rows_of(find_file(job, "DD_residuals_excluded.dat"));
  const auto kept = rows_of(find_file(job, "DD_residuals.dat"));
  ASSERT_EQ(grey.size(), 1u);
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_DOUBLE_EQ(kept[1][0], 3.0);
  EXPECT_EQ(kept[1][1], -9.0);
  // Guide lines at 0, +/-1 and +/-3; the range reaches 1.1 x 9 on both sides.
  EXPECT_NE(job.script.find("plot 0 with lines lc rgb '#808080', 1 with lines dt 2 lc rgb "
                            "'#808080', -1 with lines dt 2 lc rgb '#808080', 3 with lines dt 3 "
                            "lc rgb '#808080', -3 with lines dt 3 lc rgb '#808080'"),
            std::string::npos);
  EXPECT_NE(job.script.find("set yrange [-9.9:9.9]"), std::string::npos);
  EXPECT_NE(job.script.find("set yrange [-4:4]"), std::string::npos);  // UU: no point beyond 4
  // The profile: nuclear and magnetic columns on the 0.5 A grid.
  const auto nuclear = rows_of(find_file(job, "profile_nuclear.dat"));
  const auto magnetic = rows_of(find_file(job, "profile_magnetic.dat"));
  ASSERT_EQ(nuclear.size(), in.profile->points.size());
  EXPECT_EQ(nuclear[0][0], -20.0);
  EXPECT_EQ(nuclear[41][0], 0.5);
  EXPECT_EQ(nuclear[41][1], 4.5);
  EXPECT_EQ(magnetic[41][1], 1.0);
  EXPECT_NE(job.script.find("'depth profile (VreloBag.dat, iteration 4)'"), std::string::npos);

  const std::string table = profile_table_text(*in.profile, "film.ent");
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "# depth[A] nuclear magnetic   (1e-6 A^-2; film.ent)");
  EXPECT_NE(table.find("\n0.5 4.5 1\n"), std::string::npos);
  EXPECT_NE(table.find("\n10.0 3.25 0.5\n"), std::string::npos);  // half way on the interface
}

}  // namespace
}  // namespace tessaline::plot
