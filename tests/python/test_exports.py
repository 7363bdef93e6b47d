"""The package's ctypes declarations are the ones the export list gives."""
import ctypes
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


# --------------------------------------------------------------------------
# Handles know their family
# --------------------------------------------------------------------------

# Exports that serve every family alike, and constructors (no handle).
EXEMPT = {"free", "size", "rows", "cols", "shape", "is_empty", "nnz", "has_nnz_cache",
          "set_nnz", "invalidate_nnz", "is_zero", "density", "sparsity", "get_metadata",
          "from_scipy_view", "from_scipy_copy", "from_scipy_copy_i32", "from_coo"}
OTHER_FORM = {"from_other", "transpose_from_other", "transpose_shared_from_other"}
OUTER_SLICES = {"csr": {"slice_rows", "slice_rows_mask"}, "csc": {"slice_cols", "slice_cols_mask"}}
MAKERS = OTHER_FORM | {"slice_rows", "slice_cols", "slice_rows_mask", "slice_cols_mask",
                       "take_rows", "take_cols", "hstack", "vstack", "map_values", "scale_rows",
                       "scale_cols", "matmul", "combine", "compare", "compare_scalar",
                       "combine_other", "map_summed", "map_values_f64"}


def _make(prefix, rows_):
    """A 3 x 3 handle of the family: outer index 0 holds (0, 2) (1, 0) or, unsorted, the reverse."""
    import numpy as np
    dt = np.float32 if prefix.endswith("f32") else np.float64
    data, idx, ptr = np.array([2, 1, 3], dt), np.array(rows_, np.int64), np.array([0, 2, 2, 3], np.uint64)
    out = ctypes.c_void_p()
    fam = _lib._families[prefix]
    assert fam.from_scipy_copy(3, 3, data.ctypes.data, 3, idx.ctypes.data, 3, ptr.ctypes.data, 4,
                               ctypes.byref(out)) == 0
    return out.value


def _accepts(handle, fam, neutral):
    hf, hv = handle.split("_")
    ff, fv = fam.split("_")
    if neutral in OTHER_FORM:
        return hv == fv and hf != ff
    if neutral in OUTER_SLICES[ff]:
        return hf == ff
    return handle == fam


def _refused(restype, got):
    if restype == "i32":
        return got == -9
    if restype == "RowInfo":
        return (got.values, got.indices, got.len) == (None, None, 0)
    return not got


@pytest.mark.parametrize("handle", sorted(_exports.FAMILIES))
def test_every_family_dependent_export_refuses_other_families(handle):
    import numpy as np
    m = _make(handle, [0, 2, 1])
    free = _lib.lib.csr_f64_free  # any family's free frees any handle
    checked = 0
    for prefix, rows in _exports.FAMILY_FUNCTIONS.items():
        fam = _lib._families[prefix]
        for short, neutral, res, args in rows:
            if neutral in EXEMPT:
                continue
            fn = getattr(fam, short)
            ok = _accepts(handle, prefix, neutral)
            buf = np.zeros((len(args) + 1, 512), np.uint8)  # one zeroed region per pointer
            handles = (ctypes.c_void_p * 2)(m, m)
            call = []
            sorts = neutral.startswith("ensure_sorted")
            target = _make(handle, [2, 0, 1]) if sorts else m  # sorting: a fresh unsorted one
            other = None
            for k, a in enumerate(args):
                if a == "M" and neutral == "combine_other" and k == 1:
                    # its second operand: the first's value type in the other form
                    form, value = handle.split("_")
                    other = _make(("csc" if form == "csr" else "csr") + "_" + value, [0, 2, 1])
                    call.append(other)
                elif a == "M":
                    call.append(target)
                elif a == "P":
                    call.append(ctypes.addressof(handles) if neutral in ("hstack", "vstack") and k == 0
                                else buf[k].ctypes.data)
                else:
                    call.append(2 if neutral in ("hstack", "vstack") else 0)
            got = fn(*call)
            if other is not None:
                free(other)
            what = f"{handle} handle through {prefix}_{short}"
            if sorts:
                assert _lib._families[handle].is_sorted(target) == ok, what
                free(target)
            if res is None:
                pass  # nothing to read but its effect
            elif ok:
                assert not _refused(res, got) or res == "i32" and got != -9, what
                if neutral in MAKERS and got == 0:
                    free(int(buf[len(args) - 1][:8].view(np.uint64)[0]))
                elif neutral == "clone":
                    free(got)
            else:
                assert _refused(res, got), what
                assert not buf.any(), what + " wrote a caller array"
            checked += 1
    free(m)
    assert checked > 4 * 40


def test_family_error_is_raised_for_status_minus_9():
    import korvex
    import numpy as np
    m, dense = _make("csr_f32", [0, 2, 1]), np.zeros(9)
    try:
        with pytest.raises(korvex.FamilyError, match="KORVEX_STATUS_FAMILY") as e:
            _lib.check_status(_lib._families["csr_f64"].to_dense(m, dense.ctypes.data, 9, 0),
                              "to_dense")
        assert isinstance(e.value, TypeError) and e.value.status == -9
    finally:
        _lib.lib.csr_f64_free(m)
