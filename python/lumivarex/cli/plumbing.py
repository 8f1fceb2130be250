"""What every command shares: calls into the core, output, and errors."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile
from collections.abc import Callable
from typing import IO, Any, TypeVar

PROG = "lumivarex"

# Exit statuses: a failed operation, then a command line that could not be read.
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# The core reports a broken precondition on standard error before it raises;
# the command line reports the same message itself, in its own single line.
_CORE_DIAGNOSTIC = "lumivarex_core: assertion failed:"

T = TypeVar("T")


class CommandError(Exception):
    """A failure the command line found itself; its text is the whole message."""


class UsageError(CommandError):
    """The command line could not be read."""


# ------------------------------------------------------------------ core calls


def _holding_file() -> IO[bytes] | None:
    """A file to hold the core's standard error during a call.

    In memory where the system offers that, so that a missing or read-only
    temporary folder costs nothing; else a temporary file; else None.
    """
    try:
        return os.fdopen(os.memfd_create("lumivarex-stderr"), "w+b")
    except (AttributeError, OSError):  # not Linux, or forbidden by a sandbox
        pass
    try:
        return tempfile.TemporaryFile()
    except OSError:
        return None


def call(function: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """Calls into the core, holding back its precondition diagnostic.

    Anything else the core writes to standard error meanwhile is passed on.
    Where standard error is closed or nothing can hold it, the call runs as is.
    """
    held = _holding_file() if sys.stderr is not None else None
    if held is None:
        return function(*args, **kwargs)
    with held:
        try:
            sys.stderr.flush()
            saved = os.dup(2)
        except (OSError, ValueError):  # no usable standard error: nothing to hold back
            return function(*args, **kwargs)
        os.dup2(held.fileno(), 2)
        try:
            return function(*args, **kwargs)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            held.seek(0)
            for line in held.read().decode("utf-8", "replace").splitlines(keepends=True):
                if not line.startswith(_CORE_DIAGNOSTIC):
                    to_stderr(line)


# ------------------------------------------------------------------ output


def plain(value: Any) -> Any:
    """The value with non-finite floats replaced by None, so that it is valid JSON."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def emit(value: Any) -> None:
    """Prints one JSON document on standard output."""
    encoding = (sys.stdout.encoding or "").lower().replace("-", "").replace("_", "")
    text = json.dumps(plain(value), indent=2, ensure_ascii=encoding != "utf8", allow_nan=False)
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def to_stderr(text: str) -> None:
    """Writes to standard error; one that is closed or fails is not worth failing for."""
    if sys.stderr is None:  # closed from the start
        return
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except OSError:
        pass


def progress(args: argparse.Namespace, message: str) -> None:
    if not getattr(args, "quiet", False):
        to_stderr(message + "\n")


def size_text(n_bytes: int) -> str:
    if n_bytes < 100_000:
        return f"{n_bytes / 1000:.1f} kB"
    return f"{n_bytes / 1e6:.1f} MB"


def file_size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def make_parent(path: str) -> None:
    """Creates the folder that will hold ``path``, so that every format can write into a new folder."""
    parent = os.path.dirname(path)
    if parent:
        try:
            os.makedirs(parent, exist_ok=True)
        except OSError as e:
            raise CommandError(f"cannot create the folder for '{path}': {e.strerror or e}") from None


def fail(message: str) -> None:
    """Reports a failure as the one line "lumivarex: error: ..." on standard error."""
    one_line = " ".join(part.strip() for part in message.splitlines() if part.strip())
    to_stderr(f"{PROG}: error: {one_line}\n")


# ------------------------------------------------------------------ input


def load_json(text: str, label: str) -> Any:
    """The JSON value of text, every number read as a float.

    An integer too large for a float reads as infinity, which the callers
    refuse as they refuse any other non-finite number.
    """
    try:
        return json.loads(text, parse_int=float)
    except json.JSONDecodeError as e:
        raise CommandError(f"{label} is not JSON: {e}") from None
    except RecursionError:
        raise CommandError(f"{label} is nested too deeply") from None


def is_number(value: object) -> bool:
    """A finite number as load_json reads it (always a float)."""
    return isinstance(value, float) and math.isfinite(value)
