// Protein geometry: backbone placement from dihedral angles, Ramachandran
// region classification and the Kabsch RMSD between point sets.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/geometry.hpp"

namespace lvx::protein {

// (phi, psi) in degrees.
using AnglePair = std::array<double, 2>;

// The residue count of a backbone built from `sequence` (UTF-8, one residue
// per code point) and `phi_psi`: the sequence's code point count, surplus
// angle pairs being ignored. An empty sequence is a programming error
// (Panic); fewer pairs than residues throws OpError "build_backbone: fewer
// phi/psi pairs than residues ({pairs} < {residues})". trace_backbone()
// (protein/trace.hpp) walks that many residues.
std::size_t backbone_residues(std::string_view sequence, std::span<const AnglePair> phi_psi);

// "alpha_helix", "beta_sheet", "left_alpha", "polyproline_ii" or "other".
std::string_view ramachandran_region(double phi_deg, double psi_deg);

// RMSD after the optimal proper superposition of `b` onto `a`. Unequal sizes
// or no points are operation errors. Non-finite input gives NaN.
double kabsch_rmsd(std::span<const Point> a, std::span<const Point> b);

// Looks `name` up exactly in the registry and reads the (phi, psi) of each
// element of the datasheet's residue list ("residues", else "Residues"; 0
// where an angle is not a number). Its backbone has one residue per element.
// Errors: entry not found, no residue array.
std::vector<AnglePair> residues_of_entry(std::string_view name);

}  // namespace lvx::protein
