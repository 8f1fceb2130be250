"""Registry access: find, store and list datasheets.

Thin names over the native core; every call answers from the in-memory
registry that the core filled at import. The module can also be called:
``lumivarex.get(name, tier=None)`` is :func:`lumivarex._names.get`, the
datasheet that any name of an entry leads to.
"""

from __future__ import annotations

from . import _lumivarex_core as _core
from ._callable import make_callable
from .records import Json

__all__ = ["Get", "Save", "list_tiers"]


def Get(query: str, scope: str | None = None) -> Json:  # noqa: N802 - the package's public name
    """The datasheet named ``query`` (key, symbol or alias in any letter case) or
    composed from a braces formula such as ``"{Fe=3, C=1}"``; ``scope`` limits
    the search to one tier. Raises KeyError when nothing matches."""
    return _core.py_get(query, scope)


def Save(name: str, data_json: str, tier: str) -> Json | None:  # noqa: N802
    """Stores a JSON document under ``name`` in ``tier`` (in memory only) and
    returns the entry it displaced, or None. Raises ValueError for invalid JSON
    or an unknown tier."""
    return _core.py_save(name, data_json, tier)


def list_tiers() -> list[str]:
    """The names of the twelve tiers."""
    return _core.py_list_tiers()


make_callable(__name__, "lumivarex._names:get")
