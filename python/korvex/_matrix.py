"""CSR and CSC matrices held by libkorvex, and their exchange with scipy.sparse.

A matrix is a thin object over its handle record (``_rec``, see _core.py):
every method that reads the handle holds the package guard (see _guard.py),
shared for calls that only read, exclusive for sort_indices() and free(). The
record refuses to hand out the handle outside the guard, so a handle is never
read in one hold and used in another. Every call that builds a matrix is
sized first (see _sizes.py).
"""
from __future__ import annotations

import ctypes
from collections import namedtuple

import numpy as np
import scipy.sparse as sp
from scipy.sparse._sputils import check_shape

from . import _core as core
from . import _optional, _sizes
from ._combine import CombineMixin
from ._edit import EditMixin
from ._entries import EntriesMixin
from ._guard import exclusive, guarded
from ._habits import HabitsMixin
from ._index import IndexMixin
from ._lib import (IndexOutOfRangeError, IndptrError, LengthError, family, new_handle, ptr,
                   span_functions)
from ._maps import MapsMixin
from ._minmax import MinMaxMixin
from ._products import ProductsMixin

try:  # public from scipy 1.11 on
    from scipy.sparse import sparray as _sparray
except ImportError:  # pragma: no cover - older scipy
    from scipy.sparse._arrays import _sparray

_SCIPY_CLASSES = {
    ("csr", False): sp.csr_matrix, ("csc", False): sp.csc_matrix,
    ("csr", True): sp.csr_array, ("csc", True): sp.csc_array,
}
_COO_CLASSES = {False: sp.coo_matrix, True: getattr(sp, "coo_array", sp.coo_matrix)}


SpanDesc = namedtuple("SpanDesc", "address len flags view aligned mutable")

def _value_array(data, dtype, may_convert, what):
    """data as a 1-D array of float32/float64, converting only on request."""
    arr = data if isinstance(data, np.ndarray) else np.asarray(data)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {arr.shape}")
    if arr.dtype.kind == "c":
        raise TypeError(f"korvex holds real float32 or float64 values; {what} is {arr.dtype}")
    if dtype is not None:
        want = _value_dtype(dtype)
        if arr.dtype != want:
            if not may_convert:
                raise ValueError(f"a view cannot change the value type from {arr.dtype} to "
                                 f"{want}; use copy=True")
            arr = arr.astype(want)
    elif arr.dtype not in core.VALUE_DTYPES:
        raise TypeError(f"korvex holds float32 or float64 values, got {arr.dtype}; pass "
                        f"dtype=numpy.float64 (or float32) to convert explicitly")
    return arr


_value_dtype = core.value_dtype


def _first_outside(idx, dim):
    """Position of the first index of idx outside [0, dim), or None."""
    if not idx.size:
        return None
    if idx.dtype.kind == "u":
        if int(idx.max()) < dim:
            return None
        return int(np.argmax(idx >= np.uint64(dim)))
    if int(idx.min()) >= 0 and int(idx.max()) < dim:
        return None
    return int(np.argmax((idx < 0) | (idx >= dim)))


def _refuse_wide_unsigned(arr, what):
    """IndexOutOfRangeError for a uint64 index of 2^63 or more (it would wrap
    to a negative int64)."""
    if arr.dtype.kind == "u" and arr.dtype.itemsize == 8 and arr.size:
        k = _first_outside(arr, _sizes.LIMIT)
        if k is not None:
            raise IndexOutOfRangeError(f"{what} holds index {int(arr[k])} at position {k}, "
                                       f"beyond the signed 64-bit range", -8)


def _index_array(a, what):
    arr = a if isinstance(a, np.ndarray) else np.asarray(a)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {arr.shape}")
    if arr.size and arr.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integers, got {arr.dtype}")
    _refuse_wide_unsigned(arr, what)
    return np.ascontiguousarray(arr, dtype=np.int64)


def _shape_arg(shape):
    return _sizes.shape(shape)


def _keep_union(mats):
    seen = {}
    for m in mats:
        for obj in m._rec.keep:
            seen[id(obj)] = obj
    return tuple(seen.values())


def _scipy_index_dtype(shape, nnz):
    """The index type scipy gives a matrix of this shape and entry count."""
    return np.dtype(np.int32 if max(shape[0], shape[1], nnz) <= core.INT32_MAX else np.int64)


_EMPTY_SCIPY = {}


