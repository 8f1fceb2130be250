"""The module boundary: signatures against the stub, defaults, argument
checks before value checks, result building and the path helpers."""

from __future__ import annotations

import ast
import gc
import inspect
import json
from pathlib import Path
from typing import Any, Callable

import pytest

STUB = Path(__file__).resolve().parents[1] / "python" / "lumivarex" / "_lumivarex_core.pyi"
BOX = ((0.0, 0.0, 0.0), (0.004, 0.003, 0.002))

_STUB_KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def _stub() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def _stub_functions() -> dict[str, list[tuple[str, Any, str | None]]]:
    """Each stub function's parameters: (name, kind, repr of the default or None)."""
    out: dict[str, list[tuple[str, Any, str | None]]] = {}
    for node in _stub().body:
        if not isinstance(node, ast.FunctionDef):
            continue
        a = node.args
        assert a.vararg is None and a.kwarg is None, node.name
        params: list[tuple[str, Any, str | None]] = []
        positional = [(arg, "posonlyargs") for arg in a.posonlyargs] + [(arg, "args") for arg in a.args]
        defaults: list[ast.expr | None] = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
        for (arg, kind), default in zip(positional, defaults):
            params.append((arg.arg, _STUB_KINDS[kind], None if default is None else
                           repr(ast.literal_eval(default))))
        for arg, kw_default in zip(a.kwonlyargs, a.kw_defaults):
            params.append((arg.arg, _STUB_KINDS["kwonlyargs"], None if kw_default is None else
                           repr(ast.literal_eval(kw_default))))
        out[node.name] = params
    return out


def _signature(fn: Callable[..., Any]) -> list[tuple[str, Any, str | None]]:
    return [(p.name, p.kind, None if p.default is inspect.Parameter.empty else repr(p.default))
            for p in inspect.signature(fn).parameters.values()]


def _module_functions(core: Any) -> dict[str, Any]:
    return {name: fn for name, fn in vars(core).items()
            if inspect.isbuiltin(fn) and not name.startswith("_")}


def test_stub_matches_every_function(core):
    stub = _stub_functions()
    functions = _module_functions(core)
    # Helpers outside __all__ are described too.
    assert set(stub) == set(functions)
    assert {"py_voxel_counts", "py_mtl_path", "py_sidecar_path"} <= set(functions) - set(core.__all__)
    for name, fn in functions.items():
        assert _signature(fn) == stub[name], name
    [stub_all] = [node.value for node in _stub().body if isinstance(node, ast.Assign)
                  and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets)]
    assert ast.literal_eval(stub_all) == core.__all__


# One call per function with defaults, its required arguments only (and the
# seed, for results that repeat): positional arguments and keywords, given the
# folder files are written to.
REQUIRED: dict[str, Callable[[Path], tuple[tuple[Any, ...], dict[str, Any]]]] = {
    "py_get": lambda d: (("Fe",), {}),
    "py_sample": lambda d: (("carbon steel", "Density_kg_m3"), {}),
    "py_export_glsl": lambda d: (("carbon steel",), {}),
    "py_optimize_alloy": lambda d: (([{"property": "Density_kg_m3"}], "Fe"), {"seed": 3}),
    "py_export_hlsl": lambda d: (("carbon steel", str(d / "s.hlsl")), {}),
    "py_export_sdf_raw": lambda d: (("pearlite", str(d / "v.raw"), BOX, 0.001), {}),
    "py_export_vtk_legacy": lambda d: (("pearlite", str(d / "v.vtk"), BOX, 0.001), {}),
    "py_export_stl": lambda d: (("pearlite", str(d / "m.stl"), BOX, 0.001), {}),
    "py_export_obj": lambda d: (("pearlite", str(d / "m.obj"), BOX, 0.001), {}),
    "py_export_stl_units": lambda d: (("pearlite", str(d / "m.stl"), BOX, 0.001), {}),
    "py_export_obj_units": lambda d: (("pearlite", str(d / "m.obj"), BOX, 0.001), {}),
    "py_bake_fourier": lambda d: (("pearlite", "Density_kg_m3", BOX, (3, 2, 2)), {}),
    "py_resolve": lambda d: (("iron",), {}),
    "py_tier_keys": lambda d: ((), {}),
    "py_known_names": lambda d: ((), {}),
    "py_sample_points": lambda d: (("pearlite", "Density_kg_m3", [(0.001, 0.002, 0.0)]), {}),
    "py_phase_map": lambda d: (("pearlite", BOX, 0.001), {}),
    "py_property_field": lambda d: (("pearlite", "Density_kg_m3", BOX, 0.001), {}),
    "py_surface_arrays": lambda d: (("pearlite", BOX, 0.001), {}),
    "py_superpose": lambda d: (([[0, 0, 0], [1, 0, 0], [0, 2, 1]], [[5, 5, 5], [5, 6, 5], [3, 5, 4]]), {}),
}


