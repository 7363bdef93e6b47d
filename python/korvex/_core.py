"""The core under the matrix: the handle record, and what every layer does with it.

A korvex matrix (CSRMatrix, CSCMatrix) is a thin object with one attribute,
``_rec``, its Record. Everything that reaches the library through a matrix
goes through this module, so the rules for doing it safely live in one place:

* a handle is read only under the package guard (_guard.py), and used
  within the same hold: shared for calls that only read, exclusive for calls
  that write rows or records in place (sorting, freeing, edits);
* a matrix made from another either shares its storage (and then keeps the
  host arrays the source reads alive) or owns fresh storage;
* an intermediate result no other thread has seen is discarded at once.

The record
  Record(fam, handle, keep=(), sparray=False)
    fam         the family's functions (``fam.nnz``, ``fam.prefix`` ...)
    h           the C handle, None once freed
    keep        host objects the handle reads (kept alive with it)
    sparray     born of a scipy sparse array (csr_array ...), not a matrix
    fin         the finalizer releasing the handle (runs without a lock)
    sorted_known  rows are known sorted (set for owned storage only; an
                edit that may unsort rows clears it)
    handle()    h, refused outside the guard and once freed
    free()      free() under the exclusive guard (deferred inside a hold)
    discard()   release now: an intermediate nobody else has seen
    replace(h, keep)  new storage under the same record (hold exclusive)

Functions over a matrix M (each holds the guard shared itself)
  record(M)                        M's Record
  call(M, name, *args)             M's family function on its handle; its result
  run(M, name, *args, detail=)     the same for a status; raises on failure
  run_exclusive(M, name, *args, detail=)  run() under the exclusive guard (edits)
  new(M, name, *args, fam=, detail=)  a constructor taking M's handle and an
                                   out slot; the new handle
  wrap(form, handle, dtype_name, keep=, sparray=)  a new matrix over a handle
  derive(M, handle, form=, dtype_name=, shares=)   a result of M: M's class (or
                                   the other form's), sparray flag, and M's
                                   kept objects when it shares storage
  owned(M, indptr, inner, vals, shape=)  a result of M owning copies of arrays
  compressed_copy(M, shape, outer, inner, vals)  a handle of M's family over
                                   copies of entries given by outer index
  discard(M)                       release an intermediate now
  pointers(M)                      per outer index: value address, index address, length
  export(M)                        (indptr, inner, values, rows, cols), int64, stored order
  export_compressed(M, index_dtype)  (indptr, indices, data) as scipy holds them
  summed(M, axis, op)              (lines, positions, values), repeats added up
  require_in_bounds(M, op)         IndexOutOfRangeError for an index outside the shape
  rows_sorted(M)                   has_sorted_indices, remembered for owned storage
  take_outer(M, positions)         the outer indices named, sharing M's storage
Helpers
  swap(form, (row_thing, col_thing)) -> (outer_thing, inner_thing)
  other_form(form), is_matrix(x), register(cls) (the matrix classes, by form)
  import_copy(fam, r, c, indptr, inner, vals) / import_copy_i32(...)
  value_dtype(dtype), index_dtype_arg(index_dtype), rows_nondecreasing(indptr, inner)
"""
from __future__ import annotations

import ctypes
import weakref

import numpy as np

from . import _sizes
from ._guard import GUARD, exclusive, guarded
from ._lib import (IndexOutOfRangeError, KorvexError, NullArgumentError, check_status, family,
                   new_handle, ptr)

__all__ = [
    "Record", "record", "call", "run", "run_exclusive", "new", "wrap", "derive", "owned", "compressed_copy",
    "discard",
    "pointers", "export", "export_compressed", "summed", "require_in_bounds", "rows_sorted",
    "take_outer", "swap", "other_form", "is_matrix", "register", "import_copy",
    "import_copy_i32", "value_dtype", "index_dtype_arg", "rows_nondecreasing", "VALUE_DTYPES",
    "INT32_MAX", "CTYPES",
]

