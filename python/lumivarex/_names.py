"""One resolver for every function of the Python API.

A name is looked up as ``lumivarex.core.py_get`` looks it up: by key, symbol or
alias, exactly and then in any letter case, tier by tier in canonical order.
The entry found is then named by its key, which is what the core's samplers
and exporters take. An unknown name raises :class:`UnknownNameError`, a
KeyError that suggests up to three close names.
"""

from __future__ import annotations

import difflib
import numbers
import re
from typing import NamedTuple

from . import _args
from . import _lumivarex_core as _core
from .records import Json, Tier

__all__ = ["Resolved", "UnknownNameError", "resolve", "get", "entries", "properties"]


class Resolved(NamedTuple):
    """Where a name's entry is stored: its tier and its key."""

    tier: Tier
    key: str


class UnknownNameError(KeyError):
    """No entry answers to the name; ``suggestions`` holds up to three close
    names (keys, symbols or aliases), best first."""

    def __init__(self, name: str, suggestions: list[str], tier: str | None) -> None:
        where = f" in tier '{tier}'" if tier else ""
        message = f"unknown name: {name}{where}"
        if suggestions:
            message += "; did you mean " + ", ".join(f"'{s}'" for s in suggestions) + "?"
        super().__init__(message)
        self.name, self.suggestions, self.tier, self.message = name, suggestions, tier, message

    def __reduce__(self) -> tuple[type[UnknownNameError], tuple[str, list[str], str | None]]:
        # Rebuilt from what it was made of, so that it survives pickling (to
        # and from other processes) whole.
        return type(self), (self.name, self.suggestions, self.tier)

    def __str__(self) -> str:
        return self.message


def suggestions(name: str, tier: str | None = None) -> list[str]:
    """Up to three names the registry knows that are close to ``name``, letter
    case aside, best first."""
    by_folded: dict[str, str] = {}
    for known in _core.py_known_names(tier):
        by_folded.setdefault(known.casefold(), known)
    close = difflib.get_close_matches(name.casefold(), list(by_folded), n=3, cutoff=0.6)
    return [by_folded[c] for c in close]


def resolve(name: str, tier: Tier | None = None) -> Resolved:
    """The tier and key of the entry ``name`` leads to (key, symbol or alias, in
    any letter case), searching only ``tier`` when it is given. Raises
    :class:`UnknownNameError` (a KeyError) with suggestions."""
    name = _args.text(name, "name")
    scope = _args.tier(tier)
    try:
        found_tier, key = _core.py_resolve(name, scope)
    except KeyError:
        raise UnknownNameError(name, suggestions(name, scope), scope) from None
    return Resolved(found_tier, key)  # type: ignore[arg-type]  # a tier name from the core


def entry_key(name: str, tier: Tier | None = None) -> Resolved:
    """resolve(), for the core functions that take an entry by its exact key.

    Those look the key up in every tier in canonical order, so a key stored in
    an earlier tier too would make them read that other entry: that is refused.
    """
    found = resolve(name, tier)
    first_tier, _ = _core.py_resolve(found.key)
    if first_tier != found.tier:
        raise KeyError(f"'{name}' is '{found.key}' of tier '{found.tier}', but an entry of tier "
                       f"'{first_tier}' has the same key and would be read instead")
    return found


# A count in a braces formula: "=", blanks, an optional "+", digits, then "," or the end.
_FORMULA_COUNT = re.compile(r"=\s*\+?(\d+)\s*(?=,|$)")


def get(name: str, tier: Tier | None = None) -> Json:
    """The datasheet ``name`` leads to (key, symbol or alias, any letter case),
    normally a dict; a braces formula such as ``"{Fe=3, C=1}"`` composes one
    from its constituents (counts up to 1000). Raises
    :class:`UnknownNameError` (a KeyError) with suggestions."""
    name = _args.text(name, "name")
    scope = _args.tier(tier)
    query = name.strip()
    if query.startswith("{") and query.endswith("}"):
        for count in _FORMULA_COUNT.findall(query[1:-1]):
            if int(count) > 1000:
                raise ValueError(f"formula count {count} is above 1000")
        return _core.py_get(name, scope)
    found = resolve(name, scope)
    return _core.py_get(found.key, found.tier)


def entries(tier: Tier | None = None) -> list[str]:
    """The keys of the entries of ``tier`` in byte order, or of every tier, tier
    by tier in canonical order (a key stored in two tiers is listed twice)."""
    return _core.py_tier_keys(_args.tier(tier))


def properties(name: str, tier: Tier | None = None) -> dict[str, float]:
    """The numeric properties of the entry ``name`` leads to: the numbers of its
    "Properties" and its numbers at the top level (a value in "Properties"
    wins), by key in byte order. The samplers read the top-level numbers and,
    for a material of several phases, those of its phases."""
    entry = get(name, tier)
    if not isinstance(entry, dict):
        return {}
    found: dict[str, float] = {}
    nested = entry.get("Properties")
    for source in (entry, nested if isinstance(nested, dict) else {}):
        for key, value in source.items():
            if isinstance(value, numbers.Real) and not isinstance(value, bool):
                found[key] = float(value)
    return dict(sorted(found.items(), key=lambda kv: kv[0].encode()))
