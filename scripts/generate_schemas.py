#!/usr/bin/env python3
"""Writes the JSON Schema of every tier to python/lumivarex/schemas/.

    python scripts/generate_schemas.py

Each tier lists its property keys, one key (and so one unit, named by the
key's suffix) per quantity. A range is a pair KEY_min/KEY_max of a listed key
and nothing else ends in _min or _max; a key ending in _fraction lies in
0..1. Every property needs an entry in "Sources". What JSON Schema cannot say
(a range's bounds in order, phase fractions summing to 1, top-level copies
equal to their Properties value) is checked by lumivarex.validate.
"""
from __future__ import annotations

import json
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
OUT_DIR = ROOT / "python" / "lumivarex" / "schemas"

POS = (0, None)  # a quantity that is never negative
FRACTION = (0, 1)
ANY = (None, None)

# Shared quantities: key -> (description, (minimum, maximum)).
COMMON: dict[str, tuple[str, tuple[float | None, float | None]]] = {
    "Density_kg_m3": ("mass density, kg/m^3", POS),
    "IOR": ("refractive index n_D (589 nm)", (1, None)),
    "melting_point_K": ("melting point at 101.325 kPa, K", POS),
    "boiling_point_K": ("boiling point at 101.325 kPa, K", POS),
    "sublimation_point_K": ("sublimation point at 101.325 kPa, K", POS),
    "triple_point_K": ("triple-point temperature, K", POS),
    "triple_point_pressure_kPa": ("triple-point pressure, kPa", POS),
    "decomposition_point_K": ("decomposition temperature at 101.325 kPa, K", POS),
    "molar_mass_g_mol": ("molar mass, g/mol", POS),
    "youngs_modulus_GPa": ("Young's modulus, GPa", POS),
    "shear_modulus_GPa": ("shear modulus, GPa", POS),
    "bulk_modulus_GPa": ("bulk modulus, GPa", POS),
    "poisson_ratio": ("Poisson's ratio", (-1, 0.5)),
    "thermal_conductivity_W_mK": ("thermal conductivity, W/(m K)", POS),
    "specific_heat_J_kgK": ("specific heat capacity at constant pressure, J/(kg K)", POS),
    "thermal_expansion_1_K": ("linear thermal expansion coefficient, 1/K", ANY),
    "electrical_resistivity_ohm_m": ("electrical resistivity, ohm m", POS),
    "tensile_strength_MPa": ("ultimate tensile strength, MPa", POS),
    "yield_strength_MPa": ("0.2 % offset yield strength, MPa", POS),
    "compressive_strength_MPa": ("compressive strength, MPa", POS),
    "elongation_pct": ("elongation at break, %", (0, 100)),
    "hardness_HV": ("Vickers hardness", POS),
    "hardness_HB": ("Brinell hardness", POS),
    "hardness_HK": ("Knoop hardness", POS),
    "fracture_toughness_MPa_m05": ("fracture toughness K_Ic, MPa m^0.5", POS),
}


def pick(*keys: str) -> dict[str, tuple[str, tuple[float | None, float | None]]]:
    return {k: COMMON[k] for k in keys}


MATERIAL = pick("Density_kg_m3", "IOR", "melting_point_K", "decomposition_point_K", "youngs_modulus_GPa",
                "shear_modulus_GPa", "bulk_modulus_GPa", "poisson_ratio", "thermal_conductivity_W_mK",
                "specific_heat_J_kgK", "thermal_expansion_1_K", "electrical_resistivity_ohm_m",
                "tensile_strength_MPa", "yield_strength_MPa", "compressive_strength_MPa", "elongation_pct",
                "hardness_HV", "hardness_HB", "hardness_HK", "fracture_toughness_MPa_m05")