def _scipy_result(cls, shape, data, indices, indptr):
    """A scipy matrix of class cls over the three arrays as they are, without
    the constructor's checks and conversions (scipy's constructor costs more
    than exporting a small batch, and may narrow the indices into a copy).
    The attributes come from an empty matrix that scipy made; whether the
    indices are sorted is left for scipy to find out when asked."""
    empty = _EMPTY_SCIPY.get(cls)
    if empty is None:
        empty = _EMPTY_SCIPY[cls] = cls((0, 0), dtype=np.float64)
    out = cls.__new__(cls)
    out.__dict__.update(empty.__dict__)
    for flag in ("_has_sorted_indices", "_has_canonical_format"):
        out.__dict__.pop(flag, None)
    out.data, out.indices, out.indptr = data, indices, indptr
    out._shape = shape
    return out


class _Compressed(IndexMixin, EditMixin, EntriesMixin, CombineMixin, ProductsMixin, MapsMixin,
                  MinMaxMixin, HabitsMixin):
    """A compressed sparse matrix owned by libkorvex (see CSRMatrix, CSCMatrix).

    Methods may be called from any thread; see the package guard (_guard.py)
    for what runs in parallel and what waits."""

    format = None
    ndim = 2

    def __init__(self, arg1, shape=None, dtype=None, copy=False):
        """scipy's constructor idiom: CSRMatrix(M) from a korvex matrix (shared
        storage; copy=True copies), a scipy sparse matrix or array (a view
        where from_scipy(copy=False) can make one, else a copy), or anything
        scipy's csr_matrix/csc_matrix takes (a dense array, (data, (row,
        col)), (data, indices, indptr), a shape), copied. dtype converts the
        values (float32 or float64); shape must agree with a matrix's own."""
        _adopt(self, _construct(type(self), arg1, shape, dtype, copy))

    # -- the record's fields, read-only (for tests and debugging) ----------

    @property
    def _handle(self):
        """The library handle (only under the guard; see Record.handle)."""
        return self._rec.handle()

    _h = property(lambda self: self._rec.h)
    _fam = property(lambda self: self._rec.fam)
    _keep = property(lambda self: self._rec.keep)
    _fin = property(lambda self: self._rec.fin)
    _sparray = property(lambda self: self._rec.sparray)

    # -- lifetime ---------------------------------------------------------

    def free(self):
        """Release the matrix now (idempotent). Later use raises ValueError.

        Waits for korvex calls running in other threads; calls made after it
        raise ValueError."""
        self._rec.free()

    @property
    def freed(self):
        return self._rec.h is None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.free()
        return False

    # -- shape and statistics ---------------------------------------------

    @property
    @guarded
    def shape(self):
        rec = self._rec
        s = rec.fam.shape(rec.handle())
        return (s.rows, s.cols)

    @property
    def _outer_dim(self):
        return core.swap(self.format, self.shape)[0]

    @property
    def _inner_dim(self):
        return core.swap(self.format, self.shape)[1]

    @property
    @guarded
    def nnz(self):
        """Stored entries, explicit zeros and duplicates included."""
        rec = self._rec
        return rec.fam.nnz(rec.handle())

    @property
    def size(self):
        """Stored entries, as scipy's size (the same as nnz)."""
        return self.nnz

    @guarded
    def getnnz(self, axis=None):
        """Stored entries in all (axis=None), per column (axis=0) or per row
        (axis=1), explicit zeros and duplicates included, as scipy."""
        if axis is None:
            return self.nnz
        if isinstance(axis, (bool, np.bool_)) or not isinstance(axis, (int, np.integer)):
            raise TypeError(f"axis must be None or an integer, got {axis!r}")
        axis = int(axis)
        if axis < 0:
            axis += 2
        if axis not in (0, 1):
            raise ValueError("axis out of bounds")
        if axis == core.swap(self.format, (1, 0))[0]:  # counts along the outer axis
            return self.outer_lengths().astype(np.int64)
        core.require_in_bounds(self, "getnnz")
        _, inner, _, _, _ = core.export(self)
        return np.bincount(inner, minlength=self._inner_dim).astype(np.int64)

    @property
    def dtype(self):
        return self._rec.dtype

    @property
    @guarded
    def density(self):
        """nnz / (rows x cols), computed exactly from the integers (0.0 for
        an empty shape). The library's own density export computes
        1 - sparsity in floating point."""
        r, c = self.shape
        return self.nnz / (r * c) if r and c else 0.0

    @property
    @guarded
    def sparsity(self):
        """1 - density (1.0 for an empty shape)."""
        return 1.0 - self.density

    @property
    @guarded
    def has_sorted_indices(self):
        """True when every row (CSR) or column (CSC) has strictly increasing
        indices; a repeated index counts as unsorted."""
        return bool(core.call(self, "is_sorted"))

    @property
    @guarded
    def is_view(self):
        """True while this matrix may read arrays of a scipy matrix imported
        with copy=False (directly, or through clones, outer slices, stacks)."""
        rec = self._rec
        rec.handle()
        return bool(rec.keep)

    @guarded
    def is_valid(self):
        """One value span and one index span of equal length per outer index."""
        return bool(core.call(self, "is_valid"))

    @guarded
    def validate(self):
        """is_valid, every index inside the matrix, and strictly increasing rows."""
        return bool(core.call(self, "validate"))

    @guarded
    def indices_in_bounds(self):
        return bool(core.call(self, "indices_in_bounds"))

    def __len__(self):
        raise TypeError("sparse matrix length is ambiguous; use getnnz() or shape[0]")

    def __bool__(self):
        if self.shape == (1, 1):
            return self.nnz != 0
        raise ValueError("The truth value of an array with more than one element is "
                         "ambiguous. Use a.any() or a.all().")

    def __reduce__(self):  # pickling goes through scipy, as a copy
        return (from_scipy, (self.to_scipy(),))

    @guarded
    def __repr__(self):
        name = f"korvex.{type(self).__name__}"
        if self._rec.h is None:
            return f"<{name} (freed)>"
        r, c = self.shape
        kind = "view of host arrays" if self._rec.keep else "owned"
        return (f"<{name} {r}x{c} {self.dtype}, nnz={self.nnz}, density={self.density:.4g}, "
                f"{'sorted' if self.has_sorted_indices else 'unsorted'}, {kind}>")

    # -- per outer index --------------------------------------------------

    def _outer_index(self, i):
        if isinstance(i, (bool, np.bool_)) or not isinstance(i, (int, np.integer)):
            raise TypeError(f"outer index must be an integer, got {type(i).__name__} {i!r}")
        n = self._outer_dim
        i = int(i)
        if i < 0:
            i += n
        if not 0 <= i < n:
            word = core.swap(self.format, ("row", "column"))[0]
            raise IndexError(f"{word} {i} is outside 0..{n - 1}")
        return i

    @guarded
    def outer(self, i):
        """(indices, values) of row i (CSR) or column i (CSC), copied, in
        stored order."""
        i = self._outer_index(i)
        info = core.call(self, "get_outer_info", i)
        n = info.len
        if n == 0:
            return np.zeros(0, np.int64), np.zeros(0, self.dtype)
        idx = np.ctypeslib.as_array((ctypes.c_int64 * n).from_address(info.indices)).copy()
        vtype = core.CTYPES[self.dtype]
        val = np.ctypeslib.as_array((vtype * n).from_address(info.values)).copy()
        return idx, val

    @guarded
    def spans(self, i):
        """The value and index span descriptors of outer index i, as
        (values, indices) SpanDesc tuples: address, len, flags, view,
        aligned, mutable."""
        i = self._outer_index(i)
        vfun = span_functions("f32" if self.dtype == np.float32 else "f64")
        ifun = span_functions("i64")
        out = []
        for fun, sp_ptr in ((vfun, core.call(self, "outer_values", i)),
                            (ifun, core.call(self, "outer_indices", i))):
            info = fun.info(sp_ptr)
            out.append(SpanDesc(info.data or 0, info.len, info.flags, bool(fun.is_view(sp_ptr)),
                                bool(fun.is_aligned(sp_ptr)), bool(fun.is_mutable(sp_ptr))))
        return tuple(out)

    @guarded
    def outer_lengths(self):
        """Entries stored per row (CSR) or column (CSC), as uint64."""
        return core.pointers(self)[2]

    # -- copies and export ------------------------------------------------

    @guarded
    def copy(self):
        """A new matrix with the same entries in storage of its own, as
        scipy's copy(): it no longer reads the host arrays of a view, and
        sorting it leaves this matrix alone. clone() shares instead."""
        indptr, inner, vals, _, _ = core.export(self)
        return core.owned(self, indptr, inner, vals)

    @guarded
    def clone(self):
        """A new handle on the same storage: nothing is copied. Clones of a
        view keep reading the host arrays; sort_indices() on any sharer
        reorders the shared rows for all of them."""
        _sizes.new_matrix(f"{self._rec.fam.prefix}_clone", self._outer_dim)
        return core.derive(self, core.call(self, "clone"), shares=True)

    def __copy__(self):
        return self.copy()

    def __deepcopy__(self, memo):
        return self.copy()

    @guarded
    def astype(self, dtype, casting="unsafe", copy=True):
        """The matrix with float32 or float64 values (korvex holds no other
        type: TypeError). The same type gives a copy, or this matrix itself
        with copy=False, as scipy; float32 to float64 gives fresh values over
        this matrix's index spans (no index copied). bool gives a read-only
        NonzeroPattern of the non-zero cells (sum() counts them; astype to
        an integer type). A matrix without cells (a 0 x n shape,
        what Dask keeps as the meta of an array) has no value to hold, and
        converts to any other numpy type as an empty ndarray of it."""
        if 0 in self.shape and np.dtype(dtype) not in core.VALUE_DTYPES:
            return np.empty(self.shape, np.dtype(dtype))
        if np.dtype(dtype) == np.bool_:
            # korvex holds no bool values: the cells that are not zero, as a
            # read-only pattern that counts (sum, astype to integers).
            return self._nonzero_pattern()
        want = _value_dtype(dtype)
        if not np.can_cast(self.dtype, want, casting):
            raise TypeError(f"cannot cast from {self.dtype} to {want} with casting={casting!r}")
        if want == self.dtype:
            return self.copy() if copy else self
        if want == np.float64:
            return self._widened()  # fresh values over this matrix's index spans
        indptr, inner, vals, _, _ = core.export(self)
        return core.owned(self, indptr, inner, vals.astype(want))

    def _export_compressed(self, index_dtype=np.int64):
        """core.export_compressed(self, index_dtype)."""
        return core.export_compressed(self, index_dtype)

    @guarded
    def to_scipy(self, index_dtype=None):
        """A scipy csr/csc matrix (or sparse array, following what was
        imported), entries in stored order. Indices follow scipy's own rule
        by default: int32 when both dimensions and the entry count fit 32
        bits, int64 otherwise (scipy's compiled routines, and the clients
        built on them, expect that pairing). index_dtype= forces a type
        (ValueError when numpy.int32 cannot hold it). Allocates only the
        result's three arrays."""
        if index_dtype is None:
            index_dtype = _scipy_index_dtype(self.shape, self.nnz)
        indptr, indices, data = core.export_compressed(self, index_dtype)
        return _scipy_result(_SCIPY_CLASSES[(self.format, self._rec.sparray)], self.shape, data,
                             indices, indptr)

    def _take_scipy(self, pos):
        """The scipy matrix of the outer take of pos (uint64, in range), in
        one pass from this matrix's rows."""
        shape, indptr, indices, data = core.take_outer_compressed(self, pos)
        return _scipy_result(_SCIPY_CLASSES[(self.format, self._rec.sparray)], shape, data,
                             indices, indptr)

    def _take_torch(self, pos):
        """The torch tensor of the outer take of pos, from one pass into
        int64 arrays; rows torch refuses (unsorted, repeated indices) go the
        way of to_torch()."""
        torch = _optional.require("torch", "to_torch")
        shape, ptr, idx, vals = core.take_outer_compressed(self, pos, np.int64)
        make = torch.sparse_csr_tensor if self.format == "csr" else torch.sparse_csc_tensor
        try:
            return make(torch.from_numpy(ptr), torch.from_numpy(idx), torch.from_numpy(vals),
                        size=shape)
        except RuntimeError:
            pass
        B = core.take_outer(self, pos)
        try:
            return B.to_torch()
        finally:
            core.discard(B)

    @guarded
    def tocoo(self):
        """A scipy COO matrix (int64 coordinates) of the stored entries."""
        core.require_in_bounds(self, "tocoo")
        _, _, vals, rows, cols = core.export(self)
        out = _COO_CLASSES[self._rec.sparray](self.shape, dtype=self.dtype)
        out.row, out.col, out.data = rows, cols, vals
        out.has_canonical_format = False  # duplicates may repeat: scipy's sum_duplicates checks
        return out

    @guarded
    def to_torch(self):
        """A torch.sparse_csr_tensor (CSR) or torch.sparse_csc_tensor (CSC)
        with int64 indices: the exported arrays become the tensor's own (one
        copy of the entries). torch requires every row (CSC: column) to hold
        distinct indices in increasing order, so rows that do not are sorted
        and their repeated indices added up, in a further copy. ImportError
        without torch; IndexOutOfRangeError when a stored index lies outside
        the shape."""
        torch = _optional.require("torch", "to_torch")
        indptr, idx, vals = core.export_compressed(self)
        make = core.swap(self.format, (torch.sparse_csr_tensor, torch.sparse_csc_tensor))[0]
        try:  # torch checks the rows itself
            return make(torch.from_numpy(indptr), torch.from_numpy(idx), torch.from_numpy(vals),
                        size=self.shape)
        except RuntimeError:
            if self.has_sorted_indices:
                raise
        A = _SCIPY_CLASSES[(self.format, False)]((vals, idx, indptr), shape=self.shape)
        A.sum_duplicates()  # sorts each row, then adds up repeats
        return make(torch.from_numpy(A.indptr.astype(np.int64, copy=False)),
                    torch.from_numpy(A.indices.astype(np.int64, copy=False)),
                    torch.from_numpy(A.data), size=self.shape)

    # -- conversion and transposition -------------------------------------

    def tocsr(self, copy=False):
        """This matrix as CSR: itself shared (a clone) or, with copy=True, in
        storage of its own; a CSC matrix is converted (fresh storage)."""
        if self.format == "csr":
            return self.copy() if copy else self.clone()
        return self._convert()

    def tocsc(self, copy=False):
        """This matrix as CSC; copy= as for tocsr()."""
        if self.format == "csc":
            return self.copy() if copy else self.clone()
        return self._convert()

    @guarded
    def _convert(self):
        form = core.other_form(self.format)
        fam = family(form, self._rec.fam.dtype_name)
        # The result's outer axis is this matrix's inner axis.
        _sizes.new_matrix(f"{fam.prefix}_from_{self.format}", self._inner_dim, _sizes.COUNTING,
                          _sizes.COUNTING_ENTRY * self.nnz)
        return core.derive(self, core.new(self, "from_other", fam=fam), form=form)

    @guarded
    def transpose(self, axes=None, copy=False):
        """The transpose in the other form over the same storage, as scipy: a
        CSR matrix gives the CSC matrix whose columns are its rows (nothing
        copied, rows keep their stored order); copy=True gives storage of
        its own. axes must be None (or (1, 0), what np.transpose passes)."""
        if axes is not None and not (isinstance(axes, (tuple, list)) and tuple(axes) == (1, 0)):
            raise ValueError("Sparse matrices do not support an 'axes' parameter because "
                             "swapping dimensions is the only logical permutation.")
        form = core.other_form(self.format)
        fam = family(form, self._rec.fam.dtype_name)
        _sizes.new_matrix(f"{fam.prefix}_transpose_shared_from_{self.format}", self._outer_dim)
        T = core.derive(self, core.new(self, "transpose_shared_from_other", fam=fam), form=form,
                        shares=True)
        if not copy:
            return T
        try:
            return T.copy()
        finally:
            core.discard(T)

    @property
    def T(self):
        return self.transpose()

    def asformat(self, format, copy=False):
        """This matrix in the given format, as scipy's asformat(): None or its
        own format gives itself (a copy with copy=True), the other of 'csr'
        and 'csc' a converted korvex matrix, any other scipy format a scipy
        matrix made from to_scipy()."""
        if format is None or format == self.format:
            return self.copy() if copy else self
        if format in ("csr", "csc"):
            return self._convert()  # fresh storage either way
        return self.to_scipy().asformat(format)

    def __array_function__(self, func, types, args, kwargs):
        """numpy's functions: the few listed in _ARRAY_FUNCTIONS take
        numpy's meaning (np.argmax gives a numpy integer or an ndarray, as
        Dask's reductions need; np.ones_like gives a korvex matrix of ones,
        as Dask's map_blocks uses it to learn a result's type); creation
        with like=M (np.array([], like=M)) is left to numpy, and the rest go
        to the habits' hook (np.dot)."""
        handler = _ARRAY_FUNCTIONS.get(func)
        if handler is not None and args and isinstance(args[0], _Compressed):
            return handler(*args, **kwargs)
        if getattr(func, "_implementation", None) is None:
            return NotImplemented
        return super().__array_function__(func, types, args, kwargs)

    # -- sorting ----------------------------------------------------------

    def sort_indices(self):
        """Sort every row (CSR) / column (CSC) by index, in place.

        No other matrix reads different entries afterwards: rows whose
        storage every sharer holds whole (clones, slices, takes, stacks) are
        sorted where they are, for all of them; rows whose indices a map's
        result (or its source) reads beside other values get sorted copies.
        Rows that are views of host arrays are never written:
        if such a row needs reordering, this matrix's storage is replaced by
        a sorted private copy, and it stops reflecting later writes to the
        host arrays. Rows that only repeat an index need no reordering, and
        a view of such rows stays a view.

        Holds the package guard exclusive: it waits for korvex calls in other
        threads, and they wait for it."""
        with exclusive:
            rec = self._rec
            h, fam = rec.handle(), rec.fam
            _sizes.require(f"{fam.prefix}_ensure_sorted", _sizes.SORT_LIST * self._outer_dim)
            if fam.is_sorted(h):
                return
            if not rec.keep:
                core.run(self, "sort_indices")  # AllocationError, nothing sorted
                return
            sorted_now = fam.ensure_sorted_checked(h)
            if sorted_now or fam.is_sorted(h) or not rec.keep:
                return  # sorted, nothing to do, or only repeated indices remain
            # Refused: a row that is not strictly increasing lies in memory
            # korvex may not write. If every row is at least non-decreasing
            # (repeats only), nothing needs to move.
            indptr, inner, vals, _, _ = core.export(self)
            if core.rows_nondecreasing(indptr, inner):
                return
            r, c = self.shape
            nh = core.import_copy(fam, r, c, indptr, inner, vals)
            fam.ensure_sorted(nh)
            rec.replace(nh)

    def resize(self, *shape):
        """Resize in place, as scipy: entries inside the new shape keep their
        positions, the rest are dropped; new rows and columns are empty. The
        matrix then holds storage of its own (a view stops reading its host
        arrays; clones made before keep the old shape)."""
        shape = check_shape(shape)
        with exclusive:
            r, c = self.shape  # ValueError once freed
            if shape == (r, c):
                return None
            nr, nc = shape
            core.require_in_bounds(self, "resize")
            _, _, vals, rows, cols = core.export(self)
            keep = (rows < nr) & (cols < nc)
            rows, cols, vals = rows[keep], cols[keep], vals[keep]
            outer, inner = core.swap(self.format, (rows, cols))
            self._rec.replace(core.compressed_copy(self, shape, outer, inner, vals))
        return None


