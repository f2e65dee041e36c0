"""Simulated stand-ins for the outside data services.

The package talks to a query-language service (``bql``) and an intraday
analytics service (``bloomberg.bquant.intraday``). Where those client
libraries are not installed, tests, examples and the command line can switch
to small deterministic simulations of them::

    from orvane_data import simulated
    simulated.activate()          # before importing orvane_data.from_bqia.*

Nothing is ever installed under the real libraries' names: ``activate`` only
registers the simulations in ``sys.modules`` for the running process, and only
for a library that cannot be imported for real.
"""

from __future__ import annotations

import importlib
import sys
import types

__all__ = ["activate", "deactivate", "SERVICES"]

# importable name of the real library -> module of its simulation
SERVICES = {
    "bql": "orvane_data.simulated.bql",
    "bloomberg.bquant.intraday": "orvane_data.simulated.intraday",
}


def _is_simulated(module: types.ModuleType) -> bool:
    return getattr(module, "__orvane_simulated__", False)


def _register(name: str, module: types.ModuleType) -> None:
    parts = name.split(".")
    # parent packages of a dotted name ("bloomberg", "bloomberg.bquant")
    for i in range(1, len(parts)):
        parent = ".".join(parts[:i])
        if parent not in sys.modules:
            package = types.ModuleType(parent, "Simulated namespace package.")
            package.__path__ = []
            package.__orvane_simulated__ = True
            sys.modules[parent] = package
    sys.modules[name] = module
    for i in range(1, len(parts)):
        setattr(sys.modules[".".join(parts[:i])], parts[i], sys.modules[".".join(parts[: i + 1])])


def activate() -> dict[str, str]:
    """Use the simulated services where the real libraries cannot be imported.

    Returns, for each service library, "real" or "simulated".
    """
    used = {}
    for name, simulation in SERVICES.items():
        try:
            module = importlib.import_module(name)
        except ImportError:
            module = None
        if module is not None:
            used[name] = "simulated" if _is_simulated(module) else "real"
            continue
        _register(name, importlib.import_module(simulation))
        used[name] = "simulated"
    return used


def deactivate() -> None:
    """Forget the simulated services registered by :func:`activate`."""
    for name in list(sys.modules):
        root = name.split(".")[0]
        if root in ("bql", "bloomberg") and _is_simulated(sys.modules[name]):
            del sys.modules[name]
