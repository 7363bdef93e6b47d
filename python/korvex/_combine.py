"""Operations on two sparse operands: products, sums and differences,
elementwise products, maximum and minimum, and comparisons, with scipy's
meaning, dtype rules and result classes.

The other operand may be a korvex matrix or any scipy sparse matrix or
array. A scipy operand is imported once, as a view of its arrays where it
can be (CSR or CSC of float32/float64 with contiguous arrays), else as a
copy. The result takes the left operand's form. For a CSR matrix M, ``M.T``
is a CSC matrix over M's own storage: sums, differences, maximum, minimum
and elementwise products read an operand of the other form as it is (the
library regroups its entries in temporary arrays, or looks the left
operand's entries up in it), so ``M + M.T`` and ``M.multiply(M.T)`` make no
converted copy; products convert it first (one transposing copy: ``M.T @ M``
converts the right operand M to CSC and ``M @ M.T`` converts ``M.T`` to CSR),
and so do comparisons. Comparisons with a scalar are written by the library
straight into scipy's arrays. Mixed float32 and float64 operands compute in
float64, as numpy promotes.

The library computes on the operands as stored (unsorted rows, repeated
indices, which add up, explicit zeros, views, rows shared with other
matrices) and gives results with sorted rows, no repeated index and no
stored zero. Comparisons give scipy's boolean sparse matrix (or sparse
array, for a matrix made from one), with scipy's SparseEfficiencyWarning
where the result holds every position that neither operand stores.

A scipy matrix on the left of ``+`` and ``-`` hands the operation to the
korvex matrix on the right (scipy returns NotImplemented for operands it
does not know), and so does one on the left of ``@``, ``*`` and ``dot`` of
scipy's matrix classes (see ``__array__``); the result then takes the scipy
operand's form and class.

Every operation holds the package guard while it reads the operands and
the library runs on them.
"""
from __future__ import annotations

import ctypes
import operator
import sys
import warnings

import numpy as np
import scipy.sparse as sp

from . import _core as core
from . import _sizes
from ._guard import guarded
from ._lib import check_status
from ._lib import ptr as _ptr

try:  # public from scipy 1.11 on
    from scipy.sparse import sparray as _sparray
except ImportError:  # pragma: no cover - older scipy
    from scipy.sparse._arrays import _sparray

# Operation codes of the library's combine and compare exports.
_ADD, _SUB, _MAX, _MIN, _MUL = range(5)
_NE, _LT, _GT, _LE, _GE, _EQ = range(6)

_INT32_MAX = int(np.iinfo(np.int32).max)
_Efficiency = sp.SparseEfficiencyWarning


def _is_scalar(x):
    return np.isscalar(x) or (isinstance(x, np.ndarray) and x.ndim == 0)


def _is_scipy(x):
    return sp.issparse(x)


def _result_dtype(a, b, what):
    res = np.promote_types(a, b)
    if res not in (np.float32, np.float64):
        raise TypeError(f"{what}: korvex holds float32 or float64 values; {a} with {b} "
                        f"would give {res}")
    return res


class _Operands:
    """The two operands of one operation as korvex matrices of one form and
    value type, and the temporaries made for them (released by close())."""

    def __init__(self):
        self.temps = []

    def own(self, M):
        self.temps.append(M)
        return M

    def close(self):
        for M in self.temps:
            core.discard(M)
        self.temps = []


