"""Which files become datasheets, and how their text is read."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys

from conftest import CoreError


# Prints, as JSON, which of the names in argv the core finds by exact key.
_FIND = """
import json, sys
import lumivarex._lumivarex_core as core
found = []
for name in sys.argv[1:]:
    try:
        core.py_data_sheet(name)
        found.append(name)
    except KeyError:
        pass
print(json.dumps(found))
"""


def present(pkg, names):
    """The subset of names the core can find by exact key, in one subprocess."""
    proc = pkg.run(_FIND, *names)
    assert proc.returncode == 0, proc.stderr
    return set(json.loads(proc.stdout))


def test_file_selection_rules(make_package):
    pkg = make_package({
        "alloy/Fe.json": {"kind": "alloy"},
        "alloy/Fe.JSON": {"kind": "upper"},
        "alloy/readme.txt": {"kind": "txt"},
        "alloy/.json": {"kind": "hidden"},
        "alloy/sub/deep.json": {"kind": "nested"},
        "atom/Fe.json": {"kind": "atom"},
        "molecule/a.b.json": {"kind": "dotted"},
        "molecule/ spaced .json": {"kind": "spaced"},
        "glass/window.json": {"kind": "not a tier"},
        "stray.json": {"kind": "root file"},
    })
    (pkg.data / "alloy" / "dir.json").mkdir()
    os.symlink(pkg.data / "atom" / "Fe.json", pkg.data / "molecule" / "link.json")
    (pkg.data / "atom" / os.fsdecode(b"bad\xff.json")).write_text("{}")
    assert present(pkg, ["Fe", "a.b", " spaced ", "link", "Fe.JSON", "Fe.json", "readme", "readme.txt",
                         ".json", "sub", "deep", "window", "stray", "dir"]) == {
        "Fe", "a.b", " spaced ", "link"}
    assert pkg.eval("(core.py_get('Fe', 'alloy'), core.py_get('Fe', 'atom'), core.py_get('Fe'))") == (
        {"kind": "alloy"}, {"kind": "atom"}, {"kind": "atom"})


def test_a_file_named_only_json_is_no_entry(make_package):
    """A file named .json has no stem, so nothing it carries is a name to find;
    .hidden.json is the entry .hidden like any other stem with a dot."""
    pkg = make_package({
        "alloy/.json": {"Symbol": "Hid", "Aliases": ["hidden alias"]},
        "atom/.hidden.json": {"Symbol": "Dot", "Aliases": ["dotted alias"]},
    })
    names = ["Hid", "hid", "HID", "hidden alias", "Hidden Alias", ".json", "json", ".hidden", "Dot", "DOTTED ALIAS"]
    got = [e.arg if isinstance(e, CoreError) else e for e in pkg.eval_all([f"core.py_get({n!r})" for n in names])]
    dotted = {"Symbol": "Dot", "Aliases": ["dotted alias"]}
    assert got == [f"unknown name: {n}" for n in names[:7]] + [dotted] * 3


def test_document_rules(make_package):
    good = {
        "deep_ok": "[" * 128 + "]" * 128,
        "ws": b' \t\r\n{"a": 1} \t\r\n',
        "array": b"[1, 2]",
        "scalar": b"3",
        "unicode": '{"a": "caf\u00e9 \U0001F600"}'.encode(),
    }
    bad = {
        "empty": b"",
        "trailing": b'{"a": 1} x',
        "two": b'{"a": 1} {"b": 2}',
        "bom": b'\xef\xbb\xbf{"a": 1}',
        "latin1": b'{"a": "caf\xe9"}',
        "overlong": b'{"a": "\xc0\xaf"}',
        "surrogate": b'{"a": "\xed\xa0\x80"}',
        "inf": b'{"a": 1e400}',
        "bigint": ("{\"a\": " + "9" * 400 + "}").encode(),
        "nan": b'{"a": NaN}',
        "comment": b'{"a": 1} // note',
        "deep_bad": "[" * 129 + "]" * 129,
        "deep_obj": '{"a":' * 129 + "1" + "}" * 129,
        "nul": b'{"a": 1}\x00',
        "formfeed": b'{"a": 1}\x0c',
    }
    pkg = make_package({f"atom/{k}.json": v for k, v in {**good, **bad}.items()})
    assert present(pkg, list(good) + list(bad)) == set(good)


def test_values_as_parsed(make_package):
    pkg = make_package({
        "atom/order.json": b'{"b": 1, "a": 2.5, "B": true, "_": null}',
        "atom/dup.json": b'{"k": 1, "k": "second"}',
        "atom/nums.json": b'{"u": 18446744073709551615, "i": -9223372036854775808, "z": -0, '
                          b'"big": 18446744073709551616, "f": 2.0, "e": 1E2, "neg": -0.0}',
        "atom/nested.json": b'{"z": {"y": [1, {"b": 2, "a": 1}]}}',
    })
    order, dup, nums, nested = pkg.eval(
        "[core.py_data_sheet(n) for n in ('order', 'dup', 'nums', 'nested')]")
    assert list(order) == ["B", "_", "a", "b"]
    assert order == {"B": True, "_": None, "a": 2.5, "b": 1} and type(order["b"]) is int
    assert dup == {"k": "second"}
    assert nums["u"] == 2**64 - 1 and nums["i"] == -(2**63)
    assert nums["z"] == 0 and type(nums["z"]) is int
    assert type(nums["big"]) is float and nums["big"] == 2.0**64
    assert type(nums["f"]) is float and nums["e"] == 100.0 and type(nums["e"]) is float
    assert str(nums["neg"]) == "-0.0"
    assert list(nested["z"]["y"][1]) == ["a", "b"]


def test_many_files_in_one_tier_all_load(make_package):
    files = {f"molecule/m{i:05d}.json": {"i": i, "Symbol": f"S{i}"} for i in range(3000)}
    files.update({f"cell/c{i}.json": {"i": i} for i in range(10)})
    pkg = make_package(files)
    assert pkg.eval("sum(core.py_data_sheet(f'm{i:05d}')['i'] for i in range(3000))") == sum(range(3000))
    assert pkg.eval("core.py_get('s2999')['i']") == 2999




def test_only_regular_files_load(make_package, monkeypatch):
    """A FIFO, a device or a socket under a datasheet's name is skipped: the
    import neither waits for a writer nor reads an endless device, and says
    nothing about it."""
    pkg = make_package({"atom/ok.json": {"kind": "regular"}})
    atom = pkg.data / "atom"
    os.mkfifo(atom / "fifo.json")
    os.symlink("/dev/zero", atom / "zero.json")
    os.symlink("/dev/null", atom / "null.json")
    os.symlink(atom / "fifo.json", atom / "fifolink.json")
    os.symlink(atom / "ok.json", atom / "oklink.json")
    monkeypatch.chdir(atom)  # a socket's path must be short
    with socket.socket(socket.AF_UNIX) as server:
        server.bind("sock.json")
        server.listen()
        proc = subprocess.run([sys.executable, "-c", _FIND, "ok", "oklink", "fifo", "zero", "null",
                               "fifolink", "sock"],
                              env=pkg.env(), cwd=pkg.root, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == ["ok", "oklink"]
    assert proc.stderr == ""
