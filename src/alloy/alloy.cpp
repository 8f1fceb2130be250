#include "alloy/alloy.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <unordered_map>

#include "alloy/rng.hpp"
#include "core/error.hpp"
#include "core/interrupt.hpp"
#include "core/json.hpp"
#include "loader/data_loader.hpp"

namespace lvx::alloy {

namespace {

constexpr std::size_t kMaxAlloying = 4;
constexpr double kFractionMin = 0.0005;
constexpr double kFractionScale = 0.1995;
constexpr double kFractionEnd = 0.2;
constexpr double kAlloyingCap = 0.5;

double draw_fraction(Xoshiro256pp& rng) noexcept {
  for (;;) {
    const double u = std::bit_cast<double>((rng.next() >> 12) | 0x3FF0000000000000ULL);
    const double scaled = (u - 1.0) * kFractionScale;
    const double f = scaled + kFractionMin;
    if (f < kFractionEnd) return f;
  }
}

// One drawn composition. Elements are interned name ids (0 is the base);
// a name chosen twice, or equal to the base, holds its last fraction at the
// place where it first appeared.
struct Composition {
  std::array<std::uint32_t, kMaxAlloying + 1> id{};
  std::array<double, kMaxAlloying + 1> fraction{};
  std::size_t size = 0;

  void put(std::uint32_t name, double f) noexcept {
    for (std::size_t e = 0; e < size; ++e) {
      if (id[e] == name) {
        fraction[e] = f;
        return;
      }
    }
    id[size] = name;
    fraction[size] = f;
    ++size;
  }
};

struct Passed {
  Composition comp;
  double score;
  std::uint64_t draw;  // position in the draw sequence
};

// Ranking of passing compositions: higher score first, equal scores in draw
// order. A NaN score ranks below every number (NaNs among themselves in draw
// order), so the ranking stays a strict total order whatever the targets'
// weights and bounds produce.
bool ranks_before(const Passed& a, const Passed& b) noexcept {
  if (a.score > b.score) return true;
  if (b.score > a.score) return false;
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  return a.draw < b.draw;
}

// The names of one call, resolved to their "Properties" objects once.
class Elements {
 public:
  Elements(std::string_view base, const std::vector<std::string>& pool) {
    names_.push_back(base);
    ids_.emplace(base, 0);
    pool_ids_.reserve(pool.size());
    for (const auto& name : pool) pool_ids_.push_back(intern(name));
    props_.assign(names_.size(), nullptr);
    found_.assign(names_.size(), 0);
    entries_.reserve(names_.size());
    // One lookup per name, for the whole search: a save made meanwhile is
    // not seen, so every composition is judged against the same entries (each
    // whole, as entries are never changed in place). Each lookup takes the
    // registry lock itself, so none is held here (a second shared lock on the
    // same thread is not allowed).
    for (std::size_t i = 0; i < names_.size(); ++i) {
      data_loader::EntryPtr entry = data_loader::DATA().find_exact(names_[i]);
      if (!entry) continue;
      found_[i] = 1;
      const Json* props = member(*entry, "Properties");
      if (props && props->is_object()) props_[i] = &props->get_ref<const Json::object_t&>();
      entries_.push_back(std::move(entry));
    }
  }

  std::size_t count() const noexcept { return names_.size(); }
  std::size_t pool_size() const noexcept { return pool_ids_.size(); }
  std::uint32_t pool_id(std::size_t index) const noexcept { return pool_ids_[index]; }
  std::string_view name(std::uint32_t id) const noexcept { return names_[id]; }
  bool found(std::uint32_t id) const noexcept { return found_[id] != 0; }
  const Json::object_t* props(std::uint32_t id) const noexcept { return props_[id]; }

 private:
  std::uint32_t intern(std::string_view name) {
    auto [it, fresh] = ids_.try_emplace(name, static_cast<std::uint32_t>(names_.size()));
    if (fresh) names_.push_back(name);
    return it->second;
  }

