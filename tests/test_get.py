"""Named lookup, braces formulas and the registry operations."""

from __future__ import annotations

import json
import math
import string

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import CoreError, build_package

REGISTRY = {
    "atom/Fe.json": {"Symbol": "Fe", "Aliases": ["iron"], "density": 7.8, "name": "iron", "n": 26},
    "atom/C.json": {"Symbol": "C", "density": 2.2, "name": "carbon", "tag": "first"},
    "atom/iron_oxide.json": {"symbol": "FeO", "aliases": ["wüstite"]},
    "alloy/fe.json": {"kind": "alloy fe"},
    "alloy/steel.json": {"Symbol": "St", "Aliases": ["Mild Steel", 5, "ΣΊΣΥΦΟΣ"]},
    "alloy/numsym.json": {"Symbol": 26, "symbol": "NS"},
    "alloy/badaliases.json": {"Aliases": "notalist", "aliases": ["hidden"]},
    "molecule/water.json": {"Symbol": "H2O", "Aliases": ["Water"], "density": 1000},
    "molecule/WATER.json": {"kind": "upper key"},
    "molecule/ padded.json": {"kind": "padded"},
    "ceramic/σίσυφος.json": {"kind": "greek"},
    "ceramic/i̇stanbul.json": {"kind": "dotted i"},
    "cell/arr.json": [1, 2],
    "protein/st.json": {"kind": "st key"},
}


@pytest.fixture(scope="module")
def pkg(tmp_path_factory):
    return build_package(tmp_path_factory.mktemp("get"), REGISTRY)


def kinds(pkg, calls):
    """Runs many lookups in one subprocess: each result, ["KeyError", key] or [class, message]."""
    out = []
    for got in pkg.eval_all([f"core.py_get(*{args!r})" for args in calls]):
        if isinstance(got, CoreError):
            got = ["KeyError", got.arg] if "KeyError" in got.mro else [got.name, got.text]
        out.append(got)
    return out


def test_lookup_passes_and_their_order(pkg):
    got = kinds(pkg, [
        ["Fe"], ["FE"], ["fe"], ["iron"], ["IRON"], ["feo"], ["FeO"], ["wüstite"], ["WÜSTITE"],
        ["St"], ["st"], ["mild steel"], ["ΣΊΣΥΦΟΣ"], ["σίσυφοσ"], ["İstanbul"], ["26"], ["NS"],
        ["hidden"], ["notalist"], ["water"], ["Water"], ["WATER"], ["WaTeR"], ["h2o"],
        ["padded"], [" padded"], ["Fe", "alloy"], ["Fe", "Alloys"], ["Fe", "glass"], ["fe", "atom"],
        ["arr"], ["water", "atom"], ["5"], ["H2O"], ["Mild Steel"],
    ])
    expect = [
        REGISTRY["atom/Fe.json"],            # exact key, first tier
        REGISTRY["atom/Fe.json"],            # key in any case: atom walked before alloy
        REGISTRY["alloy/fe.json"],           # exact key in a later tier beats any-case in an earlier one
        REGISTRY["atom/Fe.json"],            # exact alias
        REGISTRY["atom/Fe.json"],            # alias in any case
        REGISTRY["atom/iron_oxide.json"],    # symbol in any case (lower-case member)
        REGISTRY["atom/iron_oxide.json"],
        REGISTRY["atom/iron_oxide.json"],
        REGISTRY["atom/iron_oxide.json"],    # full Unicode case folding of an alias
        REGISTRY["protein/st.json"],         # a key in any case (pass 2) beats an exact symbol (pass 3)
        REGISTRY["protein/st.json"],
        REGISTRY["alloy/steel.json"],        # alias in any case
        REGISTRY["ceramic/σίσυφος.json"],   # key in any case: full lower-casing gives the final sigma
        ["KeyError", "unknown name: σίσυφοσ"],  # final sigma: folding is not per character
        REGISTRY["ceramic/i̇stanbul.json"],  # İ lower-cases to i + combining dot
        ["KeyError", "unknown name: 26"],    # a numeric Symbol never matches
        ["KeyError", "unknown name: NS"],    # ...and hides the lower-case member
        ["KeyError", "unknown name: hidden"],
        ["KeyError", "unknown name: notalist"],
        REGISTRY["molecule/water.json"],
        REGISTRY["molecule/WATER.json"],     # keys "WATER" and "water" match in any case: the smaller wins
        REGISTRY["molecule/WATER.json"],
        REGISTRY["molecule/WATER.json"],
        REGISTRY["molecule/water.json"],     # symbol in any case
        ["KeyError", "unknown name: padded"],
        REGISTRY["molecule/ padded.json"],  # blanks are part of the name
        REGISTRY["alloy/fe.json"],
        REGISTRY["alloy/fe.json"],
        REGISTRY["atom/Fe.json"],
        REGISTRY["atom/Fe.json"],            # scope atom: any-case key
        [1, 2],
        ["KeyError", "unknown name: water"],
        ["KeyError", "unknown name: 5"],
        REGISTRY["molecule/water.json"],     # exact symbol
        REGISTRY["alloy/steel.json"],        # exact alias
    ]
    assert got == expect


