"""Checks a data folder the way the import reads it.

The import skips, without a word, every file it cannot use: a name that does
not end in ``.json``, something that is not a regular file, text that is not
exactly one JSON document. :func:`check_folder` names each of those files and
why, using the core's own per-file verdict (the same code the import runs, so
NaN, duplicate keys, nesting depth and byte-order marks are judged exactly as
the import judges them). Each document the import would load is then checked
against its tier's JSON Schema, shipped in ``lumivarex/schemas/``, and the
names a lookup finds it by are checked against the rest of its tier.

The schema check needs the ``jsonschema`` package, an optional dependency
(``pip install 'lumivarex[validate]'``); the rest of the package does not.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from lumivarex import core

if TYPE_CHECKING:
    from jsonschema.protocols import Validator

PACKAGE_DIR = Path(__file__).resolve().parent
#: The folder the import loads.
DATA_DIR = PACKAGE_DIR / "data" / "active"
#: One JSON Schema per tier, ``<tier>.schema.json``.
SCHEMA_DIR = PACKAGE_DIR / "schemas"

INSTALL_HINT = "pip install 'lumivarex[validate]' (or: pip install jsonschema)"


class MissingDependency(Exception):
    """The schema check cannot run without a package that is not installed."""


@dataclass(frozen=True)
class Problem:
    """One finding: the file (or folder) it concerns and what is wrong."""

    path: str
    message: str

    def __str__(self) -> str:
        # A file name that is not UTF-8 is shown with its odd bytes escaped.
        shown = self.path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        return f"{shown}: {self.message}"


def tier_schema(tier: str) -> dict[str, Any]:
    """The JSON Schema of one tier, as shipped."""
    with open(SCHEMA_DIR / f"{tier}.schema.json", encoding="utf-8") as f:
        schema: dict[str, Any] = json.load(f)
    return schema


def _validators(tiers: list[str]) -> dict[str, Validator]:
    try:
        import jsonschema
    except ImportError:
        raise MissingDependency(
            f"the schema check needs the jsonschema package: {INSTALL_HINT}") from None
    out: dict[str, Validator] = {}
    for tier in tiers:
        schema = tier_schema(tier)
        cls = jsonschema.validators.validator_for(schema)
        cls.check_schema(schema)
        out[tier] = cls(schema)
    return out


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _pointer(path: Any) -> str:
    parts = [str(p) for p in path]
    return "/" + "/".join(parts) if parts else "(document)"


def _load(path: str) -> tuple[Any, list[str]]:
    """The document the core accepted, and the keys an object repeats (the
    import keeps the last value of each)."""
    repeated: list[str] = []

    def pairs(items: list[tuple[str, Any]]) -> dict[str, Any]:
        seen: dict[str, Any] = {}
        for key, value in items:
            if key in seen:
                repeated.append(key)
            seen[key] = value
        return seen

    with open(path, "rb") as f:
        return json.loads(f.read(), object_pairs_hook=pairs), repeated


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def rule_problems(doc: Any) -> Iterator[str]:
    """What a tier's JSON Schema cannot express: a range's bounds in order,
    phase fractions and compositions that add up, and top-level copies of a
    property (read by the sampler and the shaders) equal to the property."""
    if not isinstance(doc, dict):
        return
    props = doc.get("Properties")
    if isinstance(props, dict):
        for key, low in props.items():
            high = props.get(key[:-len("_min")] + "_max") if key.endswith("_min") else None
            if _is_number(low) and _is_number(high) and low > high:
                yield f"/Properties/{key}: {low} is above {key[:-4]}_max {high}"
        for key, value in doc.items():
            if _is_number(value) and key in props and props[key] != value:
                yield f"/{key}: {value} differs from /Properties/{key} {props[key]}"
    for key in ("phase_volume_fractions", "phase_mass_fractions"):
        fractions = doc.get(key)
        if isinstance(fractions, dict) and all(_is_number(v) for v in fractions.values()):
            total = sum(fractions.values())
            if abs(total - 1.0) > 1e-6:
                yield f"/{key}: the fractions add up to {total:.6g}, not 1"
    phases = doc.get("phase_properties")
    fractions = doc.get("phase_volume_fractions")
    if isinstance(fractions, dict):
        for phase in fractions:
            if not isinstance(phases, dict) or phase not in phases:
                yield f"/phase_volume_fractions/{phase}: no phase_properties for this phase"
    composition = doc.get("Composition_wt_pct")
    if isinstance(composition, dict) and all(_is_number(v) for v in composition.values()):
        total = sum(composition.values())
        if abs(total - 100.0) > 0.01:
            yield f"/Composition_wt_pct: the parts add up to {total:.6g} wt%, not 100"


def _lookup_names(key: str, doc: Any) -> set[str]:
    """The names, in lower case, that the lookup finds this entry by."""
    names = {key.lower()}
    if not isinstance(doc, dict):
        return names
    symbol = doc["Symbol"] if "Symbol" in doc else doc.get("symbol")
    if isinstance(symbol, str):
        names.add(symbol.lower())
    aliases = doc["Aliases"] if "Aliases" in doc else doc.get("aliases")
    if isinstance(aliases, list):
        names.update(a.lower() for a in aliases if isinstance(a, str))
    return names


def _name_clashes(tier_dir: str, names: dict[str, set[str]]) -> Iterator[Problem]:
    """Names that lead to two entries of one tier: a lookup by such a name
    finds only one of them."""
    owners: dict[str, list[str]] = {}
    for key in sorted(names):
        for name in names[key]:
            owners.setdefault(name, []).append(key)
    for key in sorted(names):
        for name in sorted(names[key]):
            others = [k for k in owners[name] if k != key]
            if others and name != key.lower():
                listed = ", ".join(f"'{k}'" for k in others)
                yield Problem(os.path.join(tier_dir, key + ".json"),
                              f"name '{name}' also finds {listed} in this tier")


def check_folder(folder: str | os.PathLike[str] | None = None) -> Iterator[Problem]:
    """Every problem of a data folder (default: the package's own), in a fixed
    order: tiers by name, files by name."""
    root = os.fspath(DATA_DIR if folder is None else folder)
    if not os.path.isdir(root):
        yield Problem(root, "not a folder" if os.path.exists(root) else "no such folder")
        return
    tiers = sorted(core.py_list_tiers())
    validators = _validators(tiers)
    for entry in sorted(os.listdir(root)):
        if entry not in validators:
            yield Problem(os.path.join(root, entry), "not a tier folder: the import ignores it")
    for tier in tiers:
        tier_dir = os.path.join(root, tier)
        if not os.path.lexists(tier_dir):
            continue
        try:
            files = sorted(os.listdir(tier_dir), key=os.fsencode)
        except OSError as e:
            yield Problem(tier_dir, f"cannot be listed: {e.strerror or e}")
            continue
        names: dict[str, set[str]] = {}
        for name in files:
            path = os.path.join(tier_dir, name)
            reason = core.py_check_datasheet(path)
            if reason is not None:
                yield Problem(path, f"skipped by the import: {_one_line(reason)}")
                continue
            doc, repeated = _load(path)
            for key in repeated:
                yield Problem(path, f"key '{key}' appears twice in one object: the import keeps the "
                                    f"later value")
            errors = sorted(validators[tier].iter_errors(doc), key=lambda e: list(map(str, e.absolute_path)))
            for error in errors:
                yield Problem(path, f"{_pointer(error.absolute_path)}: {_one_line(error.message)}")
            for message in rule_problems(doc):
                yield Problem(path, message)
            names[name[:-len(".json")]] = _lookup_names(name[:-len(".json")], doc)
        yield from _name_clashes(tier_dir, names)
