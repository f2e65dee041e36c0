"""Simulated intraday analytics service.

A small, deterministic stand-in for the intraday analytics client library,
made from what the package expects of it. Register it with
``orvane_data.simulated.activate()`` (it is then importable as
``bloomberg.bquant.intraday`` for the running process only) or import it
directly::

    from orvane_data.simulated import intraday as bqia

    rolls = bqia.FuturesRollFactory({"es": bqia.FuturesRollConfig("ES", "Index", pd.DateOffset(5))})
    bqia.set_config({"futures_roll_factory": rolls, "enabled_packages": ["equity", "macro"]})
    bars = bqia.get_bars(securities=["es", "SPX Index"], security_id_type="parsekey",
                         start="2024-03-01", end="2024-03-31", tz="America/New_York")

Configuration (``set_config``, process-wide; each call replaces the whole
configuration):

- ``"security_id_mapping"``: a frame with columns ``custom``, ``parsekey`` and
  ``figi`` (a FIGI possibly followed by "." and a pricing source). Securities
  are then accepted by the value of the column named by ``security_id_type``.
  FIGIs and parse keys of the security master are accepted without a mapping.
- ``"futures_roll_factory"``: a :class:`FuturesRollFactory`; its roll names are
  accepted as securities whatever the ``security_id_type``.
- ``"enabled_packages"``: the data packages that may be served ("equity":
  equities, equity indices and their futures; "macro": currencies;
  "fixed-income": bonds and bond futures). ``None`` or no entry enables all.

``get_bars(securities, security_id_type, start, end, tz, downsample_freq)``
returns one row per one-minute bar (or per ``downsample_freq`` bar), ordered
by requested security, then time, with the columns:

- ``security``: the FIGI of the instrument that traded (for a roll, the
  contract held that day: rolls move to the next contract ``roll_offset``
  before expiry);
- ``datetime``: the bar's start, zone-aware in ``tz`` (UTC when ``tz`` is None);
- ``key``: the security as requested;
- ``open``, ``high``, ``low``, ``close`` (floats), ``volume`` (integers).

``start`` and ``end`` are dates (yyyy-mm-dd), both included, as trade dates in
each market's own zone; bars stop at ``calendar.TODAY``. Bars lie inside the
market's session on weekdays: currencies Monday 00:00 to Friday 24:00 New York
time, New York equities 09:30-16:00, Hong Kong 09:30-16:00 with the lunch
break 12:00-13:00, index futures nearly round the clock (17:00 the evening
before to 16:00 Chicago time), as the security master lists them. Every
minute's noise is drawn from a hash of the security and the minute, each
day's path runs from the previous daily close to the day's close of the
security master, and prices jump at the release minutes of the economic
calendar of the regions that move the security: by a slope per security
and event kind (signed as the market reads the news: the equity future up
on strong payrolls, down on inflation; yen per dollar up as the dollar
strengthens) times the release's surprise over the spread of that
indicator's surprises, summed over the releases of that minute, plus
noise. Minute volatility and volume stay raised for a quarter hour after a
release, decaying from the release minute.
"""

from __future__ import annotations

import datetime as _dt
import functools
import hashlib
import math
from collections.abc import Mapping
from typing import Any, Iterable, Optional, Union

import numpy as np
import pandas as pd
import pyarrow as pa
from pandas.tseries.offsets import DateOffset

from . import calendar as _calendar
from . import securities as _securities

__orvane_simulated__ = True

__all__ = [
    "PACKAGES",
    "IntradayError",
    "UnknownSecurityError",
    "FuturesRollConfig",
    "FuturesRollFactory",
    "set_config",
    "get_config",
    "get_bars",
    "package_of",
]

PACKAGES = ("equity", "macro", "fixed-income")
ID_TYPES = ("custom", "figi", "parsekey")
COLUMNS = ["security", "datetime", "key", "open", "high", "low", "close", "volume"]
_CONFIG_KEYS = ("security_id_mapping", "futures_roll_factory", "enabled_packages")
_NS_PER_MINUTE = 60 * 10**9
_NS_PER_DAY = 86400 * 10**9


class IntradayError(Exception):
    """A request or configuration the service refuses."""


