"""The entries a task reads, sent along with it: a worker process holds them
as the calling process does, so that an entry saved (or changed) in memory
there is what the workers compute with, not the shipped datasheet or none."""

from __future__ import annotations

import json
import uuid
from collections.abc import Iterable
from typing import Any, NamedTuple

from .. import _lumivarex_core as _core
from .._names import Resolved, entry_key
from ..records import Tier

# Tells this process from the workers: each process that imports the package
# draws its own (process ids repeat across machines and containers).
_PROCESS = uuid.uuid4().hex

#: (tier, key, the entry's JSON value) as the calling process holds it.
Entry = tuple[str, str, Any]


class Carried(NamedTuple):
    """Entries as the process that made a task holds them."""

    process: str
    entries: tuple[Entry, ...]


def carry(entries: Iterable[Entry]) -> Carried:
    return Carried(_PROCESS, tuple(entries))


def entry_of(name: str, tier: Tier | None = None) -> Entry:
    """The entry a name finds, as this process holds it; KeyError with
    suggestions for a name that finds none."""
    return as_held(entry_key(name, tier))


def as_held(found: Resolved) -> Entry:
    """The entry a name was resolved to, as this process holds it."""
    return found.tier, found.key, _core.py_get(found.key, found.tier)


def registry_entry(key: str) -> tuple[Entry, ...]:
    """The entry the core's exact-key lookup finds, if there is one."""
    try:
        tier, found = _core.py_resolve(key)
    except KeyError:
        return ()
    return ((tier, key, _core.py_get(key, tier)),) if found == key else ()


def hold(carried: Carried) -> None:
    """Makes this process's registry hold each carried entry as the process
    that made the task did. The calling process itself is left as it is: its
    registry is the user's, and a lazy array computed there reads it as it
    stands when computed."""
    if carried.process == _PROCESS:
        return
    for tier, key, data in carried.entries:
        try:
            same = _core.py_resolve(key, tier) == (tier, key) and _core.py_get(key, tier) == data
        except KeyError:
            same = False
        if not same:
            _core.py_save(key, json.dumps(data), tier)
