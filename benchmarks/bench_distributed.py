"""lumivarex.distributed on local clusters of single-thread worker processes.

Three figures, each with LUMIVAREX_NUM_THREADS=1 so that a worker process
uses one processor and adding workers is what scales:

- a 600^3 phase map of carbon steel written to a Zarr store on 2 workers
  against 1 (wall time ratio; the bar is 1.7);
- a 2,000^3 two-phase phase map (8e9 voxels) written to a local Zarr store on
  2 workers: time, the store's size, and the peak resident memory of every
  process (the client with its scheduler, and each worker; the bar is 2 GB);
- the shared-out Fourier bake of a 24^3 (and a 32^3) grid on 2 workers against 1, and
  whether both equal py_bake_fourier exactly.

Cluster start-up is not timed. Stores go under --out (removed afterwards
unless --keep); the large one needs some 1.5 GB of disk.

    python3 benchmarks/bench_distributed.py [--out DIR] [--keep] [--skip-large]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import sys
import time
from pathlib import Path

os.environ["LUMIVAREX_NUM_THREADS"] = "1"  # before the core or any worker starts

from distributed import Client, LocalCluster  # noqa: E402

import lumivarex.distributed as lxd  # noqa: E402
from lumivarex import core  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import best_with_result  # noqa: E402

NAME = "carbon steel"  # ferrite and cementite
VOXEL = 0.0001


def cluster(workers: int) -> tuple[LocalCluster, Client]:
    c = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return c, Client(c)


def store_size(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def peak_rss_mb(client: Client) -> dict[str, float]:
    def rss() -> float:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # kB on Linux

    peaks = {"client+scheduler": rss()}
    for i, value in enumerate(client.run(rss).values()):
        peaks[f"worker {i}"] = value
    return peaks


def zarr_scaling(out: Path) -> None:
    n = 600
    volume = lxd.Volume(NAME, ((0, 0, 0), (n * VOXEL,) * 3), VOXEL)
    seconds = {}
    for workers in (1, 2):
        c, client = cluster(workers)
        with c, client:
            store = out / f"scaling{workers}.zarr"
            seconds[workers], _ = best_with_result(
                lambda: lxd.to_zarr(volume, store, overwrite=True, client=client, progress=False), repeat=2)
        print(f"  {n}^3 phase map to Zarr, {workers} worker{'s' if workers > 1 else ''}: {seconds[workers]:.2f} s "
              f"({store_size(store) / 1e6:.1f} MB)")
    print(f"  ratio 1 worker / 2 workers: {seconds[1] / seconds[2]:.2f} (bar: 1.7)")


def zarr_large(out: Path) -> None:
    n = 2000
    store = out / "large.zarr"
    print(f"  free disk under {out}: {shutil.disk_usage(out).free / 1e9:.1f} GB")
    c, client = cluster(2)
    with c, client:
        started = time.perf_counter()
        lxd.to_zarr(lxd.Volume(NAME, ((0, 0, 0), (n * VOXEL,) * 3), VOXEL), store, overwrite=True, client=client,
                    progress=sys.stderr.isatty())
        seconds = time.perf_counter() - started
        peaks = peak_rss_mb(client)
    print(f"  {n}^3 phase map ({n ** 3:.2e} voxels) to Zarr on 2 workers: {seconds:.1f} s, "
          f"store {store_size(store) / 1e9:.2f} GB")
    print("  peak resident memory: " + ", ".join(f"{k} {v:.0f} MB" for k, v in peaks.items())
          + f" (bar: 2048 MB each)")


def bake_scaling() -> None:
    box = ((0.0, 0.0, 0.0), (0.004, 0.004, 0.004))
    # 24^3 is the bar; 32^3 shows where the fixed cost of a Dask call (some
    # tens of ms here, where the scheduler shares the two processors with the
    # workers) stops mattering against the work.
    for n, repeat in ((24, 7), (32, 3)):
        grid = (n, n, n)
        local = core.py_bake_fourier(NAME, "Density_kg_m3", box, grid)
        seconds = {}
        for workers in (1, 2):
            c, client = cluster(workers)
            with c, client:
                seconds[workers], result = best_with_result(
                    lambda: lxd.bake_fourier(NAME, "Density_kg_m3", box, grid, client=client, progress=False),
                    repeat=repeat)
            print(f"  {n}^3 bake, {workers} worker{'s' if workers > 1 else ''}: {seconds[workers]:.3f} s, "
                  f"equal to py_bake_fourier: {result == local}")
        print(f"  ratio 1 worker / 2 workers: {seconds[1] / seconds[2]:.2f}" + (" (bar: 1.7)" if n == 24 else ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "out" / "distributed")
    parser.add_argument("--keep", action="store_true", help="keep the stores")
    parser.add_argument("--skip-large", action="store_true", help="leave out the 2,000^3 store")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    try:
        print("Zarr stores:")
        zarr_scaling(args.out)
        if not args.skip_large:
            zarr_large(args.out)
        print("Fourier bake:")
        bake_scaling()
    finally:
        if not args.keep:
            shutil.rmtree(args.out, ignore_errors=True)


if __name__ == "__main__":
    main()
