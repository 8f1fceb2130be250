"""Module entry: attributes, signatures, one load per process, warnings."""

from __future__ import annotations

import inspect
import shutil

import pytest

from conftest import CORE_FILE, TempPackage

TABLE = [
    ("py_get", "(spec, scope_str=None)"),
    ("py_save", "(name, data_json, tier_str)"),
    ("py_sample", "(name, property, at=None, scale_m=None)"),
    ("py_data_sheet", "(name)"),
    ("py_list_tiers", "()"),
    ("py_export_glsl", "(name, include_density=True, include_ior=True, include_sss=True, include_caustic=True)"),
    ("py_kabsch_rmsd", "(a, b)"),
    ("py_build_backbone", "(sequence, phi_psi_deg)"),
    ("py_build_backbone_from_entry", "(entry_name)"),
    ("py_ramachandran_region", "(phi_deg, psi_deg)"),
    ("py_optimize_alloy", "(targets, base, alloying_pool=None, n_candidates=1000, top_k=5, seed=None)"),
    ("py_export_hlsl", "(name, out_path, properties=None)"),
    ("py_export_sdf_raw", "(name, out_path, bounds, voxel_size, scale_m=None, mode='phase')"),
    ("py_export_vtk_legacy", "(name, out_path, bounds, voxel_size, properties=None, scale_m=None)"),
    ("py_export_stl", "(name, out_path, bounds, voxel_size, scale_m=None, binary=True)"),
    ("py_export_obj", "(name, obj_path, bounds, voxel_size, scale_m=None)"),
    ("py_bake_fourier", "(entry_name, property, bounds, grid_size, truncate_threshold=0.01)"),
    ("is_rust_backend", "()"),
    ("version_rust", "()"),
]

TIERS = {"subatomic", "atom", "molecule", "alloy", "ceramic", "composite", "amino_acid",
         "protein", "cell", "cell_component", "nucleic_acid", "biomaterial"}


def test_attributes_table_and_signatures(core):
    assert core.__all__ == [name for name, _ in TABLE] + ["__version__"]
    assert core.__version__ == "2.0.2" == core.version_rust()
    assert core.is_rust_backend() is True
    assert core.__doc__.startswith("`lumivarex._lumivarex_core` module entry point.\n\nOn import, resolves the "
                                   "`lumivarex/data/active/` data path from the\ninstalled Python package "
                                   "and eagerly loads all datasheets into")
    for name, sig in TABLE:
        fn = getattr(core, name)
        assert str(inspect.signature(fn)) == sig, name
        assert fn.__doc__.strip() and "--" not in fn.__doc__.splitlines()[0]
        assert fn.__text_signature__.replace('"', "'") == sig
    # Module attributes appear in table order, then __version__.
    attrs = [k for k in vars(core) if k in set(core.__all__)]
    assert attrs == core.__all__


def test_panic_exception_is_a_base_exception(core):
    assert core.PanicException.__bases__ == (BaseException,)
    assert "PanicException" not in core.__all__
    with pytest.raises(core.PanicException, match="^py_get: spec must be non-empty$"):
        try:
            core.py_get("")
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")


def test_panic_prints_diagnostic(capfd, core):
    with pytest.raises(core.PanicException):
        core.py_data_sheet("")
    assert "py_data_sheet: name must be non-empty" in capfd.readouterr().err


def test_reimport_gives_the_same_module_and_no_reload(make_package):
    pkg = make_package({"atom/Fe.json": {"Symbol": "Fe"}})
    proc = pkg.run("""
        import sys
        import lumivarex._lumivarex_core as a
        a.py_save("only_in_memory", "{}", "atom")
        del sys.modules["lumivarex._lumivarex_core"]
        import lumivarex._lumivarex_core as b
        assert a is b, "a second module object was created"
        assert b.py_get("only_in_memory") == {}
        del sys.modules["lumivarex._lumivarex_core"], sys.modules["lumivarex"]
        import lumivarex
        assert lumivarex.core is a
        print("ok")
    """)
    assert proc.stdout.strip() == "ok", proc.stderr
    assert proc.stderr == ""


def test_only_the_main_interpreter_holds_the_module(make_package):
    # A sub-interpreter's import is refused whether it comes first or after
    # the main interpreter's, and neither destroys the main interpreter's.
    pkg = make_package({"atom/Fe.json": {"Symbol": "Fe"}})
    proc = pkg.run("""
        import _xxsubinterpreters as interpreters
        def sub_import():
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import lumivarex._lumivarex_core")
                print("imported")
            except Exception as e:
                print("refused:", e)
            interpreters.destroy(interp)
        sub_import()
        import lumivarex._lumivarex_core as core
        print(core.py_get("Fe"))
        sub_import()
        print(core.py_get("fe"))
    """)
    assert proc.stdout.splitlines() == [
        "refused: <class 'ImportError'>: _lumivarex_core can only be imported in the main interpreter, "
        "not in a sub-interpreter", "{'Symbol': 'Fe'}"] * 2, proc.stdout + proc.stderr
    assert proc.stderr == ""


