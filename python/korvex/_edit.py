"""Edits in place: ``M[key] = x``, setdiag, eliminate_zeros, sum_duplicates,
prune and the canonical-form flag, with scipy's meaning.

A row (CSR) or column (CSC) that an edit changes gets fresh storage; every
other row stays where it is, so an edit costs the rows it changes (plus one
scan of the entries for eliminate_zeros and sum_duplicates), never a rebuild
of the matrix. Storage that another matrix may read (a clone, a slice, a
take, a stack, a transpose, a map's result, the host arrays of a view, a
mapped file) is replaced, never written: no other matrix reads different
entries after an edit. Every edit holds the package guard exclusive, as
sort_indices() and free() do.
"""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from . import _core as core
from . import _sizes
from ._guard import exclusive
from ._lib import ptr


class EditMixin:
    """Assignment and the structural methods of the compressed matrices."""

    def __setitem__(self, key, x):
        """M[key] = x for every key M[key] reads: integers (negative ones
        count from the end), slices with any step, position lists and
        arrays, boolean masks, paired arrays and np.ix_ blocks; x a scalar,
        an array broadcast to the selection, or a sparse matrix. As scipy: a
        stored entry changes its value, any other position is inserted
        (zeros are stored), a position named twice takes its last value.
        IndexError for a position outside the matrix and ValueError for a
        value that does not fit the selection, both before anything
        changes."""
        with exclusive:
            self._rec.handle()
            r, c = self.shape
            rk, ck = self._axis_keys(key)
            if isinstance(rk, int) and isinstance(ck, int):
                v = np.asarray(x, dtype=self.dtype)
                if v.size != 1:
                    raise ValueError("Trying to assign a sequence to an item")
                self._set_many(np.array([rk]), np.array([ck]), v.reshape(1))
                return
            i, j = _broadcast_key(rk, ck, r, c)
            if sp.issparse(x) or core.is_matrix(x):
                x = x.toarray()  # zeros of x are stored, as everywhere else
            v = np.asarray(x, dtype=self.dtype)
            if v.squeeze().shape != i.squeeze().shape:
                v = np.broadcast_to(v, i.shape)  # ValueError when it does not fit
            if v.size == 0:
                return
            self._set_many(i.ravel(), j.ravel(), v.reshape(i.shape).ravel())

    def setdiag(self, values, k=0):
        """Set the k-th diagonal (k > 0 above the main one, k < 0 below) to
        values: a scalar, or a sequence whose first entries fill the diagonal
        from its top (a shorter one fills only its length), as scipy. The
        diagonal's positions are inserted where not stored."""
        with exclusive:
            self._rec.handle()
            m, n = self.shape
            if (k > 0 and k >= n) or (k < 0 and -k >= m):
                raise ValueError("k exceeds matrix dimensions")
            values = np.asarray(values, dtype=self.dtype)
            if 0 in self.shape:
                return
            length = min(m + k, n) if k < 0 else min(m, n - k)
            if values.ndim:
                length = min(length, len(values))
            d = np.arange(length, dtype=np.int64)
            rows, cols = (d - k, d) if k < 0 else (d, d + k)
            vals = np.broadcast_to(values, d.shape) if not values.ndim else values[:length]
            self._set_many(rows, cols, vals)

    def eliminate_zeros(self):
        """Drop the stored zeros (explicit zeros); rows without any keep
        their storage."""
        with exclusive:
            core.run(self, "eliminate_zeros")

    def sum_duplicates(self):
        """Add up repeated indices: every row that is not canonical becomes
        sorted, each index once (a zero sum is kept, as scipy). Canonical
        rows keep their storage; a matrix known canonical costs nothing."""
        with exclusive:
            if core.rows_sorted(self):
                return
            core.run(self, "sum_duplicates")
            _canonical_now(self)

    def prune(self):
        """Nothing to do: korvex keeps no spare room after the entries (scipy's
        prune trims its arrays to nnz)."""
        with exclusive:
            self._rec.handle()

    @property
    def has_canonical_format(self):
        """True when every row (CSR) or column (CSC) has strictly increasing
        indices (sorted, no repeats). Remembered once found or made, so later
        operations skip the search. Settable as in scipy: True is trusted
        (later operations take the rows as canonical), False forgets it."""
        with exclusive:
            return core.rows_sorted(self)

    @has_canonical_format.setter
    def has_canonical_format(self, val):
        with exclusive:
            self._rec.handle()
            self._rec.sorted_known = bool(val)

    # -- the pieces --------------------------------------------------------

    def _set_many(self, rows, cols, vals):
        """(rows[t], cols[t]) := vals[t]; positions already checked. Sorted
        rows stay sorted and no repeat is made, so a canonical matrix stays
        canonical."""
        rows = np.ascontiguousarray(rows, np.int64)
        cols = np.ascontiguousarray(cols, np.int64)
        vals = np.ascontiguousarray(vals, self.dtype)
        n = len(rows)
        _sizes.require(f"{self._rec.fam.prefix}_set_entries", 40 * n)
        core.run(self, "set_entries", ptr(rows), ptr(cols), ptr(vals), n,
                 detail=f"{n} positions")


def _canonical_now(M):
    """Remember canonical rows (not for a view: its host arrays may still
    change under the rows it reads)."""
    rec = M._rec
    if not rec.keep:
        rec.sorted_known = True


def _broadcast_key(rk, ck, r, c):
    """Paired int64 position arrays of a normalised key, as scipy's
    __setitem__ pairs them: a slice is a column of rows or a row of columns,
    a mask its True positions, a 1-D row list against a slice a column."""
    def positions(k, dim):
        if isinstance(k, int):
            return np.array([k], np.int64)
        if isinstance(k, slice):
            return np.arange(*k.indices(dim), dtype=np.int64)
        return np.flatnonzero(k) if k.dtype == np.bool_ else np.asarray(k, np.int64)

    row = positions(rk, r)
    if isinstance(rk, slice):
        row = row[:, None]
    col = positions(ck, c)
    if isinstance(ck, slice):
        col = col[None, :]
        if row.ndim == 1:
            row = row[:, None]
    try:
        i, j = np.broadcast_arrays(row, col)
    except ValueError:
        raise IndexError("shape mismatch: indexing arrays could not be broadcast together "
                         f"with shapes {row.shape} {col.shape}") from None
    if i.ndim > 2:
        raise IndexError("index results in >2 dimensions")
    return i, j
