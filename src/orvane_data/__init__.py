"""Event-study data for quantitative analysts.

Sub-packages (import the modules you need; nothing is loaded here):

- ``orvane_data.from_bqia``: economic calendar, FIGI mapping, intraday bars and event windows;
- ``orvane_data.from_s3``: supply-chain and economist-estimates datasets stored in S3;
- ``orvane_data.ta``: moving-average indicators and strategy records;
- ``orvane_data.from_xtdata``: vendor field-name map;
- ``orvane_data._clockwork``: frequencies, exchange zones and the time-zone contract.
"""

__version__ = "0.1.0"
