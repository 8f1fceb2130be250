#!/usr/bin/env python3
"""Generate the engineering-material datasheets tabulated below (alloy,
ceramic and composite tiers). Sheets of those tiers not listed here are
hand-made and left alone.

    python scripts/generate_materials.py

The numbers are typed in from the handbooks and data sheets named per row
(citation keys as in DATA_SOURCES.md); they are typical values for the stated
condition, not minima, unless a row says otherwise. The quasi-isotropic
constants of the fibre laminates are computed here from their lamina
constants with classical lamination theory.
"""
from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "python" / "lumivarex" / "data" / "active"

IACS_OHM_M = 1.7241e-8  # resistivity of the International Annealed Copper Standard (100 % IACS)


def c_to_k(celsius: float) -> float:
    return round(celsius + 273.15, 2)


def iacs(percent: float) -> float:
    return float(f"{IACS_OHM_M * 100.0 / percent:.3g}")


# Column order of the metal tables and each column's conditions.
METAL_KEYS = ("Density_kg_m3", "youngs_modulus_GPa", "poisson_ratio", "thermal_conductivity_W_mK",
              "specific_heat_J_kgK", "thermal_expansion_1_K", "electrical_resistivity_ohm_m", "solidus_K",
              "liquidus_K")

# name -> (aliases, source, conditions per key, values in METAL_KEYS order; None: not given)
Row = tuple[list[str], str, dict[str, str], tuple[float | None, ...]]

STAINLESS_CONDITIONS = {"thermal_conductivity_W_mK": "100 degC", "specific_heat_J_kgK": "0-100 degC",
                        "thermal_expansion_1_K": "0-100 degC", "electrical_resistivity_ohm_m": "20 degC",
                        "youngs_modulus_GPa": "annealed, room temperature"}
STEEL_CONDITIONS = {"thermal_conductivity_W_mK": "room temperature", "specific_heat_J_kgK": "room temperature",
                    "thermal_expansion_1_K": "20-100 degC", "electrical_resistivity_ohm_m": "20 degC"}
NONFERROUS_CONDITIONS = {"thermal_conductivity_W_mK": "20-25 degC", "specific_heat_J_kgK": "20-25 degC",
                         "thermal_expansion_1_K": "20-100 degC", "electrical_resistivity_ohm_m": "20 degC"}
COPPER_CONDITIONS = {"thermal_conductivity_W_mK": "20 degC", "specific_heat_J_kgK": "20 degC",
                     "thermal_expansion_1_K": "20-300 degC", "electrical_resistivity_ohm_m":
                     "20 degC, from the conductivity in % IACS"}

