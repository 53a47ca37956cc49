// The iteration driver: Gauss-Newton on S = chi^2/2 with the curvature matrix
// from first derivatives, made robust for many bounded parameters by
//  - a working step limit per parameter (WORKLIM), shrunk with a rejected step
//    and grown fourfold when steps keep using a good part of it;
//  - simple bounds: a parameter on a bound whose descent direction or Newton
//    step points outward is held (state 0) or set aside (state -1);
//  - set-aside of the parameter that the inversion designates (state -2,
//    infinite error) and a release that brings all set-aside parameters back;
//  - at most MAXRED step reductions per iteration, by the minimum of the
//    parabola through the old and the new S;
//  - convergence when every active step is below TOL times its error.
// A trial point whose objective is not finite (a model value that overflowed or
// became NaN) is never accepted; the fit returns to the last accepted point and
// ends with status -1 if the step cannot be shrunk to a finite objective.
//
// Nothing is allocated; the matrices live in FitState.  No I/O: every pass is
// handed to the Monitor.
#include <cmath>

#include "fit/fit.hpp"

namespace tessaline {

namespace {

constexpr double kTiny = 1e-36;
constexpr double kHuge = 1e36;
constexpr double kAcceptFraction = 0.59;  // parabola test of a trial point
constexpr double kMinReduction = 0.25;    // smallest step reduction factor
constexpr double kGrowth = 4.0;           // growth factor of a step limit
// Reductions of one iteration's step for objectives that are not finite,
// after which the fit gives up at the last accepted point.
constexpr int kMaxNonfiniteReductions = 10;

bool is_free(const Tables& t, int i) { return t.STEPLIM(i) > 0.0; }
bool is_active(const FitState& fs, int i) { return fs.WORKLIM(i) > 0.0; }

// Element (a, b) of the symmetric matrix in Z, a and b being active numbers.
double z_sym(const FitState& fs, int a, int b) {
  return a >= b ? fs.Z(static_cast<int>(packed(a, b))) : fs.Z(static_cast<int>(packed(b, a)));
}

// Evaluation at the current PARAM: S, G, Z over the free parameters and its
// copy in ZSAVE.  Active parameters' difference steps follow their working
// limits.
void evaluate(Tables& t, FitState& fs, int NPAR, double& S) {
  S = 0.0;
  int n_free = 0;
  for (int i = 1; i <= NPAR; ++i) {
    fs.G(i) = 0.0;
    if (is_free(t, i)) {
      ++n_free;
      if (is_active(fs, i)) t.STEPLIM(i) = fs.WORKLIM(i);
    }
  }
  const int used = n_free * (n_free + 1) / 2;
  for (int L = 1; L <= used; ++L) fs.Z(L) = 0.0;
  fs.NPARFIT = NPAR;
  fs.BADPAR = 0;
  SGZ(t, fs, NPAR, S);
  for (int L = 1; L <= used; ++L) fs.ZSAVE(L) = fs.Z(L);
}

// Extracts into Z, from ZSAVE, the matrix over the active parameters after
// re-admitting the held ones and holding every active parameter that lies on a
// bound with its descent direction pointing outward.  FACTOR receives the
// diagonal.  Returns the number of active parameters.
int build_matrix(Tables& t, FitState& fs, int NPAR) {
  int L = 0;
  int m = 0;  // free number of parameter i
  for (int i = 1; i <= NPAR; ++i) {
    if (!is_free(t, i)) continue;
    ++m;
    if (fs.WORKLIM(i) == 0.0) fs.WORKLIM(i) = t.STEPLIM(i);
    if (fs.WORKLIM(i) > 0.0 && ((t.PARAM(i) <= t.PARMIN(i) && fs.G(i) > 0.0) ||
                                (t.PARAM(i) >= t.PARMAX(i) && fs.G(i) < 0.0))) {
      fs.WORKLIM(i) = 0.0;
    }
    if (!is_active(fs, i)) continue;
    int mk = 0;  // free number of column parameter k
    for (int k = 1; k < i; ++k) {
      if (!is_free(t, k)) continue;
      ++mk;
      if (is_active(fs, k)) fs.Z(++L) = fs.ZSAVE(static_cast<int>(packed(m, mk)));
    }
    fs.Z(++L) = fs.ZSAVE(static_cast<int>(packed(m, m)));
  }
  int n = 0;
  for (int i = 1; i <= NPAR; ++i) {
    if (!is_active(fs, i)) continue;
    ++n;
    fs.FACTOR(i) = fs.Z(static_cast<int>(packed(n, n)));
  }
  return n;
}

// DELTA = -Zinv G over the active parameters, 0 elsewhere.
void newton_step(FitState& fs, int NPAR) {
  int a = 0;
  for (int i = 1; i <= NPAR; ++i) {
    if (!is_active(fs, i)) {
      fs.DELTA(i) = 0.0;
      continue;
    }
    ++a;
    double sum = 0.0;
    int b = 0;
    for (int j = 1; j <= NPAR; ++j) {
      if (!is_active(fs, j)) continue;
      ++b;
      sum = sum + z_sym(fs, a, b) * fs.G(j);
    }
    fs.DELTA(i) = -sum;
  }
}

// Errors and factors of the active parameters; returns the parameter on a
// bound whose Newton step points outward by the most error bars (the first on
// a tie), or 0.
int errors_and_outward(Tables& t, FitState& fs, int NPAR) {
  int c = 0;
  double c_weight = 0.0;
  int a = 0;
  for (int i = 1; i <= NPAR; ++i) {
    if (!is_active(fs, i)) continue;
    ++a;
    const double zii = z_sym(fs, a, a);
    const double e = std::sqrt(std::fabs(zii));
    fs.FACTOR(i) = fs.FACTOR(i) * zii;
    fs.PARERR(i) = e;
    if ((t.PARAM(i) <= t.PARMIN(i) && fs.DELTA(i) < 0.0) ||
        (t.PARAM(i) >= t.PARMAX(i) && fs.DELTA(i) > 0.0)) {
      const double weight = std::fabs(fs.DELTA(i) / e);
      if (c == 0 || weight > c_weight) {
        c = i;
        c_weight = weight;
      }
    }
  }
  return c;
}

}  // namespace

bool trial_accepted(double S, double SPREV, double SPRED, double SFLOOR, double& RED) {
  if (!std::isfinite(S)) {
    RED = kMinReduction;
    return false;
  }
  RED = 2.0 * (S - SPREV - SPRED);
  if (-SPRED <= SFLOOR && std::fabs(S - SPREV) <= SFLOOR) return true;
  if (SPRED + kAcceptFraction * RED < 0.0) return true;
  // Minimum of the parabola with value SPREV and slope SPRED at the old point
  // and value S at the trial point.
  RED = -SPRED / RED;
  if (RED < kMinReduction) RED = kMinReduction;
  return false;
}

void LSQFIT(Tables& t, FitState& fs, Monitor& monitor, double& S, int NPAR, int MAXRED, int NCALM,
            int MAXITER, double TOL, double& STEPERR, double& STEPSCALE, int PRTFREQ, int& IEXIT) {
  int ITER = 0;
  int NSTEADY = 0;
  double NASIDE = 0.0;
  double NSINCE = 0.0;
  int LASTASIDE = 0;
  fs.FITSTAT = 0.0;
  fs.SINGFLAG = 0;
  for (int i = 1; i <= NPAR; ++i) {
    fs.FACTOR(i) = 0.0;
    fs.PARERR(i) = 0.0;
    fs.WORKLIM(i) = t.STEPLIM(i);
  }

  double SPREV = 0.0;
  double SFLOOR = 0.0;
  double SPRED = 0.0;
  double LIMTREND = 1.0;
  double RED = 0.0;
  int ILIM = 0;
  double ALIM = 0.0;
  STEPERR = 0.0;
  STEPSCALE = 1.0;

  for (;;) {
    // Start of an iteration.
    int NTRIAL = 1;
    LIMTREND = 1.0;
    int nonfinite_reductions = 0;
    bool ended_nonfinite = false;

    // Evaluate trial points until one is accepted.
    for (;;) {
      evaluate(t, fs, NPAR, S);
      SFLOOR = kTiny * std::fabs(S);

      if (ITER == 0) {
        if (!std::isfinite(S)) {
          monitor.nonfinite_start(first_nonfinite_point(t, fs));
          ended_nonfinite = true;
        }
        break;
      }
      if (NTRIAL > MAXRED && std::isfinite(S)) break;
      if (trial_accepted(S, SPREV, SPRED, SFLOOR, RED)) break;
      if (!std::isfinite(S)) {
        if (nonfinite_reductions == kMaxNonfiniteReductions) {
          for (int i = 1; i <= NPAR; ++i) t.PARAM(i) = fs.param_accepted(i);
          S = SPREV;
          ended_nonfinite = true;
          break;
        }
        ++nonfinite_reductions;
      }

      // Shrink the rejected step and its limits about the last accepted point.
      SPRED = SPRED * RED;
      LIMTREND = LIMTREND * RED;
      NSTEADY = 0;
      for (int i = 1; i <= NPAR; ++i) {
        if (!is_active(fs, i)) continue;
        t.PARAM(i) = t.PARAM(i) - fs.DELTA(i);
        fs.WORKLIM(i) = RED * fs.WORKLIM(i);
        fs.DELTA(i) = RED * fs.DELTA(i);
        t.PARAM(i) = t.PARAM(i) + fs.DELTA(i);
      }
      ++NTRIAL;
    }

    if (ended_nonfinite) {
      fs.FITSTAT = -1.0;
    } else {
      // Solve for the step at the accepted point; set-asides and releases
      // solve again from ZSAVE and G without evaluating the model.
      for (;;) {
        const int n = build_matrix(t, fs, NPAR);
        MCONV(fs, n);
        if (fs.BADPAR != 0) {
          fs.BADPAR = 0;
          fs.SINGFLAG = 1;
          NASIDE = NASIDE + 1.0;
          NSINCE = 0.0;
          continue;
        }

        newton_step(fs, NPAR);
        const int c = errors_and_outward(t, fs, NPAR);
        if (c != 0) {
          fs.WORKLIM(c) = -1.0;
          LASTASIDE = c;
          NASIDE = NASIDE + 1.0;
          NSINCE = 0.0;
          continue;
        }

        // Step limits: one common scale keeps the step's direction while no
        // parameter moves farther than its limit or past its bound.
        STEPSCALE = 1.0;
        STEPERR = 0.0;
        ILIM = 0;
        for (int i = 1; i <= NPAR; ++i) {
          if (!is_active(fs, i)) continue;
          double room, target, bound;
          if (fs.DELTA(i) > 0.0) {
            room = t.PARMAX(i) - t.PARAM(i);
            target = t.PARAM(i) + fs.WORKLIM(i);
            bound = t.PARMAX(i);
          } else {
            room = t.PARAM(i) - t.PARMIN(i);
            target = t.PARAM(i) - fs.WORKLIM(i);
            bound = t.PARMIN(i);
          }
          double lim = fs.WORKLIM(i);
          if (fs.WORKLIM(i) > room) {
            lim = room;
            target = bound;
          }
          if (std::fabs(fs.DELTA(i)) > lim && std::fabs(lim / fs.DELTA(i)) < STEPSCALE) {
            STEPSCALE = std::fabs(lim / fs.DELTA(i));
            ILIM = i;
            ALIM = target;
          }
          if (std::fabs(fs.DELTA(i) / fs.PARERR(i)) > STEPERR) {
            STEPERR = std::fabs(fs.DELTA(i) / fs.PARERR(i));
          }
        }
        const double Q = STEPSCALE > 0.0 ? 0.25 / STEPSCALE : kHuge;
        SPRED = 0.0;
        for (int i = 1; i <= NPAR; ++i) {
          if (!is_active(fs, i)) continue;
          if (NSTEADY > NCALM && std::fabs(fs.DELTA(i) / fs.WORKLIM(i)) >= Q) {
            fs.WORKLIM(i) = kGrowth * fs.WORKLIM(i);
            LIMTREND = kGrowth;
          }
          fs.DELTA(i) = STEPSCALE * fs.DELTA(i);
          SPRED = SPRED + fs.DELTA(i) * fs.G(i);
        }

        // End status of the pass.
        if (STEPSCALE < 1.0 && LIMTREND < 1.0 && -SPRED <= SFLOOR) {
          fs.FITSTAT = -1.0;
          break;
        }
        if (fs.FITSTAT < 0.0) break;
        bool release = false;
        if (STEPERR < TOL) {
          if (NASIDE == 0.0) {
            fs.FITSTAT = 1.0;
          } else if (fs.FITSTAT > 0.0) {
            // A release was made in this pass: converged unless a parameter
            // went back onto a bound since.
            if (LASTASIDE != 0) {
              NSINCE = NSINCE + 1.0;
              fs.FITSTAT = 0.0;
            }
          } else {
            release = true;
          }
        } else if (NASIDE == 0.0 || NSINCE <= NASIDE) {
          NSINCE = NSINCE + 1.0;
          fs.FITSTAT = 0.0;
        } else {
          release = true;
        }
        if (!release) break;

        fs.FITSTAT = 1.0;
        NASIDE = 0.0;
        LASTASIDE = 0;
        fs.SINGFLAG = 0;
        for (int i = 1; i <= NPAR; ++i) fs.WORKLIM(i) = t.STEPLIM(i);
      }
    }

    // End of the pass.
    if (fs.FITSTAT == 0.0 && ITER >= MAXITER) fs.FITSTAT = -3.0;
    if (fs.FITSTAT > 0.0 && fs.SINGFLAG == 1) fs.FITSTAT = -2.0;
    monitor.MONITO(S, NPAR, ITER, PRTFREQ, SPRED, STEPERR, STEPSCALE, LIMTREND);
    if (fs.FITSTAT != 0.0) {
      IEXIT = static_cast<int>(fs.FITSTAT);
      return;
    }

    for (int i = 1; i <= NPAR; ++i) fs.param_accepted(i) = t.PARAM(i);
    for (int i = 1; i <= NPAR; ++i) t.PARAM(i) = t.PARAM(i) + fs.DELTA(i);
    if (ILIM > 0) t.PARAM(ILIM) = ALIM;  // lands exactly on its bound or full limit
    SPREV = S;
    NSTEADY = NSTEADY + 1;
    ITER = ITER + 1;
  }
}

}  // namespace tessaline
