#!/usr/bin/env python3
"""Generate the 118 element datasheets under python/lumivarex/data/active/atom/.

The output is committed; rerun after changing this script:

    python -m venv /tmp/gen && /tmp/gen/bin/pip install mendeleev==1.3.0 \\
        periodictable==2.1.0 pymatgen-core==2026.10.16
    /tmp/gen/bin/python scripts/generate_atoms.py

The packages are used here only, as tabulations of primary sources; which
value comes from which source is written into each sheet's "Sources" (keys
explained in DATA_SOURCES.md):

  * periodictable: standard atomic weights (IUPAC 2021, abridged), isotope
    masses (AME2020), natural isotopic abundances (CIAAW 2021), densities of
    solids and liquids (CRC Handbook 80th ed., 20 degC), crystal structures
    and lattice constants (Ashcroft & Mermin);
  * mendeleev: group, period, block, electron configuration, oxidation
    states, radii, first ionisation energy, electron affinity, melting,
    boiling, sublimation and triple points, Pauling electronegativity,
    specific heat, thermal conductivity, heats of fusion and vaporisation,
    gas densities, half-lives;
  * pymatgen-core: Young's, bulk and shear moduli and Poisson's ratio
    (WebElements compilation).

CORRECTIONS replaces values the audit found wrong, each from a primary
source. A key is left out wherever no measured value exists: predictions for
the elements past einsteinium are never shipped.
"""
from __future__ import annotations

import json
import math
import sys
import warnings
from pathlib import Path
from typing import Any

import mendeleev
import periodictable
from mendeleev import element
from pymatgen.core.periodic_table import Element as PmgElement

ROOT = Path(__file__).resolve().parents[1]
OUT_DIR = ROOT / "python" / "lumivarex" / "data" / "active" / "atom"

# Elements that are gases at 25 degC and 1 atm, and the liquids.
GASES = {"H", "He", "N", "O", "F", "Ne", "Cl", "Ar", "Kr", "Xe", "Rn"}
LIQUIDS = {"Br", "Hg"}

# For elements with several allotropes, the form whose values are quoted.
ALLOTROPE = {"C": "graphite", "P": "white", "S": "rhombic", "Se": "gray", "Sn": "white",
             "As": "gray"}
ALLOTROPE_TEXT = {"C": "graphite", "P": "white phosphorus", "S": "orthorhombic alpha-sulfur",
                  "Se": "grey (trigonal) selenium", "Sn": "white (beta) tin", "As": "grey arsenic"}

# Past einsteinium no element has been made in weighable amounts: melting
# points and densities quoted for them are predictions.
LAST_MEASURED_Z = 99
# First ionisation energies (and so ground-state configurations) are measured
# on single atoms up to lawrencium; past it they are computed.
LAST_IONIZED_Z = 103
# Values the packages hold that are estimates, not measurements.
ESTIMATED_MELTING = {"At", "Fr"}
ESTIMATED_DENSITY = {"At", "Fr", "Es"}  # mendeleev marks these as theoretical

# Crystal structures whose cell is fully given by the tabulated constants,
# with the room-temperature name used in the sheets. Ashcroft & Mermin give
# the alkali metals at 5-78 K; those and the non-solids are left out.
STRUCTURE_NAMES = {"BCC": "bcc", "fcc": "fcc", "hcp": "hcp", "Diamond": "diamond"}
LOW_TEMPERATURE_LATTICE = {"Li", "Na", "K", "Rb", "Cs"}
# Ashcroft & Mermin list these as hcp, but at room temperature they are
# double-hexagonal or trigonal, so the constants describe another cell.
NOT_HCP = {"La", "Pr", "Nd", "Se", "Te"}

# The other spelling of names the packages give in American English.
EXTRA_ALIASES = {"Al": ["aluminium"], "Cs": ["caesium"], "S": ["sulphur"]}

