// The results file "VreloBag.dat": its head (instrument settings and the point
// exclusions of the run) and its closing line.  The iteration monitor appends its
// blocks in between.
#include <string>

#include "report/report.hpp"
#include "report/results_layout.hpp"

namespace tessaline {

void write_results_head(textio::OutStream& results, const Tables& t, std::string_view prefix) {
  results.create(output_path(5, prefix));
  results.write(textio::Record().A("Tessaline results:", 22));

  // Half-width of the collimation kernel in units of sigma.  A kernel reduced to
  // one point (sigma <= 0) has no width: 0, rather than 0/0 or a negative zero.
  const int half = t.j0 / 2;
  const double region = (half == 0 || t.coll_sigma <= 0) ? 0.0 : half * t.coll_step / t.coll_sigma;
  results.write(textio::Record()
                    .A("Collimation function:")
                    .I(t.j0, 4)
                    .A(" points, sigma =")
                    .F(t.coll_sigma * 1000, 5, 2)
                    .A("mrad, region = +/-")
                    .F(region, 3, 1)
                    .A(" sigma"));

  if (t.first_excluded > 0) {
    results.write(textio::Record()
                      .A("The first")
                      .I(t.first_excluded, 3)
                      .A(" experimental points are excluded"));
  }
  if (t.last_excluded > 0) {
    results.write(textio::Record()
                      .A("The  last")
                      .I(t.last_excluded, 3)
                      .A(" experimental points are excluded"));
  }
  if (t.zero_correction != 0) {
    results.write(textio::Record()
                      .A("Correction of \"zero\" :")
                      .E(t.zero_correction * 1000, 12, 4)
                      .A(" mrad"));
  }
}

void write_closing_line(textio::OutStream& console, textio::OutStream& results) {
  const std::string line(results_layout::kRuleLength, results_layout::kClosingRule);
  console.write(line);
  results.write(line);
  results.close();
}

}  // namespace tessaline
