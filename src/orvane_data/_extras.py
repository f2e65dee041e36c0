"""The optional parts of the package (extras) and the one error that says
which to install when a road needs a library that is not installed."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require"]


def require(module: str, extra: str) -> ModuleType:
    """Import `module`, a library of the optional part `extra`.

    Raises ImportError naming the extra to install (``pip install
    'orvane_data[<extra>]'``) when the library is not installed; an error
    raised while importing an installed library propagates as it is.
    """
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as missing:
        if missing.name is None or module != missing.name and not module.startswith(missing.name + "."):
            raise  # the library is there but something it imports is not
        raise ImportError(
            f"{module} is not installed; it comes with the optional {extra} support: "
            f"pip install 'orvane_data[{extra}]'",
            name=module,
        ) from missing