class UnknownSecurityError(IntradayError, ValueError):
    """A requested security that the service cannot resolve."""


# --- packages ---------------------------------------------------------------

_BOND_FUTURES = {"TY"}


def package_of(security: _securities.Security) -> Optional[str]:
    """The data package that serves a security's bars (None: no intraday bars)."""
    if security.asset_class in ("equity", "index"):
        return "equity"
    if security.asset_class == "currency":
        return "macro"
    if security.asset_class == "bond":
        return "fixed-income"
    if security.asset_class == "future":
        return "fixed-income" if security.root in _BOND_FUTURES else "equity"
    return None


# --- futures rolls ----------------------------------------------------------


def _offset(roll_offset: Any) -> DateOffset:
    if isinstance(roll_offset, DateOffset):
        return roll_offset
    if isinstance(roll_offset, (int, np.integer)) and not isinstance(roll_offset, bool):
        return DateOffset(int(roll_offset))
    if isinstance(roll_offset, (_dt.timedelta, pd.Timedelta)):
        return DateOffset(days=pd.Timedelta(roll_offset).days)
    raise TypeError(f"roll_offset must be a DateOffset or a number of days, not {type(roll_offset).__name__}")


class FuturesRollConfig:
    """A rolled future: its root, yellow key and how long before expiry it rolls."""

    def __init__(self, future_root: str, yellow_key: str, roll_offset: Any):
        if not isinstance(future_root, str) or not isinstance(yellow_key, str):
            raise TypeError("future_root and yellow_key are texts")
        root = future_root.strip().upper()
        known = _securities.FUTURES_ROOTS.get(root)
        if known is None:
            raise IntradayError(f"unknown futures root {future_root!r} (offered: {sorted(_securities.FUTURES_ROOTS)})")
        if known[0].casefold() != yellow_key.strip().casefold():
            raise IntradayError(f"futures root {root} trades under the yellow key {known[0]!r}, not {yellow_key!r}")
        self.future_root = root
        self.yellow_key = known[0]
        self.roll_offset = _offset(roll_offset)
        chain = _securities.futures_chain(root, self.yellow_key)
        self._chain = tuple(chain)
        self._roll_days = np.array(
            [(pd.Timestamp(sec.expiry) - self.roll_offset).to_datetime64().astype("M8[D]") for sec in chain]
        )

    def contracts(self, days: np.ndarray) -> np.ndarray:
        """Index into the chain of the contract held on each day (-1: none)."""
        place = np.searchsorted(self._roll_days, days, side="right")
        return np.where(place < len(self._chain), place, -1)

    def contract_on(self, day: Union[str, _dt.date]) -> Optional[_securities.Security]:
        """The contract held on ``day``: the first whose roll date lies after it."""
        index = int(self.contracts(np.array([np.datetime64(pd.Timestamp(day).date(), "D")]))[0])
        return self._chain[index] if index >= 0 else None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, FuturesRollConfig):
            return NotImplemented
        return (self.future_root, self.yellow_key, self.roll_offset) == (
            other.future_root, other.yellow_key, other.roll_offset)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"FuturesRollConfig({self.future_root!r}, {self.yellow_key!r}, {self.roll_offset!r})"


class FuturesRollFactory(Mapping):
    """Roll names mapped to their :class:`FuturesRollConfig`, in the given order."""

    def __init__(self, roll_configs: dict):
        if not isinstance(roll_configs, dict):
            raise TypeError(f"roll_configs must be a dict, not {type(roll_configs).__name__}")
        for name, config in roll_configs.items():
            if not isinstance(name, str) or not isinstance(config, FuturesRollConfig):
                raise TypeError("roll_configs maps roll names (texts) to FuturesRollConfig objects")
        self._configs = dict(roll_configs)

    def __getitem__(self, name: str) -> FuturesRollConfig:
        return self._configs[name]

    def __iter__(self):
        return iter(self._configs)

    def __len__(self) -> int:
        return len(self._configs)

    def __repr__(self) -> str:
        return f"FuturesRollFactory({self._configs!r})"


# --- configuration ----------------------------------------------------------

_config: dict = {}


