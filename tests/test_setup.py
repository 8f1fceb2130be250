"""What the README's set-up and build commands leave behind."""

from __future__ import annotations

import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import lumivarex

REPO = Path(__file__).resolve().parent.parent


def cache_value(build: Path, key: str) -> str:
    text = (build / "CMakeCache.txt").read_text()
    match = re.search(rf"^{key}:\w+=(.*)$", text, re.MULTILINE)
    assert match, key
    return match.group(1)


@pytest.mark.skipif(not (REPO / "CMakeLists.txt").exists() or shutil.which("cmake") is None
                    or shutil.which("ninja") is None, reason="needs the source tree, cmake and ninja")
def test_in_tree_builds_are_optimised(tmp_path: Path) -> None:
    readme = (REPO / "README.md").read_text()
    [command] = [line for line in readme.splitlines() if line.startswith("cmake -S . -B build/dev")]
    configure = shlex.split(command.split("&&")[0])
    assert configure[configure.index("-B") + 1] == "build/dev"
    configure[configure.index("-B") + 1] = str(tmp_path / "readme")
    plain = ["cmake", "-S", ".", "-B", str(tmp_path / "plain"), "-G", "Ninja"]
    for args in (configure, plain):
        subprocess.run([*args, f"-DPython_EXECUTABLE={sys.executable}"], cwd=REPO, check=True,
                       capture_output=True, timeout=300)
    assert cache_value(tmp_path / "readme", "CMAKE_BUILD_TYPE") == "Release"
    # a plain configuration is optimised too; a chosen build type is kept
    assert cache_value(tmp_path / "plain", "CMAKE_BUILD_TYPE") == "Release"
    subprocess.run([*plain, "-DCMAKE_BUILD_TYPE=Debug"], cwd=REPO, check=True,
                   capture_output=True, timeout=300)
    assert cache_value(tmp_path / "plain", "CMAKE_BUILD_TYPE") == "Debug"


def test_a_package_without_its_core_says_so(tmp_path: Path) -> None:
    # e.g. PYTHONPATH=python on a checkout that was installed but never built in place
    pkg = tmp_path / "lumivarex"
    pkg.mkdir()
    shutil.copy2(Path(lumivarex.__file__), pkg / "__init__.py")
    proc = subprocess.run([sys.executable, "-c", "import lumivarex._lumivarex_core"],
                          env={"PYTHONPATH": str(tmp_path), "PATH": ""}, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1
    last = proc.stderr.splitlines()[-1]
    assert last.startswith(f"ImportError: lumivarex: no native core _lumivarex_core for this "
                           f"Python in {pkg};"), last
    assert "circular" not in last