def _np_arg(name):
    def handler(a, axis=None, out=None, *, keepdims=False):
        return getattr(a, name)(axis, out, keepdims=bool(keepdims))
    return handler


def _like(a, dtype, shape, fill):
    """A korvex matrix of a's class and (by default) shape and value type,
    holding fill in every cell (1: every cell stored) or none (0)."""
    want = a.dtype if dtype is None else _value_dtype(dtype)
    shape = a.shape if shape is None else _shape_arg(shape)
    cls = _SCIPY_CLASSES[(a.format, a._sparray)]
    return from_scipy(cls(np.full(shape, fill, want)) if fill else cls(shape, dtype=want))


def _ones_like(a, dtype=None, order="K", subok=True, shape=None):
    return _like(a, dtype, shape, 1)


def _zeros_like(a, dtype=None, order="K", subok=True, shape=None):
    return _like(a, dtype, shape, 0)


_ARRAY_FUNCTIONS = {
    np.argmax: _np_arg("argmax"), np.argmin: _np_arg("argmin"),
    np.ones_like: _ones_like, np.zeros_like: _zeros_like, np.empty_like: _zeros_like,
}


@core.register
class CSRMatrix(_Compressed):
    """Row-compressed matrix: rows are the outer (compressed) axis."""

    format = "csr"


