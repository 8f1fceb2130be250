"""The native sources keep their floors: each part includes only parts on
lower floors (core, then loader, then get, sample, protein and alloy, then
export and fourier_bake, then pyfacade), no file includes itself back round a
cycle, the interpreter's header stays at the boundary and Eigen stays out of
every header."""

from __future__ import annotations

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"

FLOORS = {"core": 0, "loader": 1, "get": 2, "sample": 2, "protein": 2, "alloy": 2,
          "export": 3, "fourier_bake": 3, "pyfacade": 4}

QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
ANGLED = re.compile(r"^\s*#\s*include\s*<([^>]+)>", re.M)

Graph = dict[str, list[str]]


def read_tree() -> tuple[Graph, Graph]:
    """File -> its quoted includes, and file -> its angled includes, paths relative to src/."""
    files = sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp"))
    texts = {p.relative_to(SRC).as_posix(): p.read_text(encoding="utf-8") for p in files}
    return ({f: QUOTED.findall(t) for f, t in texts.items()},
            {f: ANGLED.findall(t) for f, t in texts.items()})


def floor_faults(graph: Graph) -> list[str]:
    faults = []
    for f, includes in graph.items():
        room = f.split("/")[0]
        if room not in FLOORS:
            faults.append(f"{f}: part '{room}' has no floor")
            continue
        for inc in includes:
            target = inc.split("/")[0]
            if inc not in graph:
                faults.append(f"{f} includes {inc}, which is no file of src/")
            elif target != room and FLOORS.get(target, 99) >= FLOORS[room]:
                faults.append(f"{f} includes {inc} from the same floor or above")
    return faults


def find_cycle(graph: Graph) -> list[str]:
    """One include cycle as a path that returns to its start, or []."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(f: str) -> list[str]:
        state[f] = 1
        path.append(f)
        for inc in graph.get(f, []):
            if state.get(inc) == 1:
                return path[path.index(inc):] + [inc]
            if inc not in state and (cycle := visit(inc)):
                return cycle
        path.pop()
        state[f] = 2
        return []

    for f in graph:
        if f not in state and (cycle := visit(f)):
            return cycle
    return []


def test_parts_include_only_lower_floors_and_nothing_cycles():
    quoted, _ = read_tree()
    assert set(f.split("/")[0] for f in quoted) == set(FLOORS)
    assert floor_faults(quoted) == []
    assert find_cycle(quoted) == []


def test_the_checks_see_planted_faults():
    # The checks above pass on a sound tree; make sure they are not vacuous.
    upward = {"core/a.hpp": ["sample/b.hpp"], "sample/b.hpp": []}
    sideways = {"get/a.cpp": ["sample/b.hpp"], "sample/b.hpp": []}
    missing = {"export/a.cpp": ["export/gone.hpp"]}
    assert floor_faults(upward) == ["core/a.hpp includes sample/b.hpp from the same floor or above"]
    assert floor_faults(sideways) == ["get/a.cpp includes sample/b.hpp from the same floor or above"]
    assert floor_faults(missing) == ["export/a.cpp includes export/gone.hpp, which is no file of src/"]
    ring = {"sample/a.hpp": ["sample/b.hpp"], "sample/b.hpp": ["sample/c.hpp"],
            "sample/c.hpp": ["sample/a.hpp"], "sample/d.cpp": ["sample/a.hpp"]}
    assert find_cycle(ring) == ["sample/a.hpp", "sample/b.hpp", "sample/c.hpp", "sample/a.hpp"]
    assert find_cycle({"core/x.hpp": ["core/y.hpp"], "core/y.hpp": []}) == []


def test_the_interpreter_stays_at_the_boundary_and_eigen_out_of_headers():
    _, angled = read_tree()
    python = sorted(f for f, incs in angled.items() if "Python.h" in incs)
    assert python and all(f.startswith("pyfacade/") for f in python), python
    eigen = sorted(f for f, incs in angled.items() if any(i.startswith("Eigen/") for i in incs))
    assert eigen and not [f for f in eigen if f.endswith(".hpp")], eigen
    assert all(f.startswith("protein/") for f in eigen), eigen
