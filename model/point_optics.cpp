// Cached evaluation of one point: see point_optics.hpp.  Every quantity is formed
// by the elementary steps of optics.hpp exactly as FUNCT forms it.
#include "model/point_optics.hpp"

#include "model/angle_groups.hpp"
#include "model/optics.hpp"

namespace tessaline {

namespace {

// The four intensities of one kernel point, stored in the order I(1,1), I(1,2),
// I(2,1), I(2,2).
void store_intensities(const ChannelTerms& terms, cplx Rplus, cplx Rminus, double* Ic) {
  double I[2][2];
  intensities(terms, Rplus, Rminus, I);
  Ic[0] = I[0][0];
  Ic[1] = I[0][1];
  Ic[2] = I[1][0];
  Ic[3] = I[1][1];
}

}  // namespace

void PointOptics::prepare(const Tables& t) {
  N_ = t.nlay;
  const std::size_t media = static_cast<std::size_t>(N_) + 2;  // 0..N+1
  const std::size_t nc = static_cast<std::size_t>(t.j0 > 0 ? t.j0 : 1);
  lanes_ = 2 * nc;
  for (auto* v : {&theta_, &k0_, &weight_, &omega_, &omega_scratch_}) v->assign(nc, 0.0);
  I_.assign(4 * nc, 0.0);
  I_scratch_.assign(4 * nc, 0.0);
  Rp_.assign(nc, {});
  Rm_.assign(nc, {});
  U_[0].assign(media, {});
  U_[1].assign(media, {});
  g_.assign(media, 0.0);
  zero_row_.assign(media, 0);
  kz_.assign(media * lanes_, {});
  for (Split* v : {&E_, &F_, &G_, &X_}) v->assign(media * lanes_);
  kz_m_.assign(lanes_, {});
  for (Split* v : {&E_m_, &F_up_, &G_up_, &F_dn_, &G_dn_, &zeros_, &xbuf_[0], &xbuf_[1], &xbuf_[2]})
    v->assign(lanes_);
}

void PointOptics::sum_channels(const double* omega, const double* I, double sigma[2][2]) const {
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b) sigma[a][b] = 0.0;
  for (int c = 0; c < nact_; ++c) {
    const double* Ic = I + 4 * c;
    sigma[0][0] += omega[c] * Ic[0];
    sigma[0][1] += omega[c] * Ic[1];
    sigma[1][0] += omega[c] * Ic[2];
    sigma[1][1] += omega[c] * Ic[3];
  }
}

