// Backbone placement by the natural extension reference frame.
#include <cmath>

#include "core/error.hpp"
#include "core/text.hpp"
#include "protein/protein.hpp"

namespace lvx::protein {
namespace {

constexpr double kDegToRad = 0.017453292519943295;

constexpr double kBondNCa = 1.458;
constexpr double kBondCaC = 1.525;
constexpr double kBondCN = 1.329;
constexpr double kAngleNCaC = 111.2;
constexpr double kAngleCaCN = 116.2;
constexpr double kAngleCNCa = 121.7;
constexpr double kOmega = 180.0;

constexpr std::string_view kNameN = "N";
constexpr std::string_view kNameCA = "CA";
constexpr std::string_view kNameC = "C";

Vec3 sub(const Vec3& a, const Vec3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The zero vector stays zero: no division by a zero length.
Vec3 unit(const Vec3& v) {
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

// The torsion enters as its cosine and sine.
Vec3 place(const Vec3& a, const Vec3& b, const Vec3& c, const Bond& bond, double cos_t, double sin_t) {
  const Vec3 bc = unit(sub(c, b));
  const Vec3 nv = unit(cross(sub(b, a), bc));
  const Vec3 mv = cross(nv, bc);
  const double along = bond.axial;
  const double across_m = bond.radial * cos_t;
  const double across_n = bond.radial * sin_t;
  Vec3 d;
  for (int k = 0; k < 3; ++k) d[k] = c[k] + along * bc[k] + across_m * mv[k] + across_n * nv[k];
  return d;
}

}  // namespace

std::vector<BackboneAtom> build_backbone(std::span<const char32_t> sequence,
                                         std::span<const AnglePair> phi_psi) {
  if (sequence.empty()) panic("build_backbone: sequence must be non-empty");
  const std::size_t n = std::min(sequence.size(), phi_psi.size());
  std::vector<BackboneAtom> atoms;
  if (n == 0) return atoms;

  const Bond c_bond = Bond::of(kBondCaC, kAngleNCaC);   // C from N, CA
  const Bond n_bond = Bond::of(kBondCN, kAngleCaCN);    // N from CA, C
  const Bond ca_bond = Bond::of(kBondNCa, kAngleCNCa);  // CA from C, N
  // Omega in radians is not exactly pi, so its sine is 1.2246467991473532e-16.
  const double omega = kOmega * kDegToRad;
  const double cos_omega = std::cos(omega), sin_omega = std::sin(omega);

  std::vector<Vec3> pos_n(n, Vec3{}), pos_ca(n, Vec3{}), pos_c(n, Vec3{});
  pos_n[0] = {0.0, 0.0, 0.0};
  pos_ca[0] = {kBondNCa, 0.0, 0.0};
  pos_c[0] = {pos_ca[0][0] + c_bond.axial, pos_ca[0][1] + c_bond.radial, pos_ca[0][2] + 0.0};

  for (std::size_t i = 1; i < n; ++i) {
    const double psi_prev = phi_psi[i - 1][1] * kDegToRad;
    const double phi = phi_psi[i][0] * kDegToRad;
    pos_n[i] =
        place(pos_n[i - 1], pos_ca[i - 1], pos_c[i - 1], n_bond, std::cos(psi_prev), std::sin(psi_prev));
    pos_ca[i] = place(pos_ca[i - 1], pos_c[i - 1], pos_n[i], ca_bond, cos_omega, sin_omega);
    pos_c[i] = place(pos_c[i - 1], pos_n[i], pos_ca[i], c_bond, std::cos(phi), std::sin(phi));
  }

  atoms.reserve(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto idx = static_cast<std::uint32_t>(i);
    atoms.push_back({kNameN, sequence[i], pos_n[i], idx});
    atoms.push_back({kNameCA, sequence[i], pos_ca[i], idx});
    atoms.push_back({kNameC, sequence[i], pos_c[i], idx});
  }
  return atoms;
}

std::vector<BackboneAtom> build_backbone(std::string_view sequence, std::span<const AnglePair> phi_psi) {
  const std::vector<char32_t> codes = code_points(sequence);
  return build_backbone(std::span<const char32_t>(codes), phi_psi);
}

std::string_view ramachandran_region(double phi, double psi) {
  if (phi >= -100.0 && phi <= -30.0 && psi >= -80.0 && psi <= -10.0) return "alpha_helix";
  if (phi >= -180.0 && phi <= -90.0 && psi >= 90.0 && psi <= 180.0) return "beta_sheet";
  if (phi >= 30.0 && phi <= 90.0 && psi >= 0.0 && psi <= 90.0) return "left_alpha";
  if (phi >= -90.0 && phi <= -30.0 && psi >= 110.0 && psi <= 180.0) return "polyproline_ii";
  return "other";
}

}  // namespace lvx::protein
