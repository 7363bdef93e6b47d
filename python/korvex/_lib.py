"""Loading libkorvex and declaring its C interface.

The library is looked up, in order, at
  1. the path in the environment variable KORVEX_LIBRARY (an error if it
     does not load: an explicit choice never falls back silently),
  2. the path recorded in an installed copy (by scripts/install-python.py,
     absolute; by a pip install, the library inside the package),
  3. <repository>/build/libkorvex.so next to a source checkout,
  4. the soname "libkorvex.so.1" through the dynamic loader's search path.

Every export is declared from the tables below (one row per operation,
expanded for the four matrix families and the five span element types), so
that no call goes through ctypes' default int conversions.
"""
from __future__ import annotations

import ctypes
import os
from ctypes import c_double, c_int32, c_uint8, c_uint32, c_uint64, c_void_p

__all__ = [
    "lib", "library_path", "family", "span_functions", "Shape", "RowInfo", "SpanInfo",
    "check_status", "ptr", "new_handle", "KorvexError", "NullArgumentError", "ShapeMismatchError", "LengthError",
    "IndptrError", "RangeError", "CapacityError", "AllocationError", "IndexOutOfRangeError",
]

SONAME = "libkorvex.so.1"
ABI_VERSION = 1


# --------------------------------------------------------------------------
# Records returned by value
# --------------------------------------------------------------------------

class Shape(ctypes.Structure):
    _fields_ = [("rows", c_uint64), ("cols", c_uint64)]


class RowInfo(ctypes.Structure):
    _fields_ = [("values", c_void_p), ("indices", c_void_p), ("len", c_uint64)]


class SpanInfo(ctypes.Structure):
    _fields_ = [("data", c_void_p), ("len", c_uint64), ("elem_size", c_uint64),
                ("flags", c_uint64)]


# --------------------------------------------------------------------------
# Statuses and the exceptions they become
# --------------------------------------------------------------------------

class KorvexError(Exception):
    """Base of every error reported by a korvex status. ``status`` holds it."""

    status = None

    def __init__(self, message, status=None):
        super().__init__(message)
        if status is not None:
            self.status = status


class NullArgumentError(KorvexError, ValueError):
    status = -1


class ShapeMismatchError(KorvexError, ValueError):
    status = -2


class LengthError(KorvexError, ValueError):
    status = -3


class IndptrError(KorvexError, ValueError):
    status = -4


class RangeError(KorvexError, IndexError):
    status = -5


class CapacityError(KorvexError, ValueError):
    status = -6


class AllocationError(KorvexError, MemoryError):
    status = -7


class IndexOutOfRangeError(KorvexError, IndexError):
    status = -8


_STATUS = {
    -1: ("KORVEX_STATUS_NULL", NullArgumentError,
         "a required argument is missing (null pointer, or no inputs)"),
    -2: ("KORVEX_STATUS_SHAPE_MISMATCH", ShapeMismatchError,
         "the inputs disagree in the dimension that must agree"),
    -3: ("KORVEX_STATUS_LENGTH", LengthError,
         "an array or mask length does not match the matrix"),
    -4: ("KORVEX_STATUS_INDPTR", IndptrError,
         "the index pointer array is malformed (wrong length, not starting at 0, "
         "or an entry beyond its last one)"),
    -5: ("KORVEX_STATUS_RANGE", RangeError,
         "the range is outside the matrix or reversed"),
    -6: ("KORVEX_STATUS_CAPACITY", CapacityError,
         "the output array is too small (or rows x cols overflows 64 bits)"),
    -7: ("KORVEX_STATUS_ALLOC", AllocationError,
         "out of memory (or a size past 64 bits) in the library"),
    -8: ("KORVEX_STATUS_INDEX", IndexOutOfRangeError,
         "an index lies outside the matrix, or a row's value and index spans differ in length"),
}


# A valid, aligned address for empty arrays: the library checks pointers for
# NULL even where it reads nothing.
_PLACEHOLDER = (c_uint64 * 4)()


def ptr(a):
    """The data address of a numpy array, or a valid dummy one when it is empty."""
    return a.ctypes.data if a.size else ctypes.addressof(_PLACEHOLDER)


def new_handle(fn, *args, op, detail=""):
    """Call a constructor whose last argument is the out slot; the new handle,
    or the exception its status stands for."""
    out = ctypes.c_void_p()
    check_status(fn(*args, ctypes.byref(out)), op, detail)
    return out.value


def check_status(status, operation, detail=""):
    """Raise the exception that a non-zero status stands for."""
    if status == 0:
        return
    name, cls, meaning = _STATUS.get(status, ("unknown status", KorvexError, "unexpected failure"))
    msg = f"{operation} failed with {name} ({status}): {meaning}"
    if detail:
        msg += f" [{detail}]"
    raise cls(msg, status)


# --------------------------------------------------------------------------
# Declarations
# --------------------------------------------------------------------------