PROPERTIES: dict[str, dict[str, tuple[str, tuple[float | None, float | None]]]] = {
    "subatomic": {
        "mass_kg": ("rest mass, kg", POS),
        "charge_e": ("electric charge in units of the elementary charge", ANY),
        "spin": ("spin quantum number", POS),
        "magnetic_moment_J_T": ("magnetic moment, J/T", ANY),
        "g_factor": ("g-factor", ANY),
        "mean_lifetime_s": ("mean lifetime, s", POS),
        "rms_charge_radius_m": ("rms charge radius, m", POS),
        "speed_m_s": ("speed in vacuum, m/s", POS),
    },
    "atom": {
        "atomic_number": ("atomic number Z", (1, 118)),
        "group": ("group, 1-18", (1, 18)),
        "period": ("period, 1-7", (1, 7)),
        "atomic_mass_u": ("standard atomic weight (abridged), u", POS),
        "mass_number_longest_lived": ("mass number of the longest-lived isotope", POS),
        "half_life_longest_lived_s": ("half-life of that isotope, s", POS),
        **pick("Density_kg_m3", "melting_point_K", "boiling_point_K", "sublimation_point_K", "triple_point_K",
               "triple_point_pressure_kPa", "youngs_modulus_GPa", "shear_modulus_GPa", "bulk_modulus_GPa",
               "poisson_ratio", "thermal_conductivity_W_mK", "specific_heat_J_kgK"),
        "electronegativity_pauling": ("Pauling electronegativity", POS),
        "atomic_radius_pm": ("empirical atomic radius, pm", POS),
        "covalent_radius_pm": ("single-bond covalent radius, pm", POS),
        "vdw_radius_pm": ("van der Waals radius, pm", POS),
        "first_ionization_energy_eV": ("first ionisation energy, eV", POS),
        "electron_affinity_eV": ("electron affinity, eV", POS),
        "heat_of_fusion_kJ_mol": ("enthalpy of fusion, kJ/mol", POS),
        "heat_of_vaporization_kJ_mol": ("enthalpy of vaporisation, kJ/mol", POS),
        "lattice_a_pm": ("lattice constant a at room temperature, pm", POS),
        "lattice_c_pm": ("lattice constant c at room temperature, pm", POS),
    },
    "molecule": {
        **pick("molar_mass_g_mol", "Density_kg_m3", "IOR", "melting_point_K", "boiling_point_K",
               "sublimation_point_K", "triple_point_K", "triple_point_pressure_kPa"),
        "dynamic_viscosity_mPa_s": ("dynamic viscosity, mPa s", POS),
        "maximum_density_kg_m3": ("highest density of the liquid, kg/m^3", POS),
        "maximum_density_temperature_K": ("temperature of the highest density, K", POS),
    },
    "alloy": {
        **MATERIAL,
        "solidus_K": ("solidus temperature, K", POS),
        "liquidus_K": ("liquidus temperature, K", POS),
        "beta_transus_K": ("beta transus temperature, K", POS),
        "eutectoid_temperature_K": ("eutectoid temperature, K", POS),
        "carbon_wt_pct": ("carbon content, wt%", (0, 100)),
    },
    "ceramic": {
        **MATERIAL,
        "softening_point_K": ("softening point (viscosity 10^6.6 Pa s), K", POS),
        "annealing_point_K": ("annealing point (viscosity 10^12 Pa s), K", POS),
        "yttria_mole_fraction": ("Y2O3 content, mole fraction", FRACTION),
    },
    "composite": {
        **MATERIAL,
        "fibre_volume_fraction": ("fibre volume fraction", FRACTION),
        "longitudinal_modulus_GPa": ("lamina modulus along the fibres, GPa", POS),
        "transverse_modulus_GPa": ("lamina modulus across the fibres, GPa", POS),
        "inplane_shear_modulus_GPa": ("lamina in-plane shear modulus, GPa", POS),
        "major_poisson_ratio": ("lamina major Poisson's ratio", (0, 1)),
        "longitudinal_thermal_expansion_1_K": ("lamina expansion along the fibres, 1/K", ANY),
        "transverse_thermal_expansion_1_K": ("lamina expansion across the fibres, 1/K", ANY),
        "characteristic_compressive_strength_MPa": ("characteristic cylinder strength f_ck, MPa", POS),
        "mean_compressive_strength_MPa": ("mean cylinder strength f_cm, MPa", POS),
        "mean_tensile_strength_MPa": ("mean axial tensile strength f_ctm, MPa", POS),
    },
    "amino_acid": {
        **pick("molar_mass_g_mol"),
        "pKa_alpha_carboxyl": ("pKa of the alpha-carboxyl group, 25 degC", ANY),
        "pKa_alpha_amino": ("pKa of the alpha-amino group, 25 degC", ANY),
        "pKa_side_chain": ("pKa of the ionisable side chain, 25 degC", ANY),
        "isoelectric_point": ("isoelectric point (pH)", (0, 14)),
        "hydropathy_kyte_doolittle": ("Kyte-Doolittle hydropathy index", (-4.5, 4.5)),
    },
    "protein": {
        **pick("molar_mass_g_mol"),
        "residue_count": ("number of residues", POS),
        "residues_per_turn": ("residues per helical turn", POS),
        "rise_per_residue_nm": ("rise per residue along the axis, nm", POS),
        "nmr_model": ("model of the NMR ensemble the angles are measured on", POS),
    },
    "cell": {
        **pick("Density_kg_m3"),
        "length_um": ("length, um", POS),
        "diameter_um": ("diameter, um", POS),
        "max_thickness_um": ("largest thickness, um", POS),
        "min_thickness_um": ("smallest thickness, um", POS),
        "surface_area_um2": ("surface area, um^2", POS),
        "volume_fL": ("cell volume, fL", POS),
        "haploid_volume_fL": ("volume of the haploid cell, fL", POS),
        "diploid_volume_fL": ("volume of the diploid cell, fL", POS),
        "mean_volume_fL": ("mean cell volume, fL", POS),
        "wet_mass_pg": ("wet mass, pg", POS),
        "dry_mass_fraction": ("dry mass per wet mass", FRACTION),
        "genome_length_bp": ("genome length, base pairs", POS),
        "chromosome_count_haploid": ("chromosomes in the haploid set", POS),
        "doubling_time_minutes": ("doubling time, minutes", POS),
        "hemoglobin_concentration_g_L": ("haemoglobin concentration, g/L", POS),
        "lifespan_days": ("lifespan in circulation, days", POS),
        "count_per_L": ("count per litre of blood", POS),
    },
    "cell_component": {
        "mass_kDa": ("mass, kDa", POS),
        "monomer_mass_kDa": ("mass of the monomer, kDa", POS),
        "sedimentation_coefficient_S": ("sedimentation coefficient, S", POS),
        "large_subunit_S": ("sedimentation coefficient of the large subunit, S", POS),
        "small_subunit_S": ("sedimentation coefficient of the small subunit, S", POS),
        "rRNA_23S_nt": ("23S rRNA length, nucleotides", POS),
        "rRNA_16S_nt": ("16S rRNA length, nucleotides", POS),
        "rRNA_5S_nt": ("5S rRNA length, nucleotides", POS),
        "diameter_nm": ("diameter, nm", POS),
        "outer_diameter_nm": ("outer diameter, nm", POS),
        "inner_diameter_nm": ("inner diameter, nm", POS),
        "subunit_rise_nm": ("rise per subunit, nm", POS),
        "persistence_length_um": ("persistence length, um", POS),
        "protofilament_count": ("number of protofilaments", POS),
        "tubulin_dimer_length_nm": ("length of the tubulin dimer, nm", POS),
        "thickness_nm": ("thickness, nm", POS),
        "specific_capacitance_F_m2": ("specific capacitance, F/m^2", POS),
        "human_mtDNA_length_bp": ("human mitochondrial DNA length, base pairs", POS),
    },
    "nucleic_acid": {
        **pick("Density_kg_m3"),
        "rise_per_bp_nm": ("rise per base pair, nm", POS),
        "bp_per_turn": ("base pairs per helical turn", POS),
        "twist_per_bp_deg": ("helical twist per base pair, degrees", ANY),
        "helix_diameter_nm": ("helix diameter, nm", POS),
        "molar_mass_per_bp_g_mol": ("molar mass per base pair, g/mol", POS),
        "persistence_length_nm": ("persistence length, nm", POS),
        "repeat_unit_bp": ("base pairs in the repeating unit", POS),
    },
    "biomaterial": {
        **pick("Density_kg_m3", "IOR", "youngs_modulus_GPa", "tensile_strength_MPa", "compressive_strength_MPa"),
        "water_mass_fraction": ("water per wet mass", FRACTION),
        "mineral_mass_fraction": ("mineral per mass", FRACTION),
        "hematocrit_volume_fraction": ("red-cell volume fraction", FRACTION),
        "pH": ("pH", (0, 14)),
        **{f"{name}_{ch}_{unit}": (f"{text} ({colour} channel), {unit.replace('_', '/')}", POS)
           for ch, colour in (("r", "red"), ("g", "green"), ("b", "blue"))
           for name, text, unit in (("reduced_scattering", "reduced scattering coefficient", "1_mm"),
                                    ("absorption", "absorption coefficient", "1_mm"),
                                    ("mean_free_path", "transport mean free path", "mm"),
                                    ("diffuse_mean_free_path", "diffuse mean free path", "mm"))},
    },
}

