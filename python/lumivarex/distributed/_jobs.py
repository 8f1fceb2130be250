"""Batches of exports, bakes, optimiser runs and backbones on a cluster."""

from __future__ import annotations

import dataclasses
import inspect
import os
import pickle
import uuid
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple, Union

from .. import _args, _files
from .. import _lumivarex_core as _core
from ..records import AlloyTarget, BoxLike, Tier
from ._cluster import ClientLike, session, show_progress
from ._entries import Carried, carry, entry_of, hold, registry_entry

__all__ = ["Export", "Bake", "Optimize", "Backbone", "Job", "run"]


@dataclasses.dataclass(frozen=True)
class Export:
    """Writes a file with ``lumivarex.export_<format>`` (obj, stl, vtk, raw,
    hlsl; glsl gives its source and takes no path); the result is what that
    returns. ``options`` are that function's other arguments (``binary``,
    ``properties``, ``mode``, ``include_sss``, ...). A relative path is taken
    from the current folder of the caller, not of the worker."""

    format: str
    name: str
    path: str | os.PathLike[str] | None = None
    bounds: BoxLike | None = None
    voxel_size: float | None = None
    scale_m: float | None = None
    options: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    tier: Tier | None = None


@dataclasses.dataclass(frozen=True)
class Bake:
    """``lumivarex.core.py_bake_fourier`` of the entry ``name``."""

    name: str
    property: str
    bounds: BoxLike
    grid_size: Sequence[int]
    truncate_threshold: float = 0.01
    tier: Tier | None = None


@dataclasses.dataclass(frozen=True)
class Optimize:
    """``lumivarex.optimize.optimize_alloy``."""

    targets: Sequence[AlloyTarget]
    base: str
    alloying_pool: Sequence[str] | None = None
    n_candidates: int = 1000
    top_k: int = 5
    seed: int | None = None


@dataclasses.dataclass(frozen=True)
class Backbone:
    """The backbone of a protein entry, or of ``sequence`` with one
    ``phi_psi_deg`` pair per residue: ``lumivarex.core.py_build_backbone``'s atoms."""

    sequence: str | None = None
    phi_psi_deg: Sequence[Sequence[float]] | None = None
    entry: str | None = None


#: A job: one of the classes above, or a dict of the same fields with "job"
#: saying which ("export", "bake", "optimize" or "backbone").
Job = Union[Export, Bake, Optimize, Backbone, Mapping[str, Any]]

_KINDS: dict[str, type[Any]] = {"export": Export, "bake": Bake, "optimize": Optimize, "backbone": Backbone}
_EXPORTS = ("obj", "stl", "vtk", "raw", "hlsl", "glsl")
#: The optimiser's pool when none is given (see lumivarex.optimize.optimize_alloy).
DEFAULT_POOL = ("Cr", "Ni", "Mn", "Si", "Cu", "Mo")


# An entry as the caller's registry holds it: (tier, key, datasheet).
class _Task(NamedTuple):
    """What a worker runs: the entries to hold as the caller does, then a call."""

    entries: Carried
    function: Callable[..., Any]
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


class _Failed(NamedTuple):
    error: BaseException


def _job(job: Job) -> Export | Bake | Optimize | Backbone:
    if isinstance(job, (Export, Bake, Optimize, Backbone)):
        return job
    if not isinstance(job, Mapping):
        raise TypeError(f"a job must be a dict or one of {', '.join(c.__name__ for c in _KINDS.values())}, "
                        f"got {type(job).__name__}")
    fields = dict(job)
    kind = fields.pop("job", None)
    if kind not in _KINDS:
        raise ValueError(f"a job's \"job\" must be one of {', '.join(_KINDS)}, got {kind!r}")
    cls = _KINDS[kind]
    names = {f.name for f in dataclasses.fields(cls)}
    unknown = sorted(set(fields) - names)
    if unknown:
        raise TypeError(f"a {kind} job has no field {', '.join(repr(u) for u in unknown)}")
    made: Export | Bake | Optimize | Backbone = cls(**fields)
    return made


def kind(job: Job) -> str:
    """"export", "bake", "optimize" or "backbone"."""
    if isinstance(job, Mapping):
        return str(job.get("job"))
    return type(job).__name__.lower()


