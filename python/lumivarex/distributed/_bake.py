"""The Fourier bake of a large grid, its frequencies shared out to the workers."""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _args
from .. import _lumivarex_core as _core
from .._arrays import coefficient_records, kept_coefficients
from ..records import Bounds, BoxLike, FourierBake, Tier
from ._cluster import ClientLike, session, show_progress, task_threads
from ._entries import Carried, carry, entry_of, hold

__all__ = ["bake_fourier"]

# Parts per task thread of the cluster: two even out workers of different
# speeds somewhat; more would each pay a scheduler round trip (some 4 ms)
# and their own sampling of the grid, a real share of a mid-sized bake.
_PARTS_PER_THREAD = 2


def _part(carried: Carried, prop: str, box: Bounds, grid: tuple[int, int, int], part: int,
          parts: int) -> tuple[Any, ...]:
    hold(carried)
    key = carried.entries[0][1]
    # memoryviews do not pickle: the worker sends arrays.
    return tuple(np.asarray(v) if isinstance(v, memoryview) else v
                 for v in _core.py_bake_part(key, prop, box, grid, part, parts))


def bake_fourier(name: str, property: str, bounds: BoxLike, grid_size: tuple[int, int, int],
                 truncate_threshold: float = 0.01, *, tier: Tier | None = None, parts: int | None = None,
                 client: ClientLike = None, progress: bool | None = None) -> FourierBake:
    """``lumivarex.core.py_bake_fourier`` on the cluster (see
    :func:`lumivarex.distributed.run` for which): the frequencies are split
    into ``parts`` runs of the bake's order (by default two per task thread
    of the cluster), each transformed by a worker with the core's own
    arithmetic; the merged result, truncated by the core's rule, equals
    ``py_bake_fourier``'s exactly, coefficients in the same order. Raises
    what ``py_bake_fourier`` raises, and KeyError for an unknown name."""
    carried = carry((entry_of(name, tier),))
    prop = _args.text(property, "property")
    box = _args.bounds(bounds)
    grid = _args.counts(grid_size, "grid_size", minimum=1)
    threshold = _args.real(truncate_threshold, "truncate_threshold")
    if threshold < 0:
        raise ValueError("truncate_threshold must be a non-negative finite value")
    if parts is not None and (isinstance(parts, bool) or not isinstance(parts, int) or parts < 1):
        raise ValueError(f"parts must be an int of at least 1, got {parts!r}")
    with session(client) as cluster:
        count = parts or _PARTS_PER_THREAD * task_threads(cluster)
        futures = [cluster.submit(_part, carried, prop, box, grid, p, count, pure=False) for p in range(count)]
        show_progress(futures, progress)
        results = cluster.gather(futures)
    return merge(prop, threshold, results)


def merge(prop: str, threshold: float, runs: list[tuple[Any, ...]]) -> FourierBake:
    """The bake whose coefficients are the runs of ``py_bake_part``, joined in
    order and truncated as ``py_bake_fourier`` truncates."""
    base_value, domain = runs[0][0], runs[0][1]
    frequencies = np.concatenate([np.asarray(r[2]) for r in runs])
    amplitude = np.concatenate([np.asarray(r[3]) for r in runs])
    phase = np.concatenate([np.asarray(r[4]) for r in runs])
    keep = kept_coefficients(amplitude, threshold)
    n, m, l = frequencies[keep].T
    return FourierBake(property_name=prop, base_value=base_value, domain_size_m=domain,
                       coefficients=coefficient_records(n, m, l, amplitude[keep], phase[keep]),
                       boundary_condition="periodic")
