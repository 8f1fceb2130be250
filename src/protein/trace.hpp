// The backbone chain walk itself, as a template so that callers can consume
// each residue as it is placed instead of storing the whole chain first.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/geometry.hpp"
#include "core/parallel.hpp"
#include "protein/protein.hpp"

namespace lvx::protein {
namespace nerf {

constexpr double kDegToRad = 0.017453292519943295;

constexpr double kBondNCa = 1.458;
constexpr double kBondCaC = 1.525;
constexpr double kBondCN = 1.329;
constexpr double kAngleNCaC = 111.2;
constexpr double kAngleCaCN = 116.2;
constexpr double kAngleCNCa = 121.7;
constexpr double kOmega = 180.0;

inline Point sub(const Point& a, const Point& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

inline Point cross(const Point& a, const Point& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The zero vector stays zero: no division by a zero length.
inline Point unit(const Point& v) {
  const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (len == 0.0) return {0.0, 0.0, 0.0};
  return {v[0] / len, v[1] / len, v[2] / len};
}

// The bond-dependent factors of a placement: -R cos(theta) and R sin(theta).
struct Bond {
  double axial;
  double radial;
  static Bond of(double length, double angle_deg) {
    const double theta = angle_deg * kDegToRad;
    return {-length * std::cos(theta), length * std::sin(theta)};
  }
};

// Places d from a, b, c; the torsion enters as its cosine and sine.
inline Point place(const Point& a, const Point& b, const Point& c, const Bond& bond, double cos_t,
                   double sin_t) {
  const Point bc = unit(sub(c, b));
  const Point nv = unit(cross(sub(b, a), bc));
  const Point mv = cross(nv, bc);
  const double along = bond.axial;
  const double across_m = bond.radial * cos_t;
  const double across_n = bond.radial * sin_t;
  Point d;
  for (int k = 0; k < 3; ++k) d[k] = c[k] + along * bc[k] + across_m * mv[k] + across_n * nv[k];
  return d;
}

}  // namespace nerf

// Walks the first `residues` residues (at most phi_psi.size()) and calls
// emit(res_idx, n, ca, c) once per residue, in order. Only the previous
// residue is kept, so the walk itself allocates nothing.
template <class Emit>
void trace_backbone(std::span<const AnglePair> phi_psi, std::size_t residues, Emit&& emit) {
  using namespace nerf;
  if (residues == 0) return;
  const Bond c_bond = Bond::of(kBondCaC, kAngleNCaC);   // C from N, CA
  const Bond n_bond = Bond::of(kBondCN, kAngleCaCN);    // N from CA, C
  const Bond ca_bond = Bond::of(kBondNCa, kAngleCNCa);  // CA from C, N
  // Omega in radians is not exactly pi, so its sine is 1.2246467991473532e-16.
  const double omega = kOmega * kDegToRad;
  const double cos_omega = std::cos(omega), sin_omega = std::sin(omega);

  Point pos_n{0.0, 0.0, 0.0};
  Point pos_ca{kBondNCa, 0.0, 0.0};
  Point pos_c{pos_ca[0] + c_bond.axial, pos_ca[1] + c_bond.radial, pos_ca[2] + 0.0};
  emit(std::uint32_t{0}, pos_n, pos_ca, pos_c);
  for (std::size_t i = 1; i < residues; ++i) {
    const double psi_prev = phi_psi[i - 1][1] * kDegToRad;
    const double phi = phi_psi[i][0] * kDegToRad;
    const Point n = place(pos_n, pos_ca, pos_c, n_bond, std::cos(psi_prev), std::sin(psi_prev));
    const Point ca = place(pos_ca, pos_c, n, ca_bond, cos_omega, sin_omega);
    const Point c = place(pos_c, n, ca, c_bond, std::cos(phi), std::sin(phi));
    pos_n = n;
    pos_ca = ca;
    pos_c = c;
    emit(static_cast<std::uint32_t>(i), pos_n, pos_ca, pos_c);
  }
}

// Chains from this long run ahead; for shorter ones a thread start is not
// worth it.
inline constexpr std::size_t kRunAheadResidues = 2048;

// The same walk and calls for a caller whose own work per residue (building
// output objects, say) outweighs the placement: on long chains the walk runs
// ahead on a helper thread (see run_ahead), so the placement's long chain of
// dependent square roots and divisions costs the caller nothing. consume()
// runs on the calling thread and may throw. Short chains take the plain walk.
template <class Consume>
void trace_backbone_ahead(std::span<const AnglePair> phi_psi, std::size_t residues, Consume&& consume) {
  constexpr std::size_t kBatch = 64;  // residues published to the caller at a time
  if (residues < kRunAheadResidues) {
    trace_backbone(phi_psi, residues, consume);
    return;
  }
  struct Placed {
    Point n, ca, c;
  };
  run_ahead<Placed>(
      residues, kBatch,
      [&](auto&& put) {
        trace_backbone(phi_psi, residues,
                       [&](std::uint32_t, const Point& n, const Point& ca, const Point& c) {
                         put(Placed{n, ca, c});
                       });
      },
      [&](std::size_t i, const Placed& p) { consume(static_cast<std::uint32_t>(i), p.n, p.ca, p.c); });
}

}  // namespace lvx::protein
