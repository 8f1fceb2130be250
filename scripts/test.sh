#!/usr/bin/env bash
# Runs the whole test suite against the installed package, then the type checks.
set -euo pipefail
cd "$(dirname "$0")/.."
# python/ is not on the path here, so the installed package (with its built
# core) is what the tests import; PYTHONPATH=python selects the in-tree build.
python3 -m pytest -q -p no:cacheprovider "$@" tests
# Strict typing of the package (settings in pyproject.toml) ...
python3 -m mypy
# ... and the stubs of the native core against the signatures the built module
# reports (an empty config keeps pyproject's file list out of this run).
python3 -m mypy.stubtest --mypy-config-file <(printf '[mypy]\n') lumivarex._lumivarex_core
