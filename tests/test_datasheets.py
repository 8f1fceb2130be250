"""Validate every datasheet shipped under python/lumivarex/data/active.

The native core parses these files at import, so anything it would reject (or,
worse, silently misread) must be caught here first: stray files, BOMs,
duplicate keys, NaN/Infinity, deep nesting, and tier-specific structure.
"""
from __future__ import annotations

import json
import math
from collections import Counter
from pathlib import Path

import pytest

DATA_DIR = Path(__file__).resolve().parents[1] / "python" / "lumivarex" / "data" / "active"

TIERS = (
    "subatomic", "atom", "molecule", "alloy", "ceramic", "composite",
    "amino_acid", "protein", "cell", "cell_component", "nucleic_acid", "biomaterial",
)
MAX_DEPTH = 128
SHADER_KEYS = ("IOR", "RefractiveIndex", "Density_kg_m3", "SSS_r", "SSS_g", "SSS_b")
# Elements the alloy optimiser averages over; each needs these numbers.
ALLOY_ELEMENTS = ("Fe", "Cr", "Ni", "Mn", "Si", "Cu", "Mo")
ALLOY_ELEMENT_KEYS = ("Density_kg_m3", "melting_point_K", "atomic_mass_u")


# --------------------------------------------------------------------------
# strict loading

class SheetError(ValueError):
    pass


def _no_duplicates(pairs):
    out = {}
    for key, value in pairs:
        if key in out:
            raise SheetError(f"duplicate key {key!r}")
        out[key] = value
    return out


def _reject_constant(name):
    raise SheetError(f"non-finite number {name}")


def strict_loads(raw: bytes):
    if raw.startswith(b"\xef\xbb\xbf"):
        raise SheetError("UTF-8 byte order mark")
    text = raw.decode("utf-8")  # raises on invalid UTF-8
    # json.loads rejects trailing data ("Extra data"), so one document only.
    return json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=_reject_constant)


def walk(value, depth=1):
    """Yield (depth, value) for every node; depth counts nested containers."""
    yield depth, value
    if isinstance(value, dict):
        for v in value.values():
            yield from walk(v, depth + 1)
    elif isinstance(value, list):
        for v in value:
            yield from walk(v, depth + 1)


def is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def all_files():
    return sorted(p for p in DATA_DIR.rglob("*") if p.is_file())


def sheets(tier):
    return {p.stem: strict_loads(p.read_bytes()) for p in sorted((DATA_DIR / tier).glob("*.json"))}


SHEET_FILES = [p for p in all_files() if p.suffix == ".json"]


# --------------------------------------------------------------------------
# the loader itself must catch what it is meant to catch

@pytest.mark.parametrize("raw", [
    b'\xef\xbb\xbf{"a": 1}',
    b'{"a": 1, "a": 2}',
    b'{"a": {"b": 1, "b": 1}}',
    b'{"a": NaN}',
    b'{"a": -Infinity}',
    b'{"a": 1} {"b": 2}',
    b'{"a": "\xff"}',
])
def test_strict_loader_rejects_bad_documents(raw):
    with pytest.raises(ValueError):
        strict_loads(raw)


# --------------------------------------------------------------------------
# every file

def test_data_dir_holds_only_tier_json_files():
    assert DATA_DIR.is_dir(), DATA_DIR
    files = all_files()
    assert files, "no datasheets shipped"
    for path in files:
        rel = path.relative_to(DATA_DIR)
        assert len(rel.parts) == 2, f"{rel}: must sit directly in a tier folder"
        assert rel.parts[0] in TIERS, f"{rel}: unknown tier"
        assert path.suffix == ".json", f"{rel}: not a .json file"
        assert path.stem and path.stem == path.stem.strip(), f"{rel}: bad entry name"
    assert {p.relative_to(DATA_DIR).parts[0] for p in files} == set(TIERS)


@pytest.mark.parametrize("path", SHEET_FILES, ids=lambda p: f"{p.parent.name}/{p.stem}")
def test_sheet_is_well_formed(path):
    data = strict_loads(path.read_bytes())
    assert isinstance(data, dict), "top level must be an object"
    for depth, node in walk(data):
        assert depth <= MAX_DEPTH
        if isinstance(node, float):
            assert math.isfinite(node)
        assert node is not None, "null values: omit unknown keys instead"
    for key in SHADER_KEYS:
        if key in data:
            assert is_number(data[key]) and data[key] > 0, key
    props = data.get("Properties")
    if props is not None:
        assert isinstance(props, dict)
        # A number shared between top level and Properties must agree.
        for key in SHADER_KEYS:
            if key in data and key in props:
                assert data[key] == props[key], key
    for key in ("Aliases",):
        if key in data:
            assert isinstance(data[key], list) and all(isinstance(a, str) and a for a in data[key])


# --------------------------------------------------------------------------
# tiers

def test_atoms_cover_the_periodic_table():
    atoms = sheets("atom")
    assert len(atoms) == 118
    numbers = Counter()
    for stem, data in atoms.items():
        assert data["Symbol"] == stem
        assert data["Aliases"] and data["Aliases"][0] == data["Aliases"][0].lower()
        props = data["Properties"]
        assert all(is_number(v) for v in props.values()), stem
        numbers[props["atomic_number"]] += 1
        # An element without a standard atomic weight gives the mass number of
        # its longest-lived isotope instead.
        assert props.get("atomic_mass_u", 0) > 0 or props["mass_number_longest_lived"] > 0, stem
    assert sorted(numbers) == list(range(1, 119))
    assert set(numbers.values()) == {1}