class CombineMixin:
    """Two-operand operations of _Compressed matrices (see the module
    docstring). Sits before the arithmetic mixin, whose dense and scalar
    forms it calls for operands that are not sparse."""

    # -- operands -----------------------------------------------------------

    def _import_scipy(self, S, fmt, dtype, ops, other_ok=False):
        """A scipy sparse operand as a korvex matrix of form fmt (or of the
        other form, as it comes, where other_ok) and value type dtype: a view
        of its arrays where they allow one."""
        if S.format not in ("csr", "csc"):
            S = S.asformat(fmt)
        if S.dtype == dtype:
            try:
                M = self._from_scipy(S, copy=False)
            except (ValueError, TypeError):
                M = self._from_scipy(S, copy=True)
        else:
            M = self._from_scipy(S, copy=True, dtype=dtype)
        ops.own(M)
        if M.format != fmt and not other_ok:
            M = ops.own(M._convert())
        return M

    def _as_operand(self, X, fmt, dtype, ops, other_ok=False):
        """X (korvex or scipy) as a korvex matrix of form fmt (either form
        where other_ok) and type dtype."""
        if _is_scipy(X):
            return self._import_scipy(X, fmt, dtype, ops, other_ok)
        if X.dtype != dtype:
            X = ops.own(X.astype(dtype))
        if X.format != fmt and not other_ok:
            X = ops.own(X._convert())
        return X

    def _pair(self, left, right, what, ops, fmt=None, other_ok=False):
        """(A, B): left and right in the left operand's form (or fmt) and the
        promoted value type; where other_ok, B may keep the other form. A
        scipy left operand keeps its own form (CSR unless CSC) and its
        class."""
        dtype = _result_dtype(left.dtype, right.dtype, what)
        if fmt is None:
            fmt = left.format if left.format in ("csr", "csc") else "csr"
        A = self._as_operand(left, fmt, dtype, ops)
        B = self._as_operand(right, fmt, dtype, ops, other_ok)
        if _is_scipy(left):
            A._rec.sparray = isinstance(left, _sparray)
        return A, B

    @guarded
    def _two(self, left, right, what, call, check_shape, fmt=None, other_ok=False):
        """call(A, B) -> handle on the operands as _pair makes them; the
        result is a korvex matrix of A's form and class. With fmt, the
        operands are taken in that form and the result comes back in the
        left operand's."""
        check_shape(left.shape, right.shape)
        ops = _Operands()
        try:
            A, B = self._pair(left, right, what, ops, fmt, other_ok)
            out = ctypes.c_void_p()
            name = f"{A._rec.fam.prefix}_{what}"
            check_status(call(A, B, ctypes.byref(out)), name,
                         f"shapes {left.shape} and {right.shape}")
            R = core.derive(A, out.value)
            if fmt is None or fmt == left.format or left.format not in ("csr", "csc"):
                return R
            ops.own(R)
            return R._convert()
        finally:
            ops.close()

    # -- sums, differences, elementwise --------------------------------------

    def _combine(self, left, right, op, what):
        # An operand of the other form is read as it is (no converted copy).
        def call(A, B, out):
            _sizes.new_matrix(f"{A._rec.fam.prefix}_combine", A._outer_dim)
            fn = A._rec.fam.combine if B.format == A.format else A._rec.fam.combine_other
            return fn(A._rec.handle(), B._rec.handle(), op, out)
        return self._two(left, right, what, call, _same_shape, other_ok=True)

    def __add__(self, other):
        if _is_sparse(other):
            return self._combine(self, other, _ADD, "addition")
        if isinstance(other, np.ndarray) and other.ndim:
            return self._add_dense(other, 1)
        return super().__add__(other)

    def __radd__(self, other):
        if _is_scipy(other):
            return self._combine(other, self, _ADD, "addition")
        return self.__add__(other)

    def __sub__(self, other):
        if _is_sparse(other):
            return self._combine(self, other, _SUB, "subtraction")
        if isinstance(other, np.ndarray) and other.ndim:
            return self._add_dense(other, -1)
        return super().__sub__(other)

    def __rsub__(self, other):
        if _is_scipy(other):
            return self._combine(other, self, _SUB, "subtraction")
        if isinstance(other, np.ndarray) and other.ndim:
            return self._dense_with(other, lambda d, x: x - d, "subtraction")
        return super().__rsub__(other)

    def _dense_with(self, other, fn, what):
        """fn(dense self, other) as scipy computes it: dense, an np.matrix
        for spmatrix-born matrices."""
        if other.dtype.kind not in "biufc":
            raise TypeError(f"{what} needs a numeric operand, got an array of {other.dtype}")
        return fn(self.todense(), other)

    def _add_dense(self, other, sign):
        """self + other (sign 1) or self - other (sign -1) for a dense other:
        a dense result, as scipy gives."""
        if sign > 0:
            # scipy broadcasts other to the matrix's shape (never the reverse).
            r, c = self.shape
            try:
                x = np.broadcast_to(other, (r, c))
            except ValueError:
                raise ValueError(f"Incompatible shapes ({(r, c)} and {other.shape})") from None
            return self._dense_with(x, lambda d, x: d + x, "addition")
        return self._dense_with(other, lambda d, x: d - x, "subtraction")

    def multiply(self, other):
        """Elementwise product. With a sparse operand of the same shape, the
        intersection of the two patterns; a 1 x 1 sparse operand is a scalar,
        a sparse row or column vector is broadcast as its dense form is.
        Scalars and dense operands as before (see the arithmetic mixin)."""
        if not _is_sparse(other):
            return super().multiply(other)
        if other.shape == self.shape:
            return self._combine(self, other, _MUL, "elementwise product")
        r, c = self.shape
        if other.shape == (1, 1) or other.shape in ((1, c), (r, 1)):
            return super().multiply(other.toarray())
        raise ValueError(f"inconsistent shapes: a {r}x{c} matrix times a sparse operand of "
                         f"shape {other.shape}")

    def _extreme(self, other, op, name, npop, dense_check):
        if _is_sparse(other):
            return self._combine(self, other, op, name)
        if _is_scalar(other):
            if np.asarray(other).dtype.kind not in "biuf":
                raise TypeError(f"{name} needs a real scalar, got {other!r}")
            if dense_check(other):
                warnings.warn(f"Taking {name} with a {'positive' if op == _MAX else 'negative'}"
                              f" number results in a dense matrix.", _Efficiency, stacklevel=3)
                # scipy fills a dense array of the scalar's own type.
                dtype = _result_dtype(self.dtype, np.asarray(other).dtype, name)
                return self._from_dense_like(npop(self.toarray(), other).astype(dtype))
            return self._scalar_values(lambda v: npop(v, other))
        if isinstance(other, np.ndarray):
            return self._dense_with(other, npop, name)
        raise ValueError("Operands not compatible.")

    def maximum(self, other):
        """Elementwise maximum with a sparse matrix (union of the patterns),
        a scalar (a dense result, with scipy's warning, when it is above
        zero) or a dense array (dense)."""
        return self._extreme(other, _MAX, "maximum", np.maximum, lambda s: s > 0)

    def minimum(self, other):
        """Elementwise minimum; see maximum()."""
        return self._extreme(other, _MIN, "minimum", np.minimum, lambda s: s < 0)

    @guarded
    def _scalar_values(self, fn):
        """A matrix over the stored pattern (repeated indices added up first)
        holding fn(values), zeros kept, in the promoted value type."""
        merged = self._summed_repeats()
        base = self if merged is None else merged
        try:
            _, _, vals, _, _ = core.export(base)
            new = np.asarray(fn(vals))
            dtype = _result_dtype(self.dtype, new.dtype, "maximum/minimum")
            return base._in_dtype(dtype, lambda m: m._with_values(new))
        finally:
            if merged is not None:
                core.discard(merged)

    def _from_dense_like(self, dense):
        """A korvex matrix of this one's form and class from a dense array."""
        dtype = _result_dtype(self.dtype, dense.dtype, "a dense result")
        cls = sp.csr_matrix if self.format == "csr" else sp.csc_matrix
        M = self._from_scipy(cls(np.asarray(dense), dtype=dtype), copy=True)
        M._rec.sparray = self._rec.sparray
        return M

    # -- products -------------------------------------------------------------

    def _product(self, left, right):
        def call(A, B, out):
            n = A.shape[0] if A.format == "csr" else B.shape[1]
            _sizes.new_matrix(f"{A._rec.fam.prefix}_matmul", n)
            return A._rec.fam.matmul(A._rec.handle(), B._rec.handle(), out)
        _inner_agrees(left.shape, right.shape)
        fmt = right.format if _convert_left_instead(left, right) else None
        return self._two(left, right, "matmul", call, _inner_agrees, fmt)

    def __matmul__(self, other):
        if _is_sparse(other):
            return self._product(self, other)
        return super().__matmul__(other)

    def __rmatmul__(self, other):
        if _is_scipy(other):
            return self._product(other, self)
        return super().__rmatmul__(other)

    def __mul__(self, other):
        if _is_sparse(other):
            return self.multiply(other) if self._rec.sparray else self._product(self, other)
        return super().__mul__(other)

    def __rmul__(self, other):
        if _is_scipy(other):
            if isinstance(other, _sparray):
                return self._combine(other, self, _MUL, "elementwise product")
            return self._product(other, self)
        return super().__rmul__(other)

    def __array__(self, *args, **kwargs):
        # scipy's matrix product asks numpy for an array of an operand it does
        # not know, and hands the operation over (NotImplemented) when that is
        # a 0-d object array: give it one, so that S @ M and S * M reach
        # __rmatmul__/__rmul__. Every other implicit conversion is refused.
        if sys._getframe(1).f_code is _SCIPY_MUL_DISPATCH:
            return np.empty((), dtype=object)
        raise TypeError(f"a korvex {type(self).__name__} does not turn into a numpy array "
                        f"implicitly: call M.toarray() for a dense array or M.to_scipy() for a "
                        f"scipy sparse matrix")

    # -- comparisons ------------------------------------------------------------

    def _bool_result(self, R):
        """The library's comparison result R (ones at the true positions) as
        scipy's boolean matrix of R's form and class; R is released."""
        try:
            r, c = R.shape
            inner = c if R.format == "csr" else r
            narrow = R.nnz <= _INT32_MAX and inner <= _INT32_MAX + 1 and \
                R._outer_dim <= _INT32_MAX
            S = R.to_scipy(index_dtype=np.int32 if narrow else np.int64)
        finally:
            core.discard(R)
        S.data = np.ones(len(S.data), dtype=np.bool_)
        S.has_sorted_indices = True
        return S

    def _all_true_but(self, false_at, true_at=None):
        """scipy's all-true matrix minus false_at (then or-ed with true_at),
        both korvex results of this form; they are released."""
        r, c = self.shape
        _sizes.dense("comparison", r, c, 1)
        dense = np.ones((r, c), dtype=np.bool_)
        for M, value in ((false_at, False), (true_at, True)):
            if M is None:
                continue
            try:
                _, _, _, rows, cols = core.export(M)
            finally:
                core.discard(M)
            dense[rows, cols] = value
        return self._scipy_class()(dense)

    def _scipy_class(self):
        if self.format == "csr":
            return sp.csr_array if self._rec.sparray else sp.csr_matrix
        return sp.csc_array if self._rec.sparray else sp.csc_matrix

    def _compare_sparse(self, other, op):
        """The korvex matrix of ones where self op other holds on the union
        of the stored patterns (in self's form and class)."""
        def call(A, B, out):
            _sizes.new_matrix(f"{A._rec.fam.prefix}_compare", A._outer_dim)
            return A._rec.fam.compare(A._rec.handle(), B._rec.handle(), op, out)
        return self._two(self, other, "compare", call, _same_shape)

    @guarded
    def _compare_scalar(self, s, op):
        """The korvex matrix of ones at the stored positions (repeated
        indices added up) where value op s holds."""
        fam = self._rec.fam
        name = f"{fam.prefix}_compare_scalar"
        _sizes.new_matrix(name, self._outer_dim)
        out = ctypes.c_void_p()
        check_status(fam.compare_scalar(self._rec.handle(), s, op, ctypes.byref(out)), name)
        return core.derive(self, out.value)

    @guarded
    def _scalar_pattern(self, s, op):
        """scipy's boolean matrix of the stored positions (repeated indices
        added up) where value op s holds, written by the library straight
        into its arrays: one call counts (indptr), one fills."""
        fam = self._rec.fam
        h = self._rec.handle()
        name = f"{fam.prefix}_compare_scalar_to_compressed"
        r, c = self.shape
        n = self._outer_dim
        inner = c if self.format == "csr" else r
        fits = inner <= _INT32_MAX + 1 and n <= _INT32_MAX
        width = 4 if fits and self.nnz <= _INT32_MAX else 8
        _sizes.new_matrix(name, n)
        indptr = np.empty(n + 1, np.int32 if width == 4 else np.int64)
        check_status(fam.compare_scalar_to_compressed(h, s, op, _ptr(indptr), None, None, 0,
                                                      width), name)
        total = int(indptr[-1])
        if width == 8 and fits and total <= _INT32_MAX:
            indptr, width = indptr.astype(np.int32), 4
        indices = np.empty(total, indptr.dtype)
        data = np.empty(total, np.bool_)
        check_status(fam.compare_scalar_to_compressed(h, s, op, _ptr(indptr), _ptr(indices),
                                                      _ptr(data), total, width), name,
                     f"{total} entries")
        S = self._scipy_class()((data, indices, indptr), shape=self.shape, copy=False)
        S.has_sorted_indices = True
        return S

    @guarded
    def _stored_pattern(self):
        """A matrix sharing this one's storage (its stored positions)."""
        core.require_in_bounds(self, "comparison")
        return self.clone()

    def _scalar_for(self, s):
        """s as numpy compares this matrix's values with it elementwise (a
        float32 matrix compares with a Python float in float32), as a
        double: the library compares the widened values with it."""
        t = np.result_type(self.dtype, s)
        if t.kind != "f":
            t = np.dtype(np.float64)
        return float(t.type(s))

    def _cmp_scalar(self, s, op, name):
        # The branches follow scipy's tests on s itself; its elementwise
        # comparisons see s as numpy casts it (_scalar_for), its dense
        # fallback in float64.
        if name == "==":
            if np.isnan(s):
                return self._scipy_class()(self.shape, dtype=np.bool_)
            v = self._scalar_for(s)
            if s == 0:
                warnings.warn("Comparing a sparse matrix with 0 using == is inefficient, "
                              "try using != instead.", _Efficiency, stacklevel=3)
                return self._all_true_but(self._compare_scalar(v, _NE))
            return self._scalar_pattern(v, _EQ)
        if name == "!=":
            if np.isnan(s):
                warnings.warn("Comparing a sparse matrix with nan using != is inefficient",
                              _Efficiency, stacklevel=3)
                return self._all_true_but(None)
            v = self._scalar_for(s)
            if s != 0:
                warnings.warn("Comparing a sparse matrix with a nonzero scalar using != is "
                              "inefficient, try using == instead.", _Efficiency, stacklevel=3)
                return self._all_true_but(self._compare_scalar(v, _EQ))
            return self._scalar_pattern(v, _NE)
        fn = _PYOPS[name]
        if s == 0 and name in ("<=", ">="):
            raise NotImplementedError(" >= and <= don't work with 0.")
        if fn(0, s):
            better = {"<": ">=", ">": "<=", "<=": ">", ">=": "<"}[name]
            sign = "greater" if name in ("<", "<=") else "less"
            warnings.warn(f"Comparing a sparse matrix with a scalar {sign} than zero using "
                          f"{name} is inefficient, try using {better} instead.", _Efficiency,
                          stacklevel=3)
            # True wherever nothing is stored (0 op s holds there), and at the
            # stored positions where the comparison holds, made in float64 (scipy
            # compares with a float64 array of s here).
            wide = self if self.dtype == np.float64 else self.astype(np.float64)
            try:
                return self._all_true_but(self._stored_pattern(),
                                          wide._compare_scalar(float(s), op))
            finally:
                if wide is not self:
                    core.discard(wide)
        return self._scalar_pattern(self._scalar_for(s), op)

    @guarded
    def _cmp(self, other, name):
        op = _CODES[name]
        if _is_scalar(other):
            if np.asarray(other).dtype.kind not in "biuf":
                return NotImplemented  # a string, a complex number: not ordered with values
            return self._cmp_scalar(other, op, name)
        if isinstance(other, np.ndarray):
            return _PYOPS[name](self.todense(), other)
        if not _is_sparse(other):
            return NotImplemented
        if self.shape != other.shape:
            if name in ("==", "!="):
                return name == "!="
            raise ValueError("inconsistent shapes")
        if name == "==":
            warnings.warn("Comparing sparse matrices using == is inefficient, try using != "
                          "instead.", _Efficiency, stacklevel=3)
            return self._all_true_but(self._compare_sparse(other, _NE))
        if name in ("<=", ">="):
            warnings.warn("Comparing sparse matrices using >= and <= is inefficient, using "
                          "<, >, or !=, instead.", _Efficiency, stacklevel=3)
            # scipy's meaning: not greater (not less), NaN positions included.
            return self._all_true_but(self._compare_sparse(other, _GT if name == "<=" else _LT))
        return self._bool_result(self._compare_sparse(other, op))

    def __eq__(self, other):
        return self._cmp(other, "==")

    def __ne__(self, other):
        return self._cmp(other, "!=")

    def __lt__(self, other):
        return self._cmp(other, "<")

    def __le__(self, other):
        return self._cmp(other, "<=")

    def __gt__(self, other):
        return self._cmp(other, ">")

    def __ge__(self, other):
        return self._cmp(other, ">=")

    __hash__ = object.__hash__  # identity, as scipy's matrices

    # -- numpy ufuncs -------------------------------------------------------------

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        name = ufunc.__name__
        if method == "__call__" and not kwargs and name in _UFUNC_COMPARE and len(inputs) == 2:
            a, b = inputs
            op = _UFUNC_COMPARE[name]
            return self._cmp(b, op) if a is self else self._cmp(a, _REFLECT[op])
        if method == "__call__" and not kwargs and name in ("maximum", "minimum") and \
                len(inputs) == 2:
            a, b = inputs
            return getattr(self, name)(b if a is self else a)
        return super().__array_ufunc__(ufunc, method, *inputs, **kwargs)


