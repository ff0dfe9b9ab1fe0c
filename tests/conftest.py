"""The test folders mirror src/: core, containers, file (the file functions
and hard binding, through the module), python (the module itself) and cli.
The builders and helpers they share stay here, beside this file; the CLI's
helpers are shared with the real-file tests."""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
for folder in (HERE, HERE / "cli"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