ALLOYS: dict[str, Row] = {
    # Wrought stainless steels, annealed.
    "304 stainless": (["AISI 304", "UNS S30400", "EN 1.4301", "18-8 stainless"], "ASM-SS", STAINLESS_CONDITIONS,
                      (8000, 193, None, 16.2, 500, 17.2e-6, 7.2e-7, c_to_k(1400), c_to_k(1450))),
    "304L stainless": (["AISI 304L", "UNS S30403", "EN 1.4307"], "ASM-SS", STAINLESS_CONDITIONS,
                       (8000, 193, None, 16.2, 500, 17.2e-6, 7.2e-7, c_to_k(1400), c_to_k(1450))),
    "316 stainless": (["AISI 316", "UNS S31600", "EN 1.4401"], "ASM-SS", STAINLESS_CONDITIONS,
                      (8000, 193, None, 16.2, 500, 15.9e-6, 7.4e-7, c_to_k(1375), c_to_k(1400))),
    "321 stainless": (["AISI 321", "UNS S32100", "EN 1.4541"], "ASM-SS", STAINLESS_CONDITIONS,
                      (8000, 193, None, 16.1, 500, 16.6e-6, 7.2e-7, c_to_k(1400), c_to_k(1425))),
    "347 stainless": (["AISI 347", "UNS S34700", "EN 1.4550"], "ASM-SS", STAINLESS_CONDITIONS,
                      (8000, 193, None, 16.1, 500, 16.6e-6, 7.3e-7, c_to_k(1400), c_to_k(1425))),
    "310S stainless": (["AISI 310S", "UNS S31008", "EN 1.4845"], "ASM-SS", STAINLESS_CONDITIONS,
                       (8000, 200, None, 14.2, 500, 15.9e-6, 7.8e-7, c_to_k(1400), c_to_k(1450))),
    "410 stainless": (["AISI 410", "UNS S41000", "EN 1.4006"], "ASM-SS", STAINLESS_CONDITIONS,
                      (7800, 200, None, 24.9, 460, 9.9e-6, 5.7e-7, c_to_k(1480), c_to_k(1530))),
    "420 stainless": (["AISI 420", "UNS S42000", "EN 1.4021"], "ASM-SS", STAINLESS_CONDITIONS,
                      (7800, 200, None, 24.9, 460, 10.3e-6, 5.5e-7, c_to_k(1450), c_to_k(1510))),
    "430 stainless": (["AISI 430", "UNS S43000", "EN 1.4016"], "ASM-SS", STAINLESS_CONDITIONS,
                      (7800, 200, None, 26.1, 460, 10.4e-6, 6.0e-7, c_to_k(1425), c_to_k(1510))),
    "17-4 PH stainless": (["17-4PH", "UNS S17400", "EN 1.4542", "type 630"], "ASM-SS",
                          {**STAINLESS_CONDITIONS, "youngs_modulus_GPa": "condition H900, room temperature"},
                          (7780, 196, None, 18.3, 460, 10.8e-6, 8.0e-7, c_to_k(1404), c_to_k(1440))),
    # Carbon and low-alloy steels, annealed or normalised.
    "1020 steel": (["AISI 1020", "UNS G10200", "C22"], "ASM-H1", STEEL_CONDITIONS,
                   (7870, 205, 0.29, 51.9, 486, 11.7e-6, 1.59e-7, None, None)),
    "4140 steel": (["AISI 4140", "UNS G41400", "42CrMo4"], "ASM-H1", STEEL_CONDITIONS,
                   (7850, 205, 0.29, 42.6, 473, 12.2e-6, 2.2e-7, None, None)),
    "4340 steel": (["AISI 4340", "UNS G43400", "34CrNiMo6"], "ASM-H1", STEEL_CONDITIONS,
                   (7850, 205, 0.29, 44.5, 475, 12.3e-6, 2.48e-7, None, None)),
    # Wrought and cast aluminium alloys.
    "1100 aluminium": (["AA 1100", "UNS A91100", "1100-O"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2710, 69.0, 0.33, 222, 904, 23.6e-6, iacs(59), c_to_k(643), c_to_k(657))),
    "2024 aluminium": (["AA 2024", "UNS A92024", "2024-T3"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2780, 73.1, 0.33, 121, 875, 23.2e-6, iacs(30), c_to_k(502), c_to_k(638))),
    "3003 aluminium": (["AA 3003", "UNS A93003", "3003-H14"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2730, 68.9, 0.33, 159, 893, 23.2e-6, iacs(41), c_to_k(643), c_to_k(654))),
    "5052 aluminium": (["AA 5052", "UNS A95052", "5052-H32"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2680, 70.3, 0.33, 138, 880, 23.8e-6, iacs(35), c_to_k(607), c_to_k(649))),
    "5083 aluminium": (["AA 5083", "UNS A95083", "5083-H116"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2660, 70.3, 0.33, 117, 900, 23.8e-6, iacs(29), c_to_k(591), c_to_k(638))),
    "6061 aluminium": (["AA 6061", "UNS A96061", "6061-T6"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2700, 68.9, 0.33, 167, 896, 23.6e-6, iacs(43), c_to_k(582), c_to_k(652))),
    "6063 aluminium": (["AA 6063", "UNS A96063", "6063-T6"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2690, 68.9, 0.33, 200, 900, 23.4e-6, iacs(53), c_to_k(615), c_to_k(655))),
    "7075 aluminium": (["AA 7075", "UNS A97075", "7075-T6"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2810, 71.7, 0.33, 130, 960, 23.6e-6, iacs(33), c_to_k(477), c_to_k(635))),
    "A356 aluminium": (["A356.0", "UNS A13560", "A356-T6"], "ASM-H2", NONFERROUS_CONDITIONS,
                       (2685, 72.4, 0.33, 151, 963, 21.4e-6, iacs(40), c_to_k(555), c_to_k(615))),
    # Titanium, magnesium, zinc.
    "grade 2 titanium": (["CP titanium grade 2", "UNS R50400", "ASTM grade 2"], "ASM-Ti", NONFERROUS_CONDITIONS,
                         (4510, 105, 0.37, 16.4, 523, 8.6e-6, 5.6e-7, None, None)),
    "AZ31B magnesium": (["AZ31B", "UNS M11311"], "ASM-H2", NONFERROUS_CONDITIONS,
                        (1770, 45, 0.35, 96, 1000, 26.0e-6, 9.2e-8, c_to_k(605), c_to_k(630))),
    "Zamak 3": (["ZP3", "UNS Z33520", "ZL0400", "zinc alloy 3"], "ASM-H2", NONFERROUS_CONDITIONS,
                (6600, 96, None, 113, 419, 27.4e-6, iacs(27), c_to_k(381), c_to_k(387))),
    # Nickel and iron-nickel alloys, annealed.
    "nickel 200": (["UNS N02200", "Ni 200"], "SMC", NONFERROUS_CONDITIONS,
                   (8890, 204, 0.31, 70.2, 456, 13.3e-6, 9.6e-8, c_to_k(1435), c_to_k(1446))),
    "Monel 400": (["alloy 400", "UNS N04400", "NiCu30Fe"], "SMC", NONFERROUS_CONDITIONS,
                  (8800, 179, 0.32, 21.8, 427, 13.9e-6, 5.47e-7, c_to_k(1300), c_to_k(1350))),
    "Inconel 600": (["alloy 600", "UNS N06600", "NiCr15Fe"], "SMC", NONFERROUS_CONDITIONS,
                    (8470, 207, 0.29, 14.9, 444, 13.3e-6, 1.03e-6, c_to_k(1354), c_to_k(1413))),
    "Inconel 625": (["alloy 625", "UNS N06625", "NiCr22Mo9Nb"], "SMC", NONFERROUS_CONDITIONS,
                    (8440, 205.8, 0.308, 9.8, 410, 12.8e-6, 1.29e-6, c_to_k(1290), c_to_k(1350))),
    "Incoloy 800": (["alloy 800", "UNS N08800"], "SMC", NONFERROUS_CONDITIONS,
                    (7940, 196.5, 0.339, 11.5, 460, 14.4e-6, 9.89e-7, c_to_k(1357), c_to_k(1385))),
    "Hastelloy C-276": (["alloy C-276", "UNS N10276"], "Haynes-C276", NONFERROUS_CONDITIONS,
                        (8890, 205, None, 10.2, 427, 11.2e-6, 1.30e-6, c_to_k(1323), c_to_k(1371))),
    "Invar 36": (["alloy 36", "UNS K93600", "FeNi36"], "SMC", NONFERROUS_CONDITIONS,
                 (8050, 141, None, 10.15, 515, 1.3e-6, 8.2e-7, None, None)),
    # Copper alloys.
    "OFE copper": (["C10100", "UNS C10100", "oxygen-free electronic copper"], "CDA", COPPER_CONDITIONS,
                   (8940, 115, 0.31, 391, 385, 17.7e-6, iacs(101), None, c_to_k(1083))),
    "ETP copper": (["C11000", "UNS C11000", "electrolytic tough pitch copper"], "CDA", COPPER_CONDITIONS,
                   (8890, 115, 0.31, 388, 385, 17.7e-6, iacs(101), c_to_k(1065), c_to_k(1083))),
    "commercial bronze": (["C22000", "UNS C22000", "90/10 brass"], "CDA", COPPER_CONDITIONS,
                          (8800, 115, None, 189, 376, 18.4e-6, iacs(44), c_to_k(1020), c_to_k(1045))),
    "free-cutting brass": (["C36000", "UNS C36000", "CuZn36Pb3"], "CDA", COPPER_CONDITIONS,
                           (8500, 97, None, 115, 380, 20.5e-6, iacs(26), c_to_k(885), c_to_k(900))),
    "naval brass": (["C46400", "UNS C46400"], "CDA", COPPER_CONDITIONS,
                    (8410, 100, None, 116, 380, 21.2e-6, iacs(26), c_to_k(885), c_to_k(900))),
    "phosphor bronze": (["C51000", "UNS C51000", "CuSn5"], "CDA", COPPER_CONDITIONS,
                        (8860, 110, None, 69.6, 380, 17.8e-6, iacs(15), c_to_k(975), c_to_k(1050))),
    "beryllium copper": (["C17200", "UNS C17200", "CuBe2"], "CDA", COPPER_CONDITIONS,
                         (8250, 128, None, 105, 420, 17.8e-6, iacs(22), c_to_k(865), c_to_k(980))),
    "90-10 copper-nickel": (["C70600", "UNS C70600", "CuNi10Fe1Mn"], "CDA", COPPER_CONDITIONS,
                            (8940, 124, None, 40, 380, 17.1e-6, iacs(9), c_to_k(1100), c_to_k(1150))),
    "70-30 copper-nickel": (["C71500", "UNS C71500", "CuNi30Mn1Fe"], "CDA", COPPER_CONDITIONS,
                            (8940, 152, None, 29, 380, 16.2e-6, iacs(4.6), c_to_k(1170), c_to_k(1240))),
    "aluminium bronze": (["C95400", "UNS C95400"], "CDA", COPPER_CONDITIONS,
                         (7450, 107, None, 58.7, 419, 16.2e-6, iacs(13), c_to_k(1027), c_to_k(1038))),
}