# Keys, other than properties, that a tier's sheets may carry.
TEXT = {"type": "string", "minLength": 1}
NUMBER_MAP = {"type": "object", "additionalProperties": {"type": "number", "minimum": 0}, "minProperties": 1}
FRACTIONS = {"type": "object", "additionalProperties": {"type": "number", "minimum": 0, "maximum": 1},
             "minProperties": 1}
EXTRA: dict[str, dict[str, Any]] = {
    "atom": {
        "Block": {"enum": ["s", "p", "d", "f"]},
        "Electron_configuration": TEXT,
        "Oxidation_states": {"type": "array", "items": {"type": "integer"}, "uniqueItems": True},
        "Crystal_structure": {"enum": ["bcc", "fcc", "hcp", "diamond"]},
        "Isotopes": {"type": "array", "minItems": 1, "items": {
            "type": "object", "additionalProperties": False,
            "required": ["mass_number", "atomic_mass_u", "abundance_fraction"],
            "properties": {"mass_number": {"type": "integer", "minimum": 1},
                           "atomic_mass_u": {"type": "number", "exclusiveMinimum": 0},
                           "abundance_fraction": {"type": "number", "minimum": 0, "maximum": 1}}}},
    },
    "molecule": {"Formula": TEXT},
    "amino_acid": {"Formula": TEXT},
    "ceramic": {"Formula": TEXT},
    "alloy": {
        "Composition_wt_pct": {"type": "object", "minProperties": 1,
                               "propertyNames": {"pattern": "^[A-Z][a-z]?$"},
                               "additionalProperties": {"type": "number", "exclusiveMinimum": 0,
                                                        "maximum": 100}},
        "phase_model": {"enum": ["voronoi"]},
        "phase_volume_fractions": FRACTIONS,
        "phase_mass_fractions": FRACTIONS,
        "phase_properties": {"type": "object", "minProperties": 1,
                             "additionalProperties": {"type": "object", "minProperties": 1,
                                                      "additionalProperties": {"type": "number"}}},
    },
    "composite": {"fibre": TEXT, "matrix": TEXT},
    "protein": {
        "Sequence": {"type": "string", "pattern": "^[ACDEFGHIKLMNPQRSTVWY]+$"},
        "residues": {"type": "array", "minItems": 1, "items": {
            "type": "object", "required": ["residue", "phi", "psi"], "additionalProperties": False,
            "properties": {"residue": {"type": "string", "pattern": "^[ACDEFGHIKLMNPQRSTVWY]$"},
                           "phi": {"type": "number", "minimum": -180, "maximum": 180},
                           "psi": {"type": "number", "minimum": -180, "maximum": 180}}}},
    },
    "nucleic_acid": {"handedness": {"enum": ["right", "left"]}},
    "biomaterial": {f"SSS_{ch}": {"type": "number", "exclusiveMinimum": 0} for ch in "rgb"},
}
# Tiers whose sheets name a symbol the lookup finds them by.
SYMBOLS = {"subatomic", "atom", "amino_acid"}