VALUE_DTYPES = (np.dtype(np.float32), np.dtype(np.float64))
INT32_MAX = int(np.iinfo(np.int32).max)
_OTHER = {"csr": "csc", "csc": "csr"}
_DTYPES = {d.name: d for d in VALUE_DTYPES}
_OUTER_WORDS = {"csr": "rows", "csc": "cols"}  # in the names of slice_/take_ functions


# --------------------------------------------------------------------------
# The record
# --------------------------------------------------------------------------

def _release(free, handle, keep):
    # keep (the host arrays a view reads) is an argument so that it lives
    # exactly as long as the handle.
    free(handle)


class Record:
    """A library handle with what it needs: its family, the host objects it
    reads, the sparse-array flag and the finalizer that releases it."""

    __slots__ = ("fam", "h", "keep", "sparray", "fin", "sorted_known", "__weakref__")

    def __init__(self, fam, handle, keep=(), sparray=False):
        if not handle:
            raise NullArgumentError(f"{fam.prefix}: the library returned no matrix", -1)
        self.fam = fam
        self.h = handle
        self.keep = tuple(keep)
        self.sparray = bool(sparray)
        self.sorted_known = False
        self.fin = weakref.finalize(self, _release, fam.free, handle, self.keep)
        self.fin.atexit = False
        # Fill the count cache now, while no other thread can reach the
        # handle: every later query then only reads it.
        fam.nnz(handle)

    @property
    def form(self):
        return self.fam.form

    @property
    def dtype(self):
        return _DTYPES[self.fam.dtype_name]

    def handle(self):
        """The library handle; read it only while holding the guard, and use
        it within the same hold."""
        if not getattr(GUARD.tls, "depth", 0):
            raise RuntimeError("korvex: a matrix handle was read outside the package guard "
                               "(hold korvex._guard.GUARD around the read and the call)")
        h = self.h
        if h is None:
            raise ValueError(f"this korvex {self.form.upper()} matrix has been freed")
        return h

    def free(self):
        """Release the handle now (idempotent): waits for calls in flight.
        Reached from inside a call on this thread (a __del__, say), it is
        freed at once for every later call and released once no call is in
        flight."""
        if GUARD.held() and not GUARD.held_exclusive():
            if self.h is not None:
                self.h = None
                self.keep = ()  # the release holds them until it runs
                GUARD.release_later(self.fin)
            return
        with exclusive:
            self.h = None
            self.keep = ()
            self.fin()

    def discard(self):
        """free() for an intermediate result no other thread has seen."""
        self.h = None
        self.keep = ()
        self.fin()

    def replace(self, handle, keep=()):
        """Put new storage (handle, reading keep) under this record and release
        the old one. Hold the guard exclusive."""
        old = self.fin
        self.h, self.keep = handle, tuple(keep)
        self.fin = weakref.finalize(self, _release, self.fam.free, handle, self.keep)
        self.fin.atexit = False
        self.sorted_known = False
        old()


# --------------------------------------------------------------------------
# Matrices over records
# --------------------------------------------------------------------------

_CLASSES = {}
_BASES = ()


def register(cls):
    """Class decorator: cls is the matrix class of its form (cls.format)."""
    global _BASES
    _CLASSES[cls.format] = cls
    _BASES = tuple(_CLASSES.values())
    return cls


def is_matrix(x):
    """True for a korvex matrix."""
    return isinstance(x, _BASES)


def record(M):
    return M._rec


def _matrix(cls, rec):
    M = object.__new__(cls)
    M._rec = rec
    return M


def wrap(form, handle, dtype_name, keep=(), sparray=False, cls=None):
    """A new matrix of the form's class (or cls) over a handle the caller
    owns; NullArgumentError for a NULL handle."""
    return _matrix(cls or _CLASSES[form], Record(family(form, dtype_name), handle, keep, sparray))


