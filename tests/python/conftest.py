import os
import sys

# The glue probe is built with the C++ tests (see Makefile); it is not part
# of the installed package.
probe_dir = os.environ.get("ORVANE_GLUE_PROBE_DIR")
if probe_dir:
    sys.path.insert(0, probe_dir)
