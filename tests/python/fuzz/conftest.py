import os
from collections import defaultdict

from fuzz_support import TALLY


def pytest_terminal_summary(terminalreporter):
    if not TALLY.calls:
        return
    calls = sum(TALLY.calls.values())
    raised = sum(TALLY.raised.values())
    terminalreporter.write_line(
        f"fuzz: {calls} checked calls of {len(TALLY.calls)} functions, {raised} raised a documented error")
    if not os.environ.get("ORVANE_FUZZ_REPORT"):
        return
    modules = defaultdict(list)
    for module, name in TALLY.calls:
        modules[module].append(name)
    for module in sorted(modules):
        names = sorted(modules[module])
        total = sum(TALLY.calls[module, n] for n in names)
        failed = sum(TALLY.raised.get((module, n), 0) for n in names)
        terminalreporter.write_line(f"{module}: {total} calls of {len(names)} functions, {failed} raised")
        for name in names:
            terminalreporter.write_line(
                f"  {name}: {TALLY.calls[module, name]} calls, {TALLY.raised.get((module, name), 0)} raised")