def _comparable(value: Any) -> Any:
    """Memoryviews by format, shape and contents; everything else as it is."""
    if isinstance(value, memoryview):
        return value.format, value.shape, value.tolist()
    if isinstance(value, tuple):
        return tuple(_comparable(v) for v in value)
    return value


def test_absent_arguments_take_the_defaults_the_signature_shows(core, tmp_path):
    """Leaving an argument out, passing the default its signature shows, and (for
    a default of None) passing None give the same result and the same files;
    None for any other default is a TypeError naming the argument."""

    def outcome(name: str, **extra: Any) -> tuple[str, dict[str, bytes]]:
        args, kwargs = REQUIRED[name](tmp_path)
        value = _comparable(getattr(core, name)(*args, **{**kwargs, **extra}))
        files = {p.name: p.read_bytes() for p in sorted(tmp_path.iterdir())}
        for p in tmp_path.iterdir():
            p.unlink()
        return repr(value), files

    covered = set()
    for name in REQUIRED:
        plain = outcome(name)
        for p in inspect.signature(getattr(core, name)).parameters.values():
            if p.default is inspect.Parameter.empty or p.name in REQUIRED[name](tmp_path)[1]:
                continue
            covered.add((name, p.name))
            assert outcome(name, **{p.name: p.default}) == plain, (name, p.name)
            if p.default is None:
                assert outcome(name, **{p.name: None}) == plain, (name, p.name)
            else:
                with pytest.raises(TypeError, match=f"^argument '{p.name}': "):
                    outcome(name, **{p.name: None})
    every_default = {(n, p.name) for n, fn in _module_functions(core).items()
                     for p in inspect.signature(fn).parameters.values()
                     if p.default is not inspect.Parameter.empty}
    assert every_default - covered == {("py_optimize_alloy", "seed")}


ORDER_CASES = [
    # An empty name is a broken precondition, but a wrong type anywhere in the
    # call is reported first, whichever argument it is.
    (lambda c: c.py_sample("", 5), TypeError, "^argument 'property': "),
    (lambda c: c.py_sample("", "p", at=3), TypeError, "^argument 'at': "),
    (lambda c: c.py_sample("x", "", scale_m="s"), TypeError, "^argument 'scale_m': "),
    (lambda c: c.py_export_glsl("", include_caustic=1), TypeError, "^argument 'include_caustic': "),
    (lambda c: c.py_get("", 3), TypeError, "^argument 'scope_str': "),
    (lambda c: c.py_save("", "{", 3), TypeError, "^argument 'tier_str': "),
    (lambda c: c.py_build_backbone("", 5), TypeError, "^argument 'phi_psi_deg': "),
    (lambda c: c.py_voxel_counts("box", 0.0), TypeError, "^argument 'bounds': "),
    # With every argument of its type, the value checks speak, in argument order.
    (lambda c: c.py_sample("", ""), "panic", "^py_sample: name must be non-empty$"),
    (lambda c: c.py_sample("x", "", (0.0, 0.0, 0.0)), "panic", "^py_sample: property must be non-empty$"),
    (lambda c: c.py_data_sheet(""), "panic", "^py_data_sheet: name must be non-empty$"),
    (lambda c: c.py_export_glsl("", include_sss=False), "panic", "^py_export_glsl: name must be non-empty$"),
    (lambda c: c.py_voxel_counts(BOX, float("nan")), ValueError, "^voxel_counts: voxel_size must be positive$"),
    (lambda c: c.py_voxel_counts(BOX, -1.0), ValueError, "^voxel_counts: voxel_size must be positive$"),
]


