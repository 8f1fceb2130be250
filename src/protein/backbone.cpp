// Backbone placement by the natural extension reference frame.
#include <algorithm>
#include <string>

#include "core/error.hpp"
#include "core/text.hpp"
#include "protein/protein.hpp"
#include "protein/trace.hpp"

namespace lvx::protein {
namespace {

constexpr std::string_view kNameN = "N";
constexpr std::string_view kNameCA = "CA";
constexpr std::string_view kNameC = "C";

std::vector<BackboneAtom> collect(std::span<const char32_t> sequence, std::span<const AnglePair> phi_psi,
                                  std::size_t residues) {
  std::vector<BackboneAtom> atoms;
  atoms.reserve(3 * residues);
  trace_backbone(phi_psi, residues, [&](std::uint32_t i, const Vec3& n, const Vec3& ca, const Vec3& c) {
    const char32_t code = sequence[i];
    atoms.push_back({kNameN, code, n, i});
    atoms.push_back({kNameCA, code, ca, i});
    atoms.push_back({kNameC, code, c, i});
  });
  return atoms;
}

}  // namespace

std::size_t backbone_residues(std::string_view sequence, std::span<const AnglePair> phi_psi) {
  if (sequence.empty()) panic("build_backbone: sequence must be non-empty");
  // A chain cut short for want of angles would look like a whole one.
  const std::size_t residues = code_point_count(sequence);
  if (phi_psi.size() < residues)
    fail("build_backbone: fewer phi/psi pairs than residues (" + std::to_string(phi_psi.size()) + " < " +
         std::to_string(residues) + ")");
  return residues;
}

std::vector<BackboneAtom> build_backbone(std::span<const char32_t> sequence,
                                         std::span<const AnglePair> phi_psi) {
  if (sequence.empty()) panic("build_backbone: sequence must be non-empty");
  return collect(sequence, phi_psi, std::min(sequence.size(), phi_psi.size()));
}

std::vector<BackboneAtom> build_backbone(std::string_view sequence, std::span<const AnglePair> phi_psi) {
  const std::size_t residues = backbone_residues(sequence, phi_psi);
  const std::vector<char32_t> codes = code_points(sequence);
  return collect(codes, phi_psi, residues);
}

std::string_view ramachandran_region(double phi, double psi) {
  if (phi >= -100.0 && phi <= -30.0 && psi >= -80.0 && psi <= -10.0) return "alpha_helix";
  if (phi >= -180.0 && phi <= -90.0 && psi >= 90.0 && psi <= 180.0) return "beta_sheet";
  if (phi >= 30.0 && phi <= 90.0 && psi >= 0.0 && psi <= 90.0) return "left_alpha";
  if (phi >= -90.0 && phi <= -30.0 && psi >= 110.0 && psi <= 180.0) return "polyproline_ii";
  return "other";
}

}  // namespace lvx::protein
