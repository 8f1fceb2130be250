// Residue count of a backbone, the backbone as an array, and Ramachandran
// regions.
#include <algorithm>
#include <string>

#include "core/error.hpp"
#include "core/text.hpp"
#include "protein/protein.hpp"
#include "protein/trace.hpp"

namespace lvx::protein {

std::size_t backbone_residues(std::string_view sequence, std::span<const AnglePair> phi_psi) {
  if (sequence.empty()) panic("build_backbone: sequence must be non-empty");
  // A chain cut short for want of angles would look like a whole one.
  const std::size_t residues = code_point_count(sequence);
  if (phi_psi.size() < residues)
    fail("build_backbone: fewer phi/psi pairs than residues (" + std::to_string(phi_psi.size()) + " < " +
         std::to_string(residues) + ")");
  return residues;
}

Array<double> backbone_array(std::string_view sequence, std::span<const AnglePair> phi_psi) {
  const std::size_t residues = backbone_residues(sequence, phi_psi);
  Array<double> out({3 * residues, 3});
  double* row = out.data();
  trace_backbone(phi_psi, residues, [&](std::uint32_t, const Point& n, const Point& ca, const Point& c) {
    for (const Point* atom : {&n, &ca, &c}) row = std::copy(atom->begin(), atom->end(), row);
  });
  return out;
}

std::string_view ramachandran_region(double phi, double psi) {
  if (phi >= -100.0 && phi <= -30.0 && psi >= -80.0 && psi <= -10.0) return "alpha_helix";
  if (phi >= -180.0 && phi <= -90.0 && psi >= 90.0 && psi <= 180.0) return "beta_sheet";
  if (phi >= 30.0 && phi <= 90.0 && psi >= 0.0 && psi <= 90.0) return "left_alpha";
  if (phi >= -90.0 && phi <= -30.0 && psi >= 110.0 && psi <= 180.0) return "polyproline_ii";
  return "other";
}

}  // namespace lvx::protein
