"""lumivarex beyond one machine: voxel models, bakes and batches on Dask,
volumes in Zarr.

Needs Dask, distributed and zarr (``pip install 'lumivarex[dask]'``), on the
workers too; the rest of the package needs none of them.

- :func:`phase_map` and :func:`property_field` give lazy dask arrays whose
  blocks the core computes when asked: models larger than one machine's
  memory, equal to the in-memory arrays bit for bit however they are chunked.
- :func:`to_zarr` writes such a volume (or a :class:`Volume`, the model it
  comes from) into a Zarr store block by block, with what it describes in the
  store's attributes; :func:`open_zarr` reads it back and :func:`metadata`
  gives those attributes.
- :func:`bake_fourier` shares a Fourier bake's frequencies out to the workers.
- :func:`run` runs a batch of :class:`Export`, :class:`Bake`,
  :class:`Optimize` and :class:`Backbone` jobs and gives each one's result or
  error.

The functions that compute (``to_zarr``, ``bake_fourier``, ``run``) take
``client``: a ``distributed.Client`` or a scheduler's address; without one,
the scheduler at ``LUMIVAREX_SCHEDULER``, else the client this process already
works with, else a local cluster sized to the machine for the call. On every
worker they set ``LUMIVAREX_NUM_THREADS`` to the worker's share of its
machine's processors unless the worker's environment sets it.
"""

from __future__ import annotations

try:
    import dask.array  # noqa: F401
    import distributed  # noqa: F401
    import zarr  # noqa: F401
except ImportError as e:
    raise ImportError(f"lumivarex.distributed needs Dask, distributed and zarr: pip install 'lumivarex[dask]' "
                      f"({e})", name=e.name) from e

from ._bake import bake_fourier
from ._cluster import SCHEDULER_VARIABLE, THREADS_VARIABLE, ClientLike
from ._jobs import Backbone, Bake, Export, Job, Optimize, run
from ._volumes import DEFAULT_CHUNKS, Volume, metadata, open_zarr, phase_map, property_field, to_zarr

__all__ = ["phase_map", "property_field", "Volume", "metadata", "to_zarr", "open_zarr", "bake_fourier", "run",
           "Export", "Bake", "Optimize", "Backbone", "Job", "ClientLike", "DEFAULT_CHUNKS", "SCHEDULER_VARIABLE",
           "THREADS_VARIABLE"]
