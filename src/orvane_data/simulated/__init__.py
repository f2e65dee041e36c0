"""Simulated stand-ins for the outside data services.

The package talks to a query-language service (``bql``) and an intraday
analytics service (``bloomberg.bquant.intraday``). Where those client
libraries are not installed, tests, examples and the command line can switch
to small deterministic simulations of them::

    from orvane_data import simulated
    simulated.activate()          # first, before the service modules are imported

Nothing is ever installed under the real libraries' names: ``activate`` only
registers the simulations in ``sys.modules`` for the running process, and only
for a library that cannot be imported for real. Service modules imported
before ``activate`` (whose guarded imports found no library) get the names
their import would have bound; modules that found a library keep it.
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


def _library(library: types.ModuleType) -> object:
    return library


def _service_class(library: types.ModuleType) -> object:
    return library.Service


def _service(library: types.ModuleType) -> object:
    return library.Service()


# The guarded imports of the service modules: (module, library, the names its
# guard binds from the library when the import succeeds, in order). A guard
# whose first name is unbound, or None, found no library.
_GUARDS = (
    ("orvane_data.from_bqia.query_kit", "bql", (("bql", _library), ("bq", _service))),
    ("orvane_data.from_bqia.bar_kit", "bloomberg.bquant.intraday", (("bqia", _library),)),
    ("orvane_data.from_bqia.bar_kit", "bql", (("bql", _library), ("bq", _service))),
    ("orvane_data.from_s3.bucket_sets", "bql", (("bql_Service", _service_class), ("bq", _service))),
)

_UNBOUND = object()
# (module, name, value bound by activate(), value before) for deactivate()
_bound: list[tuple[types.ModuleType, str, object, object]] = []


def _bind_into_imported_modules() -> None:
    for module_name, library, names in _GUARDS:
        module = sys.modules.get(module_name)
        simulation = sys.modules.get(library)
        if module is None or simulation is None or not _is_simulated(simulation):
            continue
        if getattr(module, names[0][0], None) is not None:
            continue
        for name, make in names:
            value = make(simulation)
            _bound.append((module, name, value, getattr(module, name, _UNBOUND)))
            setattr(module, name, value)


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
    _bind_into_imported_modules()
    return used


def deactivate() -> None:
    """Forget the simulated services registered by :func:`activate`."""
    while _bound:
        module, name, value, before = _bound.pop()
        if getattr(module, name, None) is not value:
            continue  # rebound since, by the caller
        if before is _UNBOUND:
            delattr(module, name)
        else:
            setattr(module, name, before)
    for name in list(sys.modules):
        root = name.split(".")[0]
        if root in ("bql", "bloomberg") and _is_simulated(sys.modules[name]):
            del sys.modules[name]
