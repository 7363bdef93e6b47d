"""Loading libkorvex and declaring its C interface.

The library is looked up, in order, at
  1. the path in the environment variable KORVEX_LIBRARY (an error if it
     does not load: an explicit choice never falls back silently),
  2. the path recorded in an installed copy (by scripts/install-python.py,
     absolute; by a pip install, the library inside the package),
  3. <repository>/build/libkorvex.so next to a source checkout,
  4. the soname "libkorvex.so.1" through the dynamic loader's search path.

Every export is declared from the tables of `_exports.py`, which
scripts/gen_bindings.py writes from the one list of exports
(include/korvex_exports.h), so that no call goes through ctypes' default int
conversions.
"""
from __future__ import annotations

import ctypes
import os
from ctypes import c_double, c_int32, c_uint8, c_uint32, c_uint64, c_void_p

from . import _exports

__all__ = [
    "lib", "library_path", "family", "span_functions", "Shape", "RowInfo", "SpanInfo",
    "check_status", "ptr", "new_handle", "KorvexError", "NullArgumentError", "ShapeMismatchError", "LengthError",
    "IndptrError", "RangeError", "CapacityError", "AllocationError", "IndexOutOfRangeError",
    "FamilyError",
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


class FamilyError(KorvexError, TypeError):
    """A matrix handle passed to a function of another family (value type or form)."""
    status = -9


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
    -9: ("KORVEX_STATUS_FAMILY", FamilyError,
         "the matrix handle belongs to another family (value type or form) than the function"),
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
# Declarations, from the generated tables of _exports.py
# --------------------------------------------------------------------------

_TYPES = {
    "M": c_void_p, "P": c_void_p, "u64": c_uint64, "i64": ctypes.c_int64, "u32": c_uint32,
    "i32": c_int32, "u16": ctypes.c_uint16, "i16": ctypes.c_int16, "u8": c_uint8,
    "i8": ctypes.c_int8, "f64": c_double, "f32": ctypes.c_float, "Shape": Shape,
    "RowInfo": RowInfo, "SpanInfo": SpanInfo, None: None,
}

MAP_OPS = dict(_exports.MAP_OPS)  # KORVEX_MAP_* operation codes of map_values
_CONSTANTS = list(_exports.CONSTANTS)
FAMILIES = dict(_exports.FAMILIES)  # prefix: (form, value dtype name, outer word, other form)
SPAN_TYPES = tuple(_exports.SPAN_FUNCTIONS)


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
    fn.restype = _TYPES[restype]
    fn.argtypes = [_TYPES[t] for t in argtypes]
    return fn


class _Functions:
    """The declared functions of one family, reachable without the prefix
    (``fam.nnz`` for ``csr_f64_nnz``); the outer-word names are also
    reachable through the form-neutral spelling (``fam.outer_len``)."""

    def __init__(self, prefix, rows):
        self.prefix = prefix
        self.names = []
        for row in rows:
            short, neutral, restype, argtypes = row if len(row) == 4 else (row[0], row[0]) + row[1:]
            name = f"{prefix}_{short}" if prefix else short
            fn = _declare(name, restype, argtypes)
            setattr(self, short, fn)
            if neutral != short:
                setattr(self, neutral, fn)
            self.names.append(name)


_families = {}
for _prefix, (_form, _dt, _x, _y) in FAMILIES.items():
    _families[_prefix] = _Functions(_prefix, _exports.FAMILY_FUNCTIONS[_prefix])
    _families[_prefix].form, _families[_prefix].dtype_name = _form, _dt

_spans = {t: _Functions(f"span_{t}", rows) for t, rows in _exports.SPAN_FUNCTIONS.items()}

# The functions the library has once, outside the families (``library.<name>``).
library = _Functions("", _exports.LIBRARY_FUNCTIONS)


def family(form, dtype_name):
    return _families[f"{form}_{'f32' if dtype_name == 'float32' else 'f64'}"]


def span_functions(t):
    return _spans[t]


def declared_names():
    """Every export this module declared, constants included."""
    names = list(_CONSTANTS)
    for fam in list(_families.values()) + list(_spans.values()) + [library]:
        names.extend(fam.names)
    return sorted(names)