@core.register
class CSCMatrix(_Compressed):
    """Column-compressed matrix: columns are the outer (compressed) axis."""

    format = "csc"


_CLASSES = {"csr": CSRMatrix, "csc": CSCMatrix}


# --------------------------------------------------------------------------
# Construction
# --------------------------------------------------------------------------

def from_scipy(A, copy=True, dtype=None):
    """Import a scipy CSR/CSC matrix or sparse array of float32/float64.

    copy=True copies the entries into korvex storage (indices widened to
    int64 during that one copy; no wide temporary is made of int32 ones);
    dtype= then also converts the values. copy=False makes a view:
    the values (and int64 indices) are read where scipy keeps them, and the
    host arrays stay referenced until every matrix over them is freed. With
    int32 indices a view reads a private int64 copy of the indices (the
    values are still shared). Writes to the host arrays after the import are
    visible through the view."""
    if not sp.issparse(A):
        raise TypeError(f"from_scipy takes a scipy.sparse matrix or array, got {type(A).__name__}")
    fmt = A.format
    if fmt not in _CLASSES:
        raise TypeError(f"korvex imports CSR and CSC matrices, got {fmt.upper()}: convert "
                        f"with A.tocsr() or A.tocsc() first")
    return from_arrays(fmt, A.shape, A.indptr, A.indices, A.data, copy=copy, dtype=dtype,
                       sparray=isinstance(A, _sparray))