CERAMIC_KEYS = ("Density_kg_m3", "youngs_modulus_GPa", "poisson_ratio", "thermal_conductivity_W_mK",
                "specific_heat_J_kgK", "thermal_expansion_1_K", "electrical_resistivity_ohm_m", "IOR",
                "melting_point_K")
CERAMIC_CONDITIONS = {"Density_kg_m3": "dense sintered or hot-pressed, room temperature",
                      "youngs_modulus_GPa": "room temperature", "thermal_conductivity_W_mK": "room temperature",
                      "specific_heat_J_kgK": "room temperature", "thermal_expansion_1_K": "25-1000 degC",
                      "electrical_resistivity_ohm_m": "room temperature", "IOR": "589 nm",
                      "melting_point_K": "101.325 kPa"}

# name -> (formula, aliases, source, values in CERAMIC_KEYS order, per-key source overrides)
CERAMICS: dict[str, tuple[str, list[str], str, tuple[float | None, ...], dict[str, str]]] = {
    "aluminium nitride": ("AlN", ["aluminum nitride", "AlN"], "ASM-EMH4",
                          (3260, 330, 0.24, 170, 740, 4.5e-6, None, None, None), {}),
    "boron carbide": ("B4C", ["B4C"], "ASM-EMH4",
                      (2520, 460, 0.17, 35, 950, 5.0e-6, None, None, c_to_k(2763)),
                      {"melting_point_K": "CRC-HCP"}),
    "magnesia": ("MgO", ["magnesium oxide", "periclase", "MgO"], "ASM-EMH4",
                 (3580, 300, 0.18, None, None, 13.5e-6, None, 1.7355, c_to_k(2825)),
                 {"IOR": "CRC-HCP", "melting_point_K": "CRC-HCP"}),
    "beryllia": ("BeO", ["beryllium oxide", "BeO"], "ASM-EMH4",
                 (2850, 345, 0.26, 285, 1020, 7.5e-6, None, None, c_to_k(2578)),
                 {"melting_point_K": "CRC-HCP"}),
    "titanium carbide": ("TiC", ["TiC"], "ASM-EMH4",
                         (4930, 450, 0.19, 21, 560, 7.4e-6, 6.8e-7, None, c_to_k(3067)),
                         {"melting_point_K": "CRC-HCP"}),
    "titanium diboride": ("TiB2", ["TiB2"], "ASM-EMH4",
                          (4520, 565, 0.11, 96, 617, 8.1e-6, 1.3e-7, None, c_to_k(3225)),
                          {"melting_point_K": "CRC-HCP"}),
    "tungsten carbide": ("WC", ["WC"], "ASM-EMH4",
                         (15630, 696, 0.24, 84, 203, 5.2e-6, 2.0e-7, None, None), {}),
    "spinel": ("MgAl2O4", ["magnesium aluminate spinel", "MgAl2O4"], "ASM-EMH4",
               (3580, 277, 0.26, 15, 815, 7.6e-6, None, 1.719, c_to_k(2135)),
               {"IOR": "CRC-HCP", "melting_point_K": "CRC-HCP"}),
    "rutile": ("TiO2", ["titanium dioxide", "titania", "TiO2"], "ASM-EMH4",
               (4250, 283, 0.27, 8.4, 690, 8.4e-6, None, 2.613, c_to_k(1843)),
               {"IOR": "CRC-HCP", "melting_point_K": "CRC-HCP"}),
    "zinc oxide": ("ZnO", ["ZnO", "zincite"], "ASM-EMH4",
                   (5610, None, None, None, 494, None, None, 2.004, c_to_k(1974)),
                   {"IOR": "CRC-HCP", "melting_point_K": "CRC-HCP", "specific_heat_J_kgK": "CRC-HCP"}),
    "mullite": ("Al6Si2O13", ["3Al2O3.2SiO2"], "ASM-EMH4",
                (3160, 220, 0.25, 6.0, 760, 5.3e-6, None, None, None), {}),
    "cordierite": ("Mg2Al4Si5O18", ["magnesium aluminosilicate"], "ASM-EMH4",
                   (2600, 130, 0.25, 3.0, 800, 2.0e-6, None, None, None), {}),
    "diamond": ("C", ["natural diamond"], "CRC-HCP",
                (3513, None, None, None, 509, 1.0e-6, None, 2.4175, None), {}),
    "borosilicate glass": ("SiO2", ["Borofloat 33", "Pyrex-type glass", "3.3 borosilicate"], "Schott-B33",
                           (2230, 64, 0.20, 1.2, 830, 3.25e-6, None, 1.4714, None), {}),
    "soda-lime glass": ("SiO2", ["float glass", "window glass"], "EN572-1",
                        (2500, 70, 0.2, 1.0, 720, 9.0e-6, None, 1.5, None), {}),
}
# Conditions that differ from CERAMIC_CONDITIONS.
CERAMIC_SPECIAL = {
    "diamond": {"Density_kg_m3": "single crystal, room temperature", "IOR": "589 nm, single crystal",
                "thermal_expansion_1_K": "300 K", "specific_heat_J_kgK": "298.15 K"},
    "borosilicate glass": {"Density_kg_m3": "room temperature", "thermal_expansion_1_K": "20-300 degC",
                           "IOR": "n_d, 587.6 nm", "thermal_conductivity_W_mK": "90 degC",
                           "specific_heat_J_kgK": "20-100 degC"},
    "soda-lime glass": {"Density_kg_m3": "room temperature", "thermal_expansion_1_K": "20-300 degC",
                        "IOR": "mean over the visible"},
}
# The glasses have no single formula: they are not carried as one.
NO_FORMULA = {"borosilicate glass", "soda-lime glass"}


