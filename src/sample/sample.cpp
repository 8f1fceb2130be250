#include "sample/sample.hpp"

#include <cmath>
#include <limits>

#include "core/error.hpp"
#include "sample/lookup.hpp"

namespace lvx::sample {

namespace {

// Every failure of the sampling steps, so that the hot paths can report one
// without building its message.
enum class Fault {
  none,
  missing_top,         // "sample: property '{}' missing or non-numeric"
  no_fractions,        // "voronoi sample: entry missing 'phase_volume_fractions'
                       // object"
  empty_fractions,     // "voronoi sample: phase_volume_fractions is empty"
  no_numeric,          // "voronoi sample: no numeric phase fractions"
  total_not_positive,  // "voronoi sample: total phase volume must be > 0"
  no_phase_props,      // "voronoi sample: entry missing 'phase_properties' object"
  no_phase,            // "voronoi sample: no properties for phase '{}'"
  no_phase_value,      // "voronoi sample: phase '{}' missing numeric '{}'"
};

[[noreturn]] void raise(Fault f, std::string_view phase, std::string_view property) {
  switch (f) {
    case Fault::missing_top:
      fail("sample: property '" + std::string(property) + "' missing or non-numeric");
    case Fault::no_fractions:
      fail("voronoi sample: entry missing 'phase_volume_fractions' object");
    case Fault::empty_fractions:
      fail("voronoi sample: phase_volume_fractions is empty");
    case Fault::no_numeric:
      fail("voronoi sample: no numeric phase fractions");
    case Fault::total_not_positive:
      fail("voronoi sample: total phase volume must be > 0");
    case Fault::no_phase_props:
      fail("voronoi sample: entry missing 'phase_properties' object");
    case Fault::no_phase:
      fail("voronoi sample: no properties for phase '" + std::string(phase) + "'");
    case Fault::no_phase_value:
      fail("voronoi sample: phase '" + std::string(phase) + "' missing numeric '" + std::string(property) +
           "'");
    case Fault::none:
      break;
  }
  panic("sample: unexpected fault");
}

struct Outcome {
  double value = 0.0;
  Fault fault = Fault::none;
  std::string_view phase;  // the phase a phase fault names
};

Outcome direct_read(const Json& entry, std::string_view property) noexcept {
  if (const Json* v = member(entry, property))
    if (auto n = as_number(*v)) return {*n, Fault::none, {}};
  return {0.0, Fault::missing_top, {}};
}

Outcome read_phase_value(const Json& entry, std::string_view phase, std::string_view property) noexcept {
  const Json* props = member(entry, "phase_properties");
  if (props == nullptr || !props->is_object()) return {0.0, Fault::no_phase_props, phase};
  const Json* of_phase = member(*props, phase);
  if (of_phase == nullptr || !of_phase->is_object()) return {0.0, Fault::no_phase, phase};
  if (const Json* v = member(*of_phase, property))
    if (auto n = as_number(*v)) return {*n, Fault::none, phase};
  return {0.0, Fault::no_phase_value, phase};
}

Outcome weighted_average(const Json& entry, std::string_view property) noexcept {
  const Json* fr = member(entry, "phase_volume_fractions");
  if (fr != nullptr && fr->is_object()) {
    double weight = 0.0, acc = 0.0;
    for (const auto& [phase, value] : fr->get_ref<const Json::object_t&>()) {
      const auto f = as_number(value);
      if (!f || !(*f > 0.0)) continue;
      const Outcome v = read_phase_value(entry, phase, property);
      if (v.fault != Fault::none) return v;
      weight += *f;
      acc += *f * v.value;
    }
    if (weight > 0.0) return {acc / weight, Fault::none, {}};
  }
  return direct_read(entry, property);
}

double value_or_raise(const Outcome& o, std::string_view property) {
  if (o.fault != Fault::none) raise(o.fault, o.phase, property);
  return o.value;
}

// Cell size of a point pick: `scale_m` when it is a usable length, else 1 mm.
double pick_cell(std::optional<double> scale_m) noexcept {
  if (scale_m && std::isfinite(*scale_m) && *scale_m > 0.0) return *scale_m;
  return 0.001;
}

bool is_coarse(std::optional<double> scale_m) noexcept {
  return scale_m && std::isfinite(*scale_m) && *scale_m >= 0.01;
}

Fault build_fractions(const Json& entry, std::vector<std::string>& names, std::vector<double>& running,
                      double& total) {
  const Json* fr = member(entry, "phase_volume_fractions");
  if (fr == nullptr || !fr->is_object()) return Fault::no_fractions;
  const auto& obj = fr->get_ref<const Json::object_t&>();
  if (obj.empty()) return Fault::empty_fractions;
  // Object members are kept in byte order, so key order is already the
  // sorted order of the list.
  double sum = 0.0;
  for (const auto& [phase, value] : obj) {
    const auto f = as_number(value);
    if (!f) continue;
    sum += *f;
    names.push_back(phase);
    running.push_back(sum);
  }
  if (names.empty()) return Fault::no_numeric;
  if (!(sum > 0.0)) return Fault::total_not_positive;
  total = sum;
  return Fault::none;
}

bool non_decreasing(const std::vector<double>& v) noexcept {
  for (std::size_t i = 0; i < v.size(); ++i)
    if (std::isnan(v[i]) || (i > 0 && v[i] < v[i - 1])) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- registry

void FieldModelRegistry::insert(std::string name, std::shared_ptr<const FieldModel> model) {
  std::unique_lock lock(mu_);
  map_.insert_or_assign(std::move(name), std::move(model));
}

std::shared_ptr<const FieldModel> FieldModelRegistry::find(std::string_view name) const {
  std::shared_lock lock(mu_);
  auto it = map_.find(name);
  return it == map_.end() ? nullptr : it->second;
}

FieldModelRegistry& FIELD_MODELS() {
  static FieldModelRegistry registry;
  return registry;
}

std::once_flag REGISTERED;

void ensure_default_models_registered() {
  std::call_once(REGISTERED,
                 [] { FIELD_MODELS().insert("voronoi", std::make_shared<const PTVoronoiPhaseModel>()); });
}

std::shared_ptr<const FieldModel> find_model(std::string_view name) {
  return FIELD_MODELS().find(name);
}

// ---------------------------------------------------------------- phase pick

std::int64_t cell_index(double coord, double cell_size) noexcept {
  const double f = std::floor(coord / cell_size);
  if (std::isnan(f)) return 0;
  if (f >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (f <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

PhaseFractions PhaseFractions::of(const Json& entry) {
  PhaseFractions p;
  const Fault f = build_fractions(entry, p.names_, p.running_, p.total_);
  if (f != Fault::none) raise(f, {}, {});
  p.monotone_ = non_decreasing(p.running_);
  return p;
}

std::optional<PhaseFractions> PhaseFractions::try_of(const Json& entry) noexcept {
  try {
    PhaseFractions p;
    if (build_fractions(entry, p.names_, p.running_, p.total_) != Fault::none) return std::nullopt;
    p.monotone_ = non_decreasing(p.running_);
    return p;
  } catch (...) {
    return std::nullopt;
  }
}

std::size_t PhaseFractions::pick(const Point& at, double cell_size) const noexcept {
  std::uint64_t h = fnv1a_i64(kFnvOffset, cell_index(at[0], cell_size));
  h = fnv1a_i64(h, cell_index(at[1], cell_size));
  h = fnv1a_i64(h, cell_index(at[2], cell_size));
  return pick_hash(h);
}

std::string pick_phase_by_voronoi_hash(const Json& entry, const Point& at, double cell_size) {
  const PhaseFractions p = PhaseFractions::of(entry);
  return p.names()[p.pick(at, cell_size)];
}

double phase_property_lookup(const Json& entry, std::string_view phase, std::string_view property) {
  return value_or_raise(read_phase_value(entry, phase, property), property);
}

double volume_weighted_average(const Json& entry, std::string_view property) {
  return value_or_raise(weighted_average(entry, property), property);
}

double PTVoronoiPhaseModel::evaluate(const Json& entry, std::string_view property,
                                     const std::optional<Point>& at, std::optional<double> scale_m) const {
  if (!at || is_coarse(scale_m)) return volume_weighted_average(entry, property);
  const std::string phase = pick_phase_by_voronoi_hash(entry, *at, pick_cell(scale_m));
  return phase_property_lookup(entry, phase, property);
}

// ---------------------------------------------------------------- sampling

ResolvedEntry ResolvedEntry::resolve(std::string_view name) {
  ensure_default_models_registered();
  ResolvedEntry r;
  r.entry_ = lookup_entry(name);
  const Json* model_name = member(*r.entry_, "phase_model");
  if (model_name != nullptr && model_name->is_string())
    r.model_ = find_model(model_name->get_ref<const std::string&>());
  if (r.model_ && dynamic_cast<const PTVoronoiPhaseModel*>(r.model_.get()) != nullptr) {
    r.voronoi_ = true;
    if (auto p = PhaseFractions::try_of(*r.entry_))
      r.fractions_ = std::make_shared<const PhaseFractions>(std::move(*p));
  }
  return r;
}

double ResolvedEntry::sample(std::string_view property, const std::optional<Point>& at,
                             std::optional<double> scale_m) const {
  // A point pick of the built-in model with fractions that were built at
  // resolve: the model's value without rebuilding them. Every other case
  // (including the fraction error messages) goes through the model.
  if (voronoi_ && fractions_ && at && !is_coarse(scale_m))
    return phase_property_lookup(*entry_, fractions_->names()[fractions_->pick(*at, pick_cell(scale_m))],
                                 property);
  if (model_) return model_->evaluate(*entry_, property, at, scale_m);
  return value_or_raise(direct_read(*entry_, property), property);
}

std::optional<double> ResolvedEntry::try_sample(std::string_view property, const Point& at,
                                                double scale_m) const noexcept {
  Outcome o;
  if (!model_) {
    o = direct_read(*entry_, property);
  } else if (voronoi_) {
    if (is_coarse(scale_m)) {
      o = weighted_average(*entry_, property);
    } else {
      if (!fractions_) return std::nullopt;
      o = read_phase_value(*entry_, fractions_->names()[fractions_->pick(at, pick_cell(scale_m))], property);
    }
  } else {
    try {
      return model_->evaluate(*entry_, property, at, scale_m);
    } catch (...) {
      return std::nullopt;
    }
  }
  if (o.fault != Fault::none) return std::nullopt;
  return o.value;
}

double sample(std::string_view name, std::string_view property, const std::optional<Point>& at,
              std::optional<double> scale_m) {
  if (name.empty()) panic("py_sample: name must be non-empty");
  if (property.empty()) panic("py_sample: property must be non-empty");
  return ResolvedEntry::resolve(name).sample(property, at, scale_m);
}

data_loader::EntryPtr data_sheet(std::string_view name) {
  if (name.empty()) panic("py_data_sheet: name must be non-empty");
  return lookup_entry(name);
}

PropertySampler::PropertySampler(const ResolvedEntry& entry, std::string_view property, double scale_m)
    : entry_(entry), property_(property), scale_(scale_m) {
  const Json& e = *entry_.entry_;
  if (!entry_.model_) {
    kind_ = Kind::constant;
    const Outcome o = direct_read(e, property_);
    if (o.fault == Fault::none) constant_ = o.value;
  } else if (entry_.voronoi_) {
    if (is_coarse(scale_m)) {
      kind_ = Kind::constant;
      const Outcome o = weighted_average(e, property_);
      if (o.fault == Fault::none) constant_ = o.value;
    } else if (!entry_.fractions_) {
      kind_ = Kind::constant;  // every pick fails
    } else {
      kind_ = Kind::per_phase;
      cell_ = pick_cell(scale_m);
      fractions_ = entry_.fractions_;
      per_phase_.reserve(fractions_->names().size());
      for (const std::string& phase : fractions_->names()) {
        const Outcome o = read_phase_value(e, phase, property_);
        per_phase_.push_back(o.fault == Fault::none ? std::optional<double>(o.value) : std::nullopt);
      }
    }
  }
}

std::optional<double> PropertySampler::at(const Point& p) const noexcept {
  switch (kind_) {
    case Kind::constant:
      return constant_;
    case Kind::per_phase:
      return per_phase_[fractions_->pick(p, cell_)];
    case Kind::general:
      break;
  }
  return entry_.try_sample(property_, p, scale_);
}

void PropertySampler::raise_at(const Point& p) const {
  (void)entry_.sample(property_, p, scale_);
  panic("sample: a sample that failed succeeded when repeated");
}

}  // namespace lvx::sample
