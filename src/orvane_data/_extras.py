"""The optional parts of the package (extras) and the one error that says
which to install when a road needs a library that is not installed."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["missing", "require"]


def missing(module: str, extra: str) -> str:
    """What to say of `module` missing: the extra to install."""
    return f"{module} is not installed; it comes with the optional {extra} support: pip install 'orvane_data[{extra}]'"


def require(module: str, extra: str) -> ModuleType:
    """Import `module`, a library of the optional part `extra`.

    Raises ImportError naming the extra to install (``pip install
    'orvane_data[<extra>]'``) when the library is not installed; an error
    raised while importing an installed library propagates as it is.
    """
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as absent:
        if absent.name is None or module != absent.name and not module.startswith(absent.name + "."):
            raise  # the library is there but something it imports is not
        raise ImportError(missing(module, extra), name=module) from absent