def test_formulas(pkg):
    got = kinds(pkg, [
        ["{Fe=2, C=1}"], ["  { Fe = 2 }\u3000"], ["{Fe=0}"], ["{Fe=+3}"], ["{Fe=1, Fe=1}"],
        ["{Fe=2}"], ["{C=1, Fe=2}"], ["{Fe=1000}"], ["{arr=2, Fe=1}"], ["{water=1}", "atom"],
        ["{Fe=-1}"], ["{Fe=}"], ["{Fe}"], ["{=2}"], ["{Fe=1,}"], ["{}"], ["{ }"], ["{Fe=1 0}"],
        ["{Fe=4294967296}"], ["{Fe=4294967295}"], ["{Fe=x, =1}"], ["{=1, Fe=x}"], ["{Fe=2"],
        ["{nope=1}"], ["{nope=1, Fe=q}"], ["{Fe=1001}"], ["{Fe=١}"], ["Fe"], ["C"],
    ])
    fe, c = REGISTRY["atom/Fe.json"], REGISTRY["atom/C.json"]
    # A composed entry carries no constituent's symbol or aliases.
    fe_members = {k: v for k, v in fe.items() if k not in ("Symbol", "Aliases")}
    assert got[0] == {"density": 2.2 * 1 + (7.8 * 2 + 0), "n": 52.0, "name": "iron", "tag": "first"}
    assert list(got[0]) == sorted(got[0])
    assert got[1] == {**fe_members, "density": 15.6, "n": 52.0}
    assert got[2] == {**fe_members, "density": 0.0, "n": 0.0}
    assert got[3]["n"] == 78.0
    assert got[4] == got[5]
    assert got[6]["name"] == "carbon" and got[6]["density"] == 7.8 * 2 + (2.2 * 1 + 0)
    assert got[7]["n"] == 26000.0
    assert got[8] == {**fe_members, "density": 7.8, "n": 26.0}  # an array constituent adds nothing
    assert got[9] == {"density": 1000.0}                        # constituents ignore the scope
    assert got[10:18] == [
        ["KeyError", "formula count '-1' is not a non-negative integer"],
        ["KeyError", "formula count '' is not a non-negative integer"],
        ["KeyError", "invalid formula: {Fe}"],
        ["KeyError", "invalid formula: {=2}"],
        ["KeyError", "invalid formula: {Fe=1,}"],
        ["KeyError", "invalid formula: {}"],
        ["KeyError", "invalid formula: { }"],
        ["KeyError", "formula count '1 0' is not a non-negative integer"],
    ]
    assert got[18] == ["KeyError", "formula count '4294967296' is not a non-negative integer"]
    assert got[19] == ["PanicException", "resolve_formula: implausibly large count"]
    assert got[20] == ["KeyError", "formula count 'x' is not a non-negative integer"]
    assert got[21] == ["KeyError", "invalid formula: {=1, Fe=x}"]
    assert got[22] == ["KeyError", "unknown name: {Fe=2"]
    assert got[23] == ["KeyError", "formula constituent 'nope' not found"]
    assert got[24] == ["KeyError", "formula count 'q' is not a non-negative integer"]
    assert got[25] == ["PanicException", "resolve_formula: implausibly large count"]
    assert got[26] == ["KeyError", "formula count '١' is not a non-negative integer"]
    assert got[27:] == [fe, c]  # the constituents' own entries come back unchanged


