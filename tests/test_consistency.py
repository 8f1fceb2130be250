"""The shipped datasheets agree with their sources, with physics and with each other."""

from __future__ import annotations

import importlib.util
import json
import math
import re
import sys
from collections import defaultdict
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "python" / "lumivarex" / "data" / "active"
AVOGADRO = 6.02214076e23


def sheets(tier: str) -> dict[str, dict]:
    return {p.stem: json.loads(p.read_text(encoding="utf-8")) for p in sorted((DATA / tier).glob("*.json"))}


def all_sheets() -> dict[tuple[str, str], dict]:
    return {(p.parent.name, p.stem): json.loads(p.read_text(encoding="utf-8"))
            for p in sorted(DATA.glob("*/*.json"))}


def script(name: str):
    module_spec = importlib.util.spec_from_file_location(name, REPO / "scripts" / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    module_spec.loader.exec_module(module)
    return module


ATOMS = sheets("atom")
WEIGHT = {s: d["Properties"]["atomic_mass_u"] for s, d in ATOMS.items() if "atomic_mass_u" in d["Properties"]}


def formula_mass(formula: str) -> float:
    """Molar mass of a formula such as C6H5CH3 or Ca10(PO4)6(OH)2."""
    def group(text: str, pos: int) -> tuple[float, int]:
        total = 0.0
        while pos < len(text) and text[pos] != ")":
            if text[pos] == "(":
                inner, pos = group(text, pos + 1)
                pos += 1  # the ")"
            else:
                m = re.match(r"[A-Z][a-z]?", text[pos:])
                assert m, f"bad formula {formula}"
                inner, pos = WEIGHT[m.group()], pos + m.end()
            n = re.match(r"\d*", text[pos:]).group()
            total += inner * (int(n) if n else 1)
            pos += len(n)
        return total, pos
    mass, end = group(formula, 0)
    assert end == len(formula), formula
    return mass


def test_audit_finds_no_clear_error():
    assert script("audit_datasheets").clear_errors() == []


def test_every_citation_key_is_explained_in_data_sources():
    text = (REPO / "DATA_SOURCES.md").read_text(encoding="utf-8")
    explained = set(re.findall(r"^\| `([^`]+)` \|", text, re.MULTILINE))
    used = defaultdict(set)
    for (tier, name), doc in all_sheets().items():
        for entry in doc["Sources"].values():
            keys = entry["source"] if isinstance(entry["source"], list) else [entry["source"]]
            for key in keys:
                used[key].add(f"{tier}/{name}")
    missing = {k: sorted(v)[:3] for k, v in used.items() if k not in explained}
    assert not missing


@pytest.mark.parametrize("tier", ["molecule", "amino_acid", "ceramic"])
def test_molar_masses_match_the_formula(tier):
    for name, doc in sheets(tier).items():
        mass = doc["Properties"].get("molar_mass_g_mol")
        if mass is None:
            continue
        expected = formula_mass(doc["Formula"])
        # Sheets give three to five significant figures.
        assert mass == pytest.approx(expected, rel=5e-4), (name, expected)


def test_isotope_abundances_and_masses():
    for sym, doc in ATOMS.items():
        isotopes = doc.get("Isotopes")
        if not isotopes:
            continue
        assert sum(i["abundance_fraction"] for i in isotopes) == pytest.approx(1.0, abs=2e-3), sym
        mean = sum(i["abundance_fraction"] * i["atomic_mass_u"] for i in isotopes)
        if sym in WEIGHT and sym not in ("Pb", "Ar"):  # their weights are conventional values
            # The abundances are the middle of the CIAAW ranges, so the mean can
            # only come close to the standard atomic weight.
            assert mean == pytest.approx(WEIGHT[sym], rel=5e-3), sym


CELL_ATOMS = {"bcc": 2, "fcc": 4, "diamond": 8, "hcp": 2}


def test_density_lattice_constant_and_structure_agree():
    checked = 0
    for sym, doc in ATOMS.items():
        props = doc["Properties"]
        structure = doc.get("Crystal_structure")
        if structure is None or "Density_kg_m3" not in props or "atomic_mass_u" not in props:
            continue
        a = props["lattice_a_pm"] * 1e-12
        volume = a**3 if structure != "hcp" else math.sqrt(3) / 2 * a * a * props["lattice_c_pm"] * 1e-12
        rho = CELL_ATOMS[structure] * props["atomic_mass_u"] * 1e-3 / AVOGADRO / volume
        # Three-figure lattice constants: about 1 % in the density.
        assert rho == pytest.approx(props["Density_kg_m3"], rel=0.03), (sym, rho)
        checked += 1
    assert checked >= 40


def elastic_sets():
    for (tier, name), doc in all_sheets().items():
        props = doc["Properties"]
        if {"youngs_modulus_GPa", "shear_modulus_GPa", "poisson_ratio"} <= set(props):
            yield f"{tier}/{name}", props


@pytest.mark.parametrize("where,props", list(elastic_sets()), ids=lambda v: v if isinstance(v, str) else "")
def test_isotropic_elastic_constants_agree(where, props):
    e, g, nu = props["youngs_modulus_GPa"], props["shear_modulus_GPa"], props["poisson_ratio"]
    # Handbook values carry two or three figures: E = 2G(1 + nu) to 3 %.
    assert 2 * g * (1 + nu) == pytest.approx(e, rel=0.03)
    if "bulk_modulus_GPa" in props and nu < 0.45:
        # E = 3K(1 - 2 nu) magnifies the error of nu: 15 %.
        assert 3 * props["bulk_modulus_GPa"] * (1 - 2 * nu) == pytest.approx(e, rel=0.15)


def lookup_names(key: str, doc: dict) -> set[str]:
    names = {key.lower()}
    if isinstance(doc.get("Symbol"), str):
        names.add(doc["Symbol"].lower())
    names.update(a.lower() for a in doc.get("Aliases", []))
    return names


def test_every_name_is_unique_within_its_tier():
    for tier in sorted({t for t, _ in all_sheets()}):
        owners = defaultdict(list)
        for name, doc in sheets(tier).items():
            for n in lookup_names(name, doc):
                owners[n].append(name)
        assert {n: v for n, v in owners.items() if len(v) > 1} == {}, tier


def documented_clashes() -> set[str]:
    text = (REPO / "README.md").read_text(encoding="utf-8")
    section = text.split("### Names shared by several tiers", 1)[1].split("\n## ", 1)[0]
    return {m.lower() for m in re.findall(r"^\| `([^`]+)` \|", section, re.MULTILINE)}


def test_cross_tier_clashes_are_documented():
    tiers_of = defaultdict(set)
    for (tier, name), doc in all_sheets().items():
        for n in lookup_names(name, doc):
            tiers_of[n].add(tier)
    clashes = {n for n, tiers in tiers_of.items() if len(tiers) > 1}
    assert clashes == documented_clashes()


def test_generators_rebuild_what_is_shipped():
    """The generators that need nothing beyond the standard library reproduce
    their shipped output exactly (the others need packages used only at
    generation time)."""
    schemas = script("generate_schemas")
    for tier in schemas.PROPERTIES:
        shipped = json.loads((schemas.OUT_DIR / f"{tier}.schema.json").read_text(encoding="utf-8"))
        assert schemas.tier_schema(tier) == shipped, tier
    materials = script("generate_materials")
    for tier, made in (("alloy", materials.alloys()), ("ceramic", materials.ceramics()),
                       ("composite", materials.composites())):
        for name, doc in made.items():
            path = DATA / tier / f"{name.replace('/', '-')}.json"
            assert json.loads(path.read_text(encoding="utf-8")) == doc, path.name
    # Every sheet says how it was made; a generated one names a script that exists.
    for (tier, name), doc in all_sheets().items():
        made = doc["Provenance"]
        if made != "hand-made":
            assert (REPO / made.removeprefix("generated by ")).is_file(), (tier, name)
