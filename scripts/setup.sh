#!/usr/bin/env bash
# Installs the system libraries, builds the native core and installs the
# package with its test tools. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq g++ cmake ninja-build nlohmann-json3-dev libeigen3-dev libicu-dev glslang-tools strace >/dev/null
python3 -m pip install -q ".[test]"
