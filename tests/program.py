"""Where the suite finds the `tarnwick` program: the one that belongs to the
package under test, never whatever PATH happens to hold.

TARNWICK_CLI names it outright (a sanitizer build, a build folder). Otherwise
it is the program installed with this interpreter, beside `sys.executable`
(a venv not activated, a pyenv interpreter whose shims were never rehashed),
or in the scripts folder of its install scheme, or in `bin/` of the build
folder the package was imported from."""

import functools
import os
import pathlib
import sys
import sysconfig

import pytest


def places():
    """Every place looked in, in order."""
    named = os.environ.get("TARNWICK_CLI")
    if named:
        return [named]
    found = [os.path.join(os.path.dirname(sys.executable), "tarnwick"),
             os.path.join(sysconfig.get_path("scripts"), "tarnwick")]
    try:
        import tarnwick
        found.append(str(pathlib.Path(tarnwick.__file__).resolve().parent.parent / "bin" / "tarnwick"))
    except ImportError:
        pass
    return list(dict.fromkeys(found))


@functools.lru_cache(maxsize=None)
def tarnwick_program():
    """The program's path; a test that needs it fails, naming where it looked."""
    looked = places()
    for path in looked:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    pytest.fail("no tarnwick program: looked in " + ", ".join(looked)
                + " (set TARNWICK_CLI to name one)", pytrace=False)
