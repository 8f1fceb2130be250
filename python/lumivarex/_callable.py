"""Modules that can be called like a function.

``lumivarex.get`` and ``lumivarex.sample`` are modules (``from lumivarex.get
import Get`` is how their names have always been reached) and, since the
array API, also the functions ``lumivarex.get(name)`` and
``lumivarex.sample(name, property, points)``. Importing a submodule sets the
package's attribute of that name to the module, so the two cannot be
separate objects: the module itself is made callable instead.
"""

from __future__ import annotations

import importlib
import inspect
import sys
import types
from typing import Any, Callable


class CallableModule(types.ModuleType):
    """A module that, when called, calls its target function."""

    _call_target: str  # "module:function", imported on the first call

    def _target(self) -> Callable[..., Any]:
        module, _, function = self._call_target.partition(":")
        target: Callable[..., Any] = getattr(importlib.import_module(module), function)
        return target

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._target()(*args, **kwargs)

    @property
    def __signature__(self) -> inspect.Signature:
        return inspect.signature(self._target())


def make_callable(module_name: str, target: str) -> None:
    """Makes the module ``module_name`` callable as the function ``target``
    ("module:function"), which is imported only when it is first needed."""
    module = sys.modules[module_name]
    module.__class__ = CallableModule
    module._call_target = target  # type: ignore[attr-defined]  # set on the class just now
