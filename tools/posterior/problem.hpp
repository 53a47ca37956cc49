// The posterior of a fit as the sampler sees it: the tables of the entry and
// data files, the parameters the entry file leaves free with their bounds, the
// start, and chi-square as a function of the free values.
//
//   p(theta | data)  proportional to  exp(-chi^2(theta) / 2)  inside the bounds,
//   chi^2(theta) = sum over the fitted points of ((R_p - f_p(theta)) / dR_p)^2,
//
// with f the program's model values, which is uniform priors between each free
// parameter's bounds PARMIN..PARMAX (the program's own bounds) and the error
// bars taken as given.  A value fixed in the entry file stays fixed.
//
// Values are handled in the program's internal units (PARAM: physical value
// times SCALE, so that scattering-length densities are in 1e-6 A^-2) and shown
// in physical units, as the results file shows them.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/batch_optics.hpp"
#include "tables/tables.hpp"

namespace tessaline::posterior {

// An input the sampler cannot use; the message names the file and says why.
class PosteriorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FreeParameter {
  int slot = 0;        // index in PARAM
  std::string name;    // the program's name ("thickness", "total scaling")
  std::string medium;  // "layer 3", "substrate", or "" for the global parameters
  std::string label;   // one word for column headers: "L3.thickness", "total_scaling"
  std::string unit;    // physical unit ("A", "A^-2", "rad", "")
  double lower = 0, upper = 0;  // bounds, internal units
  double scale = 1;             // internal value = physical value * scale
  // The curvature fit of the results file (--from), physical units: its value,
  // and its error when the monitor printed one ("on bound": the error left
  // over from the last solve in which the parameter could move; infinite: set
  // aside as undetermined).
  std::optional<double> fit_value;
  std::optional<double> fit_error;
  bool fit_on_bound = false;
  bool fit_infinite = false;

  double physical(double internal) const { return internal / scale; }
  // "thickness (layer 3)", or the name alone for a global parameter.
  std::string title() const { return medium.empty() ? name : name + " (" + medium + ")"; }
};

// A narrower bound of free parameter `slot` (its index in the results file),
// physical units.
struct Bound {
  int slot = 0;
  double lower = 0, upper = 0;
};

struct ProblemInput {
  std::string entry;
  std::string data;
  int first = 0;  // points dropped at the start and at the end of every channel
  int last = 0;
  std::string from;  // results file of a fit of this entry file; "" for none
  std::vector<Bound> bounds;
};

struct Problem {
  ProblemInput input;
  std::unique_ptr<Tables> t;
  std::vector<FreeParameter> free;
  std::vector<double> start;  // free values at the start, internal units
  double start_chi_square = 0;
  int dof() const;  // points less free parameters
};

// Reads and checks everything before any sampling: the files (the program's
// readers), the results file of --from (it must belong to the entry file; its
// last complete block gives the start values and the curvature errors), at
// least one free parameter, narrower bounds within the program's, every start
// value within its bounds, a finite chi-square at the start.  Throws
// PosteriorError.
Problem load(const ProblemInput& in);

// chi^2 of the free values x (internal units) for one thread: the batch
// evaluation of the model (model/batch_optics.hpp) on its own copy of the
// parameter vector.
class ChiSquare {
 public:
  explicit ChiSquare(const Problem& p, BatchOptics::Path path = BatchOptics::Path::kFastest);
  double operator()(const double* x);
  // The model values of the last evaluation, point by point.
  const std::vector<double>& values() const { return *f_; }

 private:
  const Problem& p_;
  std::unique_ptr<ParamVector> PARAM_;
  BatchOptics optics_;
  const std::vector<double>* f_ = nullptr;
};

// chi^2 of model values f over the points of t, summed in point order.
double chi_square(const Tables& t, const std::vector<double>& f);

// The spread of the chains' start: the Gaussian of the Gauss-Newton curvature
// matrix Z of chi^2/2 at the start (the program's own, as the fit computes it),
// covariance Z^-1.  A parameter that changes no model value, or whose variance
// is not finite, is drawn uniformly between its bounds.
struct StartSpread {
  std::vector<double> center;  // internal units
  // A factor F of the covariance of the Gaussian part, F F^T = Z^-1 (row-major
  // n x n over all free parameters; the rows and columns of the uniform ones
  // are 0): a draw is center + F u with u standard normal.
  std::vector<double> factor;
  std::vector<char> uniform;   // drawn between the bounds
  std::vector<double> sigma;   // per parameter: standard deviation (uniform: width / sqrt(12))
};
StartSpread start_spread(const Problem& p, int threads);

}  // namespace tessaline::posterior
