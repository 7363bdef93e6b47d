"""Reading a matrix's entries out the way scipy does: dense arrays, the
positions of non-zero entries, the diagonal, the count of non-zeros.
Duplicates add up wherever scipy sums them; nnz keeps counting stored
entries."""
from __future__ import annotations

import numpy as np

from . import _core as core
from . import _sizes
from ._guard import guarded
from ._lib import ptr

_SCIPY_OUT = "out array must be same dtype and shape as sparse matrix"


def _dense_target(M, order, out):
    """The array toarray() writes: out checked, or a new uninitialised one."""
    r, c = M.shape
    if out is not None:
        if order is not None:
            raise ValueError("order cannot be specified if out is not None")
        if not isinstance(out, np.ndarray) or out.shape != (r, c) or out.dtype != M.dtype:
            raise ValueError(_SCIPY_OUT)
        if not (out.flags.c_contiguous or out.flags.f_contiguous):
            raise ValueError("Output array must be C or F contiguous")
        if not out.flags.writeable:
            raise ValueError("out array is read-only")
        return out
    order = "C" if order is None else order
    if order not in ("C", "F"):
        raise ValueError(f"order must be 'C' or 'F', got {order!r}")
    _sizes.dense("toarray", r, c, M.dtype.itemsize)
    return np.empty((r, c), dtype=M.dtype, order=order)


def _sum_repeated_cells(M, out):
    """The library's dense export keeps the last of repeated entries; scipy
    sums them. Cells stored more than once are added up again in stored
    order, every other cell is left as written."""
    indptr, inner, vals, rows, cols = core.export(M)
    if len(vals) < 2:
        return
    # Only rows (columns, for CSC) that are not strictly increasing can
    # repeat a cell.
    outer = core.swap(M.format, (rows, cols))[0]
    back = (inner[1:] <= inner[:-1]) & (outer[1:] == outer[:-1])
    suspect = np.zeros(len(indptr) - 1, bool)
    suspect[outer[1:][back]] = True
    at = np.flatnonzero(suspect[outer])
    cell = rows[at] * M.shape[1] + cols[at]  # fits: the dense array exists
    uniq, counts = np.unique(cell, return_counts=True)
    at = at[np.isin(cell, uniq[counts > 1])]
    if len(at):
        rr, cc = rows[at], cols[at]
        out[rr, cc] = 0
        np.add.at(out, (rr, cc), vals[at])


def _axes(axis):
    """axis of a 2-D reduction as a tuple of 0 and 1."""
    if axis is None:
        return (0, 1)
    axes = axis if isinstance(axis, tuple) else (axis,)
    out = []
    for a in axes:
        if isinstance(a, (bool, np.bool_)) or not isinstance(a, (int, np.integer)):
            raise TypeError(f"axis must be an integer or a tuple of integers, got {axis!r}")
        if not -2 <= a < 2:
            raise np.AxisError(int(a), 2)
        out.append(int(a) % 2)
    if len(set(out)) != len(out):
        raise ValueError(f"duplicate value in axis {axis!r}")
    return tuple(sorted(out))


class NonzeroPattern:
    """What M.astype(bool) gives, korvex holding no bool values: the cells of
    M that are not zero once duplicates are summed, as a read-only 2-D
    operand of dtype bool (or an integer or float type, through astype) whose
    cells are 1 there and 0 elsewhere. It has shape, ndim, dtype, nnz,
    astype(), sum(axis, dtype, out, keepdims) (counts, as numpy's sum of the
    dense array), count_nonzero() and toarray(); np.asarray() gives the
    dense array. Dask's own count_nonzero (X.astype(bool).astype(int).sum())
    runs on korvex blocks through it. It holds the cells' positions (16 bytes
    a cell), not M: later edits of M do not show."""

    __slots__ = ("_rows", "_cols", "shape", "dtype")
    ndim = 2

    def __init__(self, rows, cols, shape, dtype=np.bool_):
        self._rows, self._cols = rows, cols
        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)

    @property
    def nnz(self):
        return len(self._rows)

    def count_nonzero(self):
        return len(self._rows)

    def astype(self, dtype, casting="unsafe", copy=True):
        dt = np.dtype(dtype)
        if dt.kind not in "biuf":
            raise TypeError(f"a pattern of non-zero cells converts to bool, integer or float "
                            f"types, not {dt}")
        if not np.can_cast(self.dtype, dt, casting):
            raise TypeError(f"cannot cast from {self.dtype} to {dt} with casting={casting!r}")
        return NonzeroPattern(self._rows, self._cols, self.shape, dt)

    def sum(self, axis=None, dtype=None, out=None, keepdims=False):
        axes = _axes(axis)
        dt = np.dtype(dtype) if dtype is not None else np.zeros(0, self.dtype).sum().dtype
        r, c = self.shape
        if axes == (0, 1):
            got = np.array(len(self._rows), dt)
        elif axes == (0,):
            got = np.bincount(self._cols, minlength=c).astype(dt)
        else:
            got = np.bincount(self._rows, minlength=r).astype(dt)
        if keepdims:
            got = got.reshape(tuple(1 if a in axes else n for a, n in enumerate(self.shape)))
        if out is not None:
            out[...] = got
            return out
        return got[()] if got.ndim == 0 else got

    def toarray(self):
        r, c = self.shape
        _sizes.dense("toarray", r, c, self.dtype.itemsize)
        out = np.zeros(self.shape, self.dtype)
        out[self._rows, self._cols] = 1
        return out

    def __array__(self, dtype=None):
        a = self.toarray()
        return a if dtype is None else a.astype(dtype)

    def __repr__(self):
        return (f"<korvex NonzeroPattern of shape {self.shape}, dtype {self.dtype}, "
                f"{self.nnz} non-zero cells>")


