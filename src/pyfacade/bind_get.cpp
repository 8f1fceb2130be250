// Registry functions: py_get, py_save, py_data_sheet, py_list_tiers, and the
// resolver helpers py_resolve, py_tier_keys and py_known_names.
#include "get/get.hpp"
#include "pyfacade/functions.hpp"
#include "sample/sample.hpp"

namespace lvx::py {

const Binding py_get{
    .name = "py_get",
    .params = {{"spec"}, {"scope_str", "None"}},
    .description =
        "Native twin of `lumivarex.get.Get`: find a datasheet by name, symbol, alias or\n"
        "braces formula such as `{Fe=3, C=1}`.\n\n"
        "`scope_str` is the optional tier name (e.g. `\"atom\"`, `\"alloy\"`) or\n"
        "`None` for cross-tier search. Returns a Python `dict`.",
    .errors = &PyExc_KeyError,
    .body = [](const Args& a) {
      const std::string_view spec = a.str(0);
      const std::optional<std::string_view> scope = a.opt(1, to_str);
      return value_to_py(*get::get(spec, scope ? get::str_to_scope(*scope) : get::Scope::all_tiers()));
    }};

const Binding py_save{
    .name = "py_save",
    .params = {{"name"}, {"data_json"}, {"tier_str"}},
    .description =
        "Native twin of `lumivarex.get.Save`: store a new or replacing datasheet in memory.\n\n"
        "`data_json` is a JSON-encoded string (the dict to store);\n"
        "`tier_str` is the tier name (e.g. `\"alloy\"`).\n"
        "Returns the previous entry dict if one was displaced, else `None`.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0), data_json = a.str(1), tier = a.str(2);
      const get::EntryPtr displaced = get::save(name, data_json, tier);
      return displaced ? value_to_py(*displaced) : Ref::borrowed(Py_None);
    }};

const Binding py_data_sheet{
    .name = "py_data_sheet",
    .params = {{"name"}},
    .description =
        "Native twin of `lumivarex.sample.data_sheet`: the entry stored under exactly `name`.\n\n"
        "Returns the bulk Properties dict for the named entry.",
    .errors = &PyExc_KeyError,
    .body = [](const Args& a) { return value_to_py(*sample::data_sheet(a.str(0))); }};

const Binding py_list_tiers{
    .name = "py_list_tiers",
    .description =
        "Native twin of `lumivarex.get.list_tiers`: the names of the twelve tiers.\n"
        "The order is the tiers' canonical one, from \"subatomic\" to \"biomaterial\", and\n"
        "callers may rely on it.",
    .body = [](const Args&) { return list_of(get::list_tiers()); }};

namespace {

get::Scope scope_of(const Args& a, std::size_t i) {
  const std::optional<std::string_view> scope = a.opt(i, to_str);
  return scope ? get::str_to_scope(*scope) : get::Scope::all_tiers();
}

}  // namespace

const Binding py_resolve{.name = "py_resolve",
                         .params = {{"name"}, {"scope_str", "None"}},
                         .description =
                             "Where the entry `py_get(name, scope_str)` finds is stored: `(tier, key)`,\n"
                             "found by the same passes (key, symbol, alias, each exactly and in any case).\n"
                             "Raises KeyError \"unknown name: ...\".",
                         .errors = &PyExc_KeyError,
                         .body = [](const Args& a) {
                           const std::string_view name = a.str(0);
                           const get::Resolved found = get::resolve_entry(name, scope_of(a, 1));
                           return tuple_of(data_loader::TIER_NAMES[found.tier], found.key);
                         }};

const Binding py_tier_keys{
    .name = "py_tier_keys",
    .params = {{"scope_str", "None"}},
    .description =
        "The keys of the entries of a tier (`scope_str` read as `py_get` reads it), or\n"
        "of every tier, tier by tier in canonical order; each tier's in byte order.",
    .body = [](const Args& a) { return list_of(get::tier_keys(scope_of(a, 0))); }};

const Binding py_known_names{
    .name = "py_known_names",
    .params = {{"scope_str", "None"}},
    .description =
        "Every name `py_get` answers to exactly in a tier, or in every tier: the keys,\n"
        "symbols and aliases, sorted and without repeats.",
    .body = [](const Args& a) { return list_of(get::known_names(scope_of(a, 0))); }};

}  // namespace lvx::py