def test_non_finite_formula_result_is_null(make_package):
    pkg = make_package({"atom/big.json": {"x": 1.5e308, "y": -1e308, "o": {"x": 1.5e308}}})
    assert pkg.eval("core.py_get('{big=1000}')") == {"o": {"x": None}, "x": None, "y": None}


def test_formula_merges_objects_by_the_same_rule(make_package):
    pkg = make_package({
        "atom/A.json": {"Symbol": "A", "aliases": ["a1"], "name": "first",
                        "Properties": {"m": 2, "unit": "u", "deep": {"k": 1.5, "tag": "A"}, "list": [1]},
                        "conflict": "text", "later": {"n": 2}},
        "atom/B.json": {"symbol": "B", "Aliases": ["b1"], "name": "second",
                        "Properties": {"m": 10.0, "unit": "v", "deep": {"k": 4, "extra": 1},
                                       "Symbol": "kept below the top level", "list": [2]},
                        "conflict": {"n": 1}, "later": 1.0, "new": {"z": {"w": 3}}},
        "atom/C.json": ["not an object"],
    })
    composed, by_name = pkg.eval_all(["core.py_get('{A=3, B=2, C=5}')", "core.py_get('A')"])
    assert composed == {
        "Properties": {"Symbol": "kept below the top level", "deep": {"extra": 2.0, "k": 1.5 * 3 + 4 * 2,
                                                                      "tag": "A"},
                       "list": [1], "m": 2 * 3 + 10.0 * 2, "unit": "u"},
        # an object replaces what is not one, as a number replaces what is not a number
        "conflict": {"n": 2.0}, "later": 1.0 * 2, "name": "first", "new": {"z": {"w": 6.0}},
    }
    assert list(composed["Properties"]) == sorted(composed["Properties"])
    assert by_name["Symbol"] == "A"  # the stored entry is untouched


def test_shipped_formula_sums_nested_properties(core):
    fe, c = core.py_get("Fe", "atom"), core.py_get("C", "atom")
    composed = core.py_get("{Fe=3, C=1}")
    assert composed["Properties"]["atomic_mass_u"] == 179.546
    for key, value in fe["Properties"].items():
        if isinstance(value, (int, float)) and isinstance(c["Properties"].get(key), (int, float)):
            assert composed["Properties"][key] == value * 3 + c["Properties"][key], key
    assert not {"Symbol", "symbol", "Aliases", "aliases"} & set(composed)