class EntriesMixin:
    """toarray, todense, count_nonzero, diagonal and nonzero."""

    @guarded
    def toarray(self, order=None, out=None):
        """Dense numpy array, duplicates summed, as scipy's toarray(): order
        'C' (the default) or 'F'; or out, a C- or F-contiguous array of the
        matrix's shape and dtype that is written and returned (order must
        then be None). Every cell is written once, with no zero-fill first."""
        self._rec.handle()  # a freed matrix raises before out is looked at
        out = _dense_target(self, order, out)
        fortran = not out.flags.c_contiguous
        core.run(self, "to_dense", ptr(out), out.size, 1 if fortran else 0)
        if not core.call(self, "is_sorted"):
            _sum_repeated_cells(self, out)
        return out

    def todense(self, order=None, out=None):
        """toarray() as scipy's todense(): an np.matrix for matrices that came
        from scipy's spmatrix classes (csr_matrix, csc_matrix, coordinates,
        files), a numpy array for those that came from sparse arrays."""
        a = self.toarray(order=order, out=out)
        return a if self._rec.sparray else np.asmatrix(a)

    @guarded
    def count_nonzero(self):
        """Entries that are not zero once duplicates are summed, as scipy's
        count_nonzero() (nnz counts every stored entry)."""
        if self.has_sorted_indices:  # strictly increasing rows repeat nothing
            vals = core.export(self)[2]
        else:
            vals = core.summed(self)[2]
        return int(np.count_nonzero(vals))

    @guarded
    def _nonzero_pattern(self):
        """The NonzeroPattern of this matrix (what astype(bool) gives)."""
        lines, pos, vals = core.summed(self, 1, "astype(bool)")
        keep = vals != 0
        return NonzeroPattern(lines[keep], pos[keep], self.shape)

    @guarded
    def diagonal(self, k=0):
        """The k-th diagonal as a dense 1-D array (duplicates summed), as
        scipy's diagonal(k); empty when k lies outside the matrix. k must be
        an integer (TypeError otherwise, as scipy)."""
        if isinstance(k, (bool, np.bool_)) or not isinstance(k, (int, np.integer)):
            raise TypeError(f"diagonal takes an integer k, got {type(k).__name__} {k!r}")
        k = int(k)
        r, c = self.shape
        if k <= -r or k >= c:
            return np.empty(0, dtype=self.dtype)
        core.require_in_bounds(self, "diagonal")
        _, _, vals, rows, cols = core.export(self)
        on = cols - rows == k
        out = np.zeros(min(r + min(k, 0), c - max(k, 0)), dtype=self.dtype)
        np.add.at(out, (rows if k >= 0 else cols)[on], vals[on])
        return out

    def trace(self, offset=0):
        """Sum of the offset-th diagonal (duplicates summed), as scipy."""
        return self.diagonal(k=offset).sum()

    @guarded
    def nonzero(self):
        """(row, col) int64 arrays of the stored entries whose value is not
        zero, duplicates listed separately, as scipy's nonzero(): in stored
        order, for CSC sorted by row (stably)."""
        core.require_in_bounds(self, "nonzero")
        _, _, vals, rows, cols = core.export(self)
        keep = vals != 0
        rows, cols = rows[keep], cols[keep]
        if self.format == "csc":
            order = np.argsort(rows, kind="stable")
            rows, cols = rows[order], cols[order]
        return rows, cols

