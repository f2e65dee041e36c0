import os

from fuzz_support import TALLY


def pytest_terminal_summary(terminalreporter):
    if not TALLY.calls:
        return
    calls = sum(TALLY.calls.values())
    raised = sum(TALLY.raised.values())
    terminalreporter.write_line(
        f"fuzz: {calls} checked calls of {len(TALLY.calls)} functions, {raised} raised a documented error")
    if os.environ.get("ORVANE_FUZZ_REPORT"):
        for name in sorted(TALLY.calls):
            terminalreporter.write_line(f"  {name}: {TALLY.calls[name]} calls, {TALLY.raised.get(name, 0)} raised")
