"""Whether a native call lets other Python threads run."""

import sys
import threading
import time


def longest_stall(call):
    """How long a pure-Python counting thread went without a step while
    `call` ran, and how long `call` took: a kernel that holds the GIL stops
    the counter for all of its run."""
    stamps, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    # hand the GIL back and forth often, so that the Python parts of `call`
    # do not wait out long switch intervals behind the counter
    interval = sys.getswitchinterval()
    sys.setswitchinterval(5e-4)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        while not stamps:
            time.sleep(0.001)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    points = [start] + [t for t in stamps if start < t < end] + [end]
    return max(b - a for a, b in zip(points, points[1:])), end - start