def test_save_data_sheet_and_tiers(pkg):
    proc = pkg.run("""
        import json
        import lumivarex._lumivarex_core as core
        out = [core.py_save("new", '{"b": 1, "a": [2.0]}', "Ceramics")]
        out.append(core.py_save("new", "7", "ceramic"))
        out.append(core.py_get("new", "ceramic"))
        out.append(core.py_save("Fe", '"replaced"', "ALLOYS"))
        out.append(core.py_get("fe", "alloy"))
        out.append(core.py_get("Fe", "alloy"))
        for args in [("x", "{", "alloy"), ("x", "{} []", "nope"), ("x", "{}", "element"),
                     ("x", "\ufeff{}", "alloy"), ("x", "[" * 129 + "]" * 129, "atom"), ("x", "{}", "s"),
                     ("x", '{"a": "1e999",\\n "b": [1e-400, -2E+400]}', "atom"),
                     ("x", "[1e999, " + "[" * 129, "atom")]:
            try:
                core.py_save(*args)
            except ValueError as e:
                out.append(str(e))
        out.append(core.py_data_sheet("water"))
        try:
            core.py_data_sheet("WaTeR")
        except KeyError as e:
            out.append(e.args[0])
        out.append(sorted(core.py_list_tiers()))
        try:
            core.py_get("x")
        except KeyError as e:
            out.append(e.args[0])
        print(json.dumps(out))
    """)
    out = json.loads(proc.stdout)
    assert out[:6] == [None, {"a": [2.0], "b": 1}, 7, None, {"kind": "alloy fe"}, "replaced"]
    assert out[6].startswith("data_json is not valid JSON: ") and "line 1, column 2" in out[6]
    assert out[7].startswith("data_json is not valid JSON: ")  # the JSON fault wins over the tier
    assert out[8] == "unknown tier: element"
    assert out[9] == "data_json is not valid JSON: byte-order mark is not allowed at line 1, column 1"
    assert out[10] == "data_json is not valid JSON: nesting deeper than 128 levels at line 1, column 129"
    assert out[11] == "unknown tier: s"
    # a number beyond the double range is located like every other fault
    # (underflow is no error; strings are not numbers)
    assert out[12] == "data_json is not valid JSON: number overflow parsing '-2E+400' at line 2, column 16"
    assert out[13] == "data_json is not valid JSON: number overflow parsing '1e999' at line 1, column 2"
    assert out[14] == REGISTRY["molecule/water.json"]
    assert out[15] == "sample::lookup_entry: no datasheet found for 'WaTeR'"
    assert out[16] == sorted(["subatomic", "atom", "molecule", "alloy", "ceramic", "composite", "amino_acid",
                              "protein", "cell", "cell_component", "nucleic_acid", "biomaterial"])
    assert out[17] == "unknown name: x"  # failed saves store nothing


def test_argument_errors(core):
    cases = [
        (lambda: core.py_get(123), TypeError, "argument 'spec': expected str, got int"),
        (lambda: core.py_get("Fe", 5), TypeError, "argument 'scope_str': expected str, got int"),
        (lambda: core.py_get(), TypeError, "py_get() missing 1 required positional argument: 'spec'"),
        (lambda: core.py_get("a", "b", "c"), TypeError,
         "py_get() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: core.py_get("a", spec="b"), TypeError, "py_get() got multiple values for argument 'spec'"),
        (lambda: core.py_get("a", scope="b"), TypeError, "py_get() got an unexpected keyword argument 'scope'"),
        (lambda: core.py_save("a", b"{}", "atom"), TypeError, "argument 'data_json': expected str, got bytes"),
        (lambda: core.py_save(name="a"), TypeError,
         "py_save() missing 2 required positional arguments: 'data_json' and 'tier_str'"),
        (lambda: core.py_list_tiers(1), TypeError, "lumivarex._lumivarex_core.py_list_tiers() takes no arguments (1 given)"),
    ]
    for fn, exc, text in cases:
        with pytest.raises(exc) as e:
            fn()
        assert type(e.value) is exc and str(e.value) == text
    # A conversion failing with another class passes unchanged.
    with pytest.raises(UnicodeEncodeError):
        core.py_get("\udcff")
    with pytest.raises(core.PanicException, match="^py_save: name must be non-empty$"):
        core.py_save("", "{", "")
    with pytest.raises(core.PanicException, match="^py_save: tier_str must be non-empty$"):
        core.py_save("a", "{", "")
    # None for scope_str means all tiers; a spec of blanks is looked up as a name.
    core.py_save("__scoped__", "1", "cell")
    assert core.py_get("__scoped__", None) == core.py_get("__scoped__", scope_str="cells") == 1
    with pytest.raises(KeyError) as e:
        core.py_get("   ")
    assert e.value.args == ("unknown name:    ",)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=20,
)


@settings(max_examples=150)
@given(value=json_values)
def test_saved_values_come_back_identical(core, value):
    text = json.dumps(value)
    core.py_save("__roundtrip__", text, "composite")
    back = core.py_get("__roundtrip__", "composite")

    def same(a, b):
        if isinstance(a, dict):
            return isinstance(b, dict) and list(b) == sorted(a, key=lambda k: k.encode()) and all(
                same(a[k], b[k]) for k in a)
        if isinstance(a, list):
            return isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
        if isinstance(a, float):
            return type(b) is float and (a == b) and math.copysign(1, a) == math.copysign(1, b)
        return type(a) is type(b) and a == b

    assert same(value, back)