def set_config(config: dict) -> None:
    """Set the process-wide configuration (replacing the previous one)."""
    if not isinstance(config, dict):
        raise TypeError(f"set_config takes a dict, not {type(config).__name__}")
    unknown = [key for key in config if key not in _CONFIG_KEYS]
    if unknown:
        raise IntradayError(f"unknown configuration key {unknown[0]!r} (known: {list(_CONFIG_KEYS)})")
    checked: dict = {}
    if "security_id_mapping" in config:
        mapping = config["security_id_mapping"]
        if mapping is not None:
            if not isinstance(mapping, pd.DataFrame):
                raise TypeError("security_id_mapping must be a DataFrame")
            if not any(col in mapping.columns for col in ("figi", "parsekey")):
                raise IntradayError("security_id_mapping needs a 'figi' or a 'parsekey' column")
            mapping = mapping.copy()
        checked["security_id_mapping"] = mapping
    if "futures_roll_factory" in config:
        factory = config["futures_roll_factory"]
        if factory is not None and not isinstance(factory, FuturesRollFactory):
            raise TypeError("futures_roll_factory must be a FuturesRollFactory")
        checked["futures_roll_factory"] = factory
    if "enabled_packages" in config:
        packages = config["enabled_packages"]
        if packages is not None:
            if isinstance(packages, str) or not all(isinstance(p, str) for p in packages):
                raise TypeError("enabled_packages is a list of package names")
            bad = [p for p in packages if p not in PACKAGES]
            if bad:
                raise IntradayError(f"unknown package {bad[0]!r} (packages: {list(PACKAGES)})")
            packages = list(packages)
        checked["enabled_packages"] = packages
    _config.clear()
    _config.update(checked)


def get_config() -> dict:
    """A copy of the current configuration."""
    return dict(_config)


# --- resolving requested securities -----------------------------------------


def _bare_figi(value: Any) -> str:
    # a FIGI followed by "." and a pricing source ("....BGN") names the same instrument
    return str(value).split(".", 1)[0]


def _from_mapping(wanted: str, id_type: str) -> Optional[_securities.Security]:
    mapping = _config.get("security_id_mapping")
    if mapping is None or id_type not in mapping.columns:
        return None
    rows = mapping[mapping[id_type] == wanted]
    for _, row in rows.iterrows():
        figi = row.get("figi")
        if isinstance(figi, str):
            found = _securities.by_figi(_bare_figi(figi))
            if found is not None:
                return found
        parse_key = row.get("parsekey")
        if isinstance(parse_key, str):
            found = _securities.by_parse_key(parse_key)
            if found is not None:
                return found
    return None


def _resolve(wanted: Any, id_type: str) -> Union[_securities.Security, FuturesRollConfig]:
    if not isinstance(wanted, str):
        raise UnknownSecurityError(f"unknown security {wanted!r}: securities are texts")
    factory = _config.get("futures_roll_factory")
    if factory is not None and wanted in factory:
        return factory[wanted]
    found = _from_mapping(wanted, id_type)
    if found is None and id_type == "figi":
        found = _securities.by_figi(_bare_figi(wanted))
    if found is None and id_type == "parsekey":
        found = _securities.by_parse_key(wanted)
    if found is None:
        where = ["the security id mapping" if _config.get("security_id_mapping") is not None else None,
                 "the futures roll factory" if factory is not None else None,
                 "the security master" if id_type != "custom" else None]
        looked = ", ".join(w for w in where if w) or "nothing configured"
        raise UnknownSecurityError(
            f"unknown security {wanted!r} (security_id_type {id_type!r}; looked in: {looked})")
    if package_of(found) is None:
        raise UnknownSecurityError(f"{wanted!r} ({found.parse_key}) is an economic indicator: it has no intraday bars")
    return found


def _check_package(wanted: str, target: Union[_securities.Security, FuturesRollConfig]) -> None:
    enabled = _config.get("enabled_packages")
    if enabled is None:
        return
    security = target._chain[0] if isinstance(target, FuturesRollConfig) else target
    package = package_of(security)
    if package not in enabled:
        raise IntradayError(f"{wanted!r} needs the {package!r} data package, which is not enabled (enabled: {enabled})")


# --- sessions ---------------------------------------------------------------