_Compressed._from_scipy = staticmethod(from_scipy)  # for the mixins: import an operand


def from_arrays(fmt, shape, indptr, indices, data, copy=True, dtype=None, keep=(),
                sparray=False):
    """A matrix over compressed arrays (the package's internal import).

    fmt is "csr" or "csc"; indptr has one entry per outer index plus one.
    indptr is checked (length, starts at 0, never decreases, ends within
    indices and data) in O(outer) and read only during the call. copy=False
    makes a view: the spans read data and, when it is C-contiguous int64,
    indices where they are (any read-only numpy array will do, a memory map
    included); keep lists extra objects the view must hold alive (the
    mapping of a file, say). Indices are not scanned for range (validate()
    does that), except that uint64 indices of 2^63 or more are refused."""
    r, c = _shape_arg(shape)
    n = core.swap(fmt, (r, c))[0]
    if indptr.ndim != 1 or indptr.dtype.kind not in "iu":
        raise TypeError(f"indptr must be a 1-D integer array, got {indptr.dtype} {indptr.shape}")
    if indices.ndim != 1 or (indices.size and indices.dtype.kind not in "iu"):
        raise TypeError(f"indices must be a 1-D integer array, got {indices.dtype}")
    if len(indptr) != n + 1:
        raise IndptrError(f"indptr has {len(indptr)} entries, a {fmt.upper()} matrix of shape "
                          f"{(r, c)} needs {n + 1}", -4)
    if indptr[0] != 0:
        raise IndptrError(f"indptr starts at {indptr[0]}, not 0", -4)
    if n and np.any(indptr[1:] < indptr[:-1]):
        raise IndptrError("indptr decreases somewhere", -4)
    nnz = int(indptr[-1])
    if nnz > len(indices) or nnz > len(data):
        raise LengthError(f"indptr ends at {nnz} but indices has {len(indices)} and data "
                          f"{len(data)} entries", -3)
    _refuse_wide_unsigned(indices[:nnz], "indices")

    if copy:
        vals = np.ascontiguousarray(_value_array(data[:nnz], dtype, True, "data"))
        fam = family(fmt, vals.dtype.name)
        if indices.dtype == np.int32 and nnz <= core.INT32_MAX:
            # scipy's usual arrays: the library widens them during its copy.
            idx = np.ascontiguousarray(indices[:nnz])
            p32 = np.ascontiguousarray(indptr, dtype=np.int32)  # O(outer); values <= nnz
            h = core.import_copy_i32(fam, r, c, p32, idx, vals)
        else:
            idx = np.ascontiguousarray(indices[:nnz], dtype=np.int64)
            h = core.import_copy(fam, r, c, indptr, idx, vals)
        return core.wrap(fmt, h, vals.dtype.name, (), sparray)

    vals = _value_array(data, dtype, False, "data")
    if not vals.flags.c_contiguous:
        raise ValueError("cannot view non-contiguous data; use copy=True")
    if not vals.flags.aligned:
        off = vals.ctypes.data % vals.itemsize
        raise ValueError(f"cannot view data at a misaligned address ({off} bytes past a "
                         f"multiple of {vals.itemsize}, as np.frombuffer at an odd offset "
                         f"gives); use copy=True")
    if indices.dtype == np.int64 and indices.flags.c_contiguous and indices.flags.aligned:
        idx = indices  # shared
    else:
        idx = np.require(indices[:nnz], np.int64, "CA")  # widened or aligned, private
    p64 = np.require(indptr, np.int64, "CA").view(np.uint64)  # read during the call
    fam = family(fmt, vals.dtype.name)
    _sizes.new_matrix(f"{fam.prefix}_from_scipy_view", n)
    h = fam.from_scipy_view(r, c, ptr(vals), ptr(idx), ptr(p64))
    return core.wrap(fmt, h, vals.dtype.name, (vals, idx) + tuple(keep), sparray)


