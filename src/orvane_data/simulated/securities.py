"""Security master of the simulated services.

One table of instruments shared by the simulated query-language service
(``orvane_data.simulated.bql``: FIGIs, names, ticker parts, daily prices) and
the simulated intraday service (``orvane_data.simulated.intraday``: sessions,
base prices, futures contracts that roll, reactions to economic releases).
Everything is deterministic: FIGIs and price paths are derived from the parse
key, never from the clock.

API
---

``Security``
    Frozen record of one instrument, fields:

    - ``parse_key``: canonical parse key, e.g. "SPX Index", "JPY Curncy",
      "IBM US Equity", "700 HK Equity", "ESU4 Index", "TYU4 Comdty",
      "IBM 4.15 05/15/39 Corp", "NFP TCH Index";
    - ``figi``: 12 characters, unique, "OVG" + 8 consonants/digits + check digit;
    - ``name``: the security's name (the ``name`` data item);
    - ``ticker``, ``exch_code``, ``market_sector``: the ``TICKER``,
      ``EXCH_CODE`` and ``MARKET_SECTOR_DES`` data items. ``exch_code`` is
      ``None`` for indices, currencies, economic indicators and bonds, so
      joining the three parts gives a missing parse key for those;
    - ``yellow_key``: last word of the parse key ("Index", "Curncy", "Equity",
      "Comdty", "Corp");
    - ``asset_class``: "index", "currency", "equity", "future", "bond",
      "economic_indicator";
    - ``zone``: IANA zone of the market session; ``session_open`` and
      ``session_close``: local ``datetime.time`` of the session. A close not
      after the open means the session runs through midnight (futures, 17:00
      to 16:00 next day); open == close == 00:00 means round the clock
      (currencies, Monday 00:00 to Friday 24:00 in ``zone``);
    - ``currency``, ``country``;
    - ``base_price``: price level around which paths are drawn;
      ``daily_vol``: typical daily relative move;
    - ``event_regions``: regions of ``calendar.REGIONS`` whose releases move it;
    - ``root``, ``expiry`` (``datetime.date``), ``contract_month`` (e.g.
      "2024-09"): futures only, else ``None``.

``SECURITIES``
    Tuple of every ``Security``.
``lookup(key)``
    The security of a parse key (case-insensitive, blanks collapsed, so
    "spx index" works; futures also accept a two-digit year, "ESU24 Index")
    or of a FIGI; ``None`` when unknown.
``by_parse_key(key)`` / ``by_figi(figi)``
    The same, by one kind of identifier only.
``futures_chain(root, yellow_key="Index")``
    Contracts of a futures root ("ES", "NQ", "HI", "VG", "TY"), by expiry.
``front_contract(root, yellow_key, on, roll_offset_days=0)``
    The contract held on date ``on`` when rolling ``roll_offset_days``
    calendar days before expiry: the first contract with
    ``expiry - roll_offset_days > on``.
``FUTURES_ROOTS``
    root -> (yellow key, name, zone) of the futures roots offered.
``daily_closes(security)``
    Business-day closes (``pandas.Series``, naive dates) from ``PRICE_START``
    to ``calendar.TODAY``; futures contracts only during their life.
"""

from __future__ import annotations

import datetime as _dt
import functools
import hashlib
from dataclasses import dataclass
from typing import Optional

from . import calendar as _calendar

__all__ = [
    "Security",
    "SECURITIES",
    "FUTURES_ROOTS",
    "lookup",
    "by_parse_key",
    "by_figi",
    "futures_chain",
    "front_contract",
    "make_figi",
    "daily_closes",
    "PRICE_START",
]


@dataclass(frozen=True)
class Security:
    parse_key: str
    figi: str
    name: str
    ticker: Optional[str]
    exch_code: Optional[str]
    market_sector: Optional[str]
    yellow_key: str
    asset_class: str
    zone: str
    session_open: _dt.time
    session_close: _dt.time
    currency: str
    country: str
    base_price: float
    daily_vol: float
    event_regions: tuple[str, ...] = ()
    root: Optional[str] = None
    expiry: Optional[_dt.date] = None
    contract_month: Optional[str] = None


