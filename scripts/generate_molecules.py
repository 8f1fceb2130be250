#!/usr/bin/env python3
"""Generate the molecule datasheets listed in MOLECULES below.

The other sheets of the molecule tier are hand-made and left alone. Rerun
after changing this script:

    python -m venv /tmp/gen && /tmp/gen/bin/pip install chemicals==1.5.2 periodictable==2.1.0
    /tmp/gen/bin/python scripts/generate_molecules.py

Melting and boiling points and refractive indices come from the CRC Handbook
of Chemistry and Physics, 95th ed. (2014), tables "Physical constants of
organic compounds" and "Physical constants of inorganic compounds", as
tabulated in the chemicals package; a refractive index is kept only where the
substance is a liquid at 1 atm at the temperature it is given for. Molar
masses are computed from the formula with the IUPAC 2021 standard atomic
weights (abridged).
"""
from __future__ import annotations

import json
import math
import re
import sys
from pathlib import Path
from typing import Any

import chemicals
import chemicals.miscdata
import periodictable
from chemicals import refractivity

ROOT = Path(__file__).resolve().parents[1]
OUT_DIR = ROOT / "python" / "lumivarex" / "data" / "active" / "molecule"

# name -> (CAS number, formula, aliases)
MOLECULES: dict[str, tuple[str, str, list[str]]] = {
    "pentane": ("109-66-0", "C5H12", ["n-pentane"]),
    "hexane": ("110-54-3", "C6H14", ["n-hexane"]),
    "heptane": ("142-82-5", "C7H16", ["n-heptane"]),
    "octane": ("111-65-9", "C8H18", ["n-octane"]),
    "cyclohexane": ("110-82-7", "C6H12", []),
    "ethane": ("74-84-0", "C2H6", []),
    "propane": ("74-98-6", "C3H8", []),
    "butane": ("106-97-8", "C4H10", ["n-butane"]),
    "ethylene": ("74-85-1", "C2H4", ["ethene"]),
    "acetic acid": ("64-19-7", "CH3COOH", ["ethanoic acid"]),
    "formic acid": ("64-18-6", "HCOOH", ["methanoic acid"]),
    "diethyl ether": ("60-29-7", "C4H10O", ["ether", "ethoxyethane"]),
    "chloroform": ("67-66-3", "CHCl3", ["trichloromethane"]),
    "dichloromethane": ("75-09-2", "CH2Cl2", ["methylene chloride", "DCM"]),
    "carbon tetrachloride": ("56-23-5", "CCl4", ["tetrachloromethane", "CCl4"]),
    "dimethyl sulfoxide": ("67-68-5", "C2H6OS", ["DMSO"]),
    "acetonitrile": ("75-05-8", "CH3CN", ["methyl cyanide"]),
    "ethylene glycol": ("107-21-1", "C2H6O2", ["ethane-1,2-diol"]),
    "2-propanol": ("67-63-0", "C3H8O", ["isopropanol", "isopropyl alcohol"]),
    "1-butanol": ("71-36-3", "C4H10O", ["n-butanol", "butan-1-ol"]),
    "ethyl acetate": ("141-78-6", "C4H8O2", ["ethyl ethanoate"]),
    "tetrahydrofuran": ("109-99-9", "C4H8O", ["THF", "oxolane"]),
    "pyridine": ("110-86-1", "C5H5N", []),
    "aniline": ("62-53-3", "C6H7N", ["aminobenzene"]),
    "phenol": ("108-95-2", "C6H6O", ["hydroxybenzene"]),
    "naphthalene": ("91-20-3", "C10H8", []),
    "styrene": ("100-42-5", "C8H8", ["vinylbenzene"]),
    "p-xylene": ("106-42-3", "C8H10", ["1,4-dimethylbenzene"]),
    "urea": ("57-13-6", "CH4N2O", ["carbamide"]),
    "hydrogen peroxide": ("7722-84-1", "H2O2", ["H2O2"]),
    "ammonia": ("7664-41-7", "NH3", ["NH3"]),
    "carbon monoxide": ("630-08-0", "CO", ["CO"]),
    "nitric oxide": ("10102-43-9", "NO", ["nitrogen monoxide", "NO"]),
    "nitrous oxide": ("10024-97-2", "N2O", ["dinitrogen monoxide", "N2O"]),
    "hydrogen fluoride": ("7664-39-3", "HF", ["HF"]),
    "hydrogen chloride": ("7647-01-0", "HCl", ["HCl"]),
    "hydrogen sulfide": ("7783-06-4", "H2S", ["H2S"]),
    "sulfur dioxide": ("7446-09-5", "SO2", ["SO2"]),
}


def molar_mass(formula: str) -> float:
    total = 0.0
    for symbol, count in re.findall(r"([A-Z][a-z]?)(\d*)", formula):
        total += periodictable.elements.symbol(symbol).mass * (int(count) if count else 1)
    return round(total, 3)


def crc_row(cas: str) -> Any:
    for table in (chemicals.miscdata.CRC_organic_data, chemicals.miscdata.CRC_inorganic_data):
        if cas in table.index:
            return table.loc[cas]
    raise SystemExit(f"{cas}: not in the CRC tables")


def finite(value: Any) -> float | None:
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


def build(name: str, cas: str, formula: str, aliases: list[str]) -> dict[str, Any]:
    row = crc_row(cas)
    props: dict[str, float] = {"molar_mass_g_mol": molar_mass(formula)}
    sources: dict[str, Any] = {"molar_mass_g_mol": {"source": "IUPAC2021-AW",
                                                    "conditions": "computed from the formula"}}
    melt, boil = finite(row.get("Tm")), finite(row.get("Tb"))
    if melt is not None:
        props["melting_point_K"] = round(melt, 3)
        sources["melting_point_K"] = {"source": "CRC95-chem", "conditions": "101.325 kPa"}
    if boil is not None:
        props["boiling_point_K"] = round(boil, 3)
        sources["boiling_point_K"] = {"source": "CRC95-chem", "conditions": "101.325 kPa"}
    try:
        ri, at = refractivity.RI(cas, method="CRC")
    except Exception:  # no CRC index for this compound
        ri, at = None, None
    if ri is not None and at is not None and melt is not None and boil is not None and melt < at < boil:
        props["IOR"] = float(ri)
        sources["IOR"] = {"source": "CRC95-chem", "conditions": f"589 nm, liquid at {at - 273.15:g} degC"}
    doc: dict[str, Any] = {"Aliases": [name] + aliases, "Formula": formula}
    if "IOR" in props:
        doc["IOR"] = props["IOR"]
    doc["Properties"] = props
    doc["Sources"] = {k: sources[k] for k in sorted(sources)}
    doc["Provenance"] = "generated by scripts/generate_molecules.py"
    return doc


def main() -> int:
    for name, (cas, formula, aliases) in MOLECULES.items():
        text = json.dumps(build(name, cas, formula, aliases), indent=2, ensure_ascii=False, allow_nan=False)
        (OUT_DIR / f"{name}.json").write_text(text + "\n", encoding="utf-8")
    print(f"wrote {len(MOLECULES)} molecule sheets (chemicals {chemicals.__version__})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