  std::vector<std::string_view> names_;
  std::unordered_map<std::string_view, std::uint32_t> ids_;
  std::vector<std::uint32_t> pool_ids_;
  std::vector<const Json::object_t*> props_;
  std::vector<char> found_;  // the name is a registry key
  std::vector<data_loader::EntryPtr> entries_;
};

Composition draw_composition(Xoshiro256pp& rng, const Elements& elements) {
  const std::size_t pool_size = elements.pool_size();
  const std::size_t k = static_cast<std::size_t>(rng.below(std::min(pool_size, kMaxAlloying) + 1));
  // Choosing position i of the working list (the pool without the names
  // already chosen) is choosing the pool index that i maps to once the
  // removed indices before it are skipped.
  std::array<std::size_t, kMaxAlloying> chosen{};
  std::array<std::size_t, kMaxAlloying> removed{};  // ascending
  for (std::size_t c = 0; c < k; ++c) {
    std::size_t index = static_cast<std::size_t>(rng.below(pool_size - c));
    std::size_t r = 0;
    for (; r < c && removed[r] <= index; ++r) ++index;
    for (std::size_t s = c; s > r; --s) removed[s] = removed[s - 1];
    removed[r] = index;
    chosen[c] = index;
  }
  std::array<double, kMaxAlloying> fraction{};
  for (std::size_t c = 0; c < k; ++c) fraction[c] = draw_fraction(rng);
  double sum = 0.0;
  for (std::size_t c = 0; c < k; ++c) sum += fraction[c];
  if (sum > kAlloyingCap) {
    const double factor = kAlloyingCap / sum;
    sum = 0.0;
    for (std::size_t c = 0; c < k; ++c) {
      fraction[c] *= factor;
      sum += fraction[c];
    }
  }
  Composition comp;
  comp.put(0, std::max(1.0 - sum, 0.0));
  for (std::size_t c = 0; c < k; ++c) comp.put(elements.pool_id(chosen[c]), fraction[c]);
  return comp;
}

// Each target's property as it appears in each element: value[name][target].
// Throws OpError for a target whose property is empty or carried by no
// element, since it would reject every composition.
struct TargetTable {
  std::size_t targets;
  std::vector<double> value;
  std::vector<char> present;