def test_atom_reference_values_are_in_si_units():
    atoms = sheets("atom")
    fe = atoms["Fe"]["Properties"]
    assert fe["Density_kg_m3"] == pytest.approx(7874, abs=1)
    assert fe["melting_point_K"] == pytest.approx(1811, abs=1)
    assert atoms["Cu"]["Properties"]["Density_kg_m3"] == pytest.approx(8960, abs=5)
    assert atoms["Al"]["Properties"]["Density_kg_m3"] == pytest.approx(2700, abs=5)
    assert atoms["Hg"]["Properties"]["melting_point_K"] == pytest.approx(234.3, abs=0.1)
    # A g/cm^3 slip would put every solid below ~25; gases sit near 1 kg/m^3.
    for stem in ("Os", "W", "Au", "Pb", "Li"):
        assert atoms[stem]["Properties"]["Density_kg_m3"] > 500, stem
    assert atoms["H"]["Properties"]["Density_kg_m3"] < 1


def test_alloy_elements_have_mixing_properties():
    atoms = sheets("atom")
    for sym in ALLOY_ELEMENTS:
        props = atoms[sym]["Properties"]
        for key in ALLOY_ELEMENT_KEYS:
            assert is_number(props.get(key)), f"{sym}.{key}"


def test_alloy_phases_are_consistent():
    alloys = sheets("alloy")
    assert "carbon steel" in alloys
    multiphase = 0
    for stem, data in alloys.items():
        assert is_number(data.get("Density_kg_m3")), stem
        assert isinstance(data.get("Properties"), dict), stem
        comp = data.get("Composition_wt_pct")
        if comp is not None:
            assert all(is_number(v) and v > 0 for v in comp.values()), stem
            assert sum(comp.values()) == pytest.approx(100, abs=0.01), stem
            atoms = DATA_DIR / "atom"
            for sym in comp:
                assert (atoms / f"{sym}.json").is_file(), f"{stem}: unknown element {sym}"
        fractions = data.get("phase_volume_fractions")
        if fractions is None:
            continue
        multiphase += 1
        assert isinstance(fractions, dict) and fractions, stem
        assert all(is_number(v) and v > 0 for v in fractions.values()), stem
        assert sum(fractions.values()) == pytest.approx(1.0, abs=1e-6), stem
        phases = data["phase_properties"]
        keysets = set()
        for phase in fractions:
            assert phase in phases, f"{stem}: no properties for {phase}"
            props = phases[phase]
            assert props and all(is_number(v) for v in props.values()), f"{stem}/{phase}"
            keysets.add(frozenset(props))
        assert len(keysets) == 1, f"{stem}: phases must share property keys"
    assert multiphase >= 1


def test_carbon_steel_fractions_follow_the_lever_rule():
    steel = sheets("alloy")["carbon steel"]
    assert steel["phase_model"] == "voronoi"
    c = steel["Properties"]["carbon_wt_pct"]
    w_cem = (c - 0.022) / (6.67 - 0.022)
    assert steel["phase_mass_fractions"]["cementite"] == pytest.approx(w_cem, abs=1e-3)
    rho = {k: v["Density_kg_m3"] for k, v in steel["phase_properties"].items()}
    v_cem = (w_cem / rho["cementite"]) / (w_cem / rho["cementite"] + (1 - w_cem) / rho["ferrite"])
    assert steel["phase_volume_fractions"]["cementite"] == pytest.approx(v_cem, abs=1e-3)


def test_amino_acids():
    acids = sheets("amino_acid")
    assert len(acids) == 20
    # The three-letter code is the symbol, the one-letter code the first alias.
    codes = [d["Aliases"][0] for d in acids.values()]
    assert len(set(codes)) == 20 and all(len(c) == 1 and c.isupper() for c in codes)
    for stem, data in acids.items():
        assert stem == stem.lower()
        three, name = data["Symbol"], data["Aliases"][1]
        assert len(three) == 3 and three.istitle() and name == stem
        props = data["Properties"]
        assert 75 < props["molar_mass_g_mol"] < 205
        assert 0 < props["isoelectric_point"] < 14
        assert -4.5 <= props["hydropathy_kyte_doolittle"] <= 4.5


def test_protein_backbones():
    proteins = sheets("protein")
    assert len(proteins) >= 2
    codes = {d["Aliases"][0] for d in sheets("amino_acid").values()}
    for stem, data in proteins.items():
        residues = data["residues"]
        assert isinstance(residues, list) and residues, stem
        for res in residues:
            assert isinstance(res, dict)
            assert isinstance(res["residue"], str) and res["residue"] in codes, stem
            for angle in ("phi", "psi"):
                assert is_number(res[angle]) and -180 <= res[angle] <= 180, stem
        assert data["Sequence"] == "".join(r["residue"] for r in residues), stem


def test_skin_carries_subsurface_parameters():
    skin = sheets("biomaterial")["skin"]
    # Red light travels furthest in skin; a swapped channel would invert this.
    assert skin["SSS_r"] > skin["SSS_g"] > 0
    assert 1.0 < skin["IOR"] < 2.0


# --------------------------------------------------------------------------
# the native core must hand back exactly what is on disk

def _unique_entries():
    seen = Counter(p.stem for p in SHEET_FILES)
    return [p for p in SHEET_FILES if seen[p.stem] == 1]


def test_core_returns_shipped_sheets(core):
    entries = _unique_entries()
    assert entries
    for path in entries:
        expected = strict_loads(path.read_bytes())
        assert core.py_data_sheet(path.stem) == expected, f"{path.parent.name}/{path.stem}"
