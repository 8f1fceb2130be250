#!/usr/bin/env python3
"""Compares shipped datasheet values with reference values from primary sources.

    python scripts/audit_datasheets.py          # exit status 1 on any clear error

Every reference below names its source (keys as in DATA_SOURCES.md). A value
further from its reference than the tolerance is a clear error; so is a value
that must not be there at all (a melting point of an element that sublimes at
1 atm, say). The tests run this script's check, so the shipped data stays
clean.
"""
from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / "python" / "lumivarex" / "data" / "active"


@dataclass(frozen=True)
class Ref:
    tier: str
    entry: str
    key: str
    value: float | None  # None: the key must be absent
    tolerance: float
    source: str


def refs() -> list[Ref]:
    out: list[Ref] = []

    def add(tier: str, entry: str, key: str, value: float | None, tol: float, source: str) -> None:
        out.append(Ref(tier, entry, key, value, tol, source))

    # Melting and boiling points at 101.325 kPa (CRC Handbook 97th ed., section 4,
    # "Melting, boiling, triple, and critical points of the elements").
    for sym, key, kelvin in (("In", "boiling_point_K", 2345.0), ("Au", "boiling_point_K", 3129.0),
                             ("W", "melting_point_K", 3695.0), ("U", "melting_point_K", 1405.3),
                             ("Fe", "melting_point_K", 1811.0), ("Cu", "melting_point_K", 1357.77),
                             ("Al", "melting_point_K", 933.47), ("Ag", "melting_point_K", 1234.93),
                             ("Au", "melting_point_K", 1337.33), ("Hg", "melting_point_K", 234.32),
                             ("Hg", "boiling_point_K", 629.88), ("Pb", "melting_point_K", 600.61),
                             ("Ga", "melting_point_K", 302.91), ("Pt", "melting_point_K", 2041.4)):
        add("atom", sym, key, kelvin, 1.5, "CRC97-MBTC")
    # Arsenic sublimes at 1 atm; 1090 K is its triple point at 3.70 MPa.
    add("atom", "As", "melting_point_K", None, 0, "CRC97-MBTC")
    add("atom", "As", "boiling_point_K", None, 0, "CRC97-MBTC")
    add("atom", "As", "triple_point_K", 1090.0, 1.5, "CRC97-MBTC")
    add("atom", "As", "triple_point_pressure_kPa", 3700.0, 50.0, "CRC97-MBTC")
    add("atom", "C", "melting_point_K", None, 0, "CRC97-MBTC")

    # Pauling electronegativities (CRC Handbook 97th ed., section 9, "Electronegativity").
    for sym, en in (("Lu", 1.27), ("Tc", 1.9), ("W", 2.36), ("U", 1.38), ("Au", 2.54), ("Pt", 2.28),
                    ("Hg", 2.00), ("Bi", 2.02), ("Np", 1.36), ("Mo", 2.16), ("Fe", 1.83), ("F", 3.98),
                    ("O", 3.44), ("Cs", 0.79), ("H", 2.20), ("C", 2.55)):
        add("atom", sym, "electronegativity_pauling", en, 0.005, "CRC97-EN")
    add("atom", "Kr", "electronegativity_pauling", 3.0, 0.05, "AllenHuheey1980")
    add("atom", "Xe", "electronegativity_pauling", 2.6, 0.05, "AllenHuheey1980")

    # Densities of the solid elements near room temperature, kg/m^3 (CRC Handbook
    # 97th ed., section 4, "Physical constants of inorganic compounds").
    for sym, rho in (("Sr", 2640.0), ("Ba", 3620.0), ("Cs", 1930.0), ("Fe", 7874.0), ("Cu", 8960.0),
                     ("Al", 2700.0), ("Au", 19300.0), ("W", 19300.0), ("Pb", 11300.0)):
        add("atom", sym, "Density_kg_m3", rho, 0.006 * rho, "CRC97-PCIC")

    # Standard atomic weights, abridged (IUPAC 2021: Prohaska et al. 2022).
    for sym, weight in (("H", 1.008), ("C", 12.011), ("N", 14.007), ("O", 15.999), ("Fe", 55.845),
                        ("Cu", 63.546), ("Ar", 39.95), ("Pb", 207.2), ("U", 238.03), ("Hf", 178.49),
                        ("Ir", 192.22)):
        add("atom", sym, "atomic_mass_u", weight, 0.0051, "IUPAC2021-AW")
    # No standard atomic weight: no atomic mass at all, rather than a mass number.
    for sym in ("Tc", "Pm", "Po", "Ra", "Lr", "Sg", "Bh", "Mt", "Rg", "Mc", "Og"):
        add("atom", sym, "atomic_mass_u", None, 0, "IUPAC2021-AW")

    # Ceramics: melting point of Al2O3, 2053 degC (CRC Handbook 97th ed.,
    # "Physical constants of inorganic compounds").
    add("ceramic", "alumina", "melting_point_K", 2326.15, 1.0, "CRC97-PCIC")

    # Particles (CODATA 2022 recommended values).
    codata = (("electron", "mass_kg", 9.1093837139e-31), ("positron", "mass_kg", 9.1093837139e-31),
              ("proton", "mass_kg", 1.67262192595e-27), ("antiproton", "mass_kg", 1.67262192595e-27),
              ("neutron", "mass_kg", 1.67492750056e-27), ("muon", "mass_kg", 1.883531627e-28),
              ("positive muon", "mass_kg", 1.883531627e-28), ("neutron", "g_factor", -3.82608552),
              ("deuteron", "mass_kg", 3.3435837768e-27), ("alpha particle", "mass_kg", 6.6446573450e-27),
              ("helion", "mass_kg", 5.0064127862e-27), ("triton", "mass_kg", 5.0073567512e-27),
              ("proton", "rms_charge_radius_m", 8.4075e-16), ("electron", "g_factor", -2.00231930436092))
    for entry, key, value in codata:
        add("subatomic", entry, key, value, abs(value) * 2e-11, "CODATA2022")
    return out


def load(tier: str, entry: str) -> dict[str, object]:
    data: dict[str, object] = json.loads((DATA / tier / f"{entry}.json").read_text(encoding="utf-8"))
    return data


def clear_errors() -> list[str]:
    """One line per shipped value that contradicts its reference."""
    errors = []
    for r in refs():
        props = load(r.tier, r.entry).get("Properties")
        assert isinstance(props, dict)
        shipped = props.get(r.key)
        where = f"{r.tier}/{r.entry} {r.key}"
        if r.value is None:
            if shipped is not None:
                errors.append(f"{where} = {shipped}: must be absent ({r.source})")
        elif not isinstance(shipped, (int, float)):
            errors.append(f"{where} missing: {r.value} ({r.source})")
        elif abs(shipped - r.value) > r.tolerance:
            errors.append(f"{where} = {shipped}, reference {r.value} ({r.source})")
    return errors


def main() -> int:
    errors = clear_errors()
    for line in errors:
        print(line)
    print(f"{len(refs())} values compared, {len(errors)} clear errors", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