# --- FIGIs ------------------------------------------------------------------

_FIGI_ALPHABET = "BCDFGHJKLMNPQRSTVWXYZ0123456789"


def _check_digit(body: str) -> str:
    # Modulus-10 over the character values (digits as such, letters A=10 ...),
    # doubling every second value, as identifier check digits are usually made.
    total = 0
    for i, ch in enumerate(body):
        value = int(ch) if ch.isdigit() else ord(ch) - 55
        if i % 2 == 1:
            value *= 2
        total += sum(int(d) for d in str(value))
    return str((10 - total % 10) % 10)


def make_figi(parse_key: str, salt: int = 0) -> str:
    """Deterministic 12-character FIGI of a parse key."""
    digest = hashlib.sha256(f"{parse_key.casefold()}|{salt}".encode()).digest()
    body = "OVG" + "".join(_FIGI_ALPHABET[b % len(_FIGI_ALPHABET)] for b in digest[:8])
    return body + _check_digit(body)


# --- the table --------------------------------------------------------------

_T = _dt.time
_ROUND_THE_CLOCK = (_T(0, 0), _T(0, 0))
_NEW_YORK = "America/New_York"
_CHICAGO = "America/Chicago"
_HONG_KONG = "Asia/Hong_Kong"
_SHANGHAI = "Asia/Shanghai"
_BERLIN = "Europe/Berlin"
_TOKYO = "Asia/Tokyo"

# (parse key, name, ticker, zone, session, currency, country, base price, daily vol, event regions)
_INDICES = [
    ("SPX Index", "S&P 500 INDEX", "SPX", _NEW_YORK, (_T(9, 30), _T(16, 0)), "USD", "US", 2100.0, 0.011, ("US",)),
    ("NDX Index", "NASDAQ 100 STOCK INDX", "NDX", _NEW_YORK, (_T(9, 30), _T(16, 0)), "USD", "US", 4500.0, 0.014, ("US",)),
    ("INDU Index", "DOW JONES INDUS. AVG", "INDU", _NEW_YORK, (_T(9, 30), _T(16, 0)), "USD", "US", 18000.0, 0.010, ("US",)),
    ("VIX Index", "CBOE VOLATILITY INDEX", "VIX", _CHICAGO, (_T(8, 30), _T(15, 15)), "USD", "US", 18.0, 0.05, ("US",)),
    ("HSI Index", "HANG SENG INDEX", "HSI", _HONG_KONG, (_T(9, 30), _T(16, 0)), "HKD", "HK", 21000.0, 0.013, ("HK", "CN", "US")),
    ("SHCOMP Index", "SHANGHAI SE COMPOSITE", "SHCOMP", _SHANGHAI, (_T(9, 30), _T(15, 0)), "CNY", "CN", 2800.0, 0.013, ("CN",)),
    ("SX5E Index", "EURO STOXX 50 Pr", "SX5E", _BERLIN, (_T(9, 0), _T(17, 30)), "EUR", "EU", 3300.0, 0.012, ("EU", "US")),
    ("DAX Index", "DAX INDEX", "DAX", _BERLIN, (_T(9, 0), _T(17, 30)), "EUR", "EU", 9000.0, 0.012, ("EU", "US")),
    ("NKY Index", "NIKKEI 225", "NKY", _TOKYO, (_T(9, 0), _T(15, 0)), "JPY", "JP", 17000.0, 0.013, ("US",)),
]