# Markets that stop for lunch (local wall clock).
_LUNCH = {
    "Asia/Hong_Kong": (_dt.time(12, 0), _dt.time(13, 0)),
    "Asia/Shanghai": (_dt.time(11, 30), _dt.time(13, 0)),
    "Asia/Tokyo": (_dt.time(11, 30), _dt.time(12, 30)),
}


def _minutes(t: _dt.time) -> int:
    return t.hour * 60 + t.minute


@functools.lru_cache(maxsize=None)
def session_minutes(parse_key: str) -> np.ndarray:
    """Bar starts of one session, in minutes from local midnight of the trade
    date (negative: the evening before)."""
    sec = _securities.by_parse_key(parse_key)
    start, stop = _minutes(sec.session_open), _minutes(sec.session_close)
    if start == stop:  # round the clock
        return np.arange(0, 1440)
    if stop <= start:  # through midnight: from the evening before
        return np.arange(start - 1440, stop)
    minutes = np.arange(start, stop)
    lunch = _LUNCH.get(sec.zone)
    if lunch is not None:
        minutes = minutes[(minutes < _minutes(lunch[0])) | (minutes >= _minutes(lunch[1]))]
    return minutes


def _trade_days(start: _dt.date, end: _dt.date) -> np.ndarray:
    last = min(end, _calendar.TODAY)
    if last < start:
        return np.array([], dtype="M8[D]")
    days = np.arange(np.datetime64(start, "D"), np.datetime64(last, "D") + 1)
    weekday = (days.astype(np.int64) + 3) % 7  # 1970-01-01 was a Thursday
    return days[weekday < 5]


# --- deterministic noise ----------------------------------------------------

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def _seed(text: str) -> np.uint64:
    return np.uint64(int.from_bytes(hashlib.sha256(text.encode()).digest()[:8], "little"))


def _hash(values: np.ndarray, seed: np.uint64) -> np.ndarray:
    with np.errstate(over="ignore"):
        z = values.astype(np.uint64) ^ seed
        z = z + _GOLDEN
        z = (z ^ (z >> np.uint64(30))) * _MIX1
        z = (z ^ (z >> np.uint64(27))) * _MIX2
        return z ^ (z >> np.uint64(31))


def _uniforms(values: np.ndarray, seed: np.uint64) -> tuple[np.ndarray, np.ndarray]:
    """Two independent uniforms in (0, 1) per value, from the two halves of one hash."""
    z = _hash(values, seed)
    scale = 2.0**-32
    return (((z >> np.uint64(32)).astype(np.float64) + 0.5) * scale,
            ((z & np.uint64(0xFFFFFFFF)).astype(np.float64) + 0.5) * scale)


def _normal(values: np.ndarray, seed: np.uint64) -> np.ndarray:
    u1, u2 = _uniforms(values, seed)
    return np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2)


# --- economic releases ------------------------------------------------------

# How a release whose figure beats the survey moves its region's markets:
# (its currency, its equities, its bond prices), and how much the release
# matters beside payrolls. Strong activity lifts the currency and equities
# and sinks bond prices; inflation and rate surprises lift the currency and
# sink both equities and bonds; a higher unemployment rate or more jobless
# claims is weak activity.
_REACTIONS = {
    "NFP TCH Index": (+1, +1, -1, 1.0),
    "USURTOT Index": (-1, -1, +1, 0.5),
    "CPI YOY Index": (+1, -1, -1, 0.8),
    "CPI CHNG Index": (+1, -1, -1, 0.6),
    "RSTAMOM Index": (+1, +1, -1, 0.6),
    "INJCJC Index": (-1, -1, +1, 0.3),
    "MWINCHNG Index": (+1, +1, -1, 0.1),
    "FDTR Index": (+1, -1, -1, 1.0),
    "CNCPIYOY Index": (+1, -1, -1, 0.4),
    "CPMINDX Index": (+1, +1, -1, 0.6),
    "HKUERATE Index": (-1, -1, +1, 0.3),
    "HKEXYOY Index": (+1, +1, -1, 0.2),
    "ECCPEMUY Index": (+1, -1, -1, 0.6),
    "UMRTEMU Index": (-1, -1, +1, 0.2),
    "EURR002W Index": (+1, -1, -1, 0.9),
}
# A currency quote rises when its base currency strengthens and falls when its
# quote currency does: region -> sign of the quote's move when that region's
# currency strengthens (the Australian dollar trades as a proxy of China).
_CURRENCY_EXPOSURE = {
    "JPY Curncy": {"US": +1.0},                 # yen per dollar
    "EUR Curncy": {"EU": +1.0, "US": -1.0},     # dollars per euro
    "GBP Curncy": {"US": -1.0},
    "AUD Curncy": {"CN": +0.7, "US": -1.0},
    "CNH Curncy": {"CN": -1.0},                 # renminbi per dollar
    "HKD Curncy": {"HK": -1.0},
    "EURJPY Curncy": {"EU": +1.0},
    "DXY Curncy": {"US": +1.0},
}
_INVERSE_OF_EQUITIES = {"VIX Index"}  # volatility rises when equities fall
_FOREIGN_DAMPING = 0.5  # a region's release moves another region's market less
# bp per σ of surprise of a payrolls-sized release, per unit of daily volatility
_SLOPE_PER_DAILY_VOL = 0.15
_JUMP_NOISE = 0.08  # sd of what a release minute moves beyond its surprises, per unit of daily volatility
# After a release the minute volatility and volume are raised by
# 1 + lift * exp(-since / decay) for `_AFTERMATH` minutes.
_VOL_LIFT, _VOLUME_LIFT, _DECAY_MINUTES, _AFTERMATH = 3.0, 7.0, 3.0, 15


