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

struct FitState {
  ParamVector WORKLIM;  // working step limits and state codes (> 0, 0, -1, -2)
  ParamVector DELTA;    // proposed step
  ParamVector G;        // gradient of S by parameter index
  ParamVector DERIV;    // derivatives of one point's model value
  ParamVector PARERR;   // error estimates
  ParamVector FACTOR;   // diagonal of Z times diagonal of its inverse
  PackedMatrix Z;       // curvature matrix, extracted matrix, inverse
  PackedMatrix ZSAVE;   // Z over the free parameters at the accepted point
  Table<double, 2> X;   // independent variables of the current point
  double FITSTAT = 0;   // end status: 0 running; 1, -1, -2, -3
  int NPARFIT = 0;      // number of parameters for ARITHM
  int BADPAR = 0;       // parameter designated by MCONV
  int SINGFLAG = 0;     // an inversion failed since the last release
  ModelWork model;      // work tables of the model function
};

inline std::unique_ptr<FitState> make_fit_state() { return std::make_unique<FitState>(); }

// Receives every iteration of LSQFIT, after its end status is settled and before
// its step is applied.
class Monitor {
 public:
  virtual ~Monitor() = default;
  virtual void MONITO(double S, int NPAR, int ITER, int PRTFREQ, double SPRED, double STEPERR,
                      double STEPSCALE, double LIMTREND) = 0;
};

// Model value f of the point in fs.X and its forward-difference derivatives in
// fs.DERIV (0 for fixed parameters).  PARAM is left bit for bit as found.
void ARITHM(Tables& t, FitState& fs, double& f);

// Adds the objective, gradient and curvature matrix of all points to S, fs.G and
// fs.Z; the caller clears them.
void SGZ(Tables& t, FitState& fs, int NPAR, double& S);

// Inverts the packed n x n matrix in fs.Z in place, or designates one parameter
// (fs.BADPAR, WORKLIM = -2, FACTOR = 0) and returns.
void MCONV(FitState& fs, int n);

// The whole fit.  Inputs by value, outputs by reference.
void LSQFIT(Tables& t, FitState& fs, Monitor& monitor, double& S, int NPAR, int MAXRED,
            int NCALM, int MAXITER, double TOL, double& STEPERR, double& STEPSCALE, int PRTFREQ,
            int& IEXIT);

}  // namespace tessaline
