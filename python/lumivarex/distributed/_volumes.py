"""Volumes too large for one machine: phase maps and property fields as lazy
dask arrays whose blocks the core computes one by one, and Zarr stores that
keep them with what they describe."""

from __future__ import annotations

import functools
import os
from collections import OrderedDict
from collections.abc import Callable
from typing import Any, NamedTuple, Union, cast

import dask.array as da
import numpy as np
import zarr
from dask.base import tokenize
from dask.delayed import delayed
from zarr.codecs import BloscCodec, BloscShuffle
from zarr.errors import ContainsArrayError, ContainsGroupError

from .. import _args
from .. import _lumivarex_core as _core
from .._names import Resolved, entry_key
from ..records import Bounds, BoxLike, Tier
from ._cluster import ClientLike, session, show_progress
from ._entries import Carried, as_held, carry, hold

__all__ = ["DEFAULT_CHUNKS", "Volume", "phase_map", "property_field", "metadata", "to_zarr", "open_zarr"]

#: Voxels per block along each axis unless ``chunks`` says otherwise: 2 MiB
#: of phase indices or 16 MiB of float64 values per block.
DEFAULT_CHUNKS = 128

#: What dask takes as ``chunks``: voxels per block for every axis, per axis,
#: each block's size per axis, or "auto".
Chunks = Union[int, str, tuple[Any, ...], dict[int, Any]]

#: Anything zarr opens as a store: a local folder's path, a URL, a zarr store.
StoreLike = Any


class Volume(NamedTuple):
    """A voxel model: the phase map of the entry ``name`` over ``bounds`` in
    voxels of ``voxel_size``, or, with ``property``, that property's field;
    what :func:`to_zarr` can compute and write without an array in hand."""

    name: str
    bounds: BoxLike
    voxel_size: float
    scale_m: float | None = None
    property: str | None = None
    tier: Tier | None = None

    def array(self, chunks: Chunks = DEFAULT_CHUNKS) -> da.Array:
        """The model's lazy array: :func:`phase_map` or :func:`property_field`."""
        if self.property is None:
            return phase_map(self.name, self.bounds, self.voxel_size, self.scale_m, chunks=chunks, tier=self.tier)
        return property_field(self.name, self.property, self.bounds, self.voxel_size, self.scale_m, chunks=chunks,
                              tier=self.tier)


# What each lazy array (by its dask name) describes: the attributes its Zarr
# store gets. Names are tokens of what the array computes, so an array made
# twice from the same arguments finds its description; the oldest are dropped.
_DESCRIBED: OrderedDict[str, dict[str, Any]] = OrderedDict()
_DESCRIBED_MAX = 1024


def _describe(array: da.Array, attrs: dict[str, Any]) -> da.Array:
    _DESCRIBED[array.name] = attrs
    _DESCRIBED.move_to_end(array.name)
    while len(_DESCRIBED) > _DESCRIBED_MAX:
        _DESCRIBED.popitem(last=False)
    return array


def metadata(array: da.Array) -> dict[str, Any] | None:
    """What the array describes, as :func:`to_zarr` writes it into the store's
    attributes, for an array made by :func:`phase_map`, :func:`property_field`
    or :func:`open_zarr` (and kept as it is: a result computed from it is
    another array); None for any other. A copy."""
    attrs = _DESCRIBED.get(getattr(array, "name", None) or "")
    return None if attrs is None else {k: (list(v) if isinstance(v, list) else v) for k, v in attrs.items()}


def _model(kind: str, found: Resolved, phase_names: list[str], box: Bounds, size: float, scale: float | None,
           prop: str | None) -> dict[str, Any]:
    attrs: dict[str, Any] = {
        "lumivarex_version": _core.__version__,
        "kind": kind,
        "entry_key": found.key,
        "entry_tier": found.tier,
        "phase_names": phase_names,
    }
    if prop is not None:
        attrs["property"] = prop  # its key names its unit
    attrs.update({
        "bounds": [list(box[0]), list(box[1])],
        "voxel_size": size,
        "scale_m": size if scale is None else scale,
        "axis_order": ["z", "y", "x"],
        "units": {"bounds": "m", "voxel_size": "m", "scale_m": "m"},
    })
    return attrs


