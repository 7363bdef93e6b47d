"""Products, reductions and value maps of korvex matrices, with scipy's
meaning, return types and dtype rules.

Products and sums run in the library's parallel kernels on the matrix as
stored (views, clones, stacks whose rows share storage, unsorted rows,
repeated indices, which add up, and explicit zeros). Value maps make a new
matrix of the same format whose index spans are the source's own and whose
values are fresh; the source is left alone.

A matrix made from a scipy sparse matrix (spmatrix) keeps its habits: ``*``
is the matrix product and reductions give ``np.matrix``. One made from a
sparse array (csr_array, csc_array) multiplies elementwise with ``*`` and
reduces to 1-D arrays.

Every method holds the package guard (_guard.py) while it reads the handle
and while the library runs on it, so any number of Python threads may
compute on the same matrix and its slices.
"""
from __future__ import annotations

import ctypes
import os

import numpy as np
import scipy.sparse as sp

from . import _sizes
from ._guard import guarded
from ._lib import MAP_OPS, check_status
from ._lib import ptr as _ptr

__all__ = ["UNARY_MAPS"]

_SCALE, _NEGATE, _ABS, _POWER, _ROUND = (MAP_OPS[k] for k in
                                         ("scale", "negate", "abs", "power", "round"))

# scipy's element functions that keep zero at zero: method name -> op code.
# Each becomes a method (M.log1p()) and answers its numpy ufunc (np.log1p(M)).
UNARY_MAPS = {name: MAP_OPS[name] for name in (
    "sqrt", "log1p", "expm1", "sin", "tan", "arcsin", "arctan", "sinh", "tanh", "arcsinh",
    "floor", "ceil", "rint", "trunc", "sign", "deg2rad", "rad2deg")}
# Maps that act on a sum of repeated entries as on each of them (f(a + b) =
# f(a) + f(b)); every other map first adds repeated indices up, as scipy does.
_LINEAR = {_SCALE, _NEGATE, UNARY_MAPS["deg2rad"], UNARY_MAPS["rad2deg"]}

_NUMERIC = "biufc"




def _is_sparse(x):
    return sp.issparse(x) or isinstance(x, _ArithMixin)


def _is_scalar(x):
    return np.isscalar(x) or (isinstance(x, np.ndarray) and x.ndim == 0)


def _no_sparse(op):
    return TypeError(f"korvex has no {op} of two sparse matrices; convert with to_scipy() "
                     f"(scipy computes it single-threaded)")


def _check_numeric(arr, what):
    if arr.dtype.kind not in _NUMERIC:
        raise TypeError(f"{what} needs a numeric operand, got an array of {arr.dtype}")


def _axis(axis):
    """scipy's axis check: None, or an integer in -2..1 (as 0 or 1)."""
    if axis is None:
        return None
    if isinstance(axis, tuple):
        raise TypeError("Tuples are not accepted for the 'axis' parameter. Please pass in one "
                        "of the following: {-2, -1, 0, 1, None}.")
    if isinstance(axis, (bool, np.bool_)) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"axis must be an integer, not {type(axis).__name__}")
    if not -2 <= axis <= 1:
        raise ValueError("axis out of range")
    return int(axis) % 2


