"""Event-study data for quantitative analysts.

Sub-packages (import the modules you need; nothing is loaded here):

- ``orvane_data.from_bqia``: economic calendar, FIGI mapping, intraday bars and event windows;
- ``orvane_data.from_s3``: supply-chain and economist-estimates datasets stored in S3;
- ``orvane_data.ta``: moving-average indicators and strategy records;
- ``orvane_data.from_xtdata``: vendor field-name map;
- ``orvane_data._clockwork``: frequencies, exchange zones and the time-zone contract.
"""

__version__ = "0.1.0"


class DataWarning(UserWarning):
    """Something the caller named matched nothing: a ticker without releases,
    a security without bars, a window without a bar. The answer is returned as
    it is (empty or missing where nothing matched); the warning says why.
    Filter it, or raise it, like any warning:
    ``warnings.simplefilter("error", orvane_data.DataWarning)``."""
