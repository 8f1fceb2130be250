#!/usr/bin/env bash
# Builds the core with AddressSanitizer + UndefinedBehaviorSanitizer and runs
# the test suite against it. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLVX_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" -j2
# A package folder holding the sanitized core beside the shipped data.
stage="$build/pkg"
rm -rf "$stage" && mkdir -p "$stage"
cp -r python/lumivarex "$stage/"
rm -f "$stage"/lumivarex/_lumivarex_core*.so
cp "$build"/_lumivarex_core*.so "$stage/lumivarex/"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# Huge requests must fail as they do in a normal build (the too-large-grid
# tests rely on it), not abort the process.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
PYTHONPATH="$stage" python3 -m pytest -q -p no:cacheprovider "$@" tests