class _ArithMixin:
    """Arithmetic of _Compressed matrices (see the module docstring)."""

    # -- the library's kernels --------------------------------------------

    def _kernel(self, name, T):
        """The family's kernel for operand type T (f32 matrices reach
        float64 operands through the _f64 forms)."""
        if T == np.float64 and self.dtype == np.float32:
            name += "_f64"
        return getattr(self._fam, name)

    def _scratch(self, name, trans, n):
        """Size check of a scatter (CSR M^T z, CSC M x and the sums along
        the inner axis), which adds into a result-sized array per thread."""
        if trans == (self.format == "csr"):
            threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else \
                (os.cpu_count() or 1)
            _sizes.require(f"{self._fam.prefix}_{name}", threads * n * 8)

    @guarded
    def _apply(self, x, trans):
        """M x (trans False) or M^T x for a 1-D or 2-D numeric ndarray x of
        the right leading length, in the promoted dtype."""
        res = np.promote_types(self.dtype, x.dtype)
        if res.kind == "c":
            real = self._apply(np.ascontiguousarray(x.real), trans)
            imag = self._apply(np.ascontiguousarray(x.imag), trans)
            out = np.empty(real.shape, res)
            out.real, out.imag = real, imag
            return out
        T = np.dtype(np.float32) if res == np.float32 else np.dtype(np.float64)
        h = self._handle
        r, c = self.shape
        n_out = c if trans else r
        k = 1 if x.ndim == 1 else x.shape[1]
        shape = (n_out,) if x.ndim == 1 else (n_out, k)
        if x.size == 0 or n_out == 0:
            y = np.zeros(shape, T)
        elif x.ndim == 1 or k == 1:
            xv = np.ascontiguousarray(x.reshape(-1), dtype=T)
            y = np.empty(n_out, T)
            name = "rmatvec" if trans else "matvec"
            self._scratch(name, trans, n_out)
            check_status(self._kernel(name, T)(h, _ptr(xv), len(xv), _ptr(y), n_out),
                         f"{self._fam.prefix}_{name}")
            y = y.reshape(shape)
        else:
            order = 1 if (x.flags.f_contiguous and not x.flags.c_contiguous) else 0
            xm = np.asarray(x, dtype=T, order="F" if order else "C")
            y = np.empty(shape, T, order="F" if order else "C")
            name = "rmatmat" if trans else "matmat"
            self._scratch(name, trans, n_out * k)
            check_status(self._kernel(name, T)(h, _ptr(xm), k, order, _ptr(y)),
                         f"{self._fam.prefix}_{name}")
        return y if res == T else y.astype(res)

    @guarded
    def _line_sums(self, axis):
        """Sums along axis (1: one per row, 0: one per column), in float64."""
        r, c = self.shape
        n = r if axis == 1 else c
        out = np.empty(n, np.float64)
        name = "sum_rows" if axis == 1 else "sum_cols"
        self._scratch(name, axis == 0, n)
        check_status(getattr(self._fam, name)(self._handle, _ptr(out), n),
                     f"{self._fam.prefix}_{name}")
        return out

    @guarded
    def _map(self, op, arg=0.0):
        """A matrix over this one's index spans with op applied to each
        stored value (no merging of repeated indices)."""
        fam = self._fam
        name = f"{fam.prefix}_map_values"
        _sizes.new_matrix(name, self._outer_dim)
        out = ctypes.c_void_p()
        check_status(fam.map_values(self._handle, op, float(arg), ctypes.byref(out)), name)
        return self._derived(type(self), out.value, shares=True)

    @guarded
    def _scale_along(self, axis, w):
        """Row i times w[i] (axis 1) or column j times w[j] (axis 0)."""
        fam = self._fam
        which = "rows" if axis == 1 else "cols"
        name = f"{fam.prefix}_scale_{which}"
        w = np.ascontiguousarray(w, dtype=self.dtype)
        _sizes.new_matrix(name, self._outer_dim)
        out = ctypes.c_void_p()
        check_status(getattr(fam, f"scale_{which}")(self._handle, _ptr(w), len(w),
                                                  ctypes.byref(out)), name)
        return self._derived(type(self), out.value, shares=True)

    @guarded
    def _rows_sorted(self):
        """has_sorted_indices, remembered once true for a matrix that reads
        no host arrays: korvex's own storage only ever gets sorted."""
        if self.__dict__.get("_sorted_known") and self._h is not None:
            return True
        done = bool(self._fam.is_sorted(self._handle))
        if done and not self._keep:
            self._sorted_known = True
        return done

    @guarded
    def _summed_repeats(self):
        """None when no row repeats an index; else a copy with the repeats
        added up (rows sorted), as scipy's sum_duplicates gives."""
        if self._rows_sorted():
            return None
        S = self.to_scipy()
        n = S.nnz
        S.sum_duplicates()
        if S.nnz == n:
            return None
        r, c = self.shape
        return self._derived(type(self), self._import_copy(
            self._fam, r, c, S.indptr, S.indices.astype(np.int64), S.data))

    def _map_values(self, op, arg=0.0):
        """op on every value; a map that is not linear acts on the sums of
        repeated indices, as scipy's element functions do."""
        merged = None if op in _LINEAR else self._summed_repeats()
        if merged is None:
            return self._map(op, arg)
        try:
            return merged._map(op, arg)
        finally:
            merged._discard()

    @guarded
    def _with_values(self, vals):
        """A matrix over this one's index spans holding vals (one per
        stored entry, in stored order)."""
        fresh = self._map(_SCALE, 1.0)
        vp, _, ln = fresh._pointers()
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
            ctype = ctypes.c_float if size == 4 else ctypes.c_double
            buf = np.ctypeslib.as_array((ctype * n).from_address(lo))
            first_entry = np.zeros(len(lens), np.int64)
            np.cumsum(lens[:-1], out=first_entry[1:])
            dest = np.repeat((start - lo) // size - first_entry, lens)
            dest += np.arange(len(vals), dtype=np.int64)
            buf[dest] = vals
            return fresh
        # Fresh values that rows share (a stack of one row twice, say) cannot
        # hold different values per row: copy the entries instead.
        fresh._discard()
        indptr, inner, _, _, _ = self._export()
        r, c = self.shape
        return self._derived(type(self), self._import_copy(self._fam, r, c, indptr, inner, vals))

    def _in_dtype(self, dtype, fn):
        """fn applied to this matrix in dtype (converted first if needed)."""
        if dtype == self.dtype:
            return fn(self)
        if dtype not in (np.float32, np.float64):
            raise TypeError(f"korvex holds float32 or float64 values; the result would be "
                            f"{dtype}")
        tmp = self.astype(dtype)
        try:
            return fn(tmp)
        finally:
            tmp._discard()

    # -- products ---------------------------------------------------------

    def _operand(self, other, op):
        """other as a numeric array (keeping np.matrix), or None when numpy
        can make nothing of it but an object scalar."""
        arr = other if other.__class__ is np.ndarray else np.asanyarray(other)
        if arr.ndim == 0 and arr.dtype == np.object_:
            return None
        _check_numeric(arr, op)
        return arr

    def _mul_dense(self, other, trans, op):
        """scipy's product dispatch against a dense operand: M @ other, or
        M^T @ other when trans."""
        arr = self._operand(other, op)
        if arr is None:
            return NotImplemented
        r, c = self.shape
        n = r if trans else c
        if arr.ndim == 1 and arr.shape[0] == n and arr.__class__ is np.ndarray:
            return self._apply(arr, trans)
        as_matrix = isinstance(arr, np.matrix) and not self._sparray
        if arr.ndim == 1 or (arr.ndim == 2 and arr.shape[1] == 1):
            if arr.shape != (n,) and arr.shape != (n, 1):
                raise ValueError(f"dimension mismatch: {op} of a {r}x{c} matrix with an "
                                 f"operand of shape {arr.shape}")
            y = self._apply(np.ravel(np.asarray(arr)), trans)
            if as_matrix:
                y = np.asmatrix(y)
            return y.reshape(-1, 1) if arr.ndim == 2 else y
        if arr.ndim == 2:
            if arr.shape[0] != n:
                raise ValueError(f"dimension mismatch: {op} of a {r}x{c} matrix with an "
                                 f"operand of shape {arr.shape}")
            y = self._apply(np.asarray(arr), trans)
            return np.asmatrix(y) if as_matrix else y
        raise ValueError(f"could not interpret dimensions: {op} takes a 1-D or 2-D operand, "
                         f"got shape {arr.shape}")

    def _rmul_dense(self, other, op):
        arr = self._operand(other, op)
        if arr is None:
            return NotImplemented
        r, c = self.shape
        if arr.ndim == 0 or arr.ndim > 2:
            raise ValueError(f"could not interpret dimensions: {op} takes a 1-D or 2-D "
                             f"operand, got shape {arr.shape}")
        if arr.shape[-1] != r:
            raise ValueError(f"dimension mismatch: {op} of an operand of shape {arr.shape} "
                             f"with a {r}x{c} matrix")
        ret = self._mul_dense(arr.transpose(), True, op)
        return ret.transpose()

    def __matmul__(self, other):
        if other.__class__ is np.ndarray and other.ndim:
            return self._mul_dense(other, False, "M @ x")
        if _is_scalar(other):
            raise ValueError("Scalar operands are not allowed, use '*' instead")
        if _is_sparse(other):
            raise _no_sparse("product")
        return self._mul_dense(other, False, "M @ x")

    def __rmatmul__(self, other):
        if _is_scalar(other):
            raise ValueError("Scalar operands are not allowed, use '*' instead")
        if _is_sparse(other):
            raise _no_sparse("product")
        return self._rmul_dense(other, "x @ M")

    def dot(self, other):
        """The matrix product (a scalar scales)."""
        return self * other if np.isscalar(other) else self @ other

    def __mul__(self, other):
        if self._sparray:  # sparse arrays multiply elementwise
            return self.multiply(other)
        if _is_scalar(other):
            return self._mul_scalar(other)
        if _is_sparse(other):
            raise _no_sparse("product")
        return self._mul_dense(other, False, "M * x")

    def __rmul__(self, other):
        if self._sparray:
            return self.multiply(other)
        if _is_scalar(other):
            return self._mul_scalar(other)
        if _is_sparse(other):
            raise _no_sparse("product")
        return self._rmul_dense(other, "x * M")

    # -- the LinearOperator protocol (scipy.sparse.linalg.aslinearoperator) -

    def matvec(self, x):
        """M x for x of shape (cols,) or (cols, 1)."""
        return self._mul_dense(x, False, "matvec")

    def rmatvec(self, z):
        """M^T z (the adjoint of a real matrix) for z of shape (rows,) or
        (rows, 1)."""
        return self._mul_dense(z, True, "rmatvec")

    def matmat(self, X):
        """M X for a 2-D X with cols rows."""
        if np.ndim(X) != 2:
            raise ValueError(f"matmat takes a 2-D operand, got {np.ndim(X)} dimensions")
        return self._mul_dense(X, False, "matmat")

    def rmatmat(self, Z):
        """M^T Z for a 2-D Z with rows rows."""
        if np.ndim(Z) != 2:
            raise ValueError(f"rmatmat takes a 2-D operand, got {np.ndim(Z)} dimensions")
        return self._mul_dense(Z, True, "rmatmat")

    # -- reductions -------------------------------------------------------

    def _container(self, a):
        return np.asarray(a) if self._sparray else np.asmatrix(a)

    @guarded
    def _reduce(self, axis, dtype, out, scale):
        r, c = self.shape
        want = np.dtype(dtype) if dtype is not None else self.dtype
        if axis is None:
            # scipy adds up the row sums in the requested type: each row sum
            # is cast first (an integer dtype truncates every row's sum).
            if dtype is None:
                axis_sums = self._line_sums(1 if self.format == "csr" else 0)
                total = want.type(axis_sums.sum() * scale)
                return total if out is None else np.sum(np.asarray(total), out=out)
            row_sums = self._line_sums(1)
            if scale != 1:
                row_sums *= scale
            return np.sum(row_sums, dtype=want, out=out)
        sums = self._line_sums(axis)
        if scale != 1:
            sums *= scale
        sums = sums.astype(want, copy=False)
        if self._sparray:
            ret = sums
        else:
            ret = np.asmatrix(sums)
            if axis == 1:
                ret = ret.T
        if out is not None and out.shape != ret.shape:
            raise ValueError("dimensions do not match")
        if out is None and dtype is None:
            return ret
        return ret.sum(axis=(), dtype=dtype, out=out)

    def sum(self, axis=None, dtype=None, out=None, keepdims=None):
        """Sum of all entries (axis=None, a numpy scalar), of each column
        (axis=0) or of each row (axis=1 or -1); repeated indices add up.
        Accumulates in float64. spmatrix-born matrices give np.matrix,
        sparse-array-born ones 1-D arrays, as scipy. With keepdims given
        (numpy's np.sum(M, axis=(0,), keepdims=True), as Dask's reductions
        call it), numpy's form: a tuple of axes, and an ndarray."""
        if keepdims is not None:
            return self._numpy_form(axis, dtype, out, keepdims, False)
        return self._reduce(_axis(axis), dtype, out, 1)

    @guarded
    def _numpy_form(self, axis, dtype, out, keepdims, mean):
        """sum or mean in numpy's form: axis None, an integer or a tuple of
        them; an ndarray (2-D with keepdims), never np.matrix."""
        axes = (0, 1) if axis is None else axis if isinstance(axis, tuple) else (axis,)
        axes = sorted({_axis(a) for a in axes})
        if not axes:
            raise ValueError("korvex reduces along one axis or both, not along none")
        r, c = self.shape
        if len(axes) == 2:
            res = np.asarray((self.mean if mean else self.sum)(None, dtype))
            res = res.reshape((1, 1)) if keepdims else res
        else:
            a = axes[0]
            res = self._line_sums(a)
            if mean:
                res *= 1.0 / (r if a == 0 else c)  # ZeroDivisionError, as mean()
            res = res.astype(np.dtype(dtype) if dtype is not None else self.dtype, copy=False)
            if keepdims:
                res = res.reshape((1, c) if a == 0 else (r, 1))
        if out is None:
            return res[()] if res.ndim == 0 else res
        out[...] = res
        return out

    def mean(self, axis=None, dtype=None, out=None, keepdims=None):
        """sum() divided by the number of entries it covers, absent ones
        included."""
        if keepdims is not None:
            return self._numpy_form(axis, dtype, out, keepdims, True)
        axis = _axis(axis)
        r, c = self.shape
        if axis is None:
            scale = 1.0 / (r * c) if r * c else 0.0
        else:
            scale = 1.0 / (r if axis == 0 else c)  # ZeroDivisionError, as scipy
        return self._reduce(axis, dtype, out, scale)

    # -- elementwise ------------------------------------------------------

    def _mul_scalar(self, s):
        arr = np.asarray(s)
        _check_numeric(arr, "multiplication")
        res = (np.zeros(1, self.dtype) * s).dtype
        return self._in_dtype(res, lambda m: m._map(_SCALE, s))

    def multiply(self, other):
        """Elementwise product with a scalar, a row vector (1-D of length
        cols, or 1 x cols), a column vector (rows x 1) or a dense array of
        the same shape. The result has this matrix's format and index spans;
        its dtype is numpy's promotion of the two, as scipy's."""
        if _is_sparse(other):
            raise _no_sparse("elementwise product")
        if _is_scalar(other):
            return self._mul_scalar(other)
        arr = np.asarray(other)
        _check_numeric(arr, "multiply")
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
                m._require_in_bounds("multiply")
                _, _, vals, rows, cols = m._export()
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
        if _is_sparse(other):
            raise _no_sparse("elementwise division")
        if not _is_scalar(other):
            raise TypeError("dividing a sparse matrix by an array divides its absent zeros "
                            "too; use M.toarray() / x, M.multiply(1 / x) or M.to_scipy()")
        _check_numeric(np.asarray(other), "division")
        recip = 1.0 / other
        # scipy divides in float64 whatever the matrix's type.
        return self._in_dtype(np.dtype(np.float64), lambda m: m._map(_SCALE, recip))

    def __rtruediv__(self, other):
        raise TypeError("dividing by a sparse matrix divides by its absent zeros; use "
                        "x / M.toarray() (or M.to_scipy())")

    def __neg__(self):
        return self._map_values(_NEGATE)

    def __abs__(self):
        return self._map_values(_ABS)

    def __round__(self, ndigits=0):
        return self._map_values(_ROUND, ndigits)

    def power(self, n, dtype=None):
        """Elementwise power of the stored entries (absent ones stay 0)."""
        if not _is_scalar(n):
            raise TypeError("power takes a scalar exponent")
        _check_numeric(np.asarray(n), "power")
        base = np.dtype(dtype) if dtype is not None else self.dtype
        res = (np.ones(1, base) ** n).dtype
        return self._in_dtype(res, lambda m: m._map_values(_POWER, n))

    def __pow__(self, other):
        if self._sparray:
            return self.power(other)
        raise TypeError("M ** n is the matrix power for scipy matrices, which korvex lacks "
                        "(a sparse @ sparse product); use M.power(n) for the elementwise "
                        "power, or to_scipy()")

    def _zero_only(self, other, op):
        if _is_sparse(other):
            raise _no_sparse(op)
        if _is_scalar(other):
            _check_numeric(np.asarray(other), op)
            if other == 0:
                return True
            raise TypeError(f"{op} of a nonzero scalar would change every absent zero of a "
                            f"sparse matrix, a dense result; use M.toarray() (or "
                            f"M.to_scipy(), for scipy's refusal)")
        raise TypeError(f"{op} of a sparse matrix and a dense array gives a dense array; "
                        f"use M.toarray() (or M.to_scipy())")

    def __add__(self, other):
        self._zero_only(other, "addition")
        return self._map(_SCALE, 1.0)

    __radd__ = __add__

    def __sub__(self, other):
        self._zero_only(other, "subtraction")
        return self._map(_SCALE, 1.0)

    def __rsub__(self, other):
        self._zero_only(other, "subtraction")
        return self._map(_NEGATE)

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
        if name == "power" and first and _is_scalar(other) and np.asarray(other) > 0:
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
    method.__qualname__ = f"_ArithMixin.{name}"
    method.__doc__ = (f"Elementwise numpy.{name} of the stored entries (it keeps zero at "
                      f"zero); a new matrix over this one's index spans.")
    return method


for _name, _op in UNARY_MAPS.items():
    setattr(_ArithMixin, _name, _make_unary(_name, _op))
del _name, _op

_UFUNC_METHODS = {
    "negative": _ArithMixin.__neg__,
    "absolute": _ArithMixin.__abs__,
    "fabs": _ArithMixin.__abs__,
    "positive": lambda m: m._map(_SCALE, 1.0),
    "conjugate": lambda m: m._map(_SCALE, 1.0),
    "square": lambda m: m.power(2),
}