def test_short_names_of_particles_and_amino_acids(core):
    """Amino acids are found by their three-letter symbol, or by their one-letter
    code within their tier; particles by their short symbols."""
    assert core.py_get("Glu")["Aliases"][1] == "glutamic acid"
    assert core.py_get("e")["Aliases"][0] == "electron"
    assert core.py_get("mu")["Symbol"] == "mu-"
    assert core.py_get("p")["Symbol"] == "P"  # the element's name wins over an alias
    assert core.py_get("p", "subatomic")["Symbol"] == "p+"
    assert core.py_get("n", "subatomic")["Symbol"] == "n"
    assert core.py_get("E", "amino_acid")["Symbol"] == "Glu"
    assert core.py_get("antiproton")["Properties"]["charge_e"] == -1
    assert core.py_get("mu+")["Properties"]["charge_e"] == 1


def test_a_replaced_entry_answers_only_to_its_new_names(make_package):
    """Saving over an entry drops its old symbol and aliases, whether the
    lookup's name indices were built before the save or only after it."""
    pkg = make_package({
        "alloy/gear.json": {"Symbol": "Gx", "Aliases": ["Old Gear", "cog"]},
        "alloy/bolt.json": {"symbol": "Bt", "aliases": ["screw"]},
    })
    saves = ["core.py_save('gear', '{\"Symbol\": \"Ny\", \"aliases\": [\"New Gear\"]}', 'alloy')",
             "core.py_save('bolt', '7', 'alloy')"]  # no longer an object: no names at all
    gone = ["Gx", "gx", "Old Gear", "OLD GEAR", "cog", "Cog", "Bt", "bt", "screw", "SCREW"]
    kept = ["gear", "GEAR", "Ny", "nY", "New Gear", "new gear"]
    lookups = [f"core.py_get({name!r})" for name in gone + kept] + ["core.py_get('bolt')", "core.py_get('BOLT')"]
    new_gear = {"Symbol": "Ny", "aliases": ["New Gear"]}
    # warm: an any-case lookup builds the indices before the saves
    for warm in ([], ["core.py_get('GX')", "core.py_get('SCREW')"]):
        results = pkg.eval_all(warm + saves + lookups)[len(warm):]
        assert results[:2] == [{"Symbol": "Gx", "Aliases": ["Old Gear", "cog"]}, {"symbol": "Bt", "aliases": ["screw"]}]
        found = results[2:]
        assert [e.arg if isinstance(e, CoreError) else e for e in found[:len(gone)]] == [
            f"unknown name: {name}" for name in gone], warm
        assert found[len(gone):] == [new_gear] * len(kept) + [7, 7], warm


def test_any_case_lookup_covers_the_whole_ascii_alphabet(core):
    """Keys, symbols and aliases match in any case for every letter A to Z,
    and only letters change case: '@[`{' border the alphabets."""
    upper, lower = string.ascii_uppercase, string.ascii_lowercase
    core.py_save("__lower_" + lower, '"lower key"', "composite")
    core.py_save("__UPPER_" + upper, '"upper key"', "composite")
    core.py_save("__names", json.dumps({"Symbol": "Sym_" + upper, "Aliases": ["Ali_" + lower]}), "composite")
    core.py_save("__edge@[", '"edge"', "composite")
    names = {"Symbol": "Sym_" + upper, "Aliases": ["Ali_" + lower]}
    for scope in ("composite", None):
        assert core.py_get("__LOWER_" + upper, scope) == "lower key"
        assert core.py_get("__upper_" + lower, scope) == "upper key"
        assert core.py_get("__uPpEr_" + "".join(c.swapcase() if i % 2 else c for i, c in enumerate(upper)),
                           scope) == "upper key"
        assert core.py_get("sym_" + lower, scope) == names
        assert core.py_get("ALI_" + upper, scope) == names
        assert core.py_get("__EDGE@[", scope) == "edge"
        for neighbour in ("__edge`[", "__edge@{"):  # '@' and '[' lowered one step too far
            with pytest.raises(KeyError):
                core.py_get(neighbour, scope)