def lamina_quasi_isotropic(e1: float, e2: float, nu12: float, g12: float) -> tuple[float, float, float]:
    """In-plane E, G, nu of a quasi-isotropic laminate from the lamina constants
    (classical lamination theory, through the invariants U1, U4, U5)."""
    nu21 = nu12 * e2 / e1
    d = 1.0 - nu12 * nu21
    q11, q22, q12, q66 = e1 / d, e2 / d, nu12 * e2 / d, g12
    u1 = (3 * q11 + 3 * q22 + 2 * q12 + 4 * q66) / 8
    u4 = (q11 + q22 + 6 * q12 - 4 * q66) / 8
    u5 = (q11 + q22 - 2 * q12 + 4 * q66) / 8
    return (u1 * u1 - u4 * u4) / u1, u5, u4 / u1


# Fibre laminae of Tsai & Hahn's table: (fibre, matrix, aliases, rho, vf, E1, E2, nu12, G12, alpha1, alpha2)
LAMINAE: dict[str, tuple[str, str, list[str], float, float, float, float, float, float, float, float]] = {
    "boron epoxy": ("boron (B(4))", "epoxy (5505)", ["B(4)/5505", "BFRP", "boron fibre reinforced epoxy"],
                    2000, 0.50, 204, 18.5, 0.23, 5.59, 6.1e-6, 30.3e-6),
    "AS-3501 carbon epoxy": ("carbon (AS)", "epoxy (3501)", ["AS/3501", "AS4/3501-6"],
                             1600, 0.66, 138, 8.96, 0.30, 7.1, -0.3e-6, 28.1e-6),
}

