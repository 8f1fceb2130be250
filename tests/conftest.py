"""Shared fixtures.

The core loads its datasheets once per process, so a test that needs its own
datasheets builds a throw-away ``lumivarex`` package (the built extension, a
small ``__init__.py`` and its own ``data/active/``) and talks to it in a
subprocess.
"""

from __future__ import annotations

import base64
import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any, Iterable, Mapping

import pytest

import lumivarex._lumivarex_core as _core

CORE_FILE = Path(_core.__file__)
DEFAULT_INIT = "from . import _lumivarex_core as core\n"

_RUNNER = r"""
import base64, pickle, sys
import lumivarex._lumivarex_core as core
def _run(expr):
    try:
        value = eval(compile(expr, "<expr>", "eval"), {"core": core})
        pickle.dumps(value)
        return ("ok", value)
    except BaseException as e:
        return ("error", type(e).__name__, [c.__name__ for c in type(e).__mro__],
                str(e), e.args[0] if e.args else None)
_results = [_run(expr) for expr in sys.argv[1:]]
sys.stdout.write("\n@@RESULT@@" + base64.b64encode(pickle.dumps(_results)).decode() + "\n")
"""


class CoreError(Exception):
    """An exception raised inside the subprocess, described by name."""

    def __init__(self, name: str, mro: list[str], text: str, arg: Any) -> None:
        super().__init__(f"{name}: {text}")
        self.name, self.mro, self.text, self.arg = name, mro, text, arg


class TempPackage:
    def __init__(self, root: Path) -> None:
        self.root = root
        self.pkg = root / "lumivarex"
        self.data = self.pkg / "data" / "active"

    def env(self) -> dict[str, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = str(self.root)
        env.pop("PYTHONSTARTUP", None)
        return env

    def run(self, code: str, *args: str, isolated: bool = False) -> subprocess.CompletedProcess[str]:
        """Runs Python code in root with this package first on the path."""
        cmd = [sys.executable]
        if isolated:
            cmd.append("-S")  # no site-packages: only this root is importable
        cmd += ["-c", textwrap.dedent(code), *args]
        return subprocess.run(cmd, env=self.env(), cwd=self.root, capture_output=True,
                              text=True, timeout=300)

    def eval(self, expr: str) -> Any:
        """Evaluates one expression (``core`` is the module); raises CoreError on failure."""
        [result] = self.eval_all([expr])
        if isinstance(result, CoreError):
            raise result
        return result

    def eval_all(self, exprs: list[str]) -> list[Any]:
        """Evaluates the expressions in order in one subprocess: each one's value, or
        the CoreError it raised. Later expressions see what earlier ones did to the core."""
        proc = self.run(_RUNNER, *exprs)
        marker = [line for line in proc.stdout.splitlines() if line.startswith("@@RESULT@@")]
        if not marker:
            raise AssertionError(f"subprocess failed:\n{proc.stdout}\n{proc.stderr}")
        results = pickle.loads(base64.b64decode(marker[-1][len("@@RESULT@@"):]))
        assert len(results) == len(exprs)
        return [r[1] if r[0] == "ok" else CoreError(*r[1:]) for r in results]


def expect_errors(pkg: TempPackage, cases: Iterable[tuple[str, str, str | None]], template: str = "{}") -> None:
    """Checks a table of failing calls, all run in one subprocess.

    Each case is (expression, exception class name, message); the expression
    is put into template's braces. The message is compared with the
    exception's first argument (a KeyError's text without the quotes str()
    adds); one ending in "..." need only begin it, and None is not compared.
    """
    cases = list(cases)
    results = pkg.eval_all([template.format(expr) for expr, _, _ in cases])
    wrong = []
    for (expr, name, message), got in zip(cases, results):
        if not isinstance(got, CoreError):
            wrong.append(f"{expr}: returned {got!r}")
            continue
        text = got.arg if isinstance(got.arg, str) else got.text
        if message is None:
            matches = True
        elif message.endswith("..."):
            matches = text.startswith(message[:-3])
        else:
            matches = text == message
        if got.name != name or not matches:
            wrong.append(f"{expr}: {got.name}: {text!r}, expected {name}: {message!r}")
    assert not wrong, "\n".join(wrong)


def write_datasheets(data: Path, files: Mapping[str, Any]) -> None:
    """files maps "tier/name.json" to a JSON-able value, a str (written as is) or bytes."""
    for rel, content in files.items():
        path = data / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        elif isinstance(content, str):
            path.write_text(content, encoding="utf-8")
        else:
            path.write_text(json.dumps(content), encoding="utf-8")


def build_package(root: Path, files: Mapping[str, Any] | None = None, init: str | None = DEFAULT_INIT,
                  data: bool = True) -> TempPackage:
    """A package under root: the built core, init as its ``__init__.py`` (none if
    None) and, if data, a ``data/active/`` folder holding files."""
    pkg = TempPackage(root)
    pkg.pkg.mkdir(parents=True)
    shutil.copy2(CORE_FILE, pkg.pkg / CORE_FILE.name)
    if init is not None:
        (pkg.pkg / "__init__.py").write_text(init)
    if data:
        pkg.data.mkdir(parents=True)
        write_datasheets(pkg.data, files or {})
    return pkg


@pytest.fixture
def make_package(tmp_path: Path):
    """make_package(files, init=DEFAULT_INIT, data=True) -> TempPackage."""
    counter = [0]

    def build(files: Mapping[str, Any] | None = None, init: str | None = DEFAULT_INIT,
              data: bool = True) -> TempPackage:
        counter[0] += 1
        return build_package(tmp_path / f"pkg{counter[0]}", files, init, data)

    return build


@pytest.fixture(scope="session")
def core():
    """The core of the package under test, with the shipped datasheets."""
    return _core