@pytest.mark.parametrize("case", range(len(ORDER_CASES)))
def test_conversions_come_before_value_checks(core, case):
    call, error, message = ORDER_CASES[case]
    with pytest.raises(core.PanicException if error == "panic" else error, match=message):
        call(core)


def test_results_leave_the_collector_as_they_found_it(core):
    """Record lists pause the cyclic collector while they are built and must
    restore whatever state it was in, also when the call fails."""
    calls = [
        lambda: core.py_build_backbone("A" * 2500, [(-57.0, -47.0)] * 2500),
        lambda: core.py_build_backbone_from_entry("trp-cage"),
        lambda: core.py_bake_fourier("pearlite", "Density_kg_m3", BOX, (4, 3, 2), 0.0),
        lambda: core.py_optimize_alloy([{"property": "Density_kg_m3"}], "Fe", None, 50, 5, 1),
        lambda: core.py_build_backbone("AAA", [(0.0, 0.0)]),  # fails
    ]
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            gc.enable() if enabled else gc.disable()
            for call in calls:
                try:
                    call()
                except ValueError:
                    pass
                assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def test_records_keep_their_key_order_and_share_no_state(core):
    atoms = core.py_build_backbone("AG", [(-57.0, -47.0), (-60.0, -45.0)])
    assert [a["name"] for a in atoms] == ["N", "CA", "C"] * 2
    assert all(list(a) == ["name", "res_idx", "x", "y", "z"] for a in atoms)
    atoms[0]["name"] = "changed"  # a copy, not the template it was made from
    assert core.py_build_backbone("A", [(-57.0, -47.0)])[0]["name"] == "N"
    baked = core.py_bake_fourier("pearlite", "Density_kg_m3", BOX, (3, 2, 2), 0.0)
    assert list(baked) == ["property_name", "base_value", "domain_size_m", "coefficients", "boundary_condition"]
    assert all(list(c) == ["n", "m", "l", "amplitude", "phase"] for c in baked["coefficients"])
    assert all(type(c[k]) is int for c in baked["coefficients"] for k in "nml")
    [best] = core.py_optimize_alloy([{"property": "Density_kg_m3"}], "Fe", ["Cr"], 30, 1, 2)
    assert list(best) == ["composition", "estimated_properties", "score"]
    assert list(best["composition"])[0] == "Fe"


def test_tiers_come_in_canonical_order(core):
    assert core.py_list_tiers() == [
        "subatomic", "atom", "molecule", "alloy", "ceramic", "composite",
        "amino_acid", "protein", "cell", "cell_component", "nucleic_acid", "biomaterial"]


@pytest.mark.parametrize("path", ["steel.obj", "steel", "a.d/steel", "a/steel.tar.gz", "a/.hidden", "a/b.OBJ"])
def test_path_helpers_name_the_files_the_exports_write(core, tmp_path, path):
    obj = tmp_path / "obj" / path
    obj.parent.mkdir(parents=True, exist_ok=True)
    written_obj, written_mtl = core.py_export_obj("pearlite", str(obj), BOX, 0.001)
    assert core.py_mtl_path(str(obj)) == written_mtl
    assert Path(written_mtl).read_text().startswith("newmtl ")

    raw = tmp_path / "raw" / path
    raw.parent.mkdir(parents=True, exist_ok=True)
    core.py_export_sdf_raw("pearlite", str(raw), BOX, 0.001)
    sidecar = Path(core.py_sidecar_path(str(raw)))
    assert sorted(p.name for p in raw.parent.iterdir()) == sorted({raw.name, sidecar.name})
    assert json.loads(sidecar.read_text())["mode"] == "phase"


def test_path_helpers_take_one_str(core):
    for helper, arg in ((core.py_mtl_path, "obj_path"), (core.py_sidecar_path, "out_path")):
        with pytest.raises(TypeError, match=f"^argument '{arg}': expected str, got bytes$"):
            helper(b"x.obj")
        with pytest.raises(TypeError, match="missing 1 required positional argument"):
            helper()
