"""Timing shared by the benchmarks: the best of several runs, per call."""

from __future__ import annotations

import time
from typing import Any, Callable


def best_with_result(fn: Callable[[], Any], repeat: int = 3) -> tuple[float, Any]:
    """Seconds of the fastest of `repeat` calls, and the last call's result."""
    best, value = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        value = fn()
        best = min(best, time.perf_counter() - t0)
    return best, value


def best_of(fn: Callable[[], Any], repeat: int = 3, number: int = 1) -> float:
    """Seconds per call: `number` calls timed together, the fastest of `repeat` such runs."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best
