// Cached evaluation of one point: see point_optics.hpp.  Every quantity is formed
// by the elementary steps of optics.hpp exactly as FUNCT forms it.
#include "model/point_optics.hpp"

#include "model/optics.hpp"

namespace tessaline {

namespace {

// First slot ("Re{Nb}") of the densities of medium m = 1..N+1; "Im{Nb}", "N_p",
// "<Cos(delta_gamma" and "Debye-Waller" follow.
int density_slot(int N, int m) { return m <= N ? 6 * m - 4 : 6 * N + 1; }

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
  for (auto* v : {&kz_, &E_, &F_, &G_, &X_}) v->assign(media * lanes_, {});
  for (auto* v : {&kz_m_, &E_m_, &F_up_, &G_up_, &F_dn_, &G_dn_, &x_, &x2_}) v->assign(lanes_, {});
}

double PointOptics::select(const double sigma[2][2]) const {
  switch (channel_) {
    case 1: return sigma[0][0];
    case 2: return sigma[1][1];
    case 3: return sigma[0][1];
    default: return sigma[1][0];
  }
}

double PointOptics::sum_channels(const double* omega, const double* I) const {
  double sigma[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
  for (int c = 0; c < nact_; ++c) {
    const double* Ic = I + 4 * c;
    sigma[0][0] += omega[c] * Ic[0];
    sigma[0][1] += omega[c] * Ic[1];
    sigma[1][0] += omega[c] * Ic[2];
    sigma[1][1] += omega[c] * Ic[3];
  }
  return select(sigma);
}

double PointOptics::evaluate(const Tables& t, const ParamVector& PARAM,
                             const Table<double, 2>& X) {
  const int N = N_;
  const int base = 6 * N;
  channel_ = channel_of(X(2));
  if (channel_ == 0) throw RunStop("X(2) wrong!", kExitStop);
  scaling_ = phys(t, PARAM, base + 9);
  alpha0_ = phys(t, PARAM, base + 10);
  background_ = phys(t, PARAM, base + 11);
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
  for (int ic = 1; ic <= t.j0; ++ic) {
    const double theta = X(1) - t.coll_offset(ic) - t.zero_correction;
    if (theta <= 0.0) continue;
    const int c = nact_++;
    const double k0 = optics::vacuum_wave_number(theta, t.pi, t.wavelength);
    theta_[static_cast<std::size_t>(c)] = theta;
    k0_[static_cast<std::size_t>(c)] = k0;
    weight_[static_cast<std::size_t>(c)] = t.coll_weight(ic);
    for (int s = 0; s < 2; ++s) {
      const int l = lane(c, s);
      auto kz = [&](int j) -> cplx& { return kz_[at(l, j)]; };
      auto E = [&](int j) -> cplx& { return E_[at(l, j)]; };
      auto F = [&](int j) -> cplx& { return F_[at(l, j)]; };
      auto G = [&](int j) -> cplx& { return G_[at(l, j)]; };
      auto Xr = [&](int j) -> cplx& { return X_[at(l, j)]; };
      kz(0) = {k0, 0.0};
      for (int j = 1; j <= N + 1; ++j) {
        kz(j) = optics::normal_wave_number(k0, U_[s][static_cast<std::size_t>(j)]);
      }
      E(0) = optics::phase_factor({0.0, 0.0});
      for (int j = 1; j <= N; ++j) {
        E(j) = optics::phase_factor(optics::scale(phys(t, PARAM, 6 * j - 5), kz(j)));
      }
      for (int j = 0; j <= N; ++j) {
        optics::interface_terms(g_[static_cast<std::size_t>(j) + 1], kz(j), kz(j + 1), F(j), G(j));
      }
      Xr(N + 1) = {0.0, 0.0};
      for (int j = N; j >= 0; --j) {
        if (j + 1 <= N && optics::is_zero(kz(j + 1))) {
          Xr(j) = cmul(E(j), optics::across_critical_layer(
                                 kz(j), kz(j + 2), g_[static_cast<std::size_t>(j) + 1],
                                 g_[static_cast<std::size_t>(j) + 2], phys(t, PARAM, 6 * (j + 1) - 5),
                                 Xr(j + 2)));
          continue;
        }
        Xr(j) = optics::recursion_step(E(j), F(j), G(j), Xr(j + 1));
      }
    }
    Rp_[static_cast<std::size_t>(c)] = X_[at(lane(c, 0), 0)];
    Rm_[static_cast<std::size_t>(c)] = X_[at(lane(c, 1), 0)];
    double I[2][2];
    intensities(terms_, Rp_[static_cast<std::size_t>(c)], Rm_[static_cast<std::size_t>(c)], I);
    double* Ic = &I_[4 * static_cast<std::size_t>(c)];
    Ic[0] = I[0][0];
    Ic[1] = I[0][1];
    Ic[2] = I[1][0];
    Ic[3] = I[1][1];
    omega_[static_cast<std::size_t>(c)] = optics::illuminated_weight(t.coll_weight(ic), theta, alpha0_);
  }
  for (auto& row : sigma_)
    for (double& v : row) v = 0.0;
  for (int c = 0; c < nact_; ++c) {
    const double* Ic = &I_[4 * static_cast<std::size_t>(c)];
    const double om = omega_[static_cast<std::size_t>(c)];
    sigma_[0][0] += om * Ic[0];
    sigma_[0][1] += om * Ic[1];
    sigma_[1][0] += om * Ic[2];
    sigma_[1][1] += om * Ic[3];
  }
  return scaling_ * (background_ + select(sigma_));
}

double PointOptics::displaced(const Tables& t, const ParamVector& PARAM, int i) {
  const int N = N_;
  const int base = 6 * N;

  if (i > base + 5) {
    // Outside the optics: the amplitudes stand.
    switch (i - base) {
      case 9:  // total scaling
        return phys(t, PARAM, i) * (background_ + select(sigma_));
      case 11:  // background
        return scaling_ * (phys(t, PARAM, i) + select(sigma_));
      case 10: {  // alpha_0: new illumination weights
        const double alpha0 = phys(t, PARAM, i);
        for (int c = 0; c < nact_; ++c) {
          omega_scratch_[static_cast<std::size_t>(c)] = optics::illuminated_weight(
              weight_[static_cast<std::size_t>(c)], theta_[static_cast<std::size_t>(c)], alpha0);
        }
        return scaling_ * (background_ + sum_channels(omega_scratch_.data(), I_.data()));
      }
      default: {  // magnetization-angle averages, polarization vectors
        ChannelTerms terms;
        channel_terms(t, PARAM, terms);
        for (int c = 0; c < nact_; ++c) {
          double I[2][2];
          intensities(terms, Rp_[static_cast<std::size_t>(c)], Rm_[static_cast<std::size_t>(c)], I);
          double* Ic = &I_scratch_[4 * static_cast<std::size_t>(c)];
          Ic[0] = I[0][0];
          Ic[1] = I[0][1];
          Ic[2] = I[1][0];
          Ic[3] = I[1][1];
        }
        return scaling_ * (background_ + sum_channels(omega_.data(), I_scratch_.data()));
      }
    }
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
  for (int l = 0; l < nl; ++l) {
    const int s = l % 2;
    const std::size_t ll = static_cast<std::size_t>(l);
    const cplx kz_m = density ? optics::normal_wave_number(k0_[ll / 2], U_new[s]) : kz_[at(l, m)];
    kz_m_[ll] = kz_m;
    if (m <= N) {
      E_m_[ll] = roughness ? E_[at(l, m)] : optics::phase_factor(optics::scale(thickness, kz_m));
      F_dn_[ll] = F_[at(l, m)];
      G_dn_[ll] = G_[at(l, m)];
      if (density) optics::interface_terms(g_[mm + 1], kz_m, kz_[at(l, m + 1)], F_dn_[ll], G_dn_[ll]);
    }
    F_up_[ll] = F_[at(l, m - 1)];
    G_up_[ll] = G_[at(l, m - 1)];
    if (density || roughness) {
      optics::interface_terms(g_new, kz_[at(l, m - 1)], kz_m, F_up_[ll], G_up_[ll]);
    }
    // X(j+1) and X(j+2) below the first changed step: the cached ones.
    x_[ll] = X_[at(l, top + 1)];
    x2_[ll] = top + 2 <= N + 1 ? X_[at(l, top + 2)] : cplx{};
  }

  // The recursion from `top` up to the surface, one medium at a time for all
  // lanes, so that the lanes' independent steps overlap.
  for (int j = top; j >= 0; --j) {
    const cplx* E = &E_[at(0, j)];
    const cplx* F = j == m - 1 ? F_up_.data() : (j == m ? F_dn_.data() : &F_[at(0, j)]);
    const cplx* G = j == m - 1 ? G_up_.data() : (j == m ? G_dn_.data() : &G_[at(0, j)]);
    if (j == m) E = E_m_.data();
    const bool critical_possible = j + 1 <= N;
    for (int l = 0; l < nl; ++l) {
      const std::size_t ll = static_cast<std::size_t>(l);
      const cplx kz_below = j + 1 == m ? kz_m_[ll] : kz_[at(l, j + 1)];
      cplx xj;
      if (critical_possible && optics::is_zero(kz_below)) {
        // A layer exactly at its critical angle lies below.
        const int L = j + 1;
        const double gL = L == m ? g_new : g_[static_cast<std::size_t>(L)];
        const double gL1 = L + 1 == m ? g_new : g_[static_cast<std::size_t>(L) + 1];
        const double dL = L == m ? thickness : phys(t, PARAM, 6 * L - 5);
        const cplx kz_above = j == m ? kz_m_[ll] : kz_[at(l, j)];
        const cplx kz_under = L + 1 == m ? kz_m_[ll] : kz_[at(l, L + 1)];
        xj = cmul(E[ll], optics::across_critical_layer(kz_above, kz_under, gL, gL1, dL, x2_[ll]));
      } else {
        xj = optics::recursion_step(E[ll], F[ll], G[ll], x_[ll]);
      }
      x2_[ll] = x_[ll];
      x_[ll] = xj;
    }
  }

  for (int c = 0; c < nact_; ++c) {
    double I[2][2];
    intensities(terms_, x_[static_cast<std::size_t>(lane(c, 0))],
                x_[static_cast<std::size_t>(lane(c, 1))], I);
    double* Ic = &I_scratch_[4 * static_cast<std::size_t>(c)];
    Ic[0] = I[0][0];
    Ic[1] = I[0][1];
    Ic[2] = I[1][0];
    Ic[3] = I[1][1];
  }
  return scaling_ * (background_ + sum_channels(omega_.data(), I_scratch_.data()));
}

}  // namespace tessaline