class _Blocks(NamedTuple):
    """Where each block of a chunking lies: the first voxel of every block
    along each axis, and the blocks' sizes, (z, y, x)."""

    starts: tuple[tuple[int, ...], ...]
    sizes: tuple[tuple[int, ...], ...]

    @staticmethod
    def of(chunks: tuple[tuple[int, ...], ...]) -> _Blocks:
        starts = tuple(tuple(int(s) for s in np.cumsum((0,) + c[:-1])) for c in chunks)
        return _Blocks(starts, chunks)

    def at(self, block_id: tuple[int, ...]) -> tuple[tuple[int, int, int], tuple[int, int, int]]:
        """The block's first voxel and shape, (z, y, x), in the whole grid."""
        z, y, x = (self.starts[a][i] for a, i in enumerate(block_id))
        d, h, w = (self.sizes[a][i] for a, i in enumerate(block_id))
        return (z, y, x), (d, h, w)


# Blocks are told their index (block_id), not their place (block_info): dask
# would make the places of all blocks up front, and there may be millions.
def _phase_block(blocks: _Blocks, carried: Carried, box: Bounds, size: float, scale: float | None,
                 block_id: tuple[int, ...] = (0, 0, 0)) -> Any:
    hold(carried)
    start, shape = blocks.at(block_id)
    return np.asarray(_core.py_phase_map(carried.entries[0][1], box, size, scale, start, shape)[0])


def _field_block(blocks: _Blocks, carried: Carried, prop: str, box: Bounds, size: float, scale: float | None,
                 block_id: tuple[int, ...] = (0, 0, 0)) -> Any:
    hold(carried)
    start, shape = blocks.at(block_id)
    return np.asarray(_core.py_property_field(carried.entries[0][1], prop, box, size, scale, start, shape))


def _lazy(kind: str, block: Callable[..., Any], found: Resolved, args: tuple[Any, ...], box: Bounds,
          size: float, dtype: np.dtype[Any], chunks: Chunks) -> da.Array:
    nx, ny, nz = _core.py_voxel_counts(box, size)
    blocks = da.core.normalize_chunks(chunks, (nz, ny, nx), dtype=dtype)
    entry = as_held(found)
    # The entry goes into the graph once, as a value every block depends on,
    # not once per block; a changed entry makes another array.
    carried = delayed(carry((entry,)), pure=True)
    compute = functools.partial(block, _Blocks.of(blocks))
    array: da.Array = da.map_blocks(compute, carried, *args, chunks=blocks, dtype=dtype,
                                    meta=np.empty((0, 0, 0), dtype),
                                    name=f"{kind}-{tokenize(kind, entry, args, blocks)}")
    return array


def phase_map(name: str, bounds: BoxLike, voxel_size: float, scale_m: float | None = None, *,
              chunks: Chunks = DEFAULT_CHUNKS, tier: Tier | None = None) -> da.Array:
    """:func:`lumivarex.phase_map` as a lazy dask array, [z, y, x], of blocks
    of ``chunks`` voxels (128 per axis by default), each computed by the core
    when asked for: equal to the in-memory map bit for bit, however chunked.
    Its dtype (uint8, uint16 or uint32: the smallest that holds every phase
    index) and :func:`metadata` are known at once. Raises KeyError for an
    unknown name, ValueError for a bad argument."""
    found = entry_key(name, tier)
    box, size = _args.bounds(bounds), _args.positive(voxel_size, "voxel_size")
    scale = _args.scale(scale_m)
    # One voxel tells the phase names, and with them the dtype of every block.
    probe, names = _core.py_phase_map(found.key, box, size, scale, (0, 0, 0), (1, 1, 1))
    array = _lazy("phase-map", _phase_block, found, (box, size, scale), box, size, np.asarray(probe).dtype, chunks)
    return _describe(array, _model("phase_map", found, names, box, size, scale, None))


def property_field(name: str, property: str, bounds: BoxLike, voxel_size: float, scale_m: float | None = None,
                   *, chunks: Chunks = DEFAULT_CHUNKS, tier: Tier | None = None) -> da.Array:
    """:func:`lumivarex.property_field` as a lazy float64 dask array, [z, y, x],
    chunked as :func:`phase_map`; equal to the in-memory field bit for bit.
    Raises KeyError for an unknown name, ValueError for a property that no
    phase of the entry carries."""
    found = entry_key(name, tier)
    prop = _args.text(property, "property")
    box, size = _args.bounds(bounds), _args.positive(voxel_size, "voxel_size")
    scale = _args.scale(scale_m)
    # A block refuses a property that no phase carries: refused here, not when computed.
    _core.py_property_field(found.key, prop, box, size, scale, (0, 0, 0), (1, 1, 1))
    names = _core.py_phase_map(found.key, box, size, scale, (0, 0, 0), (1, 1, 1))[1]
    array = _lazy("property-field", _field_block, found, (prop, box, size, scale), box, size,
                  np.dtype(np.float64), chunks)
    return _describe(array, _model("property_field", found, names, box, size, scale, prop))