def _task(given: Job) -> _Task:
    """The call a job makes and the entries it reads, checked here: a job
    that cannot run fails before it is sent."""
    job = _job(given)
    if isinstance(job, Export):
        if job.format not in _EXPORTS:
            raise ValueError(f"format must be one of {', '.join(_EXPORTS)}, got {job.format!r}")
        function = getattr(_files, f"export_{job.format}")
        entry = entry_of(job.name, job.tier)
        args: tuple[Any, ...] = (entry[1],)
        if job.format != "glsl":
            args += (os.path.abspath(_args.path(job.path, "path")),)
        box = (("bounds", job.bounds), ("voxel_size", job.voxel_size), ("scale_m", job.scale_m))
        kwargs = {k: v for k, v in box if v is not None} | dict(job.options) | {"tier": entry[0]}
        inspect.signature(function).bind(*args, **kwargs)
        return _Task(carry((entry,)), function, args, kwargs)
    if isinstance(job, Bake):
        entry = entry_of(job.name, job.tier)
        args = (entry[1], _args.text(job.property, "property"), _args.bounds(job.bounds),
                _args.counts(job.grid_size, "grid_size", minimum=0), job.truncate_threshold)
        return _Task(carry((entry,)), _core.py_bake_fourier, args, {})
    if isinstance(job, Optimize):
        pool = DEFAULT_POOL if job.alloying_pool is None else _args.texts(job.alloying_pool, "alloying_pool")
        entries = tuple(e for key in (_args.text(job.base, "base"), *pool) for e in registry_entry(key))
        args = (list(job.targets), job.base, job.alloying_pool, job.n_candidates, job.top_k, job.seed)
        return _Task(carry(entries), _core.py_optimize_alloy, args, {})
    if job.entry is not None:
        if job.sequence is not None or job.phi_psi_deg is not None:
            raise ValueError("a backbone job takes an entry, or a sequence with its angles, not both")
        entry = entry_of(job.entry)
        return _Task(carry((entry,)), _core.py_build_backbone_from_entry, (entry[1],), {})
    pairs = [tuple(pair) for pair in job.phi_psi_deg or ()]
    return _Task(carry(()), _core.py_build_backbone, (_args.text(job.sequence, "sequence"), pairs), {})


def _portable(error: BaseException) -> BaseException:
    """The error, or, if it would not survive the trip back to the caller,
    the nearest built-in exception with its message."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        base: type[BaseException] = next(c for c in type(error).__mro__ if c.__module__ == "builtins")
        single = len(error.args) == 1 and isinstance(error.args[0], str)
        return base(error.args[0] if single else str(error))


def _execute(task: _Task) -> Any:
    """Runs on a worker; a job's failure comes back as its result, so that Dask
    neither retries it nor stops the batch."""
    try:
        hold(task.entries)
        return task.function(*task.args, **task.kwargs)
    except (Exception, _core.PanicException) as e:
        return _Failed(_portable(e))


def run(jobs: Sequence[Job], client: ClientLike = None, *, progress: bool | None = None) -> list[Any]:
    """Runs the jobs on a cluster and returns, in their order, each job's
    result or the exception it raised: one failing job does not lose the
    others. A job on a worker that dies is run again on another (up to
    Dask's allowed failures).

    The cluster: ``client`` (a ``distributed.Client`` or a scheduler's address
    such as "tcp://host:8786"); else the scheduler at ``LUMIVAREX_SCHEDULER``;
    else the client this process already works with; else a local cluster
    sized to the machine, started and closed by the call. Each worker's core
    uses its share of its machine's processors. Names are resolved here, and
    each job carries the entries it reads as this process holds them, so an
    entry saved in memory reaches the workers. ``progress``: Dask's progress
    bar on standard error (by default when that is a terminal)."""
    outcomes: list[Any] = [None] * len(jobs)
    tasks: list[tuple[int, _Task]] = []
    for i, job in enumerate(jobs):
        try:
            tasks.append((i, _task(job)))
        except (Exception, _core.PanicException) as e:
            outcomes[i] = e
    if tasks:
        batch = uuid.uuid4().hex
        with session(client) as cluster:
            futures = [cluster.submit(_execute, task, key=f"lumivarex-{kind(jobs[i])}-{batch}-{i}")
                       for i, task in tasks]
            show_progress(futures, progress)
            for (i, _), future in zip(tasks, futures):
                try:
                    value = future.result()
                except Exception as e:  # the job's workers kept dying, or it was cancelled
                    value = _Failed(e)
                outcomes[i] = value.error if isinstance(value, _Failed) else value
    return outcomes
