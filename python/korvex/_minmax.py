"""max, min, argmax and argmin, over the whole matrix or along an axis, with
scipy's return types and errors. The implicit zeros take part as in the
dense matrix, duplicates are summed first, and a NaN wins as in numpy. The
arg forms give the first position where the dense matrix holds the
extreme (numpy's argmax of toarray())."""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from . import _core as core
from ._guard import guarded

_COO = {False: sp.coo_matrix, True: getattr(sp, "coo_array", sp.coo_matrix)}


def _axis(axis, out):
    """axis as None, 0 or 1, checked as scipy checks it."""
    if out is not None:
        raise ValueError("Sparse matrices do not support an 'out' parameter.")
    if axis is None:
        return None
    if isinstance(axis, tuple):
        raise TypeError("Tuples are not accepted for the 'axis' parameter. Please pass in one of "
                        "the following: {-2, -1, 0, 1, None}.")
    if not np.issubdtype(np.dtype(type(axis)), np.integer):
        raise TypeError(f"axis must be an integer, not {type(axis).__name__}")
    if not -2 <= axis <= 1:
        raise ValueError("axis out of range")
    return int(axis) % 2


def _first_per_line(lines, values):
    """{line: first value} over sorted lines, as two arrays."""
    if not len(lines):
        return lines, values
    first = np.flatnonzero(np.r_[True, lines[1:] != lines[:-1]])
    return lines[first], values[first]


def _per_line(lines, pos, vals, n_lines, line_len, ufunc, dtype, want_arg):
    """The extreme of every line of the dense matrix (line_len cells each,
    the cells without an entry holding zero), and where it first occurs."""
    counts = np.bincount(lines, minlength=n_lines) if len(lines) else np.zeros(n_lines, np.int64)
    value = np.zeros(n_lines, dtype=dtype)
    if len(lines):
        starts = np.flatnonzero(np.r_[True, lines[1:] != lines[:-1]])
        held = lines[starts]
        red = ufunc.reduceat(vals, starts)
        short = counts[held] < line_len
        red[short] = ufunc(red[short], dtype.type(0))
        value[held] = red
    if not want_arg:
        return value, None
    arg = np.full(n_lines, line_len, dtype=object if pos.dtype == object else np.int64)
    if len(lines):
        v = value[lines]
        hit = (vals == v) | (np.isnan(vals) & np.isnan(v))
        where, first = _first_per_line(lines[hit], pos[hit])
        arg[where] = first
        # The first cell without an entry: where a line's k-th entry is not
        # at position k, or after its last entry.
        rank = np.arange(len(lines)) - np.repeat(starts, counts[held])
        gap = np.zeros(n_lines, dtype=arg.dtype)
        gap[held] = counts[held]
        skip = pos != rank
        where, first = _first_per_line(lines[skip], rank[skip])
        gap[where] = first
    else:
        gap = np.zeros(n_lines, dtype=arg.dtype)
    zero = (value == 0) & (counts < line_len)
    arg[zero] = np.minimum(arg[zero], gap[zero])
    return value, arg


def _extreme(M, axis, out, ufunc, want_arg, op):
    axis = _axis(axis, out)
    r, c = M.shape
    if axis is None:
        if r == 0 or c == 0:
            raise ValueError("Can't apply the operation to an empty matrix." if want_arg
                             else "zero-size array to reduction operation")
        rows, cols, vals = core.summed(M, 1, op)
        # One line over the whole matrix, positions in row-major order
        # (Python integers where rows x cols passes int64).
        if r * c < 2 ** 63:
            pos = rows * c + cols
        else:
            pos = rows.astype(object) * c + cols.astype(object)
        value, arg = _per_line(np.zeros(len(vals), np.int64), pos, vals, 1, r * c, ufunc,
                               M.dtype, want_arg)
        return int(arg[0]) if want_arg else M.dtype.type(value[0])
    n_lines, line_len = (c, r) if axis == 0 else (r, c)
    if line_len == 0:
        raise ValueError("Can't apply the operation along a zero-sized dimension." if want_arg
                         else "zero-size array to reduction operation")
    lines, pos, vals = core.summed(M, axis, op)
    value, arg = _per_line(lines, pos, vals, n_lines, line_len, ufunc, M.dtype, want_arg)
    if want_arg:
        arg = arg.astype(np.int64)
        return np.asmatrix(arg if axis == 0 else arg.reshape(-1, 1))  # scipy's, for arrays too
    keep = np.flatnonzero(value != 0)
    at = np.zeros(len(keep), np.int64)
    coords = (at, keep) if axis == 0 else (keep, at)
    shape = (1, n_lines) if axis == 0 else (n_lines, 1)
    return _COO[M._rec.sparray]((value[keep], coords), shape=shape, dtype=M.dtype)


