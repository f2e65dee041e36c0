"""Outages of the simulated services, switched on per object.

The real services fail in a few recognisable ways: a request is refused
outright, some requests of a batch fail while the others come back, an
answer comes back empty, or with a column missing. These wrappers put any of
those in front of a simulated (or any other) service object, so tests and
demos can see what the package does then::

    from orvane_data.simulated import bql, faults
    bq = faults.FaultyService(bql.Service(), failing_requests={1})
    get_eco_calendar_data(bq, ...)        # the second year's request fails

    faults.FaultyIntraday(intraday, raise_on_get_bars=TimeoutError("no bars"))

Every call that reaches a wrapper is recorded in its ``calls`` list, so a test
can tell what was asked before the failure.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, Optional

import pandas as pd

__all__ = ["FaultyService", "FaultyIntraday", "ServiceOutage"]


class ServiceOutage(Exception):
    """What a wrapped service raises when it is told to fail a call."""


def _exception(error: Any) -> BaseException:
    if isinstance(error, BaseException):
        return error
    if isinstance(error, type) and issubclass(error, BaseException):
        return error("simulated outage")
    return ServiceOutage(str(error) if error is not True else "simulated outage")


def _shape(frame: Any, empty: bool, drop_columns: Iterable[str]) -> Any:
    if not isinstance(frame, pd.DataFrame):
        return frame
    out = frame
    drop = [c for c in drop_columns if c in out.columns]
    if drop:
        out = out.drop(columns=drop)
    if empty:
        out = out.iloc[0:0]
    return out


class _Item:
    """One response item whose frame comes back shaped by the switches."""

    def __init__(self, item: Any, empty: bool, drop_columns: tuple):
        self._item, self._empty, self._drop = item, empty, drop_columns

    def df(self) -> Any:
        return _shape(self._item.df(), self._empty, self._drop)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._item, name)


class _Response(list):
    def __init__(self, response: Any, empty: bool, drop_columns: tuple, missing_items: bool):
        items = [] if missing_items else [_Item(i, empty, drop_columns) for i in response]
        super().__init__(items)
        self._names = {}
        for original, wrapped in zip(response, items):
            name = getattr(original, "name", None)
            if name is not None:
                self._names[name] = wrapped

    def get(self, name: str) -> Any:
        if name in self._names:
            return self._names[name]
        raise KeyError(name)


class FaultyService:
    """A query-language service object with switchable failures.

    - ``raise_on_execute``: an exception (instance, class or True) that every
      ``execute`` raises instead of answering.
    - ``raise_on_batch``: the same for ``execute_many`` as a whole.
    - ``failing_requests``: positions (0-based) of the requests of each batch
      that fail; they are handed to ``on_request_error(error, request)`` the
      way the service reports a failed member, and the others come back.
    - ``empty``: every answer's frame comes back without rows.
    - ``drop_columns``: columns removed from every answer's frame.
    - ``missing_items``: responses come back without any item.
    - ``empty_after``: the first that many ``execute`` calls are answered
      whole, every later one empty (a service that degrades mid-way).

    Everything else (``data``, ``univ``, ``func``) is the wrapped service's.
    """

    def __init__(self, service: Any, *, raise_on_execute: Any = None, raise_on_batch: Any = None,
                 failing_requests: Iterable[int] = (), empty: bool = False,
                 drop_columns: Iterable[str] = (), missing_items: bool = False,
                 empty_after: Optional[int] = None):
        self._service = service
        self.raise_on_execute = raise_on_execute
        self.raise_on_batch = raise_on_batch
        self.failing_requests = set(failing_requests)
        self.empty = empty
        self.drop_columns = tuple(drop_columns)
        self.missing_items = missing_items
        self.empty_after = empty_after
        self.calls: list[tuple[str, Any]] = []
        self.reported: list[tuple] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(self._service, name)

    def _wrap(self, response: Any) -> _Response:
        answered = sum(1 for kind, _ in self.calls if kind == "execute")
        empty = self.empty or (self.empty_after is not None and answered > self.empty_after)
        return _Response(response, empty, self.drop_columns, self.missing_items)

    def execute(self, request: Any) -> _Response:
        self.calls.append(("execute", request))
        if self.raise_on_execute is not None:
            raise _exception(self.raise_on_execute)
        return self._wrap(self._service.execute(request))

    def execute_many(self, requests: Iterable[Any], on_request_error: Optional[Callable[..., Any]] = None):
        requests = list(requests)
        self.calls.append(("execute_many", requests))
        if self.raise_on_batch is not None:
            raise _exception(self.raise_on_batch)
        out = []
        for position, request in enumerate(requests):
            if position in self.failing_requests:
                error = ServiceOutage(f"request {position} of the batch failed")
                if on_request_error is None:
                    raise error
                self.reported.append((error, request))
                on_request_error(error, request)
                continue
            out.append(self._wrap(self._service.execute(request)))
        return iter(out)


class FaultyIntraday:
    """An intraday service module with switchable failures of ``get_bars``.

    - ``raise_on_get_bars`` / ``raise_on_set_config``: an exception raised
      instead of answering.
    - ``empty`` / ``drop_columns``: the bar frame comes back without rows or
      without those columns.

    Every other name is the wrapped module's (``FuturesRollConfig``, ...).
    """

    def __init__(self, intraday: Any, *, raise_on_get_bars: Any = None, raise_on_set_config: Any = None,
                 empty: bool = False, drop_columns: Iterable[str] = ()):
        self._intraday = intraday
        self.raise_on_get_bars = raise_on_get_bars
        self.raise_on_set_config = raise_on_set_config
        self.empty = empty
        self.drop_columns = tuple(drop_columns)
        self.calls: list[tuple[str, Any]] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(self._intraday, name)

    def set_config(self, config: Any) -> Any:
        self.calls.append(("set_config", config))
        if self.raise_on_set_config is not None:
            raise _exception(self.raise_on_set_config)
        return self._intraday.set_config(config)

    def get_bars(self, **kwargs: Any) -> Any:
        self.calls.append(("get_bars", kwargs))
        if self.raise_on_get_bars is not None:
            raise _exception(self.raise_on_get_bars)
        return _shape(self._intraday.get_bars(**kwargs), self.empty, self.drop_columns)
