// Field models and point sampling.
#pragma once

#include "core/json.hpp"
#include "loader/data_loader.hpp"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lvx::sample {

using Point = std::array<double, 3>;

// A spatial property model. Stateless and shared by every thread.
class FieldModel {
public:
  virtual ~FieldModel() = default;
  // The property's value at `at` (or overall when absent) seen at scale
  // `scale_m`. Throws OpError with the model's message.
  virtual double evaluate(const Json& entry, std::string_view property, const std::optional<Point>& at,
                          std::optional<double> scale_m) const = 0;
};

// Registers the built-in "voronoi" model once per process.
void ensure_default_models_registered();
// The model registered under `name`, or null.
std::shared_ptr<const FieldModel> find_model(std::string_view name);

// The value of `property` of the entry `name` at `at`. Throws OpError with the
// lookup or model message.
double sample(std::string_view name, std::string_view property, const std::optional<Point>& at,
              std::optional<double> scale_m);

// An entry and its field model resolved once, for callers that sample the same
// entry at many points (property fields of the exporters, the Fourier bake).
// Works on the registry's shared read-only value: no copy per sample. Gives
// exactly the value `sample` gives for the same arguments.
class ResolvedEntry {
public:
  // Throws the lookup error of `sample` when no entry is named `name`.
  static ResolvedEntry resolve(std::string_view name);
  // Throws OpError like `sample`.
  double sample(std::string_view property, const std::optional<Point>& at, std::optional<double> scale_m) const;
  // nullopt where `sample` would fail; builds no message on that path.
  std::optional<double> try_sample(std::string_view property, const Point& at, double scale_m) const noexcept;
  const Json& entry() const noexcept { return *entry_; }

private:
  data_loader::EntryPtr entry_;
  std::shared_ptr<const FieldModel> model_;
};

}  // namespace lvx::sample