_from_arrays = from_arrays  # the earlier name


def _construct(cls, arg1, shape, dtype, copy):
    """The matrix that cls(arg1, shape=shape, dtype=dtype, copy=copy) stands for."""
    want = None if dtype is None else _value_dtype(dtype)
    shape = None if shape is None else _shape_arg(shape)
    if isinstance(arg1, _Compressed):
        M = arg1 if arg1.format == cls.format else arg1._convert()
        if want is not None and want != M.dtype:
            R = M.astype(want)
        elif M is not arg1:
            R, M = M, None
        else:
            R = M.copy() if copy else M.clone()
        if M is not None and M is not arg1:
            core.discard(M)
    elif sp.issparse(arg1):
        A = arg1.asformat(cls.format)
        R = None
        # (want in (None, A.dtype) would not do: numpy's dtype compares equal
        # to None, which stands for float64.)
        if not copy and A is arg1 and (want is None or want == A.dtype):
            try:  # share the arrays, as scipy's constructor does
                R = from_scipy(A, copy=False)
            except ValueError:
                pass
        if R is None:
            R = from_scipy(A, copy=True, dtype=want)
    else:
        R = from_scipy(_SCIPY_CLASSES[(cls.format, False)](arg1, shape=shape, dtype=want),
                       copy=True, dtype=want)
    if shape is not None and R.shape != shape:
        got = R.shape
        core.discard(R)
        raise ValueError(f"shape {shape} does not match the matrix's shape {got}")
    return R


