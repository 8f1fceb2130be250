#include "sample/sample.hpp"

#include <cmath>
#include <mutex>

#include "core/error.hpp"

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

Outcome phase_property_lookup(const Json& entry, std::string_view phase, std::string_view property) noexcept {
  const Json* props = member(entry, "phase_properties");
  if (props == nullptr || !props->is_object()) return {0.0, Fault::no_phase_props, phase};
  const Json* of_phase = member(*props, phase);
  if (of_phase == nullptr || !of_phase->is_object()) return {0.0, Fault::no_phase, phase};
  if (const Json* v = member(*of_phase, property))
    if (auto n = as_number(*v)) return {*n, Fault::none, phase};
  return {0.0, Fault::no_phase_value, phase};
}

Outcome volume_weighted_average(const Json& entry, std::string_view property) noexcept {
  const Json* fr = member(entry, "phase_volume_fractions");
  if (fr != nullptr && fr->is_object()) {
    double weight = 0.0, acc = 0.0;
    for (const auto& [phase, value] : fr->get_ref<const Json::object_t&>()) {
      const auto f = as_number(value);
      if (!f || !(*f > 0.0)) continue;
      const Outcome v = phase_property_lookup(entry, phase, property);
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

Fault read_fractions(const Json& entry, std::vector<std::string>& names, std::vector<double>& running,
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

// The one instance of the built-in model, which the plans recognise by
// address.
const std::shared_ptr<const PTVoronoiPhaseModel>& builtin_phase_model() {
  static const auto model = std::make_shared<const PTVoronoiPhaseModel>();
  return model;
}

std::once_flag REGISTERED;

// What one sample does, given where and at what scale it is taken.
struct Step {
  enum Kind { direct, average, pick, model } kind;
  double cell = 0.0;  // pick: the cell size
};

}  // namespace

// How the samples of one entry are found, decided once when it is resolved:
// the direct read of the top-level member (no model, or a name no model is
// registered under), the built-in phase model, or another registered model.
struct SamplingPlan {
  enum class Model { none, phases, other };
  Model model = Model::none;
  std::shared_ptr<const FieldModel> other;  // Model::other
  std::optional<PhaseFractions> fractions;  // Model::phases: the pick's list, when a pick can succeed
  Fault pick_fault = Fault::none;           // Model::phases without a list: why none can

  static SamplingPlan of(const Json& entry) {
    const Json* name = member(entry, "phase_model");
    if (name == nullptr || !name->is_string()) return {};
    std::shared_ptr<const FieldModel> found = FIELD_MODELS().find(name->get_ref<const std::string&>());
    if (!found) return {};
    if (found == builtin_phase_model()) return phases(entry);
    SamplingPlan p;
    p.model = Model::other;
    p.other = std::move(found);
    return p;
  }

  static SamplingPlan phases(const Json& entry) {
    SamplingPlan p;
    p.model = Model::phases;
    p.fractions = PhaseFractions::of(entry);
    if (!p.fractions) {
      // Read again only to learn which fault it was; no pick is ever made.
      std::vector<std::string> names;
      std::vector<double> running;
      double total = 0.0;
      p.pick_fault = read_fractions(entry, names, running, total);
    }
    return p;
  }

  Step step(bool at, std::optional<double> scale_m) const noexcept {
    switch (model) {
      case Model::none:
        return {Step::direct};
      case Model::other:
        return {Step::model};
      case Model::phases:
        break;
    }
    if (!at || is_coarse(scale_m)) return {Step::average};
    return {Step::pick, pick_cell(scale_m)};
  }

  // The sample's value or fault for every step but Step::model, which runs
  // the other model instead. `at` matters to Step::pick alone.
  Outcome outcome(const Json& entry, const Step& step, std::string_view property,
                  const Point& at) const noexcept {
    switch (step.kind) {
      case Step::direct:
        return direct_read(entry, property);
      case Step::average:
        return volume_weighted_average(entry, property);
      case Step::pick:
        if (!fractions) return {0.0, pick_fault, {}};
        return phase_property_lookup(entry, fractions->names()[fractions->pick(at, step.cell)], property);
      case Step::model:
        break;
    }
    return {0.0, Fault::none, {}};
  }
};

// ---------------------------------------------------------------- registry

data_loader::EntryPtr lookup_entry(std::string_view name) {
  if (auto e = data_loader::DATA().find_exact(name)) return e;
  fail("sample::lookup_entry: no datasheet found for '" + std::string(name) + "'");
}

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

void ensure_default_models_registered() {
  std::call_once(REGISTERED, [] { FIELD_MODELS().insert("voronoi", builtin_phase_model()); });
}

// ---------------------------------------------------------------- phase pick

std::optional<PhaseFractions> PhaseFractions::of(const Json& entry) {
  PhaseFractions p;
  if (read_fractions(entry, p.names_, p.running_, p.total_) != Fault::none) return std::nullopt;
  p.monotone_ = non_decreasing(p.running_);
  return p;
}

double PTVoronoiPhaseModel::evaluate(const Json& entry, std::string_view property,
                                     const std::optional<Point>& at, std::optional<double> scale_m) const {
  const SamplingPlan plan = SamplingPlan::phases(entry);
  return value_or_raise(
      plan.outcome(entry, plan.step(at.has_value(), scale_m), property, at.value_or(Point{})), property);
}

// ---------------------------------------------------------------- sampling

ResolvedEntry ResolvedEntry::resolve(std::string_view name) {
  return of(lookup_entry(name));
}

ResolvedEntry ResolvedEntry::of(data_loader::EntryPtr entry) {
  ensure_default_models_registered();
  ResolvedEntry r;
  r.entry_ = std::move(entry);
  r.plan_ = std::make_shared<const SamplingPlan>(SamplingPlan::of(*r.entry_));
  return r;
}

double ResolvedEntry::sample(std::string_view property, const std::optional<Point>& at,
                             std::optional<double> scale_m) const {
  const Step step = plan_->step(at.has_value(), scale_m);
  if (step.kind == Step::model) return plan_->other->evaluate(*entry_, property, at, scale_m);
  return value_or_raise(plan_->outcome(*entry_, step, property, at.value_or(Point{})), property);
}

std::optional<double> ResolvedEntry::try_sample(std::string_view property, const Point& at,
                                                double scale_m) const noexcept {
  const Step step = plan_->step(true, scale_m);
  if (step.kind == Step::model) {
    try {
      return plan_->other->evaluate(*entry_, property, at, scale_m);
    } catch (...) {
      return std::nullopt;
    }
  }
  const Outcome o = plan_->outcome(*entry_, step, property, at);
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
  const SamplingPlan& plan = *entry_.plan_;
  const Step step = plan.step(true, scale_m);
  switch (step.kind) {
    case Step::model:
      break;  // Kind::general: every point goes to the model
    case Step::pick:
      if (plan.fractions) {
        kind_ = Kind::per_phase;
        cell_ = step.cell;
        fractions_ = &*plan.fractions;
        per_phase_.reserve(fractions_->names().size());
        for (const std::string& phase : fractions_->names()) {
          const Outcome o = phase_property_lookup(*entry_.entry_, phase, property_);
          per_phase_.push_back(o.fault == Fault::none ? std::optional<double>(o.value) : std::nullopt);
        }
        break;
      }
      [[fallthrough]];  // every pick fails alike
    case Step::direct:
    case Step::average: {
      kind_ = Kind::constant;
      const Outcome o = plan.outcome(*entry_.entry_, step, property_, Point{});
      if (o.fault == Fault::none) constant_ = o.value;
      break;
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
