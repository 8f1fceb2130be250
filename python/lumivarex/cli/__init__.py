"""The ``lumivarex`` command line.

Every command prints its data as JSON on standard output (GLSL source and the
demo's report are text). Progress of long jobs goes to standard error. Every
failure, whether a mistyped argument or an error of the native core, ends the
program with a non-zero status and one line "lumivarex: error: ..." on
standard error.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from lumivarex import core
from lumivarex.cli.parser import build_parser
from lumivarex.cli.plumbing import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, CommandError, UsageError, \
    fail

__all__ = ["main", "build_parser"]


def _error_text(error: BaseException) -> str:
    if isinstance(error, KeyError) and error.args:
        text = str(error.args[0])  # str() of a KeyError would add quotes
    elif isinstance(error, OSError) and error.strerror:
        text = f"{error.strerror}: '{error.filename}'" if error.filename else error.strerror
    else:
        text = str(error)
    return text if text.strip() else type(error).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as e:  # --help and --version
            return e.code if isinstance(e.code, int) else 0
        if sys.stdout is None:  # every command prints its result there
            raise CommandError("standard output is closed")
        status: int = args.run(args)
        return status
    except UsageError as e:
        fail(str(e))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (e.g. '| head'): stop quietly, and keep Python from
        # complaining when it flushes standard output at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_FAILURE
    except KeyboardInterrupt:
        fail("interrupted")
        return EXIT_INTERRUPTED
    except (CommandError, KeyError, ValueError, RuntimeError, TypeError, OSError, MemoryError,
            core.PanicException) as e:
        fail(_error_text(e))
        return EXIT_FAILURE