void PointOptics::evaluate(const Tables& t, const ParamVector& PARAM, double theta_m,
                           double resolution, double f[4]) {
  const int N = N_;
  const int base = 6 * N;
  scaling_ = phys(t, PARAM, base + kTotalScaling);
  alpha0_ = phys(t, PARAM, base + kAlpha0);
  background_ = phys(t, PARAM, base + kBackground);
  four_pi_ = 4.0 * t.pi;
  channel_terms(t, PARAM, terms_);

  for (int m = 1; m <= N + 1; ++m) {
    const int i = density_slot(N, m);
    cplx rp, rm;
    optics::spin_potential(phys(t, PARAM, i), phys(t, PARAM, i + 1),
                           phys(t, PARAM, i + 3) * phys(t, PARAM, i + 2), four_pi_, rp, rm,
                           U_[0][static_cast<std::size_t>(m)], U_[1][static_cast<std::size_t>(m)]);
    const double sigma = phys(t, PARAM, i + 4);
    g_[static_cast<std::size_t>(m)] = -2.0 * sigma * sigma;
  }

  nact_ = 0;
  const PointKernel kernel = point_kernel(t, resolution);
  for (int ic = 1; ic <= kernel.n; ++ic) {
    const double theta = theta_m - kernel_offset(t, kernel, ic) - t.zero_correction;
    if (theta <= 0.0) continue;
    const std::size_t c = static_cast<std::size_t>(nact_++);
    theta_[c] = theta;
    k0_[c] = optics::vacuum_wave_number(theta, t.pi, t.wavelength);
    weight_[c] = kernel_weight(t, kernel, ic);
    omega_[c] = optics::illuminated_weight(weight_[c], theta, alpha0_);
  }
  const int nl = 2 * nact_;

  // Wave numbers, phase factors and interface terms of every lane.
  for (int l = 0; l < nl; ++l) {
    const int s = l % 2;
    const double k0 = k0_[static_cast<std::size_t>(l / 2)];
    kz_[at(l, 0)] = {k0, 0.0};
    for (int j = 1; j <= N + 1; ++j) {
      kz_[at(l, j)] = optics::normal_wave_number(k0, U_[s][static_cast<std::size_t>(j)]);
    }
    E_.set(at(l, 0), optics::phase_factor({0.0, 0.0}));
    for (int j = 1; j <= N; ++j) {
      E_.set(at(l, j),
             optics::phase_factor(optics::scale(phys(t, PARAM, 6 * j - 5), kz_[at(l, j)])));
    }
    for (int j = 0; j <= N; ++j) {
      cplx Fj, Gj;
      optics::interface_terms(g_[static_cast<std::size_t>(j) + 1], kz_[at(l, j)], kz_[at(l, j + 1)],
                              Fj, Gj);
      F_.set(at(l, j), Fj);
      G_.set(at(l, j), Gj);
    }
  }
  for (int j = 1; j <= N; ++j) {
    char zero = 0;
    for (int l = 0; l < nl; ++l) zero |= optics::is_zero(kz_[at(l, j)]) ? 1 : 0;
    zero_row_[static_cast<std::size_t>(j)] = zero;
  }

  // The recursion from the substrate up, one medium at a time for all lanes.
  for (int l = 0; l < nl; ++l) X_.set(at(l, N + 1), {0.0, 0.0});
  for (int j = N; j >= 0; --j) {
    const std::size_t row = at(0, j), below = at(0, j + 1);
    if (j + 1 <= N && zero_row_[static_cast<std::size_t>(j) + 1]) {
      step_near_critical(t, PARAM, j, -1, &E_.re[row], &E_.im[row], &F_.re[row], &F_.im[row],
                         &G_.re[row], &G_.im[row], &X_.re[below], &X_.im[below],
                         &X_.re[at(0, j + 2)], &X_.im[at(0, j + 2)], &X_.re[row], &X_.im[row], 0.0,
                         0.0);
    } else {
      optics::recursion_steps(nl, &E_.re[row], &E_.im[row], &F_.re[row], &F_.im[row], &G_.re[row],
                              &G_.im[row], &X_.re[below], &X_.im[below], &X_.re[row], &X_.im[row]);
    }
  }

  for (int c = 0; c < nact_; ++c) {
    Rp_[static_cast<std::size_t>(c)] = X_.get(at(lane(c, 0), 0));
    Rm_[static_cast<std::size_t>(c)] = X_.get(at(lane(c, 1), 0));
    store_intensities(terms_, Rp_[static_cast<std::size_t>(c)], Rm_[static_cast<std::size_t>(c)],
                      &I_[4 * static_cast<std::size_t>(c)]);
  }
  sum_channels(omega_.data(), I_.data(), sigma_);
  channel_values(scaling_, background_, sigma_, f);
}

void PointOptics::step_near_critical(const Tables& t, const ParamVector& PARAM, int j, int m,
                                     const double* Er, const double* Ei, const double* Fr,
                                     const double* Fi, const double* Gr, const double* Gi,
                                     const double* x1r, const double* x1i, const double* x2r,
                                     const double* x2i, double* outr, double* outi, double g_new,
                                     double thickness) {
  // m is the medium whose terms were displaced (-1: none); its wave number,
  // roughness exponent and thickness are the displaced ones.
  const int L = j + 1;
  const double gL = L == m ? g_new : g_[static_cast<std::size_t>(L)];
  const double gL1 = L + 1 == m ? g_new : g_[static_cast<std::size_t>(L) + 1];
  const double dL = L == m ? thickness : phys(t, PARAM, 6 * L - 5);
  const int nl = 2 * nact_;
  for (int l = 0; l < nl; ++l) {
    const std::size_t ll = static_cast<std::size_t>(l);
    auto kz = [&](int k) { return k == m ? kz_m_[ll] : kz_[at(l, k)]; };
    const cplx E{Er[ll], Ei[ll]};
    cplx x;
    if (optics::is_zero(kz(L))) {
      x = cmul(E, optics::across_critical_layer(kz(j), kz(L + 1), gL, gL1, dL, {x2r[ll], x2i[ll]}));
    } else {
      x = optics::recursion_step(E, {Fr[ll], Fi[ll]}, {Gr[ll], Gi[ll]}, {x1r[ll], x1i[ll]});
    }
    outr[ll] = x.real();
    outi[ll] = x.imag();
  }
}

