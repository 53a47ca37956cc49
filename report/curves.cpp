// The model-curve files: the model intensity of each spin channel on a regular
// grid of 200 glancing angles up to the last measured angle, one file per
// channel, and the console lines that name all output files.  The four channels
// share the grid, so each angle's optics is evaluated once for all four
// (PointOptics, the same values as FUNCT to the last bit).
#include <string>

#include "model/point_optics.hpp"
#include "report/report.hpp"

namespace tessaline {

CurveValues curve_values(const Tables& t) {
  // The grid starts one step above zero and ends on the last angle read from the
  // data file, whatever points were excluded from the fit.
  const double delta = t.theta_last / CurveValues::kPoints;
  CurveValues c;
  PointOptics optics;
  optics.prepare(t);
  for (int k = 1; k <= CurveValues::kPoints; ++k) {
    c.angle(k) = k * delta;
    double f[4];
    optics.evaluate(t, t.PARAM, c.angle(k), f);
    for (int j = 1; j <= 4; ++j) c.value[j - 1](k) = f[j - 1];
  }
  return c;
}

void write_curve_files(const CurveValues& c, textio::OutStream& console) {
  for (int j = 1; j <= 4; ++j) {
    textio::OutStream file;
    file.create(std::string(file_name(OUTNAM(j))));
    for (int k = 1; k <= CurveValues::kPoints; ++k)
      file.write_free({c.angle(k), c.value[j - 1](k)});
    file.close();
  }

  console.write(textio::Record().A("Fit results are in file   : ").A(OUTNAM(5)));
  console.write(textio::Record().A("Fit functions are in files: ").A(OUTNAM(1)));
  for (int j = 2; j <= 4; ++j) console.write(textio::Record().X(28).A(OUTNAM(j)));
}

void write_curve_files(const Tables& t, textio::OutStream& console) {
  write_curve_files(curve_values(t), console);
}

}  // namespace tessaline