def _is_sparse(x):
    return sp.issparse(x) or core.is_matrix(x)


def _same_shape(a, b):
    if tuple(a) != tuple(b):
        raise ValueError(f"inconsistent shapes: {tuple(a)} and {tuple(b)}")


def _inner_agrees(a, b):
    if a[1] != b[0]:
        raise ValueError(f"dimension mismatch: a {a[0]}x{a[1]} matrix times a "
                         f"{b[0]}x{b[1]} one")


_CODES = {"!=": _NE, "<": _LT, ">": _GT, "<=": _LE, ">=": _GE, "==": _EQ}
_PYOPS = {"!=": operator.ne, "<": operator.lt, ">": operator.gt, "<=": operator.le,
          ">=": operator.ge, "==": operator.eq}
_REFLECT = {"!=": "!=", "==": "==", "<": ">", ">": "<", "<=": ">=", ">=": "<="}
_UFUNC_COMPARE = {"equal": "==", "not_equal": "!=", "less": "<", "greater": ">",
                  "less_equal": "<=", "greater_equal": ">="}
_SCIPY_MUL_DISPATCH = sp.spmatrix._mul_dispatch.__code__


def _outer_lengths(M):
    """Entries per outer index of a korvex or scipy CSR/CSC matrix."""
    if _is_scipy(M):
        return np.diff(M.indptr).astype(np.float64)
    return core.pointers(M)[2].astype(np.float64)


def _convert_left_instead(left, right):
    """For a product of two forms (a CSC left operand, the shape of M.T @ N,
    or the mirror), whether to convert the left operand rather than the
    right one, work in the right one's form and convert the result back:
    when the left operand is the far smaller one and the result cannot
    outgrow the right operand (its multiply-adds, the products of the left
    operand's outer lengths with the right one's, stay within twice the
    right operand's entries), so that neither conversion costs more than
    the one it saves."""
    fl, fr = left.format, right.format
    if fl == fr or fl not in ("csr", "csc") or fr not in ("csr", "csc"):
        return False
    nl, nr = left.nnz, right.nnz
    if nl * 4 > nr:
        return False
    # A CSC left's columns meet a CSR right's rows along the shared
    # dimension; for a CSR left only a bound is at hand: each left entry
    # reaches at most a whole right row.
    if fl == "csc":
        flops = float(np.dot(_outer_lengths(left), _outer_lengths(right)))
    else:
        flops = float(nl) * right.shape[1]
    return flops <= 2 * nr