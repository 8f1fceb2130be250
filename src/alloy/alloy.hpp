// Alloy optimiser: seeded random search for small additions to a base element
// whose estimated properties meet a set of targets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lvx::alloy {

struct AlloyTarget {
  std::string property;
  std::optional<double> min_value;
  std::optional<double> max_value;
  double weight = 1.0;
};

// Maps are kept as (key, value) lists without duplicate keys. The composition
// lists the base element first, then the alloying elements in order of
// choice; the estimate lists each property where it is first met while
// walking the composition in that order and each element's "Properties" in
// key order.
struct AlloyCandidate {
  std::vector<std::pair<std::string, double>> composition;
  std::vector<std::pair<std::string, double>> estimated_properties;
  double score = 0.0;
};

inline constexpr const char* kDefaultPool[] = {"Cr", "Ni", "Mn", "Si", "Cu", "Mo"};

// Draws `n_candidates` compositions around `base` (from `pool`, or the
// default pool when it is empty), keeps those meeting every target and
// returns the best `top_k`, highest score first, ties in draw order, NaN
// scores after all others. Throws OpError for missing targets or base name
// and, before drawing, for a base or caller-given pool name that is no
// registry key and for a target whose property is empty or carried by no
// element; Panic when an unseeded call cannot read entropy.
std::vector<AlloyCandidate> optimize_alloy(const std::vector<AlloyTarget>& targets, std::string_view base,
                                           const std::vector<std::string>& pool, std::uint64_t n_candidates,
                                           std::uint64_t top_k, std::optional<std::uint64_t> seed);

}  // namespace lvx::alloy