def _numpy_extreme(M, axis, out, keepdims, ufunc, want_arg, op):
    """max/min/argmax/argmin in numpy's form, as np.max(M, axis=(0,),
    keepdims=True) and Dask's reductions call them: axis None, an integer or
    (for the values) a tuple of them; an ndarray or numpy scalar, never a
    sparse or np.matrix result."""
    if axis is None or (isinstance(axis, tuple) and not want_arg):
        axes = (0, 1) if axis is None else axis
        axes = sorted({_axis(a, None) for a in axes})
    else:
        axes = [_axis(axis, None)]
    if not axes:
        raise ValueError(f"korvex reduces along one axis or both, not along none ({op})")
    r, c = M.shape
    if len(axes) == 2:
        res = np.asarray(_extreme(M, None, None, ufunc, want_arg, op),
                         dtype=np.intp if want_arg else M.dtype)
        if keepdims:
            res = res.reshape((1, 1))
    else:
        a = axes[0]
        n_lines, line_len = (c, r) if a == 0 else (r, c)
        if line_len == 0:
            raise ValueError(f"zero-size array to reduction operation {op} along axis {a}")
        lines, pos, vals = core.summed(M, a, op)
        res, arg = _per_line(lines, pos, vals, n_lines, line_len, ufunc, M.dtype, want_arg)
        if want_arg:
            res = arg.astype(np.intp)
        if keepdims:
            res = res.reshape((1, c) if a == 0 else (r, 1))
    if out is None:
        return res[()] if res.ndim == 0 else res
    out[...] = res
    return out


class MinMaxMixin:
    """max, min, argmax, argmin."""

    @guarded
    def max(self, axis=None, out=None, keepdims=None):
        """The largest value (a numpy scalar), or along an axis a 1 x n
        (axis=0) or n x 1 (axis=1) scipy COO matrix, as scipy's max().
        With keepdims given (np.max(M, axis=(0,), keepdims=True), as Dask's
        reductions call it), numpy's form: a tuple of axes, and an ndarray."""
        if keepdims is not None:
            return _numpy_extreme(self, axis, out, keepdims, np.maximum, False, "max")
        return _extreme(self, axis, out, np.maximum, False, "max")

    @guarded
    def min(self, axis=None, out=None, keepdims=None):
        """The smallest value, as max()."""
        if keepdims is not None:
            return _numpy_extreme(self, axis, out, keepdims, np.minimum, False, "min")
        return _extreme(self, axis, out, np.minimum, False, "min")

    @guarded
    def argmax(self, axis=None, out=None, keepdims=None):
        """Where the largest value first occurs: a flat row-major index, or
        along an axis the index in every column (axis=0) or row (axis=1),
        as a 1 x n or n x 1 np.matrix, as scipy's argmax(). With keepdims
        given, and through np.argmax(M) (which Dask's reductions call),
        numpy's form: a numpy integer, or an ndarray along an axis."""
        if keepdims is not None:
            return _numpy_extreme(self, axis, out, keepdims, np.maximum, True, "argmax")
        return _extreme(self, axis, out, np.maximum, True, "argmax")

    @guarded
    def argmin(self, axis=None, out=None, keepdims=None):
        """Where the smallest value first occurs, as argmax()."""
        if keepdims is not None:
            return _numpy_extreme(self, axis, out, keepdims, np.minimum, True, "argmin")
        return _extreme(self, axis, out, np.minimum, True, "argmin")
