"""scipy's small habits of a compressed matrix: the dense shorthand, the
(real) conjugates and parts, reshaping, rounding and numpy's dot.

korvex holds real values only, so conjugation is the identity (a copy, as
scipy's copy=True gives) and the imaginary part is a matrix of explicit
zeros over the same structure.
"""
from __future__ import annotations

import numpy as np
from scipy.sparse._sputils import check_reshape_kwargs, check_shape

from . import _core as core
from ._guard import guarded


class HabitsMixin:
    """Attributes and small methods scipy's users reach for."""

    @property
    def A(self):
        """The dense array (toarray())."""
        return self.toarray()

    def getformat(self):
        return self.format

    def conj(self, copy=True):
        """The complex conjugate of real values: a copy, or this matrix
        itself with copy=False, as scipy."""
        return self.copy() if copy else self

    def conjugate(self, copy=True):
        return self.conj(copy=copy)

    @property
    def real(self):
        """The real part: the same entries, in fresh values over this
        matrix's index spans."""
        return self.multiply(1)

    @property
    def imag(self):
        """The imaginary part of real values: explicit zeros at every stored
        entry, as scipy gives."""
        return self._with_values(np.zeros(self.nnz, self.dtype))

    def getH(self):
        """The conjugate transpose, in storage of its own (as scipy's copy)."""
        return self.transpose(copy=True)

    @property
    def H(self):
        return self.getH()

    def round(self, decimals=0, out=None):
        """Stored values rounded to decimals places (numpy's np.round(M, n)
        calls this); absent entries stay zero."""
        if out is not None:
            raise TypeError("korvex's round() makes a new matrix; out= is not supported")
        return self.__round__(decimals)

    @guarded
    def reshape(self, *args, **kwargs):
        """reshape(shape, order='C', copy=False): the same entries read in C
        (or Fortran) order into another 2-D shape of the same size, as
        scipy; the result keeps this matrix's format (scipy gives COO). The
        same shape gives this matrix itself (a copy with copy=True)."""
        shape = check_shape(args, self.shape)
        order, copy = check_reshape_kwargs(kwargs)
        if shape == self.shape:
            return self.copy() if copy else self
        r, c = self.shape
        core.require_in_bounds(self, "reshape")
        _, _, vals, rows, cols = core.export(self)
        flat = rows * c + cols if order == "C" else cols * r + rows
        nr, nc = shape
        new_rows, new_cols = (np.divmod(flat, nc) if order == "C" else
                              np.divmod(flat, nr)[::-1])
        outer, inner = core.swap(self.format, (new_rows, new_cols))
        return core.derive(self, core.compressed_copy(self, shape, outer, inner, vals))

    def __array_function__(self, func, types, args, kwargs):
        """numpy's dot is the matrix product; every other numpy function
        behaves as it would without this hook."""
        if func is np.dot and not kwargs and len(args) == 2:
            a, b = args
            if a is self:
                return self.dot(b)
            if b is self:
                return self * a if np.isscalar(a) else self.__rmatmul__(a)
        return func._implementation(*args, **kwargs)