# Corrections of values the packages hold, each with its primary source.
CRC_POINTS = "CRC97-MBTC"
CRC_EN = "CRC97-EN"
CRC_DENSITY = "CRC97-PCIC"
CORRECTIONS: dict[str, dict[str, tuple[float, str]]] = {
    "In": {"boiling_point_K": (2345.0, CRC_POINTS)},
    "Au": {"boiling_point_K": (3129.0, CRC_POINTS), "electronegativity_pauling": (2.54, CRC_EN)},
    "W": {"melting_point_K": (3695.0, CRC_POINTS), "electronegativity_pauling": (2.36, CRC_EN)},
    "U": {"melting_point_K": (1405.3, CRC_POINTS), "electronegativity_pauling": (1.38, CRC_EN)},
    "Lu": {"electronegativity_pauling": (1.27, CRC_EN)},
    "Tc": {"electronegativity_pauling": (1.9, CRC_EN)},
    "Pt": {"electronegativity_pauling": (2.28, CRC_EN)},
    "Hg": {"electronegativity_pauling": (2.00, CRC_EN)},
    "Bi": {"electronegativity_pauling": (2.02, CRC_EN)},
    "Np": {"electronegativity_pauling": (1.36, CRC_EN)},
    "Kr": {"electronegativity_pauling": (3.00, "AllenHuheey1980")},
    "Sr": {"Density_kg_m3": (2640.0, CRC_DENSITY)},
    "Ba": {"Density_kg_m3": (3620.0, CRC_DENSITY)},
    "Cs": {"Density_kg_m3": (1930.0, CRC_DENSITY)},
}


def kelvin(value: Any) -> float | None:
    if value is None:
        return None
    value = float(value)
    if not math.isfinite(value):
        return None
    # The package stores K converted from degC, which leaves float noise such
    # as 13.989999999999952; three decimals is beyond any source precision.
    return round(value, 3)


class Sheet:
    """One element's Properties and their Sources, filled value by value."""

    def __init__(self, symbol: str) -> None:
        self.symbol = symbol
        self.props: dict[str, float | int] = {}
        self.sources: dict[str, dict[str, Any]] = {}

    def put(self, key: str, value: float | int | None, source: str, *, uncertainty: float | None = None,
            conditions: str | None = None) -> None:
        if value is None:
            return
        fix = CORRECTIONS.get(self.symbol, {}).get(key)
        if fix is not None:
            value, source = fix
            uncertainty = None
        if isinstance(value, float):
            value = float(f"{value:.12g}")  # drops noise such as 110.00000000000001
        entry: dict[str, Any] = {"source": source}
        if uncertainty is not None:
            entry["uncertainty"] = uncertainty
        if conditions is not None:
            entry["conditions"] = conditions
        self.props[key] = value
        self.sources[key] = entry


def transitions(el: Any) -> tuple[float | None, float | None, float | None, Any]:
    """(melting K, boiling K, sublimation K, the transition record) for the usual form."""
    wanted = ALLOTROPE.get(el.symbol)
    pts = list(el.phase_transitions or [])
    if wanted is None:
        t = pts[0] if pts else None
        if t is None:
            return None, None, None, None
        return kelvin(t.melting_point), kelvin(t.boiling_point), None, t
    chosen = [t for t in pts if t.allotrope == wanted]
    if not chosen:
        raise SystemExit(f"{el.symbol}: no phase transition for {wanted}")
    t = chosen[0]
    melt, boil, sublimation = t.melting_point, t.boiling_point, None
    if t.is_transition:
        # Orthorhombic sulfur turns monoclinic before it melts: the melting
        # point at 1 atm is that of the monoclinic form.
        melt = next((u.melting_point for u in pts if not u.is_transition and u.melting_point), None)
    if t.is_sublimation_point:
        # At 1 atm this form goes straight to vapour; the melting point quoted
        # with it is the triple point at higher pressure.
        sublimation, boil, melt = boil, None, None
    return kelvin(melt), kelvin(boil), kelvin(sublimation), t