def derive(M, handle, form=None, dtype_name=None, shares=False):
    """A result of M over a new handle: M's class (the other form's class for
    form=other_form(M.format)), M's value type unless dtype_name says, M's
    sparse-array flag, and M's kept host objects when it shares M's
    storage."""
    rec = M._rec
    fam = rec.fam
    keep = rec.keep if shares else ()
    if (form is None or form == fam.form) and (dtype_name is None or
                                               dtype_name == fam.dtype_name):
        return _matrix(type(M), Record(fam, handle, keep, rec.sparray))
    form = form or fam.form
    cls = type(M) if form == fam.form else _CLASSES[form]
    return wrap(form, handle, dtype_name or fam.dtype_name, keep, rec.sparray, cls)


def discard(M):
    """Release an intermediate result that no other thread has seen."""
    M._rec.discard()


def swap(form, pair):
    """(outer, inner) of a (row thing, column thing) pair for the form:
    unchanged for CSR, swapped for CSC."""
    a, b = pair
    return (a, b) if form == "csr" else (b, a)


def other_form(form):
    return _OTHER[form]


# --------------------------------------------------------------------------
# Calls
# --------------------------------------------------------------------------

@guarded
def call(M, name, *args):
    """M's family function `name` (form-neutral names work: ``outer_len``)
    on M's handle and args, holding the guard shared; what it returns."""
    rec = M._rec
    return getattr(rec.fam, name)(rec.handle(), *args)


@guarded
def run(M, name, *args, detail=""):
    """call() of a status-returning function; the status's exception on failure."""
    rec = M._rec
    fn = getattr(rec.fam, name)
    status = fn(rec.handle(), *args)
    if status:
        check_status(status, fn.__name__, detail)


def run_exclusive(M, name, *args, detail=""):
    """run() holding the guard exclusive, for a call that writes rows or the
    record in place (an edit): it waits for every korvex call in flight, and
    they for it. RuntimeError inside a shared hold (no upgrade)."""
    with exclusive:
        rec = M._rec
        fn = getattr(rec.fam, name)
        status = fn(rec.handle(), *args)
        if status:
            check_status(status, fn.__name__, detail)


def _new(fn, h, args, detail):
    out = ctypes.c_void_p()
    status = fn(h, *args, ctypes.byref(out))
    if status:
        check_status(status, fn.__name__, detail)
    return out.value


@guarded
def new(M, name, *args, fam=None, detail=""):
    """A constructor of fam (default M's family) taking M's handle, args and
    an out slot: the new handle (the caller wraps it at once)."""
    rec = M._rec
    return _new(getattr(fam or rec.fam, name), rec.handle(), args, detail)


def import_copy(fam, r, c, indptr, inner, vals):
    """A new handle over copies of compressed arrays (indptr int64 or uint64,
    inner int64, vals of the family's type)."""
    n = len(indptr) - 1
    op = f"{fam.prefix}_from_scipy_copy"
    _sizes.new_matrix(op, n, _sizes.LENGTHS)
    p = np.ascontiguousarray(indptr, dtype=np.int64).view(np.uint64)
    return new_handle(fam.from_scipy_copy, r, c, ptr(vals), len(vals), ptr(inner), len(inner),
                      ptr(p), len(p), op=op)


def import_copy_i32(fam, r, c, indptr, inner, vals):
    """A new handle over copies of compressed arrays with int32 indptr and
    inner indices, widened by the library during its one copy."""
    n = len(indptr) - 1
    op = f"{fam.prefix}_from_scipy_copy_i32"
    _sizes.new_matrix(op, n, _sizes.LENGTHS)
    return new_handle(fam.from_scipy_copy_i32, r, c, ptr(vals), len(vals), ptr(inner),
                      len(inner), ptr(indptr), len(indptr), op=op)