def test_top_level_import_without_the_package(tmp_path):
    shutil.copy2(CORE_FILE, tmp_path / CORE_FILE.name)
    code = ("import _lumivarex_core as c\n"
            "print(len(c.__all__), sorted(c.py_list_tiers()) == sorted(%r))\n"
            "try:\n    c.py_get('Fe')\nexcept KeyError as e:\n    print(e)\n") % (sorted(TIERS),)
    proc = TempPackage(tmp_path).run(code, isolated=True)  # no lumivarex package anywhere on the path
    assert proc.stdout.splitlines() == ["20 True", "'unknown name: Fe'"]
    assert proc.stderr == "lumivarex_core: init warning: ModuleNotFoundError: No module named 'lumivarex'\n"


def test_data_root_warnings(make_package):
    missing = make_package(data=False)
    proc = missing.run("import lumivarex._lumivarex_core as c; print(len(c.py_list_tiers()))")
    root = missing.pkg / "data" / "active"
    assert proc.stdout.strip() == "12"
    assert proc.stderr == ("lumivarex_core: data load warning: data_loader::load_all_tiers: "
                           f"root does not exist: {root}\n")

    as_file = make_package(data=False)
    (as_file.pkg / "data").mkdir()
    (as_file.pkg / "data" / "active").write_text("not a folder")
    proc = as_file.run("import lumivarex._lumivarex_core")
    assert proc.stderr == ("lumivarex_core: data load warning: data_loader::load_all_tiers: root is not a "
                           f"directory: {as_file.pkg / 'data' / 'active'}\n")


def test_package_without_a_str_file_warns(make_package):
    pkg = make_package({"atom/Fe.json": {}}, init="__file__ = None\nfrom . import _lumivarex_core as core\n")
    proc = pkg.run("import lumivarex; print(lumivarex.core.py_list_tiers() and 'up')")
    assert proc.stdout.strip() == "up"
    assert proc.stderr.startswith("lumivarex_core: init warning: TypeError: ")
    assert proc.stderr.count("\n") == 1


def test_a_file_path_holding_a_nul_names_no_folder(make_package):
    # Cut at the NUL, "x\0..." would name the working directory's data/active.
    for file_text in ("'x\\0y'", "__file__ + '\\0'"):
        pkg = make_package({"atom/Fe.json": {}}, init=f"__file__ = {file_text}\n"
                                                     "from . import _lumivarex_core as core\n")
        (pkg.root / "data" / "active" / "atom").mkdir(parents=True)
        (pkg.root / "data" / "active" / "atom" / "Trap.json").write_text("{}")
        proc = pkg.run("""
            import lumivarex
            for name in ("Trap", "Fe"):
                try:
                    lumivarex.core.py_data_sheet(name)
                    print("loaded", name)
                except KeyError:
                    pass
            print(repr(lumivarex.__file__))
        """)
        file_path = eval(proc.stdout.splitlines()[-1])
        assert proc.stdout.splitlines()[:-1] == []
        assert proc.stderr == ("lumivarex_core: data load warning: data_loader::load_all_tiers: "
                               f"root does not exist: {file_path}/data/active\n")


def test_nul_characters_reach_messages_and_warnings_whole(make_package, core):
    name = "a\0b"
    cases = [
        (lambda: core.py_get(name), KeyError, "unknown name: a\0b"),
        (lambda: core.py_sample(name, "x"), KeyError, "sample::lookup_entry: no datasheet found for 'a\0b'"),
        (lambda: core.py_optimize_alloy([{"property": "x"}], name), ValueError,
         "alloy::optimize_alloy: base element 'a\0b' not found"),
        (lambda: core.py_export_glsl(name), ValueError, None),
    ]
    for call, exc, text in cases:
        with pytest.raises(exc) as info:
            call()
        assert "a\0b" in info.value.args[0] and (text is None or info.value.args[0] == text)

    class Angle:
        def __float__(self) -> float:
            raise TypeError("bad\0angle")
    with pytest.raises(TypeError) as info:
        core.py_ramachandran_region(Angle(), 0)
    assert str(info.value) == "argument 'phi_deg': bad\0angle"

    # The init warning carries the exception text whole.
    pkg = make_package({}, init="del __file__\n"
                                "def __getattr__(name):\n"
                                "    raise AttributeError('no\\0file')\n"
                                "from . import _lumivarex_core as core\n")
    proc = pkg.run("import lumivarex")
    assert proc.stderr == "lumivarex_core: init warning: AttributeError: no\0file\n"
