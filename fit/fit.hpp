// The least-squares minimizer: objective, gradient and Gauss-Newton curvature
// matrix by forward differences (SGZ, ARITHM), in-place inversion of the packed
// curvature matrix with set-aside of undeterminable parameters (MCONV), and the
// iteration driver with step limits, bounds and end statuses (LSQFIT).
//
// All state lives in FitState, allocated once per run (Z and ZSAVE hold
// 4,552,653 doubles each) and never on the stack; nothing is allocated while
// the fit runs.  No I/O: iterations are reported through the Monitor interface.
#pragma once

#include <memory>

#include "model/model.hpp"
#include "tables/tables.hpp"

namespace tessaline {

using PackedMatrix = Table<double, kMaxPacked>;
struct FitState;

// A faster evaluation of what SGZ adds to S, G and Z, with the same bits: the
// cached, parallel one of the program (ParallelSGZ), or one over several data
// sets fitted together.  SGZ hands its work to it when FitState::fast is set.
class FastSGZ {
 public:
  virtual ~FastSGZ() = default;
  // Adds to S, fs.G and fs.Z exactly what the straightforward SGZ would add.
  virtual void SGZ(Tables& t, FitState& fs, int NPAR, double& S) = 0;
};

// Signature of the model function FUNCT.
using ModelFunction = double (*)(const Tables& t, const ParamVector& PARAM, ModelWork& w,
                                 const PointX& X);

struct FitState {
  ParamVector WORKLIM;     // working step limits and state codes (> 0, 0, -1, -2)
  ParamVector DELTA;       // proposed step
  ParamVector G;           // gradient of S by parameter index
  ParamVector DERIV;       // derivatives of one point's model value
  ParamVector PARERR;      // error estimates
  ParamVector FACTOR;      // diagonal of Z times diagonal of its inverse
  PackedMatrix Z;          // curvature matrix, extracted matrix, inverse
  PackedMatrix ZSAVE;      // Z over the free parameters at the accepted point
  PointX X;                // independent variables of the current point
  double FITSTAT = 0;      // end status: 0 running; 1, -1, -2, -3
  int NPARFIT = 0;         // number of parameters for ARITHM
  int BADPAR = 0;          // parameter designated by MCONV
  int SINGFLAG = 0;        // an inversion failed since the last release
  ModelWork model;         // work tables of the model function
  ParamVector mconv_work;  // one row of work for MCONV

  // PARAM at the last accepted point, kept so that a fit whose trial points
  // stop giving a finite objective can return there bit for bit.
  ParamVector param_accepted;

  // Test hook: when set, ARITHM evaluates this function in place of FUNCT, so
  // that the minimizer's logic can be exercised on small models with known
  // answers.  Null in the program.
  ModelFunction model_override = nullptr;

  // The fast evaluation of S, G and Z (same bits as the straightforward one);
  // SGZ uses it when set.  Owned by the caller.
  FastSGZ* fast = nullptr;
};

inline std::unique_ptr<FitState> make_fit_state() { return std::make_unique<FitState>(); }

// Receives every iteration of LSQFIT, after its end status is settled and before
// its step is applied.
class Monitor {
 public:
  virtual ~Monitor() = default;
  virtual void MONITO(double S, int NPAR, int ITER, int PRTFREQ, double SPRED, double STEPERR,
                      double STEPSCALE, double LIMTREND) = 0;

  // The objective at the start values is not finite; `point` is the first
  // measured point (1-based, in table order) whose model value is not finite,
  // or, if every model value is finite, the first whose weighted squared
  // residual overflows; 0 if only their sum overflows.  Called once, just
  // before the MONITO call that ends the fit with status -1.
  virtual void nonfinite_start(int point) { (void)point; }
};

// Model value f of the point in fs.X and its forward-difference derivatives in
// fs.DERIV (0 for fixed parameters).  PARAM is left bit for bit as found.
void ARITHM(Tables& t, FitState& fs, double& f);

// Adds the objective, gradient and curvature matrix of all points to S, fs.G and
// fs.Z; the caller clears them.
void SGZ(Tables& t, FitState& fs, int NPAR, double& S);

// First measured point (1-based, table order) whose model value at the current
// PARAM is not finite; failing that, the first whose weighted squared residual
// is not finite; 0 if there is none.  Uses fs.X as scratch.
int first_nonfinite_point(Tables& t, FitState& fs);

// Inverts the packed n x n matrix in fs.Z in place, or designates one parameter
// (fs.BADPAR, WORKLIM = -2, FACTOR = 0) and returns.
void MCONV(FitState& fs, int n);
// The same, walking the triangle element by element as the method is written;
// the reference that MCONV is tested against (same bits).
void mconv_reference(FitState& fs, int n);

// Acceptance test of a trial point that followed a step predicted to change S
// by SPRED from SPREV.  True when the point is accepted; otherwise RED is the
// factor by which the step is to be shrunk (0.25 <= RED < 0.59, and 0.25 for an
// objective that is not finite).  SFLOOR is 1e-36*|S|.
bool trial_accepted(double S, double SPREV, double SPRED, double SFLOOR, double& RED);

// The program's settings of LSQFIT: at most one step reduction before a step is
// accepted anyway, two calm iterations to stop, 200 iterations, tolerance 0.1
// of an error per iteration, every iteration printed.
inline constexpr int kProgramMAXRED = 1;
inline constexpr int kProgramNCALM = 2;
inline constexpr int kProgramMAXITER = 200;
inline constexpr double kProgramTOL = 0.1;
inline constexpr int kProgramPRTFREQ = 1;

// The whole fit.  Inputs by value, outputs by reference.
void LSQFIT(Tables& t, FitState& fs, Monitor& monitor, double& S, int NPAR, int MAXRED, int NCALM,
            int MAXITER, double TOL, double& STEPERR, double& STEPSCALE, int PRTFREQ, int& IEXIT);

}  // namespace tessaline
