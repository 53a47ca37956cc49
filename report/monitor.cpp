// The iteration monitor: one block per printed iteration, written line by line
// to the console and then to the results file, and the console-only explanation
// of a failure status.
//
// Block layout: a line of asterisks, the title line, the parameters grouped under
// layer and substrate headings with empty lines before the magnetization-axis and
// instrument group (6n+6) and the polarization group (6n+12), the spread of the
// magnetization-axis angle, and the chi-square per degree of freedom.
#include <cmath>
#include <string>

#include "report/report.hpp"
#include "report/results_layout.hpp"

namespace tessaline {

using namespace results_layout;

void IterationMonitor::both(const textio::Record& r) {
  console_.write(r);
  results_.write(r);
}

void IterationMonitor::both(std::string_view line) {
  console_.write(line);
  results_.write(line);
}

void IterationMonitor::both_free(std::string_view text) {
  console_.write_free(text);
  results_.write_free(text);
}

void IterationMonitor::MONITO(double S, int NPAR, int ITER, int PRTFREQ, double /*SPRED*/,
                              double /*STEPERR*/, double /*STEPSCALE*/, double /*LIMTREND*/) {
  // Print decision.  The counter runs from 1 - PRTFREQ up to 0 between printed
  // blocks, so that with PRTFREQ = k every k-th iteration is printed.
  const bool finished = fs_.FITSTAT != 0;
  bool print = false;
  if (PRTFREQ == 0) {
    print = finished;
  } else if (PRTFREQ > 0) {
    print = ITER <= 0 || counter_ >= 0 || finished;
  }
  if (print) print_block(S, NPAR, ITER);
  if (print || PRTFREQ < 0) {
    counter_ = 1 - PRTFREQ;
  } else {
    ++counter_;
  }

  // A failure status is explained on the console only.
  const std::string_view failure = end_status_message(fs_.FITSTAT);
  if (!failure.empty()) console_.write_free(failure);
}

std::string_view end_status_message(double FITSTAT) {
  if (FITSTAT >= 0) return {};
  switch (static_cast<int>(-FITSTAT)) {
    case 1:
      return "CHI-SQ. WANTS NOT DECREASE, MAY BE DERIVATIVES ARE BAD";
    case 2:
      return "INFINIT ERROR ESTIMATIONS CAN NOT BE SKIPPED";
    case 3:
      return "ITERATION LIMIT IS EXEDED";
    default:
      return {};
  }
}

void IterationMonitor::nonfinite_start(int point) {
  std::string text = "Chi-square is not finite at the start values: ";
  if (point > 0) {
    // Name the point by its place in the table and within its channel.
    text += "first bad measured point " + std::to_string(point);
    int before = 0;  // points of the channels before channel c
    for (int c = 1; c <= kChannels; ++c) {
      if (point <= before + t_.channel_points(c)) {
        text += " (point " + std::to_string(point - before) + " at " +
                std::string(kChannelNames[static_cast<std::size_t>(c - 1)]) + ")";
        break;
      }
      before += t_.channel_points(c);
    }
  } else {
    text += "the sum over the points overflows";
  }
  console_.write_free(text);
}

void IterationMonitor::print_block(double S, int NPAR, int ITER) {
  const int n = t_.nlay;
  both_free(std::string(kRuleLength, kBlockRule));
  both(block_title_record(ITER));
  for (int i = 1; i <= NPAR; ++i) {
    if ((i - 1) % 6 == 0 && i < 6 * n)
      both(textio::Record().A(kLayerHeading).I((i - 1) / 6 + 1, 4));
    if (i == 6 * n + 1) both(textio::Record().A(kSubstrateHeading));
    if (i == 6 * n + 6 || i == 6 * n + 12) both(std::string_view(""));
    parameter_line(i);
  }
  angle_spread_lines();
  chi_square_line(S, NPAR);
}

textio::Record block_title_record(int ITER) {
  return textio::Record()
      .I(ITER, 4)
      .X(1)
      .A("iterate")
      .X(14)
      .A("PARAMETERS")
      .X(7)
      .A("ERRORS")
      .X(5)
      .A("FACTORS");
}

textio::Record parameter_record(const Tables& t, const FitView& fs, int i) {
  textio::Record r;
  r.I(i, 4).A(name_view(t.PARNAM(i)), 20).E(t.PARAM(i) / t.SCALE(i), 14, 6);
  const double state = fs.WORKLIM(i);
  if (t.STEPLIM(i) <= 0) {
    r.A(kFixedField);
  } else if (state < -1) {
    // Set aside by the inversion: no error estimate exists.
    r.A(kInfiniteError);
  } else {
    r.A(kErrorPrefix).E(fs.PARERR(i) / t.SCALE(i), 9, 2).X(3).E(fs.FACTOR(i), 10, 3);
    // 0: held on a bound; -1: set aside on a bound.
    if (state <= 0) r.A(kOnBound);
  }
  return r;
}

void IterationMonitor::parameter_line(int i) { both(parameter_record(t_, fs_, i)); }

void IterationMonitor::angle_spread_lines() {
  // D = <cos^2 gamma> - <cos gamma>^2 from the averages "<Cos(gamma)>" (6n+6) and
  // "<Sin^2(gamma)>" (6n+8); its error combines both error estimates linearly
  // propagated (dD/dc = -2c, dD/ds2 = -1).
  const int ic = 6 * t_.nlay + 6;
  const int is2 = 6 * t_.nlay + 8;
  const double c = t_.PARAM(ic) / t_.SCALE(ic);
  const double s2 = t_.PARAM(is2) / t_.SCALE(is2);
  const double D = (1 - s2) - c * c;

  if (fs_.PARERR(ic) == 0 && fs_.PARERR(is2) == 0) {
    both(textio::Record().A(kSpreadLabel).E(D, 12, 4));
    if (D >= 0) both(textio::Record().A(kSqrtLabel).E(std::sqrt(D), 12, 4));
    return;
  }

  const double e1 = 2 * c * fs_.PARERR(ic) / t_.SCALE(ic);
  const double e2 = fs_.PARERR(is2) / t_.SCALE(is2);
  const double eD = std::sqrt(e1 * e1 + e2 * e2);
  both(textio::Record().A(kSpreadLabel).E(D, 12, 4).A(" +/- ").E(eD, 9, 2));
  if (D < 0) return;

  // sqrt(D) with its asymmetric errors; the lower one exists only while D - eD
  // stays positive.  Each stream gets the open first part, then the second part.
  const double root = std::sqrt(D);
  textio::Record first;
  first.A(kSqrtLabel).E(root, 12, 4).A(" +", 2).E(std::sqrt(D + eD) - root, 9, 2).A(" -", 2);
  console_.write_no_advance(first);
  results_.write_no_advance(first);
  if (D > eD) {
    const textio::Record lower = textio::Record().E(root - std::sqrt(D - eD), 9, 2);
    console_.write(lower);
    results_.write(lower);
  } else {
    both_free(" 0");
  }
}

textio::Record chi_square_record(double S, int dof) {
  textio::Record r;
  r.A(kChiLabel);
  if (dof > 0) {
    r.E(2 * S / dof, 9, 4);
  } else {
    r.A(std::string(9, '*'));
  }
  return r;
}

void IterationMonitor::chi_square_line(double S, int NPAR) {
  // Degrees of freedom: points in the fit minus parameters not fixed by the user.
  both(chi_square_record(S, t_.npoint - NPAR + t_.NFIX));
}

}  // namespace tessaline