_CURRENCIES = [
    ("JPY Curncy", "Japanese Yen Spot", "JPY", "JPY", "JP", 110.0, 0.006),
    ("EUR Curncy", "Euro Spot", "EUR", "USD", "EU", 1.15, 0.005),
    ("GBP Curncy", "British Pound Spot", "GBP", "USD", "GB", 1.45, 0.005),
    ("AUD Curncy", "Australian Dollar Spot", "AUD", "USD", "AU", 0.78, 0.006),
    ("CNH Curncy", "Chinese Renminbi Offshore Spot", "CNH", "CNH", "CN", 6.7, 0.002),
    ("HKD Curncy", "Hong Kong Dollar Spot", "HKD", "HKD", "HK", 7.78, 0.0003),
    ("EURJPY Curncy", "EUR-JPY X-RATE", "EURJPY", "JPY", "EU", 125.0, 0.006),
    ("DXY Curncy", "DOLLAR INDEX SPOT", "DXY", "USD", "US", 92.0, 0.004),
]
_CURRENCY_REGIONS = {"JPY": ("US",), "EUR": ("EU", "US"), "GBP": ("US",), "AUD": ("CN", "US"),
                     "CNH": ("CN",), "HKD": ("HK",), "EURJPY": ("EU",), "DXY": ("US",)}

_US_SESSION = (_T(9, 30), _T(16, 0))
_HK_SESSION = (_T(9, 30), _T(16, 0))
_EQUITY_SESSIONS = {
    "US": (_NEW_YORK, _US_SESSION, "USD", "US"),
    "HK": (_HONG_KONG, _HK_SESSION, "HKD", "HK"),
    "CH": (_SHANGHAI, (_T(9, 30), _T(15, 0)), "CNY", "CN"),
    "TT": ("Asia/Taipei", (_T(9, 0), _T(13, 30)), "TWD", "TW"),
    "KS": ("Asia/Seoul", (_T(9, 0), _T(15, 30)), "KRW", "KR"),
    "JT": (_TOKYO, (_T(9, 0), _T(15, 0)), "JPY", "JP"),
    "GY": (_BERLIN, (_T(9, 0), _T(17, 30)), "EUR", "DE"),
    "NA": ("Europe/Amsterdam", (_T(9, 0), _T(17, 30)), "EUR", "NL"),
    "FP": ("Europe/Paris", (_T(9, 0), _T(17, 30)), "EUR", "FR"),
}
_EQUITY_REGIONS = {"US": ("US",), "HK": ("HK", "CN", "US"), "CH": ("CN",), "TT": ("US", "CN"),
                   "KS": ("US", "CN"), "JT": ("US",), "GY": ("EU", "US"), "NA": ("EU", "US"), "FP": ("EU", "US")}

# (ticker, exchange code, name, base price)
_EQUITIES = [
    ("AAPL", "US", "Apple Inc", 150.0), ("MSFT", "US", "Microsoft Corp", 250.0),
    ("IBM", "US", "International Business Machines Corp", 140.0), ("NVDA", "US", "NVIDIA Corp", 120.0),
    ("AMZN", "US", "Amazon.com Inc", 130.0), ("GOOGL", "US", "Alphabet Inc", 120.0),
    ("META", "US", "Meta Platforms Inc", 300.0), ("TSLA", "US", "Tesla Inc", 200.0),
    ("JPM", "US", "JPMorgan Chase & Co", 140.0), ("INTC", "US", "Intel Corp", 35.0),
    ("AMD", "US", "Advanced Micro Devices Inc", 100.0), ("QCOM", "US", "QUALCOMM Inc", 130.0),
    ("AVGO", "US", "Broadcom Inc", 800.0), ("CSCO", "US", "Cisco Systems Inc", 50.0),
    ("ORCL", "US", "Oracle Corp", 90.0), ("WMT", "US", "Walmart Inc", 60.0),
    ("KO", "US", "Coca-Cola Co/The", 55.0), ("F", "US", "Ford Motor Co", 12.0),
    ("GM", "US", "General Motors Co", 40.0), ("BA", "US", "Boeing Co/The", 200.0),
    ("MU", "US", "Micron Technology Inc", 70.0), ("TXN", "US", "Texas Instruments Inc", 160.0),
    ("700", "HK", "Tencent Holdings Ltd", 350.0), ("9988", "HK", "Alibaba Group Holding Ltd", 90.0),
    ("5", "HK", "HSBC Holdings PLC", 55.0), ("1299", "HK", "AIA Group Ltd", 75.0),
    ("939", "HK", "China Construction Bank Corp", 5.0), ("3690", "HK", "Meituan", 120.0),
    ("600519", "CH", "Kweichow Moutai Co Ltd", 1700.0), ("2330", "TT", "Taiwan Semiconductor Manufacturing Co Ltd", 550.0),
    ("005930", "KS", "Samsung Electronics Co Ltd", 65000.0), ("6758", "JT", "Sony Group Corp", 12000.0),
    ("7203", "JT", "Toyota Motor Corp", 2200.0), ("SAP", "GY", "SAP SE", 120.0),
    ("SIE", "GY", "Siemens AG", 130.0), ("ASML", "NA", "ASML Holding NV", 550.0),
    ("MC", "FP", "LVMH Moet Hennessy Louis Vuitton SE", 650.0),
]

