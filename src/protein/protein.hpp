// Protein geometry: backbone placement from dihedral angles, Ramachandran
// region classification and the Kabsch RMSD between point sets.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/array.hpp"
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

// The backbone as one array: [3 * residues][3], the N, CA and C atoms of each
// residue in turn, in ångström; the coordinates trace_backbone() places.
// Residues and errors as backbone_residues().
Array<double> backbone_array(std::string_view sequence, std::span<const AnglePair> phi_psi);

// "alpha_helix", "beta_sheet", "left_alpha", "polyproline_ii" or "other".
std::string_view ramachandran_region(double phi_deg, double psi_deg);

// RMSD after the optimal proper superposition of `b` onto `a`. Unequal sizes
// or no points are operation errors. Non-finite input gives NaN.
double kabsch_rmsd(std::span<const Point> a, std::span<const Point> b);

// The proper rigid motion that brings `a` closest to `b` in the weighted
// least-squares sense: fitted[i] = rotation * a[i] + translation.
struct Superposition {
  double rmsd = 0.0;                 // weighted RMSD between fitted and b
  std::array<double, 9> rotation{};  // row-major 3 x 3
  Point translation{};
  Array<double> fitted;  // [N][3]
};

// Kabsch superposition of `a` onto `b`, each point weighted by weights[i]
// (all 1 when absent). Without weights the RMSD is kabsch_rmsd(a, b) exactly.
// Two empty sets give the identity with RMSD 0. Throws OpError for sets of
// unequal sizes, for weights that are not one finite non-negative number per
// point, and for weights that sum to 0. Non-finite coordinates give NaN
// throughout.
Superposition superpose(std::span<const Point> a, std::span<const Point> b,
                        std::optional<std::span<const double>> weights);

// Looks `name` up exactly in the registry and reads the (phi, psi) of each
// element of the datasheet's residue list ("residues", else "Residues"; 0
// where an angle is not a number). Its backbone has one residue per element.
// Errors: entry not found, no residue array.
std::vector<AnglePair> residues_of_entry(std::string_view name);

}  // namespace lvx::protein
