#!/usr/bin/env python3
"""Generate the 118 element datasheets under python/lumivarex/data/active/atom/.

Run once by hand (the output is committed):

    pip install mendeleev==1.3.0 periodictable==2.1.0
    python scripts/generate_atoms.py

Where the numbers come from:
  * atomic number, atomic mass, melting/boiling points and Pauling
    electronegativity: ``mendeleev``;
  * densities of elements that are solid or liquid at room temperature:
    ``periodictable`` (it quotes more digits than mendeleev, e.g. Fe 7.874
    g/cm^3, and flags calculated or estimated values, which are left out);
  * densities of elements that are gases at 25 degC: ``mendeleev`` (gas at
    298.15 K and 101.325 kPa).

Both packages give density in g/cm^3; the sheets store kg/m^3 (x 1000).
Values that are only theoretical predictions (superheavy elements) are
omitted rather than shipped as if measured: a missing key means "not known".
"""
from __future__ import annotations

import json
import math
import sys
import warnings
from pathlib import Path

import mendeleev
import periodictable
from mendeleev import element

ROOT = Path(__file__).resolve().parents[1]
OUT_DIR = ROOT / "python" / "lumivarex" / "data" / "active" / "atom"

# Elements that are gases at 25 degC and 1 atm.
GASES = {"H", "He", "N", "O", "F", "Ne", "Cl", "Ar", "Kr", "Xe", "Rn"}

# For elements with several allotropes, the form whose transitions are quoted.
PREFERRED_ALLOTROPE = {"C": "graphite", "P": "white", "S": "monoclinic",
                       "Se": "gray", "Sn": "white", "As": "gray"}

# periodictable density caveats that mean "not a measured bulk density".
REJECTED_DENSITY_CAVEATS = ("calculated", "estimated", "unavailable")

# Above this atomic number mendeleev's melting points and densities are
# predictions; no element past einsteinium has been made in weighable amounts.
LAST_MEASURED_Z = 99

# Melting points that are estimates even though the element is lighter.
ESTIMATED_MELTING = {"At", "Fr"}

# Extra common spellings.
EXTRA_ALIASES = {"Al": ["aluminium"], "Cs": ["caesium"], "S": ["sulphur"]}


def kelvin(value) -> float | None:
    if value is None:
        return None
    value = float(value)
    if not math.isfinite(value):
        return None
    # The package stores K converted from degC, which leaves float noise such
    # as 13.989999999999952; three decimals is beyond any source precision.
    return round(value, 3)


def transitions(el):
    """(melting K, boiling K, sublimation K) for the element's usual form."""
    wanted = PREFERRED_ALLOTROPE.get(el.symbol)
    melt, boil = el.melting_point, el.boiling_point
    sublimation = None
    pts = list(el.phase_transitions or [])
    if wanted is not None:
        chosen = [t for t in pts if t.allotrope == wanted]
        if not chosen:
            raise SystemExit(f"{el.symbol}: no phase transition for {wanted}")
        t = chosen[0]
        melt = None if t.is_transition else t.melting_point
        boil = t.boiling_point
        if t.is_sublimation_point:
            # Under 1 atm this form goes straight to vapour; the quoted
            # "boiling" point is a sublimation point and the melting point, if
            # any, belongs to the triple point at higher pressure.
            sublimation, boil = boil, None
    return kelvin(melt), kelvin(boil), kelvin(sublimation)


def density_kg_m3(el, pt_el) -> float | None:
    if el.atomic_number > LAST_MEASURED_Z:
        return None
    if el.symbol in GASES:
        g_cm3 = el.density
    else:
        caveat = (getattr(pt_el, "density_caveat", "") or "").lower()
        if pt_el.density is None or any(w in caveat for w in REJECTED_DENSITY_CAVEATS):
            return None
        g_cm3 = pt_el.density
    if g_cm3 is None:
        return None
    return round(float(g_cm3) * 1000.0, 6)


def sheet(z: int) -> dict:
    el = element(z)
    pt_el = periodictable.elements[z]
    if pt_el.symbol != el.symbol:
        raise SystemExit(f"Z={z}: packages disagree on symbol {el.symbol}/{pt_el.symbol}")

    props: dict[str, float] = {
        "atomic_number": z,
        "atomic_mass_u": float(el.atomic_weight),
    }
    rho = density_kg_m3(el, pt_el)
    if rho is not None:
        props["Density_kg_m3"] = rho
    if z <= LAST_MEASURED_Z:
        melt, boil, subl = transitions(el)
        if melt is not None and el.symbol not in ESTIMATED_MELTING:
            props["melting_point_K"] = melt
        if boil is not None:
            props["boiling_point_K"] = boil
        if subl is not None:
            props["sublimation_point_K"] = subl
    en = el.electronegativity("pauling")
    if en is not None:
        props["electronegativity_pauling"] = float(en)

    name = el.name.lower()
    notes = [f"Generated from mendeleev {mendeleev.__version__}"
             f" and periodictable {periodictable.__version__}."]
    if "Density_kg_m3" in props:
        if el.symbol in GASES:
            notes.append("Density of the gas at 298.15 K and 101.325 kPa.")
        else:
            notes.append("Density of the condensed element near room temperature.")
    if z in (43, 61) or (z >= 84 and el.symbol not in ("Th", "Pa", "U")):
        notes.append("No stable isotope: atomic mass is that of a long-lived isotope.")

    out = {
        "Symbol": el.symbol,
        "Aliases": [name] + EXTRA_ALIASES.get(el.symbol, []),
        "Properties": props,
        "Source": " ".join(notes),
    }
    if "Density_kg_m3" in props:
        out["Density_kg_m3"] = props["Density_kg_m3"]
    return out


def main() -> int:
    warnings.simplefilter("ignore")  # allotrope warnings are handled above
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    for z in range(1, 119):
        data = sheet(z)
        path = OUT_DIR / f"{data['Symbol']}.json"
        text = json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False)
        path.write_text(text + "\n", encoding="utf-8")
    print(f"wrote 118 element sheets to {OUT_DIR}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