# (parse key, issuer ticker, name, currency, country, price)
_BONDS = [
    ("IBM 4.15 05/15/39 Corp", "IBM", "INTL BUSINESS MACHINES", "USD", "US", 95.0),
    ("AAPL 3.85 05/04/43 Corp", "AAPL", "APPLE INC", "USD", "US", 92.0),
    ("MSFT 2.4 08/08/26 Corp", "MSFT", "MICROSOFT CORP", "USD", "US", 97.0),
    ("JPM 4.25 10/01/27 Corp", "JPM", "JPMORGAN CHASE & CO", "USD", "US", 98.0),
    ("SIEGR 1.25 02/28/31 Corp", "SIEGR", "SIEMENS FINANCIERINGSMAT", "EUR", "DE", 90.0),
]

# root -> (yellow key, name, zone)
FUTURES_ROOTS = {
    "ES": ("Index", "S&P500 EMINI FUT", _CHICAGO),
    "NQ": ("Index", "NASDAQ 100 E-MINI", _CHICAGO),
    "HI": ("Index", "HANG SENG IDX FUT", _HONG_KONG),
    "VG": ("Index", "EURO STOXX 50", _BERLIN),
    "TY": ("Comdty", "US 10YR NOTE (CBT)", _CHICAGO),
}
# root -> (session, currency, country, exchange code, base price, daily vol, event regions)
_FUTURES_DETAIL = {
    "ES": ((_T(17, 0), _T(16, 0)), "USD", "US", "CME", 2100.0, 0.011, ("US",)),
    "NQ": ((_T(17, 0), _T(16, 0)), "USD", "US", "CME", 4500.0, 0.014, ("US",)),
    "HI": ((_T(9, 15), _T(16, 30)), "HKD", "HK", "HKG", 21000.0, 0.013, ("HK", "CN", "US")),
    "VG": ((_T(8, 0), _T(22, 0)), "EUR", "EU", "EUX", 3300.0, 0.012, ("EU", "US")),
    "TY": ((_T(17, 0), _T(16, 0)), "USD", "US", "CBT", 125.0, 0.004, ("US",)),
}
_MONTH_CODES = {3: "H", 6: "M", 9: "U", 12: "Z"}
_MONTH_NAMES = {3: "MAR", 6: "JUN", 9: "SEP", 12: "DEC"}
FUTURES_YEARS = range(2015, 2031)


def _third_friday(year: int, month: int) -> _dt.date:
    first = _dt.date(year, month, 1)
    return first + _dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def _business_days_back(day: _dt.date, count: int) -> _dt.date:
    while count:
        day -= _dt.timedelta(days=1)
        if day.weekday() < 5:
            count -= 1
    return day


def _expiry(root: str, year: int, month: int) -> _dt.date:
    if root == "HI":  # second-last business day of the month
        nxt = _dt.date(year + (month == 12), month % 12 + 1, 1)
        return _business_days_back(nxt, 2)
    if root == "TY":  # seven business days before the last business day
        nxt = _dt.date(year + (month == 12), month % 12 + 1, 1)
        return _business_days_back(_business_days_back(nxt, 1), 7)
    return _third_friday(year, month)