def _response_key(sec: _securities.Security) -> str:
    # contracts of one futures root react alike, so a rolled future keeps one slope
    return f"root|{sec.root}" if sec.root else sec.parse_key


def _exposure(sec: _securities.Security, region: str, reaction: tuple) -> float:
    """Signed weight of a region's strength in the security's price."""
    currency, equities, bonds, _ = reaction
    if sec.asset_class == "currency":
        return currency * _CURRENCY_EXPOSURE.get(sec.parse_key, {}).get(region, 0.0)
    if sec.asset_class == "bond" or sec.root in _BOND_FUTURES:
        sign = bonds
    elif sec.parse_key in _INVERSE_OF_EQUITIES:
        sign = -equities
    else:
        sign = equities
    return sign * (1.0 if region == sec.country else _FOREIGN_DAMPING)


@functools.lru_cache(maxsize=None)
def _response_slope(parse_key: str, ticker: str) -> float:
    """The log-return at a release of ``ticker`` per standard deviation of its
    surprise, for the security of ``parse_key`` (0 when the release does not
    move it): signed by the economics, sized by the security's volatility
    and the release's weight, and varied per security by a hash."""
    sec = _securities.by_parse_key(parse_key)
    ind = _calendar.indicator(ticker)
    if sec is None or ind is None or ind.region not in sec.event_regions:
        return 0.0
    reaction = _REACTIONS[ind.ticker]
    u, _ = _uniforms(np.zeros(1, dtype=np.uint64), _seed(f"{_response_key(sec)}|{ind.ticker}|slope"))
    size = _SLOPE_PER_DAILY_VOL * sec.daily_vol * reaction[3] * (0.7 + 0.6 * float(u[0]))
    return size * _exposure(sec, ind.region, reaction)


@functools.lru_cache(maxsize=None)
def _surprise_sd(ticker: str) -> float:
    """Standard deviation (ddof 1) of the surprises of every release of an
    indicator in the calendar: what a surprise is standardized by."""
    ind = _calendar.indicator(ticker)
    found = [rel.surprise for rel in _calendar._all_releases(ind.ticker) if rel.surprise is not None]
    sd = float(np.std(found, ddof=1)) if len(found) > 1 else 0.0
    return sd if sd > 0 else math.nan