def compressed_copy(M, shape, outer, inner, vals):
    """A new handle of M's family and the given shape over copies of the
    entries at (outer, inner), stably grouped by outer index."""
    n = swap(M.format, shape)[0]
    order = np.argsort(outer, kind="stable")
    indptr = np.zeros(n + 1, np.int64)
    np.cumsum(np.bincount(outer, minlength=n), out=indptr[1:])
    return import_copy(M._rec.fam, shape[0], shape[1], indptr,
                       np.ascontiguousarray(inner[order]), np.ascontiguousarray(vals[order]))


@guarded
def owned(M, indptr, inner, vals, shape=None):
    """A result of M (its class, form and sparse-array flag) owning copies of
    compressed arrays; the value type is vals'. shape defaults to M's."""
    r, c = M.shape if shape is None else shape
    fam = family(M.format, np.dtype(vals.dtype).name)
    return derive(M, import_copy(fam, r, c, indptr, inner, vals), dtype_name=fam.dtype_name)


# --------------------------------------------------------------------------
# Exports
# --------------------------------------------------------------------------

@guarded
def pointers(M):
    """(value addresses, index addresses, lengths) per outer index, uint64."""
    rec = M._rec
    h = rec.handle()
    n = swap(rec.fam.form, M.shape)[0]
    vp, ip, ln = (np.empty(n, np.uint64) for _ in range(3))
    fn = rec.fam.get_outer_pointers
    check_status(fn(h, ptr(vp), ptr(ip), ptr(ln)), fn.__name__)
    return vp, ip, ln


@guarded
def export(M):
    """(indptr, inner indices, values, rows, cols) in stored order, indices
    int64."""
    rec = M._rec
    fam = rec.fam
    h = rec.handle()
    lens = pointers(M)[2]
    indptr = np.zeros(len(lens) + 1, np.int64)
    np.cumsum(lens.view(np.int64), out=indptr[1:])
    nnz = fam.nnz(h)
    if int(indptr[-1]) != nnz:
        raise KorvexError(f"entry count {nnz} disagrees with the row lengths "
                          f"({int(indptr[-1])})")
    rows, cols = np.empty(nnz, np.int64), np.empty(nnz, np.int64)
    vals = np.empty(nnz, rec.dtype)
    check_status(fam.to_coo(h, ptr(rows), ptr(cols), ptr(vals), nnz), f"{fam.prefix}_to_coo")
    return indptr, swap(fam.form, (cols, rows))[0], vals, rows, cols


def index_dtype_arg(index_dtype):
    """int64 (for None) or int32, the index types of a compressed export."""
    if index_dtype is None:
        return np.dtype(np.int64)
    try:
        want = np.dtype(index_dtype)
    except TypeError:
        raise TypeError(f"index_dtype must be numpy.int32 or numpy.int64, got "
                        f"{index_dtype!r}") from None
    if want not in (np.dtype(np.int32), np.dtype(np.int64)):
        raise ValueError(f"index_dtype must be numpy.int32 or numpy.int64, got {want}")
    return want


@guarded
def export_compressed(M, index_dtype=np.int64):
    """(indptr, indices, values) in stored order, as scipy holds them:
    indptr and indices int64 or int32 (ValueError when an index or the
    entry count does not fit 32 bits). Allocates only the three arrays.
    IndexOutOfRangeError when a stored index lies outside the shape."""
    want = index_dtype_arg(index_dtype)
    rec = M._rec
    fam = rec.fam
    h = rec.handle()
    s = fam.shape(h)
    r, c, nnz = s.rows, s.cols, fam.nnz(h)
    n, inner = swap(fam.form, (r, c))
    if want.itemsize == 4 and (nnz > INT32_MAX or inner > INT32_MAX + 1):
        raise ValueError(f"a {r}x{c} matrix with {nnz} entries does not fit 32-bit "
                         f"indices; use index_dtype=numpy.int64")
    indptr = np.empty(n + 1, want)
    indices = np.empty(nnz, want)
    data = np.empty(nnz, rec.dtype)
    check_status(fam.to_compressed(h, ptr(data), ptr(indices), ptr(indptr), nnz,
                                   want.itemsize), f"{fam.prefix}_to_compressed",
                 f"shape {(r, c)}, {nnz} entries")
    return indptr, indices, data


