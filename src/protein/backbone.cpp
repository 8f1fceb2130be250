// Residue count of a backbone, and Ramachandran regions.
#include <string>

#include "core/error.hpp"
#include "core/text.hpp"
#include "protein/protein.hpp"

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

std::string_view ramachandran_region(double phi, double psi) {
  if (phi >= -100.0 && phi <= -30.0 && psi >= -80.0 && psi <= -10.0) return "alpha_helix";
  if (phi >= -180.0 && phi <= -90.0 && psi >= 90.0 && psi <= 180.0) return "beta_sheet";
  if (phi >= 30.0 && phi <= 90.0 && psi >= 0.0 && psi <= 90.0) return "left_alpha";
  if (phi >= -90.0 && phi <= -30.0 && psi >= 110.0 && psi <= 180.0) return "polyproline_ii";
  return "other";
}

}  // namespace lvx::protein