void PointOptics::displaced(const Tables& t, const ParamVector& PARAM, int i, double f[4]) {
  const int N = N_;
  const int base = 6 * N;

  if (i > base + 5) {
    // Outside the optics: the amplitudes stand.
    double sigma[2][2];
    switch (i - base) {
      case kTotalScaling:
        channel_values(phys(t, PARAM, i), background_, sigma_, f);
        return;
      case kBackground:
        channel_values(scaling_, phys(t, PARAM, i), sigma_, f);
        return;
      case kAlpha0: {  // new illumination weights
        const double alpha0 = phys(t, PARAM, i);
        for (int c = 0; c < nact_; ++c) {
          omega_scratch_[static_cast<std::size_t>(c)] = optics::illuminated_weight(
              weight_[static_cast<std::size_t>(c)], theta_[static_cast<std::size_t>(c)], alpha0);
        }
        sum_channels(omega_scratch_.data(), I_.data(), sigma);
        break;
      }
      default: {  // magnetization-angle averages, polarization vectors
        ChannelTerms terms;
        channel_terms(t, PARAM, terms);
        for (int c = 0; c < nact_; ++c) {
          store_intensities(terms, Rp_[static_cast<std::size_t>(c)],
                            Rm_[static_cast<std::size_t>(c)],
                            &I_scratch_[4 * static_cast<std::size_t>(c)]);
        }
        sum_channels(omega_.data(), I_scratch_.data(), sigma);
        break;
      }
    }
    channel_values(scaling_, background_, sigma, f);
    return;
  }

  // A parameter of medium m: layer m = 1..N or the substrate m = N+1.
  const int m = i <= base ? (i - 1) / 6 + 1 : N + 1;
  const int kind = i <= base ? (i - 1) % 6 : i - base;  // 0 thickness, 1-4 densities, 5 roughness
  const bool density = kind >= 1 && kind <= 4;
  const bool roughness = kind == 5;
  const std::size_t mm = static_cast<std::size_t>(m);

  cplx U_new[2] = {U_[0][mm], U_[1][mm]};
  if (density) {
    const int d = density_slot(N, m);
    cplx rp, rm;
    optics::spin_potential(phys(t, PARAM, d), phys(t, PARAM, d + 1),
                           phys(t, PARAM, d + 3) * phys(t, PARAM, d + 2), four_pi_, rp, rm,
                           U_new[0], U_new[1]);
  }
  double g_new = g_[mm];
  if (roughness) {
    const double sigma = phys(t, PARAM, i);
    g_new = -2.0 * sigma * sigma;
  }
  const double thickness = m <= N ? phys(t, PARAM, 6 * m - 5) : 0.0;
  // The recursion changes from the top of medium m up (from the interface above
  // it when only that interface's roughness changed).
  const int top = roughness ? m - 1 : (m <= N ? m : N);

  // The changed terms of medium m, lane by lane.
  const int nl = 2 * nact_;
  char zero_m = m <= N ? zero_row_[mm] : 0;
  if (density) zero_m = 0;
  for (int l = 0; l < nl; ++l) {
    const int s = l % 2;
    const std::size_t ll = static_cast<std::size_t>(l);
    const cplx kz_m = density ? optics::normal_wave_number(k0_[ll / 2], U_new[s]) : kz_[at(l, m)];
    kz_m_[ll] = kz_m;
    if (density && optics::is_zero(kz_m)) zero_m = 1;
    if (m <= N) {
      E_m_.set(ll,
               roughness ? E_.get(at(l, m)) : optics::phase_factor(optics::scale(thickness, kz_m)));
      cplx Fd = F_.get(at(l, m)), Gd = G_.get(at(l, m));
      if (density) optics::interface_terms(g_[mm + 1], kz_m, kz_[at(l, m + 1)], Fd, Gd);
      F_dn_.set(ll, Fd);
      G_dn_.set(ll, Gd);
    }
    cplx Fu = F_.get(at(l, m - 1)), Gu = G_.get(at(l, m - 1));
    if (density || roughness) optics::interface_terms(g_new, kz_[at(l, m - 1)], kz_m, Fu, Gu);
    F_up_.set(ll, Fu);
    G_up_.set(ll, Gu);
  }

  // The recursion from `top` up to the surface, one medium at a time for all
  // lanes; below `top` the cached amplitudes stand.  The three buffers take
  // turns, so that X(j+1) and X(j+2) are always at hand.
  const double* x1r = &X_.re[at(0, top + 1)];
  const double* x1i = &X_.im[at(0, top + 1)];
  const double* x2r = top + 2 <= N + 1 ? &X_.re[at(0, top + 2)] : zeros_.re.data();
  const double* x2i = top + 2 <= N + 1 ? &X_.im[at(0, top + 2)] : zeros_.im.data();
  int next = 0;
  for (int j = top; j >= 0; --j) {
    const std::size_t row = at(0, j);
    const Split* Fs = j == m - 1 ? &F_up_ : (j == m ? &F_dn_ : &F_);
    const Split* Gs = j == m - 1 ? &G_up_ : (j == m ? &G_dn_ : &G_);
    const Split* Es = j == m ? &E_m_ : &E_;
    const std::size_t fo = Fs == &F_ ? row : 0, go = Gs == &G_ ? row : 0, eo = Es == &E_ ? row : 0;
    Split& out = xbuf_[next];
    next = (next + 1) % 3;
    const bool critical =
        j + 1 <= N && (j + 1 == m ? zero_m != 0 : zero_row_[static_cast<std::size_t>(j) + 1] != 0);
    if (critical) {
      step_near_critical(t, PARAM, j, m, &Es->re[eo], &Es->im[eo], &Fs->re[fo], &Fs->im[fo],
                         &Gs->re[go], &Gs->im[go], x1r, x1i, x2r, x2i, out.re.data(), out.im.data(),
                         g_new, thickness);
    } else {
      optics::recursion_steps(nl, &Es->re[eo], &Es->im[eo], &Fs->re[fo], &Fs->im[fo], &Gs->re[go],
                              &Gs->im[go], x1r, x1i, out.re.data(), out.im.data());
    }
    x2r = x1r;
    x2i = x1i;
    x1r = out.re.data();
    x1i = out.im.data();
  }

  for (int c = 0; c < nact_; ++c) {
    const std::size_t lp = static_cast<std::size_t>(lane(c, 0)), lm = lp + 1;
    store_intensities(terms_, {x1r[lp], x1i[lp]}, {x1r[lm], x1i[lm]},
                      &I_scratch_[4 * static_cast<std::size_t>(c)]);
  }
  double sigma[2][2];
  sum_channels(omega_.data(), I_scratch_.data(), sigma);
  channel_values(scaling_, background_, sigma, f);
}

std::vector<double> point_values(const Tables& t, const ParamVector& PARAM) {
  for (int p = 1; p <= t.npoint; ++p) {
    if (channel_of(point_code(t, p)) == 0) throw RunStop("X(2) wrong!", kExitStop);
  }
  AngleGroups groups;
  groups.build(t);
  PointOptics optics;
  optics.prepare(t);
  std::vector<double> f(static_cast<std::size_t>(t.npoint));
  for (int p = 1; p <= t.npoint; ++p) {
    if (groups.previous(p) != 0) continue;
    double values[4];
    optics.evaluate(t, PARAM, point_angle(t, p), point_resolution(t, p), values);
    for (int m = p; m != 0; m = groups.next(m))
      f[static_cast<std::size_t>(m) - 1] = values[channel_of(point_code(t, m)) - 1];
  }
  return f;
}

}  // namespace tessaline
