"""The package's Python names for the native functions, against the core itself."""

from __future__ import annotations

import pytest

from lumivarex import export, get, optimize, sample


def test_python_names_answer_like_the_core(core):
    get.Save("__facade__", '{"Symbol": "Fc", "v": 2, "Properties": {"Density_kg_m3": 1234}}', "composites")
    assert get.Get("fc") == get.Get("Fc", "composite") == core.py_get("Fc") == sample.data_sheet("__facade__")
    assert sorted(get.list_tiers()) == sorted(core.py_list_tiers())
    assert sample.sample("__facade__", "v") == core.py_sample("__facade__", "v") == 2.0
    assert export.export_glsl("__facade__", include_ior=False) == core.py_export_glsl("__facade__", True, False)
    targets = [{"property": "Density_kg_m3"}]
    assert optimize.optimize_alloy(targets, "__facade__", ["__facade__"], 20, 3, 7) == core.py_optimize_alloy(
        targets, "__facade__", ["__facade__"], 20, 3, 7)
    with pytest.raises(KeyError):
        get.Get("__no_such_entry__")
    with pytest.raises(core.PanicException):
        sample.sample("", "v")
