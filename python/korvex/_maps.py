"""Elementwise value maps of korvex matrices, with scipy's meaning and dtype
rules: scaling by a scalar, a row, a column or a dense array (``multiply``,
``*`` of sparse arrays, ``/``), negation, abs, round, power, the element
functions that keep zero at zero (sqrt, log1p, ...) and their numpy ufuncs.

A map makes a new matrix of the same format whose index spans are the
source's own and whose values are fresh; the source is left alone. A map
that is not linear first adds repeated indices up, as scipy does.
"""
from __future__ import annotations


import numpy as np

from . import _core as core
from . import _sizes
from ._arith import (ABS, LINEAR, NEGATE, POWER, ROUND, SCALE, UNARY_MAPS, check_numeric,
                     is_scalar, is_sparse, no_sparse)
from ._guard import guarded
from ._lib import ptr

__all__ = ["UNARY_MAPS"]


class MapsMixin:
    """Value maps of the compressed matrices (see the module docstring)."""

    @guarded
    def _map(self, op, arg=0.0):
        """A matrix over this one's index spans with op applied to each
        stored value (no merging of repeated indices)."""
        _sizes.new_matrix(f"{self._rec.fam.prefix}_map_values", self._outer_dim)
        return core.derive(self, core.new(self, "map_values", op, float(arg)), shares=True)

    @guarded
    def _widened(self, op=SCALE, arg=1.0):
        """A float64 matrix over this float32 one's index spans (no index
        copied): op on each value taken to float64."""
        _sizes.new_matrix(f"{self._rec.fam.prefix}_map_values_f64", self._outer_dim)
        return core.derive(self, core.new(self, "map_values_f64", op, float(arg)),
                           dtype_name="float64", shares=True)

    @guarded
    def _scale_along(self, axis, w):
        """Row i times w[i] (axis 1) or column j times w[j] (axis 0)."""
        which = "rows" if axis == 1 else "cols"
        w = np.ascontiguousarray(w, dtype=self.dtype)
        _sizes.new_matrix(f"{self._rec.fam.prefix}_scale_{which}", self._outer_dim)
        return core.derive(self, core.new(self, f"scale_{which}", ptr(w), len(w)), shares=True)

    @guarded
    def _summed_repeats(self):
        """None when every row is canonical; else a clone in which only the
        rows that are not are replaced by their sorted sums (as scipy's
        sum_duplicates gives), every other row shared."""
        if core.rows_sorted(self):
            return None
        _sizes.new_matrix(f"{self._rec.fam.prefix}_clone", self._outer_dim)
        S = core.derive(self, core.call(self, "clone"), shares=True)
        try:
            core.run(S, "sum_duplicates")
        except BaseException:
            core.discard(S)
            raise
        return S

    @guarded
    def _map_values(self, op, arg=0.0):
        """op on every value; a map that is not linear acts on the sums of
        repeated indices, as scipy's element functions do: only the rows that
        repeat an index get indices of the result's own, every other row
        shares this matrix's (one scan of the indices finds them, skipped
        once the matrix is known canonical)."""
        if op in LINEAR or core.rows_sorted(self):
            return self._map(op, arg)
        _sizes.new_matrix(f"{self._rec.fam.prefix}_map_summed", self._outer_dim)
        return core.derive(self, core.new(self, "map_summed", op, float(arg)), shares=True)

    @guarded
    def _with_values(self, vals):
        """A matrix over this one's index spans holding vals (one per
        stored entry, in stored order)."""
        fresh = self._map(SCALE, 1.0)
        vp, _, ln = core.pointers(fresh)
        vals = np.ascontiguousarray(vals, dtype=self.dtype)
        size = self.dtype.itemsize
        live = np.flatnonzero(ln)
        if not len(live):
            return fresh
        start, lens = vp[live].astype(np.int64), ln[live].astype(np.int64)
        order = np.argsort(start, kind="stable")
        ends = start + lens * size
        lo = int(start.min())
        if np.all(start[order][1:] >= ends[order][:-1]) and not np.any((start - lo) % size):
            # The fresh value spans are disjoint: write every row into its
            # own, through one array over the buffer they were cut from.
            n = (int(ends.max()) - lo) // size
            ctype = core.CTYPES[self.dtype]
            buf = np.ctypeslib.as_array((ctype * n).from_address(lo))
            first_entry = np.zeros(len(lens), np.int64)
            np.cumsum(lens[:-1], out=first_entry[1:])
            dest = np.repeat((start - lo) // size - first_entry, lens)
            dest += np.arange(len(vals), dtype=np.int64)
            buf[dest] = vals
            return fresh
        # Fresh values that rows share (a stack of one row twice, say) cannot
        # hold different values per row: copy the entries instead.
        core.discard(fresh)
        indptr, inner, _, _, _ = core.export(self)
        return core.owned(self, indptr, inner, vals)

    def _in_dtype(self, dtype, fn, op=None, arg=None):
        """fn applied to this matrix in dtype (converted first if needed).
        A float32 matrix widened to float64 keeps its index spans; with op
        (a map fn would apply) the widening applies it in the same pass."""
        if dtype == self.dtype:
            return fn(self)
        if dtype not in (np.float32, np.float64):
            raise TypeError(f"korvex holds float32 or float64 values; the result would be "
                            f"{dtype}")
        if op is not None and dtype == np.float64:
            return self._widened(op, arg)
        tmp = self.astype(dtype)
        try:
            return fn(tmp)
        finally:
            core.discard(tmp)

    # -- elementwise ------------------------------------------------------

    def _mul_scalar(self, s):
        arr = np.asarray(s)
        check_numeric(arr, "multiplication")
        res = (np.zeros(1, self.dtype) * s).dtype
        return self._in_dtype(res, lambda m: m._map(SCALE, s), SCALE, s)

    def multiply(self, other):
        """Elementwise product with a scalar, a row vector (1-D of length
        cols, or 1 x cols), a column vector (rows x 1) or a dense array of
        the same shape. The result has this matrix's format and index spans;
        its dtype is numpy's promotion of the two, as scipy's."""
        if is_sparse(other):
            raise no_sparse("elementwise product")
        if is_scalar(other):
            return self._mul_scalar(other)
        arr = np.asarray(other)
        check_numeric(arr, "multiply")
        arr = np.atleast_2d(arr)
        if arr.ndim != 2:
            raise ValueError(f"multiply takes an operand of at most 2 dimensions, got shape "
                             f"{arr.shape}")
        if arr.size == 1:
            return self._mul_scalar(arr.flat[0])
        r, c = self.shape
        res = np.promote_types(self.dtype, arr.dtype)
        if arr.shape == (r, c):
            def fn(m):
                core.require_in_bounds(m, "multiply")
                _, _, vals, rows, cols = core.export(m)
                return m._with_values(vals * arr[rows, cols])
        elif arr.shape == (1, c):
            def fn(m):
                return m._scale_along(0, arr[0])
        elif arr.shape == (r, 1):
            def fn(m):
                return m._scale_along(1, arr[:, 0])
        elif r == 1 or c == 1:
            raise ValueError(f"multiply would broadcast this {r}x{c} matrix to {arr.shape}; "
                             f"korvex keeps the matrix's shape (use to_scipy() for that)")
        else:
            raise ValueError(f"inconsistent shapes: a {r}x{c} matrix times an operand of "
                             f"shape {arr.shape}")
        return self._in_dtype(res, fn)

    def __truediv__(self, other):
        if is_sparse(other):
            raise no_sparse("elementwise division")
        if not is_scalar(other):
            raise TypeError("dividing a sparse matrix by an array divides its absent zeros "
                            "too; use M.toarray() / x, M.multiply(1 / x) or M.to_scipy()")
        check_numeric(np.asarray(other), "division")
        recip = 1.0 / other
        # scipy divides in float64 whatever the matrix's type.
        return self._in_dtype(np.dtype(np.float64), lambda m: m._map(SCALE, recip), SCALE, recip)

    def __rtruediv__(self, other):
        raise TypeError("dividing by a sparse matrix divides by its absent zeros; use "
                        "x / M.toarray() (or M.to_scipy())")

    def __neg__(self):
        return self._map_values(NEGATE)

    def __abs__(self):
        return self._map_values(ABS)

    def __round__(self, ndigits=0):
        return self._map_values(ROUND, ndigits)

    def power(self, n, dtype=None):
        """Elementwise power of the stored entries (absent ones stay 0)."""
        if not is_scalar(n):
            raise TypeError("power takes a scalar exponent")
        check_numeric(np.asarray(n), "power")
        base = np.dtype(dtype) if dtype is not None else self.dtype
        res = (np.ones(1, base) ** n).dtype
        return self._in_dtype(res, lambda m: m._map_values(POWER, n))

    def __pow__(self, other):
        if self._rec.sparray:
            return self.power(other)
        raise TypeError("M ** n is the matrix power for scipy matrices, which korvex lacks "
                        "(a sparse @ sparse product); use M.power(n) for the elementwise "
                        "power, or to_scipy()")

    def _zero_only(self, other, op):
        if is_sparse(other):
            raise no_sparse(op)
        if is_scalar(other):
            check_numeric(np.asarray(other), op)
            if other == 0:
                return True
            raise TypeError(f"{op} of a nonzero scalar would change every absent zero of a "
                            f"sparse matrix, a dense result; use M.toarray() (or "
                            f"M.to_scipy(), for scipy's refusal)")
        raise TypeError(f"{op} of a sparse matrix and a dense array gives a dense array; "
                        f"use M.toarray() (or M.to_scipy())")

    def __add__(self, other):
        self._zero_only(other, "addition")
        return self._map(SCALE, 1.0)

    __radd__ = __add__

    def __sub__(self, other):
        self._zero_only(other, "subtraction")
        return self._map(SCALE, 1.0)

    def __rsub__(self, other):
        self._zero_only(other, "subtraction")
        return self._map(NEGATE)

    # -- numpy ufuncs -----------------------------------------------------

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        name = ufunc.__name__
        if method != "__call__" or kwargs:
            raise TypeError(f"korvex matrices take numpy.{name} as a plain call without "
                            f"out=, where= or other options; use to_scipy() or toarray()")
        if ufunc.nin == 1:
            if name in UNARY_MAPS:
                return getattr(self, name)()
            special = _UFUNC_METHODS.get(name)
            if special is not None:
                return special(self)
            with np.errstate(all="ignore"):
                at_zero = ufunc(0.0)
            raise TypeError(f"numpy.{name} does not keep zero at zero ({name}(0) = {at_zero}), "
                            f"so it would fill every absent entry of the sparse matrix; use "
                            f"M.toarray() for the dense result (or M.to_scipy())")
        a, b = inputs[0], inputs[1] if len(inputs) > 1 else None
        first = a is self
        other = b if first else a
        if name == "multiply":
            # np.multiply(M, x) is elementwise; x * M arrives here too and
            # keeps the meaning of * for the matrix's class.
            return self.multiply(other) if first else self.__rmul__(other)
        if name == "matmul":
            return self @ other if first else self.__rmatmul__(other)
        if name in ("true_divide", "divide") and first:
            return self / other
        if name == "power" and first and is_scalar(other) and np.asarray(other) > 0:
            return self.power(other)
        if name == "add":
            return self + other
        if name == "subtract":
            return self - other if first else self.__rsub__(other)
        raise TypeError(f"numpy.{name} with a korvex matrix is not supported (it does not "
                        f"keep the absent zeros zero, or korvex lacks it); use to_scipy() or "
                        f"toarray()")


def _make_unary(name, op):
    def method(self):
        return self._map_values(op)
    method.__name__ = name
    method.__qualname__ = f"MapsMixin.{name}"
    method.__doc__ = (f"Elementwise numpy.{name} of the stored entries (it keeps zero at "
                      f"zero); a new matrix over this one's index spans.")
    return method


for _name, _op in UNARY_MAPS.items():
    setattr(MapsMixin, _name, _make_unary(_name, _op))
del _name, _op

_UFUNC_METHODS = {
    "negative": MapsMixin.__neg__,
    "absolute": MapsMixin.__abs__,
    "fabs": MapsMixin.__abs__,
    "positive": lambda m: m._map(SCALE, 1.0),
    "conjugate": lambda m: m._map(SCALE, 1.0),
    "square": lambda m: m.power(2),
}
