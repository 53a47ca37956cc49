// The model-curve reader: 200 lines of glancing angle and model intensity, as
// write_curve_files() leaves them.
#include <istream>
#include <string>

#include "report/readers.hpp"
#include "textio/textio.hpp"

namespace tessaline {
namespace {

constexpr int kCurveLines = 200;

Curve read_curve_lines(textio::InStream& in) {
  Curve curve;
  curve.reserve(kCurveLines);
  for (int k = 1; k <= kCurveLines; ++k) {
    double v[2] = {};
    in.read(v, 2,
            "the angle and the model intensity of line " + std::to_string(k) + " of " +
                std::to_string(kCurveLines));
    curve.push_back({v[0], v[1]});
  }
  if (in.more_tokens()) {
    throw textio::TextError("model-curve file \"" + in.name() + "\", line " +
                            std::to_string(in.line_number()) + ": more than " +
                            std::to_string(kCurveLines) + " lines");
  }
  return curve;
}

}  // namespace

Curve read_curve(std::istream& in, const std::string& name) {
  textio::InStream s;
  s.open(in, name, "model-curve file");
  return read_curve_lines(s);
}

Curve read_curve_file(const std::string& name) {
  textio::InStream s;
  s.open(name, "model-curve file");
  return read_curve_lines(s);
}

}  // namespace tessaline
