// The residue angles of a protein datasheet from the registry.
#include <string>

#include "core/error.hpp"
#include "core/json.hpp"
#include "loader/data_loader.hpp"
#include "protein/protein.hpp"

namespace lvx::protein {
namespace {

double angle_of(const Json& element, std::string_view key) {
  const Json* v = member(element, key);
  if (v == nullptr) return 0.0;
  return as_number(*v).value_or(0.0);
}

}  // namespace

std::vector<AnglePair> residues_of_entry(std::string_view name) {
  if (name.empty()) panic("build_backbone_from_entry: name must be non-empty");
  // The lookup takes the registry lock; the entry it returns is immutable.
  const data_loader::EntryPtr entry = data_loader::DATA().find_exact(name);
  if (!entry) fail("build_backbone_from_entry: entry '" + std::string(name) + "' not found");

  const Json* residues = member(*entry, "residues");
  if (residues == nullptr) residues = member(*entry, "Residues");
  if (residues == nullptr || !residues->is_array())
    fail("build_backbone_from_entry: entry '" + std::string(name) + "' has no 'residues' array");

  std::vector<AnglePair> phi_psi;
  phi_psi.reserve(residues->size());
  for (const Json& element : *residues)
    phi_psi.push_back({angle_of(element, "phi"), angle_of(element, "psi")});
  return phi_psi;
}

}  // namespace lvx::protein
