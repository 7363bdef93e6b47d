"""The package's ctypes declarations are the ones the export list gives."""
import os
import shutil
import subprocess
import sys

import pytest

from korvex import _exports, _lib

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.skipif(shutil.which(os.environ.get("CC", "cc")) is None, reason="no C compiler")
def test_generated_files_match_the_export_list():
    res = subprocess.run([sys.executable, os.path.join(REPO, "scripts", "gen_bindings.py"),
                          "--check"], capture_output=True, text=True)
    assert res.returncode == 0, res.stderr


def test_every_export_is_declared_with_the_listed_types():
    for prefix, rows in _exports.FAMILY_FUNCTIONS.items():
        fam = _lib._families[prefix]
        for short, neutral, res, args in rows:
            fn = getattr(_lib.lib, f"{prefix}_{short}")
            assert getattr(fam, short) is fn and getattr(fam, neutral) is fn
            assert fn.restype is _lib._TYPES[res], (prefix, short)
            assert list(fn.argtypes) == [_lib._TYPES[a] for a in args], (prefix, short)