def _contract_code(root: str, year: int, month: int) -> str:
    # Contracts of the 2020s carry one year digit ("ESU4"), the others two.
    year_text = str(year % 10) if 2020 <= year <= 2029 else f"{year % 100:02d}"
    return f"{root}{_MONTH_CODES[month]}{year_text}"


def _build() -> tuple[Security, ...]:
    rows: list[dict] = []
    for key, name, ticker, zone, session, ccy, country, price, vol, regions in _INDICES:
        rows.append(dict(parse_key=key, name=name, ticker=ticker, exch_code=None, market_sector="Index",
                         yellow_key="Index", asset_class="index", zone=zone, session=session, currency=ccy,
                         country=country, base_price=price, daily_vol=vol, event_regions=regions))
    for key, name, ticker, ccy, country, price, vol in _CURRENCIES:
        rows.append(dict(parse_key=key, name=name, ticker=ticker, exch_code=None, market_sector="Curncy",
                         yellow_key="Curncy", asset_class="currency", zone=_NEW_YORK, session=_ROUND_THE_CLOCK,
                         currency=ccy, country=country, base_price=price, daily_vol=vol,
                         event_regions=_CURRENCY_REGIONS[ticker]))
    for ticker, exch, name, price in _EQUITIES:
        zone, session, ccy, country = _EQUITY_SESSIONS[exch]
        rows.append(dict(parse_key=f"{ticker} {exch} Equity", name=name, ticker=ticker, exch_code=exch,
                         market_sector="Equity", yellow_key="Equity", asset_class="equity", zone=zone,
                         session=session, currency=ccy, country=country, base_price=price, daily_vol=0.018,
                         event_regions=_EQUITY_REGIONS[exch]))
    for key, ticker, name, ccy, country, price in _BONDS:
        rows.append(dict(parse_key=key, name=name, ticker=ticker, exch_code=None, market_sector="Corp",
                         yellow_key="Corp", asset_class="bond", zone=_NEW_YORK, session=(_T(8, 0), _T(17, 0)),
                         currency=ccy, country=country, base_price=price, daily_vol=0.003,
                         event_regions=("US",) if ccy == "USD" else ("EU",)))
    for root, (yellow, name, zone) in FUTURES_ROOTS.items():
        session, ccy, country, exch, price, vol, regions = _FUTURES_DETAIL[root]
        for year in FUTURES_YEARS:
            for month in _MONTH_CODES:
                code = _contract_code(root, year, month)
                rows.append(dict(parse_key=f"{code} {yellow}", name=f"{name} {_MONTH_NAMES[month]}{year % 100:02d}",
                                 ticker=code, exch_code=exch, market_sector=yellow, yellow_key=yellow,
                                 asset_class="future", zone=zone, session=session, currency=ccy, country=country,
                                 base_price=price, daily_vol=vol, event_regions=regions, root=root,
                                 expiry=_expiry(root, year, month), contract_month=f"{year:04d}-{month:02d}"))
    for ind in _calendar.INDICATORS:
        rows.append(dict(parse_key=ind.ticker, name=ind.event_name, ticker=ind.ticker.rsplit(" ", 1)[0],
                         exch_code=None, market_sector="Index", yellow_key="Index",
                         asset_class="economic_indicator", zone=ind.zone, session=_ROUND_THE_CLOCK,
                         currency={"US": "USD", "CN": "CNY", "HK": "HKD", "EU": "EUR"}[ind.region],
                         country=ind.region, base_price=ind.level, daily_vol=0.0, event_regions=(ind.region,)))

    seen: set[str] = set()
    out = []
    for row in rows:
        salt = 0
        figi = make_figi(row["parse_key"])
        while figi in seen:
            salt += 1
            figi = make_figi(row["parse_key"], salt)
        seen.add(figi)
        session = row.pop("session")
        out.append(Security(figi=figi, session_open=session[0], session_close=session[1], **row))
    return tuple(out)


SECURITIES: tuple[Security, ...] = _build()


def _normal(key: str) -> str:
    return " ".join(str(key).split()).casefold()


