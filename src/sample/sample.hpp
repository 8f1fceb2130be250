// Field models and point sampling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry.hpp"
#include "core/json.hpp"
#include "loader/data_loader.hpp"
#include "sample/phase_hash.hpp"

namespace lvx::sample {

// The entry stored under exactly `name` (no case folding, symbols, aliases or
// formulas), first hit over the tiers in canonical order. The value is shared
// read-only. Throws OpError "sample::lookup_entry: no datasheet found for '{}'".
data_loader::EntryPtr lookup_entry(std::string_view name);

// A spatial property model. Stateless and shared by every thread.
class FieldModel {
 public:
  virtual ~FieldModel() = default;
  // The property's value at `at` (or overall when absent) seen at scale
  // `scale_m`. Throws OpError with the model's message.
  virtual double evaluate(const Json& entry, std::string_view property, const std::optional<Point>& at,
                          std::optional<double> scale_m) const = 0;
};

// The built-in multi-phase model: the volume-weighted average over the phases
// at coarse scale or without a point, otherwise the property of the phase
// picked for the point's hashed cell.
class PTVoronoiPhaseModel final : public FieldModel {
 public:
  double evaluate(const Json& entry, std::string_view property, const std::optional<Point>& at,
                  std::optional<double> scale_m) const override;
};

// Model name -> shared model. Readers and writers may run on any thread.
class FieldModelRegistry {
 public:
  // Inserts or replaces.
  void insert(std::string name, std::shared_ptr<const FieldModel> model);
  std::shared_ptr<const FieldModel> find(std::string_view name) const;

 private:
  mutable std::shared_mutex mu_;
  std::map<std::string, std::shared_ptr<const FieldModel>, std::less<>> map_;
};

// The process-wide model registry, created empty on first use.
FieldModelRegistry& FIELD_MODELS();

// Registers the built-in "voronoi" model once per process.
void ensure_default_models_registered();

// ---------------------------------------------------------------- phase pick

// The phase fraction list of an entry (the numeric members of
// "phase_volume_fractions", in key order) with its running sums, built once
// for any number of picks.
class PhaseFractions {
 public:
  // nullopt when no pick can succeed; builds no message.
  static std::optional<PhaseFractions> of(const Json& entry);

  // Index (into names()) of the phase for a cell hash.
  std::size_t pick_hash(std::uint64_t h) const noexcept {
    // h to the nearest double without the sign-bit branch of an unsigned
    // conversion: both halves convert exactly and their sum rounds once.
    const double hd = static_cast<double>(static_cast<std::uint32_t>(h >> 32)) * 0x1p32 +
                      static_cast<double>(static_cast<std::uint32_t>(h));
    double u = hd * 0x1p-64;
    if (u > 1.0) u = 1.0;
    const double t = total_ * u;
    const std::size_t n = running_.size();
    if (monotone_) {
      // The phases whose running sum reaches t form a suffix: count the rest
      // without a data-dependent branch. A NaN t reaches none: the last phase.
      std::size_t below = 0;
      for (std::size_t i = 0; i < n; ++i) below += !(running_[i] >= t);
      return below < n ? below : n - 1;
    }
    for (std::size_t i = 0; i < n; ++i)
      if (running_[i] >= t) return i;
    return n - 1;
  }
  // Index of the phase for the cell that holds `at`.
  std::size_t pick(const Point& at, double cell_size) const noexcept {
    return pick_hash(
        cell_hash(cell_index(at[0], cell_size), cell_index(at[1], cell_size), cell_index(at[2], cell_size)));
  }

  const std::vector<std::string>& names() const noexcept { return names_; }

 private:
  std::vector<std::string> names_;
  std::vector<double> running_;  // running sums, added left to right from zero
  double total_ = 0.0;
  bool monotone_ = false;  // running sums non-decreasing, none NaN
};

// ---------------------------------------------------------------- sampling

// How the samples of one entry are found, decided when it is resolved.
struct SamplingPlan;

// py_sample without the interpreter: the value of `property` of the entry
// `name` at `at`. Panics on an empty name or property; throws OpError with the
// lookup or model message.
double sample(std::string_view name, std::string_view property, const std::optional<Point>& at,
              std::optional<double> scale_m);

// py_data_sheet without the interpreter: the entry stored under exactly
// `name` (lookup_entry). Panics on an empty name.
data_loader::EntryPtr data_sheet(std::string_view name);

// An entry resolved once, with the way its samples are found, for callers
// that sample the same entry at many points (property fields of the
// exporters, the Fourier bake). Works on the registry's shared read-only
// value: no copy per sample. Gives exactly the value `sample` gives for the
// same arguments.
class ResolvedEntry {
 public:
  // Throws the lookup error of `sample` when no entry is named `name`.
  static ResolvedEntry resolve(std::string_view name);
  // An entry already looked up.
  static ResolvedEntry of(data_loader::EntryPtr entry);
  // Throws OpError like `sample`.
  double sample(std::string_view property, const std::optional<Point>& at,
                std::optional<double> scale_m) const;

 private:
  friend class PropertySampler;
  // nullopt where `sample` would fail; builds no message on that path.
  std::optional<double> try_sample(std::string_view property, const Point& at, double scale_m) const noexcept;

  data_loader::EntryPtr entry_;
  std::shared_ptr<const SamplingPlan> plan_;
};

// One property of a resolved entry at one fixed scale, prepared for sampling
// at many points. at(p) gives exactly the value `sample` gives at p, or
// nullopt where it fails. Keeps the entry alive.
class PropertySampler {
 public:
  PropertySampler(const ResolvedEntry& entry, std::string_view property, double scale_m);

  std::optional<double> at(const Point& p) const noexcept;
  // Throws the OpError that sampling at p gives, for a caller that found at(p)
  // empty and needs the message after all (at() never builds one).
  [[noreturn]] void raise_at(const Point& p) const;

  // The same value at every point.
  bool is_constant() const noexcept { return kind_ == Kind::constant; }
  std::optional<double> constant() const noexcept { return constant_; }
  // The value depends only on the picked phase of the cell of size
  // cell_size(): phase_value(i) for names()[i] of fractions().
  bool is_per_phase() const noexcept { return kind_ == Kind::per_phase; }
  double cell_size() const noexcept { return cell_; }
  const PhaseFractions& fractions() const noexcept { return *fractions_; }
  std::optional<double> phase_value(std::size_t i) const noexcept { return per_phase_[i]; }

 private:
  enum class Kind { constant, per_phase, general };
  ResolvedEntry entry_;
  std::string property_;
  double scale_ = 0.0;
  Kind kind_ = Kind::general;
  std::optional<double> constant_;
  double cell_ = 0.0;
  const PhaseFractions* fractions_ = nullptr;  // per_phase: owned by the entry's plan
  std::vector<std::optional<double>> per_phase_;
};

}  // namespace lvx::sample
