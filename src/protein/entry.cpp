// Backbone of a protein datasheet from the registry.
#include <string>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "loader/data_loader.hpp"
#include "protein/protein.hpp"

namespace lvx::protein {
namespace {

char32_t residue_letter(const Json& element) {
  const Json* r = member(element, "residue");
  if (r == nullptr || !r->is_string()) return U'X';
  const std::string& s = r->get_ref<const std::string&>();
  if (s.empty()) return U'X';
  // Only the first code point is needed; decode at most one sequence.
  const std::size_t take = std::min<std::size_t>(s.size(), 4);
  const std::vector<char32_t> cps = code_points(std::string_view(s).substr(0, take));
  return cps.empty() ? U'X' : cps.front();
}

double angle_of(const Json& element, std::string_view key) {
  const Json* v = member(element, key);
  if (v == nullptr) return 0.0;
  return as_number(*v).value_or(0.0);
}

}  // namespace

ResidueChain residues_of_entry(std::string_view name) {
  if (name.empty()) panic("build_backbone_from_entry: name must be non-empty");
  // The lookup takes the registry lock; the entry it returns is immutable.
  const data_loader::EntryPtr entry = data_loader::DATA().find_exact(name);
  if (!entry) fail("build_backbone_from_entry: entry '" + std::string(name) + "' not found");

  const Json* residues = member(*entry, "residues");
  if (residues == nullptr) residues = member(*entry, "Residues");
  if (residues == nullptr || !residues->is_array())
    fail("build_backbone_from_entry: entry '" + std::string(name) + "' has no 'residues' array");

  ResidueChain chain;
  chain.sequence.reserve(residues->size());
  chain.phi_psi.reserve(residues->size());
  for (const Json& element : *residues) {
    chain.sequence.push_back(residue_letter(element));
    chain.phi_psi.push_back({angle_of(element, "phi"), angle_of(element, "psi")});
  }
  return chain;
}

std::vector<BackboneAtom> build_backbone_from_entry(std::string_view name) {
  const ResidueChain chain = residues_of_entry(name);
  if (chain.sequence.empty()) return {};
  return build_backbone(std::span<const char32_t>(chain.sequence), std::span<const AnglePair>(chain.phi_psi));
}

}  // namespace lvx::protein