def _adopt(self, other):
    """self takes over the record of other (new and unseen by any other
    thread); other is left without one."""
    self._rec = other._rec
    del other._rec


def from_coo(row, col, data, shape=None, format="csr", dtype=None):
    """Build a matrix from coordinates. Duplicates are kept as separate
    entries and explicit zeros are stored; every row (CSR) / column (CSC)
    comes out sorted by index. Without shape, as scipy's coo_matrix: one
    more than the largest row and column index (ValueError for no entries)."""
    if format not in _CLASSES:
        raise ValueError(f"format must be 'csr' or 'csc', got {format!r}")
    row = _index_array(row, "row")
    col = _index_array(col, "col")
    if shape is None:
        if not len(row) or not len(col):
            raise ValueError("cannot infer dimensions from zero sized index arrays; pass "
                             "shape=")
        shape = (max(int(row.max()), -1) + 1, max(int(col.max()), -1) + 1)
    r, c = _shape_arg(shape)
    vals = np.ascontiguousarray(_value_array(data, dtype, True, "data"))
    if not len(row) == len(col) == len(vals):
        raise ValueError(f"row, col and data differ in length ({len(row)}, {len(col)}, "
                         f"{len(vals)})")
    for idx, dim, word in ((row, r, "row"), (col, c, "column")):
        k = _first_outside(idx, dim)
        if k is not None:
            raise IndexOutOfRangeError(
                f"from_coo: {word} index {int(idx[k])} at position {k} lies outside "
                f"0..{dim - 1} (KORVEX_STATUS_INDEX, -8)", -8)
    fam = family(format, vals.dtype.name)
    op = f"{fam.prefix}_from_coo"
    _sizes.new_matrix(op, core.swap(format, (r, c))[0], _sizes.COUNTING,
                      _sizes.COUNTING_ENTRY * len(vals))
    h = new_handle(fam.from_coo, r, c, ptr(row), ptr(col), ptr(vals), len(vals), op=op,
                   detail=f"shape {(r, c)}")
    return core.wrap(format, h, vals.dtype.name)