M = c_void_p   # matrix handle
P = c_void_p   # any data pointer
u64, i32, u8, f64 = c_uint64, c_int32, c_uint8, c_double

# name (X = row/col, Y = the other form), restype, argtypes
_MATRIX_TABLE = [
    ("free", None, [M]),
    ("clone", M, [M]),
    ("size", u64, []),
    ("rows", u64, [M]),
    ("cols", u64, [M]),
    ("shape", Shape, [M]),
    ("is_empty", u8, [M]),
    ("{X}_values", P, [M, u64]),
    ("{X}_indices", P, [M, u64]),
    ("{X}_values_ptr", P, [M, u64]),
    ("{X}_indices_ptr", P, [M, u64]),
    ("{X}_len", u64, [M, u64]),
    ("{X}_values_ptr_unchecked", P, [M, u64]),
    ("{X}_indices_ptr_unchecked", P, [M, u64]),
    ("{X}_len_unchecked", u64, [M, u64]),
    ("get_{X}_info", RowInfo, [M, u64]),
    ("get_{X}_info_unchecked", RowInfo, [M, u64]),
    ("get_{X}_pointers", i32, [M, P, P, P]),
    ("values_vec_ptr", P, [M]),
    ("indices_vec_ptr", P, [M]),
    ("values_vec_len", u64, [M]),
    ("nnz", u64, [M]),
    ("has_nnz_cache", u8, [M]),
    ("set_nnz", None, [M, u64]),
    ("invalidate_nnz", None, [M]),
    ("is_zero", u8, [M]),
    ("density", f64, [M]),
    ("sparsity", f64, [M]),
    ("get_metadata", i32, [M, P, P, P]),
    ("is_valid", u8, [M]),
    ("validate", u8, [M]),
    ("indices_in_bounds", u8, [M]),
    ("is_sorted", u8, [M]),
    ("ensure_sorted", None, [M]),
    ("ensure_sorted_checked", u8, [M]),
    ("from_scipy_view", M, [u64, u64, P, P, P]),
    ("from_scipy_copy", i32, [u64, u64, P, u64, P, u64, P, u64, P]),
    ("from_scipy_copy_i32", i32, [u64, u64, P, u64, P, u64, P, u64, P]),
    ("from_coo", i32, [u64, u64, P, P, P, u64, P]),
    ("to_coo", i32, [M, P, P, P, u64]),
    ("to_dense", i32, [M, P, u64, u8]),
    ("to_compressed", i32, [M, P, P, P, u64, u8]),
    ("from_{Y}", i32, [M, P]),
    ("transpose_from_{Y}", i32, [M, P]),
    ("transpose_shared_from_{Y}", i32, [M, P]),
    ("slice_rows", i32, [M, u64, u64, P]),
    ("slice_cols", i32, [M, u64, u64, P]),
    ("slice_rows_mask", i32, [M, P, u64, P]),
    ("slice_cols_mask", i32, [M, P, u64, P]),
    ("take_rows", i32, [M, P, u64, P]),
    ("take_cols", i32, [M, P, u64, P]),
    ("hstack", i32, [P, u64, P]),
    ("vstack", i32, [P, u64, P]),
]

# Arithmetic (products, sums, value maps). The four products also come in
# an `_f64` form for the f32 families: double operands and results.
_PRODUCT_TABLE = [
    ("matvec{S}", i32, [M, P, u64, P, u64]),
    ("rmatvec{S}", i32, [M, P, u64, P, u64]),
    ("matmat{S}", i32, [M, P, u64, u8, P]),
    ("rmatmat{S}", i32, [M, P, u64, u8, P]),
]
_COMPUTE_TABLE = _PRODUCT_TABLE + [
    ("sum_rows", i32, [M, P, u64]),
    ("sum_cols", i32, [M, P, u64]),
    ("map_values", i32, [M, c_uint32, f64, P]),
    ("scale_rows", i32, [M, P, u64, P]),
    ("scale_cols", i32, [M, P, u64, P]),
    ("set_entries", i32, [M, P, P, P, u64]),
    ("eliminate_zeros", i32, [M]),
    ("sum_duplicates", i32, [M]),
    ("sort_indices", i32, [M]),
]

# KORVEX_MAP_* operation codes of map_values.
MAP_OPS = {
    "scale": 0, "negate": 1, "abs": 2, "power": 3, "sqrt": 4, "log1p": 5, "expm1": 6,
    "sin": 7, "tan": 8, "arcsin": 9, "arctan": 10, "sinh": 11, "tanh": 12, "arcsinh": 13,
    "floor": 14, "ceil": 15, "rint": 16, "trunc": 17, "sign": 18, "deg2rad": 19,
    "rad2deg": 20, "round": 21,
}

_SPAN_TABLE = [
    ("len", u64, [P]),
    ("byte_size", u64, [P]),
    ("data", P, [P]),
    ("data_mut", P, [P]),
    ("flags", u64, [P]),
    ("is_view", u8, [P]),
    ("is_aligned", u8, [P]),
    ("is_mutable", u8, [P]),
    ("info", SpanInfo, [P]),
    ("size", u64, []),
    ("clone", P, [P]),
    ("free", None, [P]),
]

