// The process-wide datasheet registry and its parallel load.
//
// Twelve tiers, each a TierMap from entry name to an immutable datasheet
// value. Values are shared read-only (shared_ptr<const Json>): a reader keeps
// its entry alive while it works, and a save replaces the pointer, never the
// value, so nothing a reader holds changes under it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/json.hpp"

namespace lvx::data_loader {

inline constexpr std::size_t kTierCount = 12;
inline constexpr std::array<std::string_view, kTierCount> TIER_NAMES = {
    "subatomic",  "atom",    "molecule", "alloy",          "ceramic",      "composite",
    "amino_acid", "protein", "cell",     "cell_component", "nucleic_acid", "biomaterial"};

// One tier (0..11) or all tiers (12).
struct Scope {
  std::size_t index = kTierCount;
  bool all() const noexcept { return index >= kTierCount; }
  static Scope all_tiers() noexcept { return Scope{kTierCount}; }
};

using EntryPtr = std::shared_ptr<const Json>;

// What the named lookup needs of an entry, worked out once when it is stored.
struct EntryNames {
  std::string key_lower;
  bool has_symbol = false;
  std::string symbol, symbol_lower;
  std::vector<std::string> aliases, aliases_lower;
  static EntryNames of(std::string_view key, const Json& value);
};

// Entry name -> value, with the name indices the lookup passes use. Guarded
// by its own reader-writer lock; every get and insert is atomic per key.
// Where several entries match one index key, the smallest entry name wins, so
// lookups never depend on hashing or insertion order. The indices are built on
// the first lookup that needs them and kept up to date from then on, so the
// bulk load at import only fills the map.
class TierMap {
 public:
  // An entry found by a name, with the key it is stored under; empty (no
  // value) when nothing matched.
  struct Found {
    std::string key;
    EntryPtr value;
    explicit operator bool() const noexcept { return value != nullptr; }
  };

  EntryPtr get(std::string_view key) const;
  // Inserts or replaces; returns the displaced value (null when none).
  EntryPtr insert(std::string key, EntryPtr value, EntryNames names);
  EntryPtr insert(std::string key, EntryPtr value);

  Found find_key_lower(const std::string& lower) const;
  Found find_symbol(const std::string& symbol) const;
  Found find_symbol_lower(const std::string& lower) const;
  Found find_alias(const std::string& alias) const;
  Found find_alias_lower(const std::string& lower) const;

  // Every key, in byte order.
  std::vector<std::string> keys() const;
  // Appends every name the lookup answers to exactly: each key, symbol and
  // alias, as stored.
  void append_names(std::vector<std::string>& out) const;

 private:
  using Index = std::unordered_map<std::string, std::vector<std::string>>;
  struct Slot {
    EntryPtr value;
    EntryNames names;
  };
  Found first_of(const Index& index, const std::string& k) const;
  void index_add(const std::string& key, const EntryNames& n);
  void index_remove(const std::string& key, const EntryNames& n);
  void ensure_indexed() const;

  mutable std::shared_mutex mu_;
  mutable std::atomic<bool> indexed_{false};
  std::unordered_map<std::string, Slot> map_;
  mutable Index by_key_lower_, by_symbol_, by_symbol_lower_, by_alias_, by_alias_lower_;
};

// The registry DATA: one reader-writer lock around the twelve tiers. Readers
// and writers take it shared; the tier maps' own locks make each access safe.
class Registry {
 public:
  std::shared_lock<std::shared_mutex> read_lock() const { return std::shared_lock(mu_); }
  TierMap& tier(std::size_t index) { return tiers_[index]; }
  const TierMap& tier(std::size_t index) const { return tiers_[index]; }
  // Exact-name lookup over the tiers in canonical order; null when absent.
  EntryPtr find_exact(std::string_view name) const;

 private:
  mutable std::shared_mutex mu_;
  std::array<TierMap, kTierCount> tiers_;
};

// The process-wide registry, created (with twelve empty tiers) on first use.
Registry& DATA();

// Why the load passes over a file of this name in a tier folder (the
// extension is not exactly "json", or the stem is not UTF-8); nullopt when
// the name is taken, its stem becoming the entry's key.
std::optional<std::string> file_name_fault(std::string_view name);

// Reads one datasheet file as the load does: a regular file (links followed)
// holding exactly one JSON document. Returns the document, or nullopt with
// `why` set to the reason the load skips the file.
std::optional<Json> read_datasheet(const std::string& path, std::string& why);

// The load's whole verdict on the file at `path` as an entry of a tier
// folder, its name first, then its contents: nullopt when the load would store
// it, else the reason it skips it.
std::optional<std::string> check_datasheet(const std::string& path);

// Fills DATA from root/<tier>/<name>.json. Throws OpError when root is
// missing (a path holding a NUL included) or not a folder; unreadable or
// invalid files are skipped.
void load_all_tiers(const std::string& root);

}  // namespace lvx::data_loader
