// Named lookup, braces formulas and the registry operations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "loader/data_loader.hpp"

namespace lvx::get {

using data_loader::EntryPtr;
using data_loader::Scope;

// Tier name as callers write it: full Unicode lower-casing, trailing "s"
// removed repeatedly, then one of the twelve names or "subatom"; anything else
// means all tiers.
Scope str_to_scope(std::string_view text);

// The lookup errors, with their fixed messages.
struct GetError {
  static std::string unknown_name(std::string_view name) { return "unknown name: " + std::string(name); }
  static std::string invalid_formula(std::string_view formula) {
    return "invalid formula: " + std::string(formula);
  }
};

// By exact key, key in any case, exact symbol, symbol in any case, exact alias
// and alias in any case, each pass over every tier of the scope in canonical
// order. Throws OpError "unknown name: {}".
EntryPtr resolve_named(std::string_view name, Scope scope);

// The entry resolve_named finds, with where it is stored.
struct Resolved {
  std::size_t tier;  // index into TIER_NAMES
  std::string key;
  EntryPtr value;
};
// resolve_named, telling where the entry is stored. Panics on an empty name.
Resolved resolve_entry(std::string_view name, Scope scope);

// The keys of the tiers of the scope: tier by tier in canonical order, each
// tier's in byte order.
std::vector<std::string> tier_keys(Scope scope);

// Every name the lookup answers to exactly in the tiers of the scope (keys,
// symbols and aliases), sorted and without repeats: the candidates for a
// suggestion when a name is not found.
std::vector<std::string> known_names(Scope scope);

struct FormulaPart {
  std::string name;
  std::uint32_t count;
};
// Parses "{A=2, B=1}"; `formula` is the caller's untouched text.
std::vector<FormulaPart> parse_formula(std::string_view formula);
// Sums the constituents' numeric members weighted by their counts.
Json resolve_formula(std::string_view formula);

// py_get without the interpreter: formula or named lookup.
EntryPtr get(std::string_view query, Scope scope);

// Stores `data_json` under `name` in the tier `tier_str`; returns the value it
// displaced (null when none).
EntryPtr save(std::string_view name, std::string_view data_json, std::string_view tier_str);

// Tier names in the registry's walk order.
std::vector<std::string> list_tiers();

}  // namespace lvx::get
