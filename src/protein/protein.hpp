// Protein geometry: backbone placement from dihedral angles, Ramachandran
// region classification and the Kabsch RMSD between point sets.
#pragma once

#include <Eigen/Dense>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace lvx::protein {

using Vec3 = std::array<double, 3>;

// One backbone heavy atom. `name` points at a static literal ("N", "CA" or
// "C"); `residue` is the residue's one-letter code as a code point.
struct BackboneAtom {
  std::string_view name;
  char32_t residue = U'X';
  Vec3 position{};
  std::uint32_t res_idx = 0;
};

// (phi, psi) in degrees.
using AnglePair = std::array<double, 2>;

// Builds N, CA, C of every residue with ideal bond lengths and angles and
// trans peptide bonds, one residue per code point of `sequence` (UTF-8);
// surplus angle pairs are ignored. An empty sequence is a programming error
// (Panic); fewer pairs than residues throws OpError "build_backbone: fewer
// phi/psi pairs than residues ({pairs} < {residues})".
std::vector<BackboneAtom> build_backbone(std::string_view sequence, std::span<const AnglePair> phi_psi);

// With the sequence already split into code points (a datasheet's residue
// list, one pair per residue); the residue count is the smaller of the two
// lengths.
std::vector<BackboneAtom> build_backbone(std::span<const char32_t> sequence,
                                         std::span<const AnglePair> phi_psi);

// The residue count build_backbone() uses for these arguments, with the same
// precondition. trace_backbone() (protein/trace.hpp) walks that many
// residues without storing the chain.
std::size_t backbone_residues(std::string_view sequence, std::span<const AnglePair> phi_psi);

// "alpha_helix", "beta_sheet", "left_alpha", "polyproline_ii" or "other".
std::string_view ramachandran_region(double phi_deg, double psi_deg);

// Row-major point matrix: one point per row.
using PointMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// RMSD after the optimal proper superposition of `b` onto `a`. Both must be
// N x 3 (Panic otherwise); unequal shapes or N = 0 are operation errors.
// Non-finite input gives NaN.
double kabsch_rmsd(const PointMatrix& a, const PointMatrix& b);

}  // namespace lvx::protein

namespace lvx::protein {

// A datasheet's residue list: one-letter codes and their (phi, psi).
struct ResidueChain {
  std::vector<char32_t> sequence;
  std::vector<AnglePair> phi_psi;
};

// Looks `name` up exactly in the registry and reads the datasheet's residue
// list ("residues", else "Residues"): each element gives its "residue" letter
// (first code point, "X" when missing) and its "phi" and "psi" (0 when not
// numbers). Errors: entry not found, no residue array.
ResidueChain residues_of_entry(std::string_view name);

// The backbone of that residue list (no atoms for an empty list).
std::vector<BackboneAtom> build_backbone_from_entry(std::string_view name);

}  // namespace lvx::protein