SOURCE_KEY = {"type": "string", "pattern": "^[A-Za-z][A-Za-z0-9_.+-]*$"}
SOURCE_ENTRY = {
    "type": "object", "required": ["source"], "additionalProperties": False,
    "properties": {
        "source": {"oneOf": [SOURCE_KEY, {"type": "array", "items": SOURCE_KEY, "minItems": 1,
                                          "uniqueItems": True}]},
        "uncertainty": {"type": "number", "exclusiveMinimum": 0},
        "conditions": TEXT,
    },
}


def number_schema(description: str, bounds: tuple[float | None, float | None]) -> dict[str, Any]:
    out: dict[str, Any] = {"type": "number", "description": description}
    if bounds[0] is not None:
        out["minimum"] = bounds[0]
    if bounds[1] is not None:
        out["maximum"] = bounds[1]
    return out


def tier_schema(tier: str) -> dict[str, Any]:
    props = PROPERTIES[tier]
    prop_schemas: dict[str, Any] = {}
    ranges: dict[str, list[str]] = {}
    for key, (description, bounds) in props.items():
        prop_schemas[key] = number_schema(description, bounds)
        for end, other in (("min", "max"), ("max", "min")):
            prop_schemas[f"{key}_{end}"] = number_schema(f"{end}imum of the range: {description}", bounds)
            ranges[f"{key}_{end}"] = [f"{key}_{other}"]
    top: dict[str, Any] = {
        "Aliases": {"type": "array", "items": TEXT, "uniqueItems": True},
        "Properties": {"type": "object", "properties": prop_schemas, "additionalProperties": False,
                       "dependentRequired": ranges},
        "Sources": {"type": "object", "additionalProperties": SOURCE_ENTRY},
        "Notes": TEXT,
        "Provenance": {"type": "string", "pattern": "^(hand-made|generated by scripts/[a-z_]+\\.py)"},
    }
    if tier in SYMBOLS:
        top["Symbol"] = TEXT
    top.update(EXTRA.get(tier, {}))
    # A property may be repeated at the top level, where the sampler and the
    # shaders read it.
    for key, schema in prop_schemas.items():
        top.setdefault(key, schema)
    # Every property, and every structured member, cites its source.
    cited = [k for k in top if k not in ("Symbol", "Aliases", "Properties", "Sources", "Notes", "Provenance")
             and k not in prop_schemas and k not in ("Formula", "Sequence", "fibre", "matrix", "handedness",
                                                     "Block", "phase_model")
             and not k.startswith("SSS_")]
    all_of: list[dict[str, Any]] = [
        {"if": {"required": ["Properties"], "properties": {"Properties": {"required": [key]}}},
         "then": {"required": ["Sources"], "properties": {"Sources": {"required": [key]}}}}
        for key in prop_schemas]
    all_of += [{"if": {"required": [key]}, "then": {"required": ["Sources"],
                                                    "properties": {"Sources": {"required": [key]}}}}
               for key in cited]
    required = ["Aliases", "Properties", "Sources", "Provenance"]
    if tier in SYMBOLS:
        required.insert(0, "Symbol")
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": f"lumivarex {tier} datasheet",
        "description": "Generated by scripts/generate_schemas.py; property keys name their unit.",
        "type": "object",
        "required": required,
        "properties": top,
        "additionalProperties": False,
        "allOf": all_of,
    }


def main() -> None:
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    for tier in PROPERTIES:
        text = json.dumps(tier_schema(tier), indent=1, ensure_ascii=False)
        (OUT_DIR / f"{tier}.schema.json").write_text(text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
