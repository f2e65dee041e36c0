"""An event study in Python: how US payrolls and CPI releases move the EURO STOXX 50
index, the yen and the rolled E-mini future, minute by minute.

Runs on the real services when their client libraries are installed, and on
the package's simulated ones otherwise:

    python examples/event_study.py [output folder]
"""

import sys
from pathlib import Path

from orvane_data import simulated

print("services:", simulated.activate())  # before the service modules are imported

from orvane_data.event_study import event_moves, summarize_moves, surprise_response  # noqa: E402
from orvane_data.from_bqia import bar_kit, query_kit  # noqa: E402

out = Path(sys.argv[1] if len(sys.argv) > 1 else "example_output")
out.mkdir(parents=True, exist_ok=True)

# 1. releases, with their times in New York and cut to the minute
calendar = query_kit.get_eco_calendar_data(
    query_kit.bq, ["US"], "2023-01-01", "2023-12-31",
    tickers=["NFP TCH Index", "CPI YOY Index"], event_timezone="America/New_York",
)
print(calendar[["EVENT_NAME", "event_datetime", "ACTUAL"]].head())

# 2. one request for the minute bars of every security and rolled future
bars = bar_kit.get_intraday_bars(
    {"sx5e": ("SX5E Index", ""), "usdjpy": ("JPY Curncy", "")},
    {"es": ("ES", "Index", 5)},
    "2023-01-01", "2023-12-31", tz="UTC",
)

# 3. windows from 5 minutes before to 10 minutes after each release
windows = bar_kit.filter_bars_around_events(bars, calendar)

# 4. the move from the close of the last bar before the release (minute -1,
#    the bar that ends as the release comes out), and its summary across releases:
#    the mean with its t test and 95% interval, the quartiles, the sign test
moves = event_moves(windows)
summary = summarize_moves(moves)
summary.to_csv(out / "summary.csv", index=False)
shown = ["EVENT_NAME", "key", "time_diff", "mean_bps", "t_stat", "ci_low_bps", "ci_high_bps", "share_up", "count"]
print(summary.loc[summary["time_diff"].isin([-1, 0, 1, 5, 10]), shown].to_string(index=False))
print(f"summary written to {out / 'summary.csv'}")

# 5. how many basis points each security moves per standard deviation of surprise
response = surprise_response(moves)
response.to_csv(out / "response.csv", index=False)
print(response.loc[response["time_diff"] == 1, ["EVENT_NAME", "key", "n", "beta_bps_per_sd", "t_stat", "r2"]]
      .to_string(index=False))
