#!/usr/bin/env bash
# Runs the whole test suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
# Run from a folder outside the source tree so that the installed package (with
# its built core) is imported, not python/lumivarex.
python3 -m pytest -q -p no:cacheprovider "$@" tests