@guarded
def _stack(mats, name, format, dtype):
    if isinstance(mats, _Compressed) or sp.issparse(mats):
        raise ValueError(f"{name} takes a sequence of matrices, got a single "
                         f"{type(mats).__name__}: pass [M]")
    mats = list(mats)
    if not mats:
        raise ValueError(f"{name} needs at least one matrix")
    for m in mats:
        if not isinstance(m, _Compressed):
            raise TypeError(f"{name} takes korvex matrices, got {type(m).__name__} (import "
                            f"scipy matrices with korvex.from_scipy first)")
    first = mats[0]
    want = _value_dtype(dtype) if dtype is not None else \
        np.result_type(*[m.dtype for m in mats])
    if format is not None and not isinstance(format, str):
        raise TypeError(f"format must be a string or None, got {format!r}")
    fmt = format if format in _CLASSES else first.format
    # Blocks of another form or value type are converted first, as scipy
    # promotes them; the temporaries are dropped once stacked (the result
    # keeps the spans it shares with them).
    made = []
    try:
        parts = []
        for m in mats:
            p = m
            if p.format != fmt:
                p = p._convert()
                made.append(p)
            if p.dtype != want:
                p = p.astype(want)
                made.append(p)
            parts.append(p)
        R = _stack_same(parts, name)
    finally:
        for p in made:
            core.discard(p)
    if format is None or format in _CLASSES:
        return R
    try:
        return R.asformat(format)  # a scipy matrix, as scipy's format= gives
    finally:
        core.discard(R)


def _stack_same(mats, name):
    """The library's stack of matrices of one class and value type."""
    first = mats[0]
    fam = first._rec.fam
    handles = (ctypes.c_void_p * len(mats))(*[m._rec.handle() for m in mats])
    op = f"{fam.prefix}_{name}"
    along = name == core.swap(first.format, ("vstack", "hstack"))[0]
    if len(mats) == 1:
        _sizes.new_matrix(op, first._outer_dim)
    elif along:
        _sizes.new_matrix(op, _sizes.dim_sum((m._outer_dim for m in mats), op))
    else:
        _sizes.dim_sum((m._inner_dim for m in mats), op)
        _sizes.new_matrix(op, first._outer_dim, _sizes.LENGTHS, 8 * len(mats))
    h = new_handle(getattr(fam, name), handles, len(mats), op=op,
                   detail="shapes " + ", ".join(str(m.shape) for m in mats))
    keep = _keep_union(mats) if along or len(mats) == 1 else ()
    return core.wrap(first.format, h, fam.dtype_name, keep, first._rec.sparray, type(first))


def vstack(mats, format=None, dtype=None):
    """Matrices (a sequence) one below the other, as scipy's vstack. Blocks
    may mix CSR and CSC and float32 and float64: the result has the first
    block's format (or format=: "csr", "csc", or any other scipy format,
    which gives a scipy matrix) and the promoted value type (or dtype=).
    CSR blocks share storage with a CSR result (no entry is copied); other
    blocks are converted or copied."""
    return _stack(mats, "vstack", format, dtype)


def hstack(mats, format=None, dtype=None):
    """Matrices (a sequence) side by side, as scipy's hstack; format= and
    dtype= as for vstack. CSC blocks share storage with a CSC result; other
    blocks are converted or copied."""
    return _stack(mats, "hstack", format, dtype)