@functools.lru_cache(maxsize=64)
def _regional_releases(regions: tuple[str, ...]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(release minute as int64 ns UTC, ticker, standardized surprise: 0 when
    none is known) of every release of the regions, by minute."""
    minutes, tickers, z = [], [], []
    for rel in _calendar.releases(_calendar.FIRST_YEAR, _calendar.LAST_YEAR, regions=regions):
        sd = _surprise_sd(rel.ticker)
        minutes.append(int(pd.Timestamp(rel.release_utc).value))
        tickers.append(rel.ticker)
        z.append(0.0 if rel.surprise is None or math.isnan(sd) else rel.surprise / sd)
    return (np.array(minutes, dtype=np.int64), np.array(tickers, dtype=object), np.array(z, dtype=np.float64))


@functools.lru_cache(maxsize=256)
def _release_effects(parse_key: str) -> tuple[np.ndarray, np.ndarray]:
    """Release minutes (int64 ns, UTC, ascending, distinct) that move a
    security, and the log-return their surprises cause there: the sum over
    the releases of that minute of slope times standardized surprise."""
    sec = _securities.by_parse_key(parse_key)
    minutes, tickers, z = _regional_releases(tuple(sec.event_regions))
    if len(minutes) == 0:
        return minutes, np.array([], dtype=np.float64)
    slopes = {ticker: _response_slope(parse_key, ticker) for ticker in set(tickers)}
    effect = np.array([slopes[t] for t in tickers], dtype=np.float64) * z
    distinct, position = np.unique(minutes, return_inverse=True)
    return distinct, np.bincount(position, weights=effect, minlength=len(distinct))


# --- bars of one instrument -------------------------------------------------


@functools.lru_cache(maxsize=256)
def _daily_anchors(parse_key: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(trade days, previous close, close) of the security master's closes."""
    closes = _securities.daily_closes(_securities.by_parse_key(parse_key))
    days = closes.index.to_numpy().astype("M8[D]")
    values = closes.to_numpy(dtype=np.float64)
    previous = np.concatenate([values[:1], values[:-1]])
    return days, previous, values


_BASE_VOLUME = {"equity": 3000, "index": 1500, "currency": 800, "future": 2500, "bond": 50}


def _instrument_bars(sec: _securities.Security, days: np.ndarray) -> dict:
    """Arrays of the one-minute bars of ``sec`` on the trade ``days``."""
    anchor_days, anchor_previous, anchor_close = _daily_anchors(sec.parse_key)
    place = np.searchsorted(anchor_days, days)
    inside = (place < len(anchor_days)) & (anchor_days[np.minimum(place, len(anchor_days) - 1)] == days)
    days, place = days[inside], place[inside]
    minutes = session_minutes(sec.parse_key)
    if len(days) == 0 or len(minutes) == 0:
        return _empty_arrays()

    # Local wall-clock bar starts, then their instants in the market's zone.
    # A session keeps one UTC offset unless a clock change falls inside it.
    wall = (days.astype(np.int64)[:, None] * _NS_PER_DAY + minutes[None, :] * _NS_PER_MINUTE).ravel()
    session = np.repeat(np.arange(len(days)), len(minutes))
    ends = np.stack([wall[:: len(minutes)], wall[len(minutes) - 1 :: len(minutes)]], axis=1).ravel()
    localized = _localize(ends, sec.zone).reshape(-1, 2)
    offset = ends.reshape(-1, 2) - localized
    steady = (offset[:, 0] == offset[:, 1]) & (localized != _NAT).all(axis=1)
    instant = wall - offset[:, 0][session]
    if not steady.all():
        changing = ~steady[session]
        instant[changing] = _localize(wall[changing], sec.zone)
        keep = instant != _NAT
        instant, session = instant[keep], session[keep]
    bars_per_session = np.bincount(session, minlength=len(days))
    first_of_session = np.concatenate([[0], np.cumsum(bars_per_session)[:-1]])
    position = np.arange(len(instant)) - first_of_session[session]
    length = bars_per_session[session]

    # Log-returns: hashed noise per minute, raised for some minutes after each
    # release; at a release minute a jump of slope times standardized surprise
    # summed over the releases of that minute, plus noise; and a bridge that
    # ends every session on the security master's close.
    seed = _seed(sec.parse_key)
    minute_id = instant // _NS_PER_MINUTE
    release_minutes, release_effects = _release_effects(sec.parse_key)
    lo, hi = np.searchsorted(release_minutes, [instant[0] - _AFTERMATH * _NS_PER_MINUTE, instant[-1]], side="left")
    release_minutes, release_effects = release_minutes[lo : hi + 1], release_effects[lo : hi + 1]
    latest = np.searchsorted(release_minutes, instant, side="right") - 1
    since = np.full(len(instant), 10**6, dtype=np.int64)
    if len(release_minutes):
        since[latest >= 0] = (instant[latest >= 0] - release_minutes[latest[latest >= 0]]) // _NS_PER_MINUTE
    aftermath = np.where(since < _AFTERMATH, np.exp(-np.minimum(since, _AFTERMATH) / _DECAY_MINUTES), 0.0)
    sigma = sec.daily_vol / np.sqrt(np.maximum(length, 1)) * (1.0 + _VOL_LIFT * aftermath)
    steps = sigma * _normal(minute_id, seed)
    at_release = since == 0
    if at_release.any():
        noise = _JUMP_NOISE * sec.daily_vol * _normal(minute_id[at_release], seed ^ np.uint64(7))
        steps[at_release] += release_effects[latest[at_release]] + noise
    path = np.cumsum(steps)
    session_start = np.concatenate([[0.0], path])[first_of_session]  # path before each session
    path -= session_start[session]
    total = np.bincount(session, weights=steps, minlength=len(days))
    previous = anchor_previous[place]
    close_of_day = anchor_close[place]
    drift = np.log(close_of_day / previous) - total
    log_close = np.log(previous)[session] + path + drift[session] * (position + 1) / length
    close = np.exp(log_close)
    open_ = np.where(position == 0, previous[session], np.exp(log_close - steps - drift[session] / length))
    up, down = _uniforms(minute_id, seed ^ np.uint64(3))
    high = np.maximum(open_, close) * (1.0 + sigma * up)
    low = np.minimum(open_, close) * (1.0 - sigma * down)

    # Volume: U-shaped through the session, raised after each release as the volatility is.
    shape = 1.0 + 1.5 * (2.0 * (position + 0.5) / length - 1.0) ** 2
    burst = 1.0 + _VOLUME_LIFT * aftermath
    noise, _ = _uniforms(minute_id, seed ^ np.uint64(11))
    volume = np.round(_BASE_VOLUME.get(sec.asset_class, 1000) * shape * burst * (0.5 + noise)).astype(np.int64)
    return {"instant": instant, "open": open_, "high": high, "low": low, "close": close, "volume": volume}


_NAT = np.iinfo(np.int64).min


def _localize(wall: np.ndarray, zone: str) -> np.ndarray:
    """UTC instants (int64 ns) of local wall-clock stamps; NaT where the clock skips or repeats them."""
    index = pd.DatetimeIndex(wall.view("M8[ns]")).tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
    return index.asi8


def _empty_arrays() -> dict:
    empty = np.array([], dtype=np.float64)
    return {"instant": np.array([], dtype=np.int64), "open": empty, "high": empty, "low": empty,
            "close": empty, "volume": np.array([], dtype=np.int64)}


def _downsample(arrays: dict, freq_ns: int, tz: str) -> dict:
    """OHLCV bars of ``freq_ns`` from one-minute bars of one instrument, bins
    aligned on the wall clock of ``tz``."""
    instant = arrays["instant"]
    if len(instant) == 0:
        return arrays
    wall = pd.DatetimeIndex(instant.view("M8[ns]")).tz_localize("UTC").tz_convert(tz).tz_localize(None).asi8
    bin_start = instant - (wall - (wall // freq_ns) * freq_ns)
    first = np.flatnonzero(np.concatenate([[True], bin_start[1:] != bin_start[:-1]]))
    last = np.concatenate([first[1:], [len(instant)]]) - 1
    return {
        "instant": bin_start[first],
        "open": arrays["open"][first],
        "high": np.maximum.reduceat(arrays["high"], first),
        "low": np.minimum.reduceat(arrays["low"], first),
        "close": arrays["close"][last],
        "volume": np.add.reduceat(arrays["volume"], first),
    }


# --- the request ------------------------------------------------------------


def _date(value: Any, what: str) -> _dt.date:
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, str):
        try:
            return _dt.date.fromisoformat(value)
        except ValueError:
            pass
    raise IntradayError(f"{what} must be a date written yyyy-mm-dd, not {value!r}")


def _frequency(value: Any) -> Optional[int]:
    if value is None:
        return None
    try:
        step = pd.Timedelta(pd.tseries.frequencies.to_offset(value)) if isinstance(value, str) else pd.Timedelta(value)
    except (ValueError, TypeError) as exc:
        raise IntradayError(f"downsample_freq {value!r} is not a fixed frequency such as '5min' or '1h'") from exc
    ns = int(step.value)
    if ns <= 0 or ns % _NS_PER_MINUTE:
        raise IntradayError(f"downsample_freq must be a positive whole number of minutes, not {value!r}")
    return ns


# What the running pandas makes of dtype="str": numpy's object dtype on the
# lines before the text dtype, a string dtype after.
_TEXT_IS_OBJECT = pd.Series([], dtype="str").dtype == np.dtype(object)


def _text_column(values: list[str], counts: list[int]) -> Union[pd.Series, pd.api.extensions.ExtensionArray]:
    if _TEXT_IS_OBJECT:
        # Repeating the few distinct strings shares them rather than making a
        # string per bar, and a Series spares the frame inferring a million
        # objects' type again.
        return pd.Series(np.repeat(np.array(values, dtype=object), counts), dtype=object, copy=False)
    codes = np.repeat(np.arange(len(values), dtype=np.int32), counts)
    dictionary = pa.DictionaryArray.from_arrays(pa.array(codes), pa.array(values, type=pa.large_string()))
    return pd.array(dictionary.cast(pa.large_string()), dtype="str")


def get_bars(
    securities: Iterable[str],
    security_id_type: str = "custom",
    start: Any = None,
    end: Any = None,
    tz: Optional[str] = None,
    downsample_freq: Any = None,
) -> pd.DataFrame:
    """One-minute (or ``downsample_freq``) bars of the requested securities."""
    if isinstance(securities, str):
        securities = [securities]
    securities = list(dict.fromkeys(securities))
    if security_id_type not in ID_TYPES:
        raise IntradayError(f"security_id_type must be one of {list(ID_TYPES)}, not {security_id_type!r}")
    if start is None or end is None:
        raise IntradayError("get_bars needs a start and an end date")
    first, last = _date(start, "start"), _date(end, "end")
    if first > last:
        raise IntradayError(f"start {first} lies after end {last}")
    zone = "UTC" if tz is None else tz
    try:
        dtype = pd.DatetimeTZDtype(unit="ns", tz=zone)
    except Exception as exc:
        raise IntradayError(f"unknown time zone {tz!r}") from exc
    freq_ns = _frequency(downsample_freq)

    targets = [(wanted, _resolve(wanted, security_id_type)) for wanted in securities]
    for wanted, target in targets:
        _check_package(wanted, target)

    days = _trade_days(first, last)
    pieces: list[tuple[str, str, dict]] = []  # (FIGI, key, arrays)
    for wanted, target in targets:
        if isinstance(target, FuturesRollConfig):
            held = target.contracts(days)
            for index in pd.unique(held[held >= 0]):
                contract = target._chain[int(index)]
                pieces.append((contract.figi, wanted, _instrument_bars(contract, days[held == index])))
        else:
            pieces.append((target.figi, wanted, _instrument_bars(target, days)))
    if freq_ns is not None:
        pieces = [(figi, key, _downsample(arrays, freq_ns, zone)) for figi, key, arrays in pieces]

    counts = [len(arrays["instant"]) for _, _, arrays in pieces]
    joined = {name: np.concatenate([arrays[name] for _, _, arrays in pieces]) if pieces else
              _empty_arrays()[name] for name in _empty_arrays()}
    stamps = pd.DatetimeIndex(joined["instant"].view("M8[ns]")).tz_localize("UTC").tz_convert(dtype.tz)
    # The columns come in the order of the dict. Passing ``columns=`` as well
    # sends pandas 2.2 through a road that boxes every zoned stamp into a
    # Timestamp object (seconds for a study's bars); the dict alone keeps
    # the arrays as they are on every pandas line.
    frame = pd.DataFrame(
        {
            "security": _text_column([figi for figi, _, _ in pieces], counts),
            "datetime": stamps.array,
            "key": _text_column([key for _, key, _ in pieces], counts),
            "open": joined["open"],
            "high": joined["high"],
            "low": joined["low"],
            "close": joined["close"],
            "volume": joined["volume"],
        }
    )
    return frame
