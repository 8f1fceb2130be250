// Registry functions: py_get, py_save, py_data_sheet, py_list_tiers.
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

}  // namespace lvx::py