_CONSTANTS = ["KORVEX_ABI_VERSION", "SPAN_FLAG_VIEW", "SPAN_FLAG_ALIGNED",
              "SPAN_FLAG_MUTABLE", "SPAN_SIZE"]

FAMILIES = {  # prefix: (form, value dtype name, outer word, other form)
    "csr_f32": ("csr", "float32", "row", "csc"),
    "csr_f64": ("csr", "float64", "row", "csc"),
    "csc_f32": ("csc", "float32", "col", "csr"),
    "csc_f64": ("csc", "float64", "col", "csr"),
}
SPAN_TYPES = ("f32", "f64", "i32", "i64", "usize")


def _candidates():
    env = os.environ.get("KORVEX_LIBRARY")
    if env:
        return [env], True
    out = []
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        # Written by scripts/install-python.py (an absolute path) or by
        # setup.py for pip (a path relative to this package).
        from . import _installed
        out.append(os.path.join(here, _installed.LIBRARY))
    except ImportError:
        pass
    out.append(os.path.normpath(os.path.join(here, os.pardir, os.pardir, "build", "libkorvex.so")))
    out.append(SONAME)
    return out, False


def _load():
    paths, explicit = _candidates()
    errors = []
    for path in paths:
        if os.sep in path and not os.path.exists(path):
            errors.append(f"{path}: not found")
            continue
        try:
            return ctypes.CDLL(path), path
        except OSError as e:
            errors.append(f"{path}: {e}")
            if explicit:
                break
    hint = ("set KORVEX_LIBRARY to the path of libkorvex.so" if not explicit
            else "KORVEX_LIBRARY names a library that does not load")
    raise ImportError("korvex: cannot load the korvex library (" + hint + "); tried:\n  "
                      + "\n  ".join(errors))


lib, library_path = _load()


def _unusable(what):
    """ImportError for a library that loads but is not (this) korvex."""
    named = os.environ.get("KORVEX_LIBRARY")
    origin = ("named by the environment variable KORVEX_LIBRARY" if named
              else "found without KORVEX_LIBRARY")
    return ImportError(
        f"korvex: {library_path} ({origin}) loads but is not a korvex library this package can "
        f"use: {what}. Build libkorvex with `make build` in the korvex source tree (it writes "
        f"build/libkorvex.so) and set KORVEX_LIBRARY to that path, or unset KORVEX_LIBRARY to "
        f"use the installed library")


def _constant(name):
    try:
        return c_uint64.in_dll(lib, name).value
    except ValueError:
        raise _unusable(f"it has no symbol {name}") from None


_abi = _constant("KORVEX_ABI_VERSION")
if _abi != ABI_VERSION:
    raise ImportError(f"korvex: {library_path} has ABI version {_abi}, this package needs "
                      f"{ABI_VERSION}")

constants = {name: _constant(name) for name in _CONSTANTS}


def _declare(name, restype, argtypes):
    try:
        fn = getattr(lib, name)
    except AttributeError:
        raise _unusable(f"it has no function {name} (an older or different build?)") from None
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


class _Functions:
    """The declared functions of one family, reachable without the prefix
    (``fam.nnz`` for ``csr_f64_nnz``); the outer-word names are also
    reachable through the form-neutral spelling (``fam.outer_len``)."""

    def __init__(self, prefix, table, subst):
        self.prefix = prefix
        self.names = []
        self.declare(table, subst)

    def declare(self, table, subst):
        prefix = self.prefix
        for pattern, restype, argtypes in table:
            short = pattern.format(**subst)
            fn = _declare(f"{prefix}_{short}", restype, argtypes)
            setattr(self, short, fn)
            neutral = pattern.format(**dict(subst, X="outer", Y="other"))
            if neutral != short:
                setattr(self, neutral, fn)
            self.names.append(f"{prefix}_{short}")


_families = {}
for _prefix, (_form, _dt, _x, _y) in FAMILIES.items():
    _families[_prefix] = _Functions(_prefix, _MATRIX_TABLE, {"X": _x, "Y": _y})
    _families[_prefix].declare(_COMPUTE_TABLE, {"S": ""})
    if _dt == "float32":
        _families[_prefix].declare(_PRODUCT_TABLE, {"S": "_f64"})
    _families[_prefix].form, _families[_prefix].dtype_name = _form, _dt

_spans = {t: _Functions(f"span_{t}", _SPAN_TABLE, {}) for t in SPAN_TYPES}


def family(form, dtype_name):
    return _families[f"{form}_{'f32' if dtype_name == 'float32' else 'f64'}"]


def span_functions(t):
    return _spans[t]


def declared_names():
    """Every export this module declared, constants included."""
    names = list(_CONSTANTS)
    for fam in list(_families.values()) + list(_spans.values()):
        names.extend(fam.names)
    return sorted(names)