def half_life_s(iso: Any) -> float | None:
    units = {"nsec": 1e-9, "usec": 1e-6, "msec": 1e-3, "sec": 1.0, "minute": 60.0, "hour": 3600.0,
             "day": 86400.0, "year": 3.15576e7, "kyear": 3.15576e10, "Myear": 3.15576e13}
    if iso.half_life is None or iso.half_life_unit not in units:
        return None
    return float(iso.half_life) * units[iso.half_life_unit]


def cell_volume_pm3(structure: dict[str, float]) -> tuple[str, float, float | None] | None:
    """(structure name, a in pm, c in pm) for a cell given by the tabulated constants."""
    name = STRUCTURE_NAMES.get(structure.get("symmetry", ""))
    if name is None or "a" not in structure:
        return None
    a = structure["a"] * 100.0
    c = structure["c/a"] * a if name == "hcp" else None
    return name, round(a, 1), None if c is None else round(c, 1)


def moduli(sheet: Sheet, pmg: Any) -> None:
    """Young's, shear and bulk moduli and Poisson's ratio, kept only as a set
    that agrees with itself (E = 2G(1 + nu) within 3 %): a set that does not
    mixes measurements of different samples."""
    data = pmg.data
    e, g, k, nu = (data.get(n) for n in ("Youngs modulus", "Rigidity modulus", "Bulk modulus",
                                         "Poissons ratio"))
    numbers = {key: float(v) for key, v in (("youngs_modulus_GPa", e), ("shear_modulus_GPa", g),
                                            ("bulk_modulus_GPa", k), ("poisson_ratio", nu))
               if isinstance(v, (int, float))}
    if {"youngs_modulus_GPa", "shear_modulus_GPa", "poisson_ratio"} <= set(numbers):
        implied = 2.0 * numbers["shear_modulus_GPa"] * (1.0 + numbers["poisson_ratio"])
        if abs(implied - numbers["youngs_modulus_GPa"]) > 0.03 * numbers["youngs_modulus_GPa"]:
            return
        # E = 3K(1 - 2 nu) magnifies the error of nu; a bulk modulus further
        # off than 15 % belongs to another sample.
        if "bulk_modulus_GPa" in numbers and numbers["poisson_ratio"] < 0.45:
            implied = 3.0 * numbers["bulk_modulus_GPa"] * (1.0 - 2.0 * numbers["poisson_ratio"])
            if abs(implied - numbers["youngs_modulus_GPa"]) > 0.15 * numbers["youngs_modulus_GPa"]:
                del numbers["bulk_modulus_GPa"]
    for key, value in numbers.items():
        sheet.put(key, value, "WebElements", conditions="polycrystalline, room temperature")


