"""The libraries the bridges hand results to, imported when first used.

Each belongs to an optional extra of the package; ``import lumivarex`` needs
none of them. A bridge whose library is missing raises ImportError saying
which extra installs it.
"""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require"]


def require(module: str, extra: str, user: str, distribution: str | None = None) -> ModuleType:
    """``module``, imported; ``user`` names the function that needs it and
    ``distribution`` the package that provides it (by default the module's
    top-level name). A library that is there but fails to import raises its
    own error, which says more than the name of an extra would."""
    top = module.partition(".")[0]
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as e:
        if e.name is None or e.name.partition(".")[0] != top:
            raise
        raise ImportError(f"{user} needs {distribution or top}, which is not installed: "
                          f"pip install 'lumivarex[{extra}]'", name=top) from e