# Concrete strength classes of EN 1992-1-1 table 3.1: (f_ck, f_cm, f_ctm MPa, E_cm GPa)
CONCRETE = {"C20/25": (20, 28, 2.2, 30), "C25/30": (25, 33, 2.6, 31), "C35/45": (35, 43, 3.2, 34),
            "C40/50": (40, 48, 3.5, 35), "C50/60": (50, 58, 4.1, 37)}


def sheet(aliases: list[str], props: dict[str, float], sources: dict[str, dict[str, Any]],
          top_keys: tuple[str, ...], extra: dict[str, Any] | None = None, notes: str | None = None) -> dict[str, Any]:
    doc: dict[str, Any] = {"Aliases": aliases}
    doc.update(extra or {})
    for key in top_keys:
        if key in props:
            doc[key] = props[key]
    doc["Properties"] = props
    doc["Sources"] = {k: sources[k] for k in sorted(sources)}
    if notes:
        doc["Notes"] = notes
    doc["Provenance"] = "generated by scripts/generate_materials.py"
    return doc


def fill(keys: tuple[str, ...], values: tuple[float | None, ...], source: str, conditions: dict[str, str],
         overrides: dict[str, str] | None = None) -> tuple[dict[str, float], dict[str, dict[str, Any]]]:
    props: dict[str, float] = {}
    sources: dict[str, dict[str, Any]] = {}
    for key, value in zip(keys, values, strict=True):
        if value is None:
            continue
        props[key] = value
        entry: dict[str, Any] = {"source": (overrides or {}).get(key, source)}
        if key in conditions:
            entry["conditions"] = conditions[key]
        sources[key] = entry
    return props, sources