def _regular(array: da.Array) -> da.Array:
    """The array in blocks that Zarr can take as its chunks: equal along each
    axis but for a smaller last one."""
    if all(len(set(c[:-1])) <= 1 and c[-1] <= c[0] for c in array.chunks):
        return array
    rechunked: da.Array = array.rechunk(tuple(c[0] for c in array.chunks))
    return rechunked


def _compressors(dtype: np.dtype[Any]) -> list[BloscCodec]:
    # Phase indices are small integers: their high bits, shuffled apart, cost
    # next to nothing. Values compress best with their bytes shuffled apart.
    shuffle = BloscShuffle.bitshuffle if dtype.kind in "iub" else BloscShuffle.shuffle
    return [BloscCodec(cname="zstd", clevel=3, shuffle=shuffle)]


_ZARR_MARKERS = ("zarr.json", ".zarray", ".zgroup")


def _check_folder(store: StoreLike) -> None:
    """A local folder that holds something other than a Zarr store is refused,
    so that ``overwrite`` can never delete files that are no volume."""
    if not isinstance(store, (str, os.PathLike)) or "://" in os.fspath(store):
        return
    folder = os.fspath(store)
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise FileExistsError(f"'{folder}' is a file, not a folder for a Zarr store")
    if os.path.isdir(folder) and os.listdir(folder) and \
            not any(os.path.exists(os.path.join(folder, m)) for m in _ZARR_MARKERS):
        raise FileExistsError(f"'{folder}' holds files but no Zarr store; give a new or empty folder")


def to_zarr(array_or_model: da.Array | Volume | Any, store: StoreLike, *, chunks: Chunks | None = None,
            overwrite: bool = False, client: ClientLike = None, progress: bool | None = None) -> zarr.Array[Any]:
    """Writes a volume into a Zarr store block by block on the cluster (see
    :func:`lumivarex.distributed.run` for which) and returns the store's array.

    ``array_or_model`` is a :class:`Volume`, computed in blocks of ``chunks``
    (128 voxels per axis by default), or an array (any other is rechunked to
    ``chunks`` when given). The store's chunks are the array's blocks; its
    attributes are :func:`metadata` of the array (entry key and tier, phase
    names, property, bounds, voxel size, scale_m, axis order, units and the
    package version) and its dimension names z, y, x, so the store alone
    describes the model. ``store`` is a local folder's path or anything zarr
    opens as a store that the workers can reach. An existing store is
    replaced only with ``overwrite``; a folder holding anything else never is.
    ``progress``: Dask's progress bar on standard error (by default when that
    is a terminal)."""
    if isinstance(array_or_model, Volume):
        array = array_or_model.array(DEFAULT_CHUNKS if chunks is None else chunks)
    else:
        array = da.asarray(array_or_model)
        if chunks is not None:
            array = array.rechunk(chunks)
    attrs = metadata(array) or {"lumivarex_version": _core.__version__}
    array = _regular(array)
    _check_folder(store)
    with session(client) as cluster:  # reached before anything is written
        try:
            target = zarr.create_array(store, shape=array.shape, dtype=array.dtype,
                                       chunks=tuple(c[0] for c in array.chunks),
                                       compressors=_compressors(array.dtype), attributes=attrs,
                                       dimension_names=attrs.get("axis_order"), overwrite=overwrite)
        except (ContainsArrayError, ContainsGroupError):
            raise FileExistsError(f"'{store}' already holds a Zarr store; overwrite to replace it") from None
        stored = da.store(array, cast(Any, target), lock=False, compute=False)
        future = cluster.compute(stored)
        show_progress([future], progress)
        future.result()
    return target


def open_zarr(store: StoreLike) -> da.Array:
    """The array of a Zarr store as a lazy dask array in the store's chunks;
    :func:`metadata` gives its attributes. Raises FileNotFoundError when the
    store holds no array."""
    try:
        source = zarr.open_array(store, mode="r")
    except FileNotFoundError:
        raise FileNotFoundError(f"'{store}' holds no Zarr array") from None
    return _describe(da.from_zarr(source), dict(source.attrs))
