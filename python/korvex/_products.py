"""Products and reductions of korvex matrices, with scipy's meaning, return
types and dtype rules: ``@``, ``*`` and dot() against dense operands, the
LinearOperator protocol (matvec, rmatvec, matmat, rmatmat), sum() and mean().

They run in the library's parallel kernels on the matrix as stored (views,
clones, stacks whose rows share storage, unsorted rows, repeated indices,
which add up, and explicit zeros). A matrix made from a scipy sparse matrix
(spmatrix) keeps its habits: ``*`` is the matrix product and reductions give
``np.matrix``. One made from a sparse array (csr_array, csc_array) multiplies
elementwise with ``*`` (the value maps, _maps.py) and reduces to 1-D arrays.

Every method holds the package guard (_guard.py) while it reads the handle
and while the library runs on it, so any number of Python threads may
compute on the same matrix and its slices.
"""
from __future__ import annotations

import os

import numpy as np

from . import _core as core
from . import _sizes
from ._arith import axis_arg, check_numeric, is_scalar, is_sparse, no_sparse
from ._guard import guarded
from ._lib import ptr


class ProductsMixin:
    """Products and reductions of the compressed matrices (see the module
    docstring)."""

    # -- the library's kernels --------------------------------------------

    def _kernel(self, name, T):
        """The name of the family's kernel for operand type T (f32 matrices
        reach float64 operands through the _f64 forms)."""
        if T == np.float64 and self.dtype == np.float32:
            name += "_f64"
        return name

    def _scratch(self, name, trans, n):
        """Size check of a scatter (CSR M^T z, CSC M x and the sums along
        the inner axis), which adds into a result-sized array per thread."""
        if core.swap(self.format, (trans, not trans))[0]:  # along the inner axis
            threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else \
                (os.cpu_count() or 1)
            _sizes.require(f"{self._rec.fam.prefix}_{name}", threads * n * 8)

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
            core.run(self, self._kernel(name, T), ptr(xv), len(xv), ptr(y), n_out)
            y = y.reshape(shape)
        else:
            order = 1 if (x.flags.f_contiguous and not x.flags.c_contiguous) else 0
            xm = np.asarray(x, dtype=T, order="F" if order else "C")
            y = np.empty(shape, T, order="F" if order else "C")
            name = "rmatmat" if trans else "matmat"
            self._scratch(name, trans, n_out * k)
            core.run(self, self._kernel(name, T), ptr(xm), k, order, ptr(y))
        return y if res == T else y.astype(res)

    @guarded
    def _line_sums(self, axis):
        """Sums along axis (1: one per row, 0: one per column), in float64."""
        r, c = self.shape
        n = r if axis == 1 else c
        out = np.empty(n, np.float64)
        name = "sum_rows" if axis == 1 else "sum_cols"
        self._scratch(name, axis == 0, n)
        core.run(self, name, ptr(out), n)
        return out

    # -- products ---------------------------------------------------------

    def _operand(self, other, op):
        """other as a numeric array (keeping np.matrix), or None when numpy
        can make nothing of it but an object scalar."""
        arr = other if other.__class__ is np.ndarray else np.asanyarray(other)
        if arr.ndim == 0 and arr.dtype == np.object_:
            return None
        check_numeric(arr, op)
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
        as_matrix = isinstance(arr, np.matrix) and not self._rec.sparray
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
        if is_scalar(other):
            raise ValueError("Scalar operands are not allowed, use '*' instead")
        if is_sparse(other):
            raise no_sparse("product")
        return self._mul_dense(other, False, "M @ x")

    def __rmatmul__(self, other):
        if is_scalar(other):
            raise ValueError("Scalar operands are not allowed, use '*' instead")
        if is_sparse(other):
            raise no_sparse("product")
        return self._rmul_dense(other, "x @ M")

    def dot(self, other):
        """The matrix product (a scalar scales)."""
        return self * other if np.isscalar(other) else self @ other

    def __mul__(self, other):
        if self._rec.sparray:  # sparse arrays multiply elementwise
            return self.multiply(other)
        if is_scalar(other):
            return self.multiply(other)  # scales
        if is_sparse(other):
            raise no_sparse("product")
        return self._mul_dense(other, False, "M * x")

    def __rmul__(self, other):
        if self._rec.sparray:
            return self.multiply(other)
        if is_scalar(other):
            return self.multiply(other)  # scales
        if is_sparse(other):
            raise no_sparse("product")
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
        return np.asarray(a) if self._rec.sparray else np.asmatrix(a)

    @guarded
    def _reduce(self, axis, dtype, out, scale):
        r, c = self.shape
        want = np.dtype(dtype) if dtype is not None else self.dtype
        if axis is None:
            # scipy adds up the row sums in the requested type: each row sum
            # is cast first (an integer dtype truncates every row's sum).
            if dtype is None:
                axis_sums = self._line_sums(core.swap(self.format, (1, 0))[0])  # per outer index
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
        if self._rec.sparray:
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
        return self._reduce(axis_arg(axis), dtype, out, 1)

    @guarded
    def _numpy_form(self, axis, dtype, out, keepdims, mean):
        """sum or mean in numpy's form: axis None, an integer or a tuple of
        them; an ndarray (2-D with keepdims), never np.matrix."""
        axes = (0, 1) if axis is None else axis if isinstance(axis, tuple) else (axis,)
        axes = sorted({axis_arg(a) for a in axes})
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
        axis = axis_arg(axis)
        r, c = self.shape
        if axis is None:
            scale = 1.0 / (r * c) if r * c else 0.0
        else:
            scale = 1.0 / (r if axis == 0 else c)  # ZeroDivisionError, as scipy
        return self._reduce(axis, dtype, out, scale)
