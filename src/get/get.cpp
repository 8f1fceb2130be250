#include "get/get.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/text.hpp"

namespace lvx::get {

using data_loader::DATA;
using data_loader::kTierCount;
using data_loader::TIER_NAMES;
using data_loader::TierMap;

Scope str_to_scope(std::string_view text) {
  std::string s = to_lower(text);
  while (!s.empty() && s.back() == 's') s.pop_back();
  if (s == "subatom") return Scope{0};
  for (std::size_t i = 0; i < kTierCount; ++i)
    if (s == TIER_NAMES[i]) return Scope{i};
  return Scope::all_tiers();
}

namespace {

// The tier indices of a scope: [first, last).
std::pair<std::size_t, std::size_t> tier_range(Scope scope) noexcept {
  return scope.all() ? std::pair<std::size_t, std::size_t>{0, kTierCount}
                     : std::pair<std::size_t, std::size_t>{scope.index, scope.index + 1};
}

Resolved find_named(std::string_view name, Scope scope) {
  const std::string exact(name);
  const std::string lower = to_lower(name);
  const auto [first, last] = tier_range(scope);

  using Pass = TierMap::Found (*)(const TierMap&, const std::string&, const std::string&);
  static constexpr Pass passes[] = {
      [](const TierMap& t, const std::string& e, const std::string&) {
        EntryPtr v = t.get(e);
        return v ? TierMap::Found{e, std::move(v)} : TierMap::Found{};
      },
      [](const TierMap& t, const std::string&, const std::string& l) { return t.find_key_lower(l); },
      [](const TierMap& t, const std::string& e, const std::string&) { return t.find_symbol(e); },
      [](const TierMap& t, const std::string&, const std::string& l) { return t.find_symbol_lower(l); },
      [](const TierMap& t, const std::string& e, const std::string&) { return t.find_alias(e); },
      [](const TierMap& t, const std::string&, const std::string& l) { return t.find_alias_lower(l); },
  };

  auto& reg = DATA();
  auto lock = reg.read_lock();
  for (Pass pass : passes)
    for (std::size_t t = first; t < last; ++t)
      if (TierMap::Found found = pass(reg.tier(t), exact, lower))
        return {t, std::move(found.key), std::move(found.value)};
  fail(GetError::unknown_name(name));
}

}  // namespace

EntryPtr resolve_named(std::string_view name, Scope scope) {
  return find_named(name, scope).value;
}

Resolved resolve_entry(std::string_view name, Scope scope) {
  if (name.empty()) panic("resolve_entry: name must be non-empty");
  return find_named(name, scope);
}

std::vector<std::string> tier_keys(Scope scope) {
  const auto [first, last] = tier_range(scope);
  auto& reg = DATA();
  auto lock = reg.read_lock();
  std::vector<std::string> out;
  for (std::size_t t = first; t < last; ++t) {
    std::vector<std::string> keys = reg.tier(t).keys();
    out.insert(out.end(), std::make_move_iterator(keys.begin()), std::make_move_iterator(keys.end()));
  }
  return out;
}

std::vector<std::string> known_names(Scope scope) {
  const auto [first, last] = tier_range(scope);
  auto& reg = DATA();
  auto lock = reg.read_lock();
  std::vector<std::string> out;
  for (std::size_t t = first; t < last; ++t) reg.tier(t).append_names(out);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

namespace {

// "+"? digits, at most 4294967295.
bool parse_count(std::string_view s, std::uint32_t& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::vector<FormulaPart> parse_formula(std::string_view formula) {
  std::string_view body = trim_ws(formula);
  // The caller has checked the braces.
  body = trim_ws(body.substr(1, body.size() - 2));
  if (body.empty()) fail(GetError::invalid_formula(formula));
  std::vector<FormulaPart> parts;
  for (;;) {
    const auto comma = body.find(',');
    const std::string_view item = body.substr(0, comma);
    const auto eq = item.find('=');
    if (eq == std::string_view::npos) fail(GetError::invalid_formula(formula));
    const std::string_view name = trim_ws(item.substr(0, eq));
    if (name.empty()) fail(GetError::invalid_formula(formula));
    const std::string_view count_text = trim_ws(item.substr(eq + 1));
    std::uint32_t count = 0;
    if (!parse_count(count_text, count))
      fail("formula count '" + std::string(count_text) + "' is not a non-negative integer");
    parts.push_back({std::string(name), count});
    if (comma == std::string_view::npos) break;
    body.remove_prefix(comma + 1);
  }
  return parts;
}

namespace {

// Adds `count` times the object `from` into `into`: numbers are weighted and
// summed (non-finite sums become null), objects merge recursively into the
// object under the same key (a new one when there is none), and any other
// value is copied only where `into` has nothing yet, so the first
// constituent that has it wins.
void merge_weighted(Json::object_t& into, const Json::object_t& from, double count) {
  for (const auto& [key, value] : from) {
    auto it = into.find(key);
    if (auto x = as_number(value)) {
      double e = 0.0;
      if (it != into.end())
        if (auto cur = as_number(it->second)) e = *cur;
      const double v = *x * count + e;
      Json stored = std::isfinite(v) ? Json(v) : Json(nullptr);
      if (it != into.end())
        it->second = std::move(stored);
      else
        into.emplace(key, std::move(stored));
    } else if (value.is_object()) {
      if (it == into.end())
        it = into.emplace(key, Json::object()).first;
      else if (!it->second.is_object())
        it->second = Json::object();
      merge_weighted(it->second.get_ref<Json::object_t&>(), value.get_ref<const Json::object_t&>(), count);
    } else if (it == into.end()) {
      into.emplace(key, value);
    }
  }
}

// A composed entry is no constituent: it keeps none of their names, which
// would otherwise make it answer to the first constituent's symbol.
constexpr std::string_view kNameMembers[] = {"Symbol", "symbol", "Aliases", "aliases"};

}  // namespace

Json resolve_formula(std::string_view formula) {
  const auto parts = parse_formula(formula);
  Json result = Json::object();
  auto& obj = result.get_ref<Json::object_t&>();
  for (const auto& part : parts) {
    if (part.count > 1000) panic("resolve_formula: implausibly large count");
    EntryPtr constituent;
    try {
      constituent = resolve_named(part.name, Scope::all_tiers());
    } catch (const OpError&) {
      fail("formula constituent '" + part.name + "' not found");
    }
    if (!constituent->is_object()) continue;
    merge_weighted(obj, constituent->get_ref<const Json::object_t&>(), static_cast<double>(part.count));
  }
  for (std::string_view key : kNameMembers) {
    if (auto it = obj.find(key); it != obj.end()) obj.erase(it);
  }
  return result;
}

EntryPtr get(std::string_view query, Scope scope) {
  if (query.empty()) panic("py_get: spec must be non-empty");
  const std::string_view trimmed = trim_ws(query);
  if (!trimmed.empty() && trimmed.front() == '{' && trimmed.back() == '}')
    return std::make_shared<const Json>(resolve_formula(query));
  return resolve_named(query, scope);
}

EntryPtr save(std::string_view name, std::string_view data_json, std::string_view tier_str) {
  if (name.empty()) panic("py_save: name must be non-empty");
  if (tier_str.empty()) panic("py_save: tier_str must be non-empty");
  Json doc;
  try {
    doc = parse_json(data_json);
  } catch (const OpError& e) {
    fail("data_json is not valid JSON: " + e.message());
  }
  const Scope scope = str_to_scope(tier_str);
  if (scope.all()) fail("unknown tier: " + std::string(tier_str));
  auto& reg = DATA();
  auto lock = reg.read_lock();
  return reg.tier(scope.index).insert(std::string(name), std::make_shared<const Json>(std::move(doc)));
}

std::vector<std::string> list_tiers() {
  auto& reg = DATA();
  auto lock = reg.read_lock();
  return {TIER_NAMES.begin(), TIER_NAMES.end()};
}

}  // namespace lvx::get