@guarded
def require_in_bounds(M, op):
    """IndexOutOfRangeError when M holds an index outside its shape."""
    if not call(M, "indices_in_bounds"):
        raise IndexOutOfRangeError(f"{op}: the matrix holds an index outside its shape "
                                   f"{M.shape}", -8)


@guarded
def rows_sorted(M):
    """has_sorted_indices, remembered once true for a matrix that reads no
    host arrays (until an edit clears Record.sorted_known)."""
    rec = M._rec
    if rec.sorted_known and rec.h is not None:
        return True
    done = bool(rec.fam.is_sorted(rec.handle()))
    if done and not rec.keep:
        rec.sorted_known = True
    return done


@guarded
def summed(M, axis=1, op="count_nonzero"):
    """(lines, positions, values) of M's entries with duplicates summed,
    sorted by line, then position: lines are rows for axis=1, columns for
    axis=0. Values are summed in the matrix's type."""
    require_in_bounds(M, op)
    _, _, vals, rows, cols = export(M)
    lines, pos = (rows, cols) if axis == 1 else (cols, rows)
    if not len(vals):
        return lines, pos, vals
    order = np.lexsort((pos, lines))
    lines, pos, vals = lines[order], pos[order], vals[order]
    first = np.empty(len(vals), bool)
    first[0] = True
    np.not_equal(lines[1:], lines[:-1], out=first[1:])
    first[1:] |= pos[1:] != pos[:-1]
    if first.all():
        return lines, pos, vals
    starts = np.flatnonzero(first)
    return lines[starts], pos[starts], np.add.reduceat(vals, starts, dtype=vals.dtype)


def rows_nondecreasing(indptr, inner):
    """True when no row of compressed arrays steps down (repeats allowed)."""
    if len(inner) < 2:
        return True
    down = np.flatnonzero(inner[1:] < inner[:-1]) + 1  # k with inner[k] < inner[k - 1]
    # A step down is fine only where a new row starts at k.
    starts = indptr[1:-1]
    return bool(np.isin(down, starts).all())


# --------------------------------------------------------------------------
# The outer take
# --------------------------------------------------------------------------

@guarded
def take_outer(M, positions):
    """The rows (CSR) or columns (CSC) of M at positions (int64 or uint64,
    in range; any order, repeats allowed), as a matrix sharing M's spans."""
    rec = M._rec
    fam = rec.fam
    word = _OUTER_WORDS[fam.form]
    k = len(positions)
    if k == 0:
        _sizes.new_matrix(f"{fam.prefix}_slice_{word}", 0)
        h = _new(getattr(fam, f"slice_{word}"), rec.handle(), (0, 0), "[0:0]")
    else:
        _sizes.new_matrix(f"{fam.prefix}_take_{word}", k)
        h = _new(getattr(fam, f"take_{word}"), rec.handle(), (ptr(positions), k),
                 f"{k} positions")
    return _matrix(type(M), Record(fam, h, rec.keep, rec.sparray))


# --------------------------------------------------------------------------
# Value types
# --------------------------------------------------------------------------

def value_dtype(dtype):
    """dtype as float32 or float64; TypeError for any other."""
    want = np.dtype(dtype)
    if want not in VALUE_DTYPES:
        raise TypeError(f"korvex holds float32 or float64 values, not {want}")
    return want


# ctypes element types of the value types, for reading a span in place.
CTYPES = {np.dtype(np.float32): ctypes.c_float, np.dtype(np.float64): ctypes.c_double}