def alloys() -> dict[str, dict[str, Any]]:
    out = {}
    for name, (aliases, source, conditions, values) in ALLOYS.items():
        props, sources = fill(METAL_KEYS, values, source, conditions)
        out[name] = sheet([a for a in aliases], props, sources,
                          ("Density_kg_m3", "youngs_modulus_GPa", "thermal_conductivity_W_mK", "solidus_K",
                           "liquidus_K"),
                          notes="Typical values for the usual condition named in the aliases.")
    return out


def ceramics() -> dict[str, dict[str, Any]]:
    out = {}
    for name, (formula, aliases, source, values, overrides) in CERAMICS.items():
        conditions = {**CERAMIC_CONDITIONS, **CERAMIC_SPECIAL.get(name, {})}
        props, sources = fill(CERAMIC_KEYS, values, source, conditions, overrides)
        extra = {} if name in NO_FORMULA else {"Formula": formula}
        out[name] = sheet(aliases, props, sources, ("Density_kg_m3", "IOR"), extra,
                          notes="Typical values for dense material; they vary with grade and processing.")
    return out


def composites() -> dict[str, dict[str, Any]]:
    out = {}
    lamina = "unidirectional lamina"
    for name, (fibre, matrix, aliases, rho, vf, e1, e2, nu12, g12, a1, a2) in LAMINAE.items():
        e, g, nu = lamina_quasi_isotropic(e1, e2, nu12, g12)
        props = {"Density_kg_m3": rho, "fibre_volume_fraction": vf, "longitudinal_modulus_GPa": e1,
                 "transverse_modulus_GPa": e2, "major_poisson_ratio": nu12, "inplane_shear_modulus_GPa": g12,
                 "longitudinal_thermal_expansion_1_K": a1, "transverse_thermal_expansion_1_K": a2,
                 "youngs_modulus_GPa": round(e, 1), "shear_modulus_GPa": round(g, 2), "poisson_ratio": round(nu, 3)}
        sources = {k: {"source": "TsaiHahn1980", "conditions": lamina} for k in props}
        for k in ("youngs_modulus_GPa", "shear_modulus_GPa", "poisson_ratio"):
            sources[k] = {"source": "CLT", "conditions": "quasi-isotropic [0/45/-45/90]s laminate, in plane"}
        out[name] = sheet(aliases, props, sources, ("Density_kg_m3", "youngs_modulus_GPa"),
                          {"fibre": fibre, "matrix": matrix},
                          "youngs_modulus_GPa, shear_modulus_GPa and poisson_ratio are the in-plane constants "
                          "of a quasi-isotropic laminate, computed from the lamina constants.")
    for grade, (fck, fcm, fctm, ecm) in CONCRETE.items():
        props = {"Density_kg_m3": 2400, "youngs_modulus_GPa": ecm, "poisson_ratio": 0.2,
                 "thermal_expansion_1_K": 10e-6, "characteristic_compressive_strength_MPa": fck,
                 "mean_compressive_strength_MPa": fcm, "mean_tensile_strength_MPa": fctm,
                 "thermal_conductivity_W_mK_min": 1.33, "thermal_conductivity_W_mK_max": 1.95,
                 "specific_heat_J_kgK": 900}
        code = {"source": "EN1992-1-1", "conditions": "28 days"}
        sources: dict[str, dict[str, Any]] = {k: dict(code) for k in props}
        sources["Density_kg_m3"] = {"source": "EN1991-1-1", "conditions": "plain normal-weight concrete"}
        sources["youngs_modulus_GPa"] = {"source": "EN1992-1-1", "conditions": "secant modulus E_cm, 28 days, "
                                                                               "quartzite aggregate"}
        for k in ("thermal_conductivity_W_mK_min", "thermal_conductivity_W_mK_max"):
            sources[k] = {"source": "EN1992-1-2", "conditions": "lower and upper limit at 20 degC"}
        sources["specific_heat_J_kgK"] = {"source": "EN1992-1-2", "conditions": "dry, 20-100 degC"}
        out[f"concrete {grade}"] = sheet([grade, f"concrete class {grade}"], props, sources,
                                         ("Density_kg_m3", "youngs_modulus_GPa"),
                                         notes="Plain normal-weight structural concrete; design-code values.")
    return out


def main() -> int:
    written = 0
    for tier, made in (("alloy", alloys()), ("ceramic", ceramics()), ("composite", composites())):
        for name, doc in made.items():
            path = DATA / tier / f"{name.replace('/', '-')}.json"
            path.write_text(json.dumps(doc, indent=2, ensure_ascii=False, allow_nan=False) + "\n", encoding="utf-8")
            written += 1
    print(f"wrote {written} material sheets")
    return 0


if __name__ == "__main__":
    sys.exit(main())