  TargetTable(const std::vector<AlloyTarget>& ts, const Elements& elements)
      : targets(ts.size()),
        value(elements.count() * ts.size(), 0.0),
        present(elements.count() * ts.size(), 0) {
    std::vector<char> carried(ts.size(), 0);
    for (std::uint32_t id = 0; id < elements.count(); ++id) {
      const Json::object_t* props = elements.props(id);
      if (!props) continue;
      for (std::size_t t = 0; t < ts.size(); ++t) {
        auto it = props->find(ts[t].property);
        if (it == props->end()) continue;
        if (auto v = as_number(it->second)) {
          value[id * targets + t] = *v;
          present[id * targets + t] = 1;
          carried[t] = 1;
        }
      }
    }
    for (std::size_t t = 0; t < ts.size(); ++t) {
      if (ts[t].property.empty()) fail("alloy::optimize_alloy: target property name required");
      if (!carried[t])
        fail("alloy::optimize_alloy: no element carries target property '" + ts[t].property + "'");
    }
  }
};

// The score of a composition, or nullopt when a target rejects it. The
// estimate of each target's property is the fraction-weighted mean over the
// composition's elements that carry it, summed in composition order.
std::optional<double> score(const Composition& comp, const std::vector<AlloyTarget>& targets,
                            const TargetTable& table) noexcept {
  double total = 0.0;
  for (std::size_t t = 0; t < targets.size(); ++t) {
    double weighted = 0.0, weights = 0.0;
    bool found = false;
    for (std::size_t e = 0; e < comp.size; ++e) {
      const std::size_t cell = comp.id[e] * table.targets + t;
      if (!table.present[cell]) continue;
      weighted += table.value[cell] * comp.fraction[e];
      weights += comp.fraction[e];
      found = true;
    }
    if (!found) return std::nullopt;
    const double estimate = weighted / weights;
    const AlloyTarget& target = targets[t];
    if (target.min_value && *target.min_value > estimate) return std::nullopt;
    if (target.max_value && estimate > *target.max_value) return std::nullopt;
    // A window scores the margin to its nearer edge, so the middle ranks
    // first; a single bound scores the distance past it.
    if (target.min_value && target.max_value)
      total += std::min(estimate - *target.min_value, *target.max_value - estimate) * target.weight;
    else if (target.min_value)
      total += (estimate - *target.min_value) * target.weight;
    else if (target.max_value)
      total += (*target.max_value - estimate) * target.weight;
  }
  return total;
}

// Every numeric property of the composition's elements, estimated the same
// way (and in the same summation order) as the targets' properties.
std::vector<std::pair<std::string, double>> estimate_properties(const Composition& comp,
                                                                const Elements& elements) {
  struct Acc {
    std::string_view key;
    double weighted = 0.0, weights = 0.0;
  };
  std::vector<Acc> acc;
  std::unordered_map<std::string_view, std::size_t> index;
  for (std::size_t e = 0; e < comp.size; ++e) {
    const Json::object_t* props = elements.props(comp.id[e]);
    if (!props) continue;
    const double f = comp.fraction[e];
    for (const auto& [key, value] : *props) {
      const auto v = as_number(value);
      if (!v) continue;
      auto [it, fresh] = index.try_emplace(key, acc.size());
      if (fresh) acc.push_back(Acc{key});
      Acc& a = acc[it->second];
      a.weighted += *v * f;
      a.weights += f;
    }
  }
  std::vector<std::pair<std::string, double>> out;
  out.reserve(acc.size());
  for (const Acc& a : acc) out.emplace_back(std::string(a.key), a.weighted / a.weights);
  return out;
}

}  // namespace

std::vector<AlloyCandidate> optimize_alloy(const std::vector<AlloyTarget>& targets, std::string_view base,
                                           const std::vector<std::string>& pool_arg,
                                           std::uint64_t n_candidates, std::uint64_t top_k,
                                           std::optional<std::uint64_t> seed) {
  if (targets.empty()) fail("alloy::optimize_alloy: at least one target is required");
  if (base.empty()) fail("alloy::optimize_alloy: base element name required");
  if (n_candidates == 0) return {};
  static const std::vector<std::string> default_pool(std::begin(kDefaultPool), std::end(kDefaultPool));
  const std::vector<std::string>& pool = pool_arg.empty() ? default_pool : pool_arg;

  // Names and targets that cannot match are errors before anything is drawn:
  // otherwise the search would end with no candidates and no reason.
  const Elements elements(base, pool);
  if (!elements.found(0)) fail("alloy::optimize_alloy: base element '" + std::string(base) + "' not found");
  if (!pool_arg.empty()) {
    for (std::size_t i = 0; i < elements.pool_size(); ++i)
      if (!elements.found(elements.pool_id(i)))
        fail("alloy::optimize_alloy: alloying element '" + pool[i] + "' not found");
  }
  const TargetTable table(targets, elements);

  Xoshiro256pp rng(seed ? expand_seed(*seed) : entropy_seed());

  // Only the best `top_k` passing draws so far are kept, as a heap whose front
  // is the lowest-ranked of them; a later draw ranks below an earlier one with
  // the same score, so it replaces the front only when it scores strictly
  // higher. Memory stays bounded by top_k whatever n_candidates is.
  const std::uint64_t cap = std::min(top_k, n_candidates);
  std::vector<Passed> passed;
  PollMeter meter(1024);
  for (std::uint64_t c = 0; c < n_candidates; ++c) {
    meter.add(1);
    const Composition comp = draw_composition(rng, elements);
    const auto s = score(comp, targets, table);
    if (!s) continue;
    const Passed p{comp, *s, c};
    if (passed.size() < cap) {
      passed.push_back(p);
      std::push_heap(passed.begin(), passed.end(), ranks_before);
    } else if (!passed.empty() && ranks_before(p, passed.front())) {
      std::pop_heap(passed.begin(), passed.end(), ranks_before);
      passed.back() = p;
      std::push_heap(passed.begin(), passed.end(), ranks_before);
    }
  }
  std::sort_heap(passed.begin(), passed.end(), ranks_before);
  const std::size_t keep = passed.size();

  std::vector<AlloyCandidate> out;
  out.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) {
    const Composition& comp = passed[i].comp;
    AlloyCandidate cand;
    cand.composition.reserve(comp.size);
    for (std::size_t e = 0; e < comp.size; ++e)
      cand.composition.emplace_back(std::string(elements.name(comp.id[e])), comp.fraction[e]);
    cand.estimated_properties = estimate_properties(comp, elements);
    cand.score = passed[i].score;
    out.push_back(std::move(cand));
  }
  return out;
}

}  // namespace lvx::alloy