_BY_KEY: dict[str, Security] = {}
for _sec in SECURITIES:
    _BY_KEY[_normal(_sec.parse_key)] = _sec
    if _sec.root is not None and _sec.expiry is not None and 2020 <= _sec.expiry.year <= 2029:
        # the two-digit spelling of a 2020s contract, "ESU24 Index"
        alias = f"{_sec.root}{_sec.ticker[len(_sec.root)]}{_sec.expiry.year % 100:02d} {_sec.yellow_key}"
        _BY_KEY.setdefault(_normal(alias), _sec)
_BY_FIGI = {sec.figi: sec for sec in SECURITIES}
del _sec


def by_parse_key(key: str) -> Optional[Security]:
    """The security of a parse key (case-insensitive, blanks collapsed), or None."""
    return _BY_KEY.get(_normal(key))


def by_figi(figi: str) -> Optional[Security]:
    """The security of a FIGI (exact, upper case as issued), or None."""
    return _BY_FIGI.get(str(figi).strip().upper())


def lookup(key: str) -> Optional[Security]:
    """The security of a parse key or a FIGI, or None."""
    if not isinstance(key, str):
        return None
    return by_parse_key(key) or by_figi(key)


def futures_chain(root: str, yellow_key: str = "Index") -> list[Security]:
    """Contracts of a futures root, ordered by expiry."""
    chain = [s for s in SECURITIES if s.root == root.upper() and s.yellow_key.casefold() == yellow_key.casefold()]
    return sorted(chain, key=lambda s: s.expiry)


def front_contract(root: str, yellow_key: str, on: _dt.date, roll_offset_days: int = 0) -> Optional[Security]:
    """Contract held on ``on`` when rolling ``roll_offset_days`` days before expiry."""
    if isinstance(on, _dt.datetime):
        on = on.date()
    for sec in futures_chain(root, yellow_key):
        if sec.expiry - _dt.timedelta(days=roll_offset_days) > on:
            return sec
    return None


# --- daily closes -----------------------------------------------------------

PRICE_START = _dt.date(1999, 1, 1)


def _seed(text: str) -> int:
    return int.from_bytes(hashlib.sha256(text.encode()).digest()[:8], "little")


@functools.lru_cache(maxsize=512)
def _walk(seed_text: str, base_price: float, daily_vol: float):
    import numpy as np
    import pandas as pd

    days = pd.bdate_range(PRICE_START, _calendar.TODAY)
    rng = np.random.default_rng(_seed(seed_text))
    steps = rng.normal(0.0, daily_vol, len(days))
    return days, base_price * np.exp(np.cumsum(steps))


def daily_closes(security: Security):
    """Business-day closes of a security, ``PRICE_START`` to ``calendar.TODAY``.

    A ``pandas.Series`` of floats indexed by naive dates (``DatetimeIndex``),
    named by the parse key. Contracts of one futures root share one path (the
    root's), each trading for the 400 days before its expiry; an economic
    indicator's close is its latest published figure.
    """
    import numpy as np
    import pandas as pd

    if security.asset_class == "economic_indicator":
        published = [(r.local_time.date(), r.actual) for r in _calendar._all_releases(security.parse_key)
                     if r.actual is not None]
        days = pd.bdate_range(PRICE_START, _calendar.TODAY)
        steps = pd.Series([v for _, v in published], index=pd.DatetimeIndex([d for d, _ in published]))
        steps = steps[~steps.index.duplicated(keep="last")]
        return steps.reindex(days, method="ffill").rename(security.parse_key)
    seed_text = f"root|{security.root}" if security.root else security.parse_key
    days, values = _walk(seed_text, security.base_price, security.daily_vol)
    closes = pd.Series(values, index=days, name=security.parse_key)
    if security.expiry is not None:
        start = pd.Timestamp(security.expiry - _dt.timedelta(days=400))
        closes = closes[(closes.index >= start) & (closes.index <= pd.Timestamp(security.expiry))]
        # later contracts carry a little more carry than nearer ones
        closes = closes * (1.0 + 0.0005 * (security.expiry.month % 12) / 3)
    return closes.astype(np.float64)