def build(z: int) -> dict[str, Any]:
    el = element(z)
    pt_el = periodictable.elements[z]
    if pt_el.symbol != el.symbol:
        raise SystemExit(f"Z={z}: packages disagree on symbol {el.symbol}/{pt_el.symbol}")
    sym = el.symbol
    s = Sheet(sym)
    s.put("atomic_number", z, "IUPAC2021-AW")
    if el.group_id is not None:
        s.put("group", int(el.group_id), "IUPAC-table")
    s.put("period", int(el.period), "IUPAC-table")

    # Standard atomic weight, or for an element that has none (no stable
    # isotope, none with a characteristic terrestrial composition) the mass
    # number of its longest-lived isotope.
    has_weight = not (z in (43, 61) or 84 <= z <= 89 or z >= 93)
    if has_weight:
        s.put("atomic_mass_u", float(pt_el.mass), "IUPAC2021-AW",
              uncertainty=getattr(pt_el, "_mass_unc", None))
    else:
        lives = [(half_life_s(i), i) for i in el.isotopes]
        t, iso = max(((t, i) for t, i in lives if t is not None), key=lambda p: p[0])
        s.put("mass_number_longest_lived", int(iso.mass_number), "NUBASE2020-m")
        s.put("half_life_longest_lived_s", float(f"{t:.4g}"), "NUBASE2020-m")

    measured = z <= LAST_MEASURED_Z
    melt, boil, subl, record = transitions(el)
    if measured:
        if melt is not None and sym not in ESTIMATED_MELTING:
            s.put("melting_point_K", melt, "CRC97-MBTC-m", conditions="101.325 kPa")
        s.put("boiling_point_K", boil, "CRC97-MBTC-m", conditions="101.325 kPa")
        s.put("sublimation_point_K", subl, "CRC97-MBTC-m", conditions="101.325 kPa")
        if record is not None and record.triple_point_temperature and subl is not None:
            s.put("triple_point_K", kelvin(record.triple_point_temperature), "CRC97-MBTC-m")
            s.put("triple_point_pressure_kPa", float(record.triple_point_pressure), "CRC97-MBTC-m")

    # Density: the condensed element at 20 degC (CRC 80th ed.), gases at 25 degC.
    if measured and sym not in ESTIMATED_DENSITY:
        if sym in GASES:
            if el.density:
                s.put("Density_kg_m3", round(float(el.density) * 1000.0, 6), "CRC95-m",
                      conditions="ideal gas, 298.15 K, 101.325 kPa")
        else:
            caveat = (getattr(pt_el, "density_caveat", "") or "").lower()
            if pt_el.density is not None and not any(w in caveat for w in ("calculated", "estimated")):
                s.put("Density_kg_m3", round(float(pt_el.density) * 1000.0, 6), "CRC80-PT",
                      conditions="20 degC" if not caveat else f"20 degC ({caveat})")
            elif el.density:
                s.put("Density_kg_m3", round(float(el.density) * 1000.0, 6), "CRC95-m",
                      conditions="near room temperature")

    # A correction also fills a value the package lacks (Kr).
    en = el.en_pauling
    if en is None and "electronegativity_pauling" in CORRECTIONS.get(sym, {}):
        en = CORRECTIONS[sym]["electronegativity_pauling"][0]
    s.put("electronegativity_pauling", None if en is None else float(en), "CRC95-m")

    if measured:
        s.put("atomic_radius_pm", el.atomic_radius and float(el.atomic_radius), "Slater1964")
        s.put("covalent_radius_pm", el.covalent_radius_pyykko and float(el.covalent_radius_pyykko),
              "Pyykko2009", conditions="single bond")
        s.put("vdw_radius_pm", el.vdw_radius and float(el.vdw_radius), "CRC95-m")
        ea = el.electron_affinity
        if ea is not None and ea > 0:  # negative values are metastable ions, not bound anions
            s.put("electron_affinity_eV", float(ea), "CRC95-m")
    # First ionisation energies are measured up to lawrencium (single atoms).
    ie = (el.ionenergies or {}).get(1)
    if z <= LAST_IONIZED_Z:
        s.put("first_ionization_energy_eV", ie and float(ie), "NIST-ASD-m")

    if measured:
        cp = el.specific_heat_capacity
        s.put("specific_heat_J_kgK", cp and round(float(cp) * 1000.0, 3), "CRC95-m",
              conditions="25 degC, 100 kPa")
        s.put("thermal_conductivity_W_mK", el.thermal_conductivity and float(el.thermal_conductivity),
              "mendeleev", conditions="25 degC")
        s.put("heat_of_fusion_kJ_mol", el.fusion_heat and float(el.fusion_heat), "mendeleev")
        s.put("heat_of_vaporization_kJ_mol", el.evaporation_heat and float(el.evaporation_heat), "mendeleev")
        if sym not in GASES | LIQUIDS:
            moduli(s, PmgElement(sym))

    extra: dict[str, Any] = {}
    structure = getattr(pt_el, "crystal_structure", None) or {}
    cell = cell_volume_pm3(structure) if measured else None
    # Allotropic elements are left out too: the tabulated cell is not always
    # that of the form the sheet describes (diamond for carbon, say).
    if cell and sym not in GASES | LIQUIDS | LOW_TEMPERATURE_LATTICE | NOT_HCP | set(ALLOTROPE):
        name, a, c = cell
        extra["Crystal_structure"] = name
        s.sources["Crystal_structure"] = {"source": "AshcroftMermin1976", "conditions": "room temperature"}
        s.put("lattice_a_pm", a, "AshcroftMermin1976", conditions="room temperature")
        if c is not None:
            s.put("lattice_c_pm", c, "AshcroftMermin1976", conditions="room temperature")

    isotopes = [{"mass_number": int(i.isotope), "atomic_mass_u": float(i.mass),
                 "abundance_fraction": round(float(i.abundance) / 100.0, 8)}
                for i in pt_el if i.isotope > 0 and i.abundance > 0]

    notes = []
    if sym in ALLOTROPE_TEXT:
        notes.append(f"Values are for {ALLOTROPE_TEXT[sym]}.")
    if sym == "S":
        notes.append("Orthorhombic sulfur turns monoclinic at 368.3 K; the melting point is that of "
                     "monoclinic sulfur.")
    if subl is not None:
        notes.append("At 101.325 kPa the solid sublimes; the liquid exists only above the triple point.")
    if not has_weight:
        notes.append("No standard atomic weight: no isotope is stable or abundant in nature, so the "
                     "mass number of the longest-lived known isotope is given instead of an atomic mass.")
    if sym == "Rn":
        notes.append("No Pauling electronegativity: no radon compound has measured bond energies.")
    if sym in ("Np", "Am", "Cm", "Ra"):
        notes.append("No boiling point: the values quoted in the literature are extrapolated from "
                     "vapour pressures measured far below it, and disagree by hundreds of kelvin.")
    if not measured:
        notes.append("Only atoms, never a weighable amount, have been made: bulk properties are unknown.")
    if z > LAST_IONIZED_Z:
        notes.append("Electron configuration and ionisation energy are only computed, never measured.")

    out: dict[str, Any] = {
        "Symbol": sym,
        "Aliases": [el.name.lower()] + EXTRA_ALIASES.get(sym, []),
        "Block": el.block,
    }
    if z <= LAST_IONIZED_Z:
        out["Electron_configuration"] = str(el.econf)
        s.sources["Electron_configuration"] = {"source": "NIST-ASD-m", "conditions": "ground state"}
    oxi = sorted(int(o) for o in (el.oxistates or []))
    if oxi:
        out["Oxidation_states"] = oxi
        s.sources["Oxidation_states"] = {"source": "mendeleev", "conditions": "common states"}
    out.update(extra)
    if isotopes:
        out["Isotopes"] = isotopes
        s.sources["Isotopes"] = {"source": ["AME2020", "CIAAW2021-IC"],
                                 "conditions": "abundances are the middle of the CIAAW ranges"}
    out["Properties"] = s.props
    out["Sources"] = {k: s.sources[k] for k in sorted(s.sources)}
    if notes:
        out["Notes"] = " ".join(notes)
    out["Provenance"] = "generated by scripts/generate_atoms.py"
    if "Density_kg_m3" in s.props:
        out["Density_kg_m3"] = s.props["Density_kg_m3"]
    return out


def main() -> int:
    warnings.simplefilter("ignore")  # allotrope warnings are handled above
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    for z in range(1, 119):
        data = build(z)
        path = OUT_DIR / f"{data['Symbol']}.json"
        text = json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False)
        path.write_text(text + "\n", encoding="utf-8")
    print(f"wrote 118 element sheets to {OUT_DIR} (mendeleev {mendeleev.__version__}, "
          f"periodictable {periodictable.__version__})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
