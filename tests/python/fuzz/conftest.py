import os
from collections import defaultdict

from fuzz_support import TALLY


def pytest_terminal_summary(terminalreporter):
    if not TALLY.calls:
        return
    inputs, calls, raised = (sum(d.values()) for d in (TALLY.inputs, TALLY.calls, TALLY.raised))
    terminalreporter.write_line(
        f"fuzz: {inputs} inputs, {calls} checked calls of {len(TALLY.calls)} functions, "
        f"{raised} raised a documented error")
    if not os.environ.get("ORVANE_FUZZ_REPORT"):
        return
    modules = defaultdict(list)
    for module, name in TALLY.calls:
        modules[module].append(name)
    for module in sorted(modules):
        names = sorted(modules[module])
        tried, total, failed = (sum(d.get((module, n), 0) for n in names) for d in (TALLY.inputs, TALLY.calls, TALLY.raised))
        terminalreporter.write_line(
            f"{module}: {tried} inputs, {total} calls of {len(names)} functions, {failed} raised")
        for name in names:
            key = module, name
            terminalreporter.write_line(
                f"  {name}: {TALLY.inputs[key]} inputs, {TALLY.calls[key]} calls, {TALLY.raised.get(key, 0)} raised")
