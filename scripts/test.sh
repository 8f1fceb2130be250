#!/usr/bin/env bash
# Runs the whole test suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
# python/ is not on the path here, so the installed package (with its built
# core) is what the tests import; PYTHONPATH=python selects the in-tree build.
python3 -m pytest -q -p no:cacheprovider "$@" tests
