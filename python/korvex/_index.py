"""Selection: ``M[key]``, ``getrow`` and ``getcol``, with scipy's meaning.

A key is normalised once: each axis becomes an integer, a slice, a
boolean mask, or an array of non-negative int64 positions
(checked in one pass; only bool arrays are masks, integer arrays of any
width are positions). One path then serves each combination:

* integer and integer: the stored value, a numpy scalar of the matrix's
  type (zero when absent, duplicates summed);
* integer arrays on both axes (masks included): the entries at the paired
  positions, numpy broadcasting the two; a column of positions against a
  row of positions (``np.ix_``) is the block instead;
* anything else: a block, selected along the compressed axis first.

Along the compressed axis (rows of CSR, columns of CSC) a block shares the
source's storage: a range, a mask or a list of positions (any order,
repeats, a step slice) gives a matrix whose rows are the source's rows.
Along the other axis the selected entries are copied.
"""
from __future__ import annotations

import operator

import numpy as np
import scipy.sparse as sp

from . import _core as core
from . import _sizes
from ._guard import guarded
from ._lib import new_handle, ptr


class IndexMixin:
    """__getitem__, getrow and getcol of the compressed matrices."""

    # What M[..., None, :] gives, when korvex.dask has set it: Dask's matrix
    # product lifts each block product to three dimensions that way.
    _middle_axis = None

    @guarded
    def __getitem__(self, key):
        self._rec.handle()  # a freed matrix raises before the key is looked at
        if self._middle_axis is not None and _is_middle_axis(key):
            return self._middle_axis(self)
        r, c = self.shape
        rk, ck = _unpack(key, (r, c))
        rk, ck = _axis_key(rk, r, "row"), _axis_key(ck, c, "column")
        rint, cint = isinstance(rk, int), isinstance(ck, int)
        rarr = isinstance(rk, np.ndarray)
        carr = isinstance(ck, np.ndarray)
        if rint and cint:
            return self._entry(rk, ck)
        if rarr and carr:
            if rk.ndim == 2 and rk.shape[1] == 1 and (ck.ndim == 1 or ck.shape[0] == 1):
                return self._block(rk[:, 0], ck.ravel())  # np.ix_(rows, cols)
            return self._paired(_positions_of(rk), _positions_of(ck))
        if (rarr and rk.ndim == 2 and not cint) or (carr and ck.ndim == 2 and not rint):
            raise IndexError("index results in >2 dimensions")
        return self._block(rk, ck)

    def _axis_keys(self, key):
        """(row key, column key) of key, each normalised as __getitem__ does:
        an int, a slice, a bool mask or checked int64 positions."""
        r, c = self.shape
        rk, ck = _unpack(key, (r, c))
        return _axis_key(rk, r, "row"), _axis_key(ck, c, "column")

    # -- the three paths ------------------------------------------------

    @guarded
    def _entry(self, i, j):
        o, n = core.swap(self.format, (i, j))
        idx, vals = self.outer(o)
        return self.dtype.type(vals[idx == n].sum(dtype=self.dtype))

    @guarded
    def _block(self, rk, ck):
        # The compressed axis first: it shares, the other copies.
        sels = core.swap(self.format, ((0, _selection(rk, self.shape[0])),
                                       (1, _selection(ck, self.shape[1]))))
        result = self
        for axis, sel in sels:
            if sel is None:
                continue
            try:
                nxt = result._select(axis, sel)
            finally:
                if result is not self:
                    core.discard(result)
            result = nxt
        return self.clone() if result is self else result

    @guarded
    def _paired(self, rows, cols):
        rows, cols = np.broadcast_arrays(rows, cols)  # scipy's ValueError when they do not
        if rows.size == 0:
            return self._from_dense(np.zeros(np.atleast_2d(rows).shape, self.dtype))
        vals = self._sample(rows.ravel(), cols.ravel())
        if rows.ndim == 1:
            return vals if self._rec.sparray else np.asmatrix(vals)
        return self._from_dense(vals.reshape(rows.shape))

    # -- the pieces ------------------------------------------------------

    @guarded
    def _select(self, axis, sel):
        """A new matrix selecting sel = ("range", (a, b)), ("mask", uint8
        array) or ("take", int64 positions) along axis."""
        word = "rows" if axis == 0 else "cols"
        outer = axis == core.swap(self.format, (0, 1))[0]
        fam = self._rec.fam
        shape = self.shape
        n, dim = core.swap(self.format, shape)[0], shape[axis]
        kind, arg = sel
        if kind in ("take", "mask") and len(arg) == 0:
            kind, arg = "range", (0, 0)
        if kind == "take":
            if outer:
                return core.take_outer(self, arg)
            k = len(arg)
            # a chain table over the inner dimension, or sorted pairs when
            # that is much wider than the list
            table = 8 * dim if dim <= 64 * k + (1 << 16) else 16 * k
            _sizes.new_matrix(f"{fam.prefix}_take_{word}", n, _sizes.LENGTHS, 8 * k + table)
            handle = core.new(self, f"take_{word}", ptr(arg), k, detail=f"{k} positions")
            return core.derive(self, handle)
        if kind == "range":
            a, b = arg
            if not outer and a < b and not core.call(self, "is_sorted"):
                # The range search needs sorted rows; a mask keeps stored
                # order and needs none, but costs a byte per column.
                if dim > _mask_budget(n, self.nnz):
                    return self._select_range_entries(a, b)
                kind, arg = "mask", np.zeros(dim, np.uint8)
                arg[a:b] = 1
            else:
                op = f"{fam.prefix}_slice_{word}"
                if outer:
                    _sizes.new_matrix(op, b - a)
                else:
                    _sizes.new_matrix(op, n, _sizes.LENGTHS)
                handle = core.new(self, f"slice_{word}", a, b, detail=f"[{a}:{b}]")
                return core.derive(self, handle, shares=outer)
        op = f"{fam.prefix}_slice_{word}_mask"
        if outer:
            _sizes.new_matrix(op, n)
        else:
            _sizes.new_matrix(op, n, _sizes.LENGTHS, len(arg) // 4 + 16)
        handle = core.new(self, f"slice_{word}_mask", ptr(arg), len(arg))
        return core.derive(self, handle, shares=outer)

    @guarded
    def _select_range_entries(self, a, b):
        """Inner range [a, b) by filtering the exported entries: memory in
        proportion to the entries and outer indices, whatever the inner
        dimension. Keeps each row's stored order; indices outside the range
        (out-of-range ones included) are dropped."""
        indptr, inner, vals, _, _ = core.export(self)
        keep = (inner >= a) & (inner < b)
        run = np.zeros(len(inner) + 1, np.int64)
        np.cumsum(keep, out=run[1:])
        outer_dim = self._outer_dim
        shape = core.swap(self.format, (outer_dim, b - a))
        return core.owned(self, run[indptr], inner[keep] - a, vals[keep], shape)

    @guarded
    def _sample(self, rows, cols):
        """The values at (rows[k], cols[k]), duplicates summed in stored
        order, zero where nothing is stored. Reads only the rows (CSR) or
        columns (CSC) named, once per pair, as scipy does."""
        outer, inner = core.swap(self.format, (rows, cols))
        part = core.take_outer(self, outer)
        try:
            indptr, idx, vals = core.export_compressed(part)
        finally:
            core.discard(part)
        pair = np.repeat(np.arange(len(outer)), np.diff(indptr))  # the pair of each entry
        hit = idx == inner[pair]
        out = np.zeros(len(outer), self.dtype)
        np.add.at(out, pair[hit], vals[hit])
        return out

    @guarded
    def _from_dense(self, dense):
        """A matrix of this class over the non-zero elements of a small
        2-D array (as scipy builds the result of 2-D paired positions)."""
        r, c = dense.shape
        rows, cols = (x.astype(np.int64) for x in np.nonzero(dense))
        vals = np.ascontiguousarray(dense[rows, cols], self.dtype)
        fam = self._rec.fam
        op = f"{fam.prefix}_from_coo"
        _sizes.new_matrix(op, core.swap(self.format, (r, c))[0], _sizes.COUNTING,
                          _sizes.COUNTING_ENTRY * len(vals))
        h = new_handle(fam.from_coo, r, c, ptr(rows), ptr(cols), ptr(vals), len(vals), op=op)
        return core.derive(self, h)

    # -- scipy's row and column getters ----------------------------------

    @guarded
    def getrow(self, i):
        """Row i as a 1 x n CSR matrix, as scipy (a CSC matrix's row comes
        back as CSR too). A CSR matrix's row shares its storage."""
        r, _ = self.shape
        i = _getter_index(i, r)
        R = self._block(i, slice(None))
        if self.format == "csr":
            return R
        try:
            return R.tocsr()
        finally:
            core.discard(R)

    @guarded
    def getcol(self, j):
        """Column j as an m x 1 matrix of this class, as scipy. A CSC
        matrix's column shares its storage."""
        _, c = self.shape
        return self._block(slice(None), _getter_index(j, c))


def _is_middle_axis(key):
    return (type(key) is tuple and len(key) == 3 and key[0] is Ellipsis and key[1] is None
            and isinstance(key[2], slice) and key[2] == slice(None))


def _mask_budget(n, nnz):
    """Largest inner dimension for which a byte mask is no more memory than
    the entries and outer indices already take."""
    return 4 * (n + nnz) + 4096


def _unpack(key, shape):
    """(row key, column key) of a key: a pair, a single key (rows, every
    column), Ellipsis standing for whatever axes are missing, or a 2-D
    boolean array of the matrix's shape (its True elements, paired)."""
    if isinstance(key, np.ndarray) and key.ndim == 2 and key.dtype == np.bool_:
        if key.shape != shape:
            raise IndexError(f"a boolean index of shape {key.shape} does not match the "
                             f"matrix's shape {shape}")
        return tuple(x.astype(np.int64) for x in np.nonzero(key))
    if not isinstance(key, tuple):
        key = (key,)
    ell = [k for k, x in enumerate(key) if x is Ellipsis]
    if len(ell) > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    if ell:
        k = ell[0]
        fill = (slice(None),) * max(0, 3 - len(key))
        key = key[:k] + fill + key[k + 1:]
    if len(key) == 1:
        key = (key[0], slice(None))
    if len(key) != 2:
        raise IndexError(f"korvex matrices take one or two indices, got {len(key)}")
    return key


def _axis_key(key, dim, word):
    """An int in [0, dim), a slice, a 1-D bool mask of
    length dim, or an int64 array (1-D or 2-D) of positions in [0, dim)."""
    if isinstance(key, slice):
        key.indices(dim)  # a zero step or bounds that are not integers raise here
        return key
    if isinstance(key, (bool, np.bool_)):
        raise IndexError(f"a boolean scalar is not a {word} index; pass a boolean array with "
                         f"one entry per {word}")
    if isinstance(key, (int, np.integer)):
        return _int_index(int(key), dim, word)
    if sp.issparse(key) or core.is_matrix(key):
        raise IndexError(f"unsupported {word} index of type {type(key).__name__}")
    try:
        arr = key if isinstance(key, np.ndarray) else np.asarray(key)
    except (TypeError, ValueError) as e:
        raise IndexError(f"invalid {word} index {key!r}: {e}") from None
    if arr.ndim == 0 and arr.dtype.kind in "iu":
        return _int_index(int(arr), dim, word)
    if arr.dtype == np.bool_:
        if arr.ndim != 1 or arr.shape[0] != dim:
            raise IndexError(f"a {word} mask must have one entry per {word} ({dim}), got "
                             f"shape {arr.shape}")
        return arr
    if arr.ndim not in (1, 2):
        raise IndexError(f"a {word} index must have one or two dimensions, got {key!r}")
    if arr.size == 0:
        return np.zeros(arr.shape, np.int64)
    if arr.dtype.kind not in "iu":
        raise IndexError(f"{word} positions must be integers (or a boolean mask), got "
                         f"{arr.dtype}")
    return _positions(arr, dim, word)


def _int_index(i, dim, word):
    if not -dim <= i < dim:
        raise IndexError(f"{word} index {i} is out of range for {dim} {word}s")
    return i + dim if i < 0 else i


def _positions(arr, dim, word):
    """Integer positions (negative ones count from the end) as a
    non-negative int64 array; IndexError naming one outside [-dim, dim).
    Checked in one pass when none is negative: seen as unsigned, a negative
    position is larger than any dimension. The caller's array is never
    written."""
    if arr.dtype.kind == "u":
        p = np.ascontiguousarray(arr, np.uint64)
        hi = int(p.max())
        if hi >= dim:
            raise IndexError(f"{word} index {hi} is out of range for {dim} {word}s")
        return p.view(np.int64)
    p = np.ascontiguousarray(arr, np.int64)
    if int(p.view(np.uint64).max()) < dim:
        return p
    lo, hi = int(p.min()), int(p.max())
    if lo < -dim or hi >= dim:
        raise IndexError(f"{word} index {lo if lo < -dim else hi} is out of range for {dim} "
                         f"{word}s")
    return np.where(p < 0, p + dim, p)


def _positions_of(k):
    """Positions of a normalised array key (a mask gives its True places)."""
    return np.flatnonzero(k) if k.dtype == np.bool_ else k


def _selection(k, dim):
    """None (the whole axis), ("range", (a, b)), ("mask", uint8 array) or
    ("take", 1-D int64 positions) for a normalised key."""
    if isinstance(k, int):
        return ("range", (k, k + 1))
    if isinstance(k, slice):
        a, b, s = k.indices(dim)
        if s == 1:
            b = max(a, b)
            return None if (a, b) == (0, dim) else ("range", (a, b))
        return ("take", np.arange(a, b, s, dtype=np.int64))
    if k.dtype == np.bool_:
        return ("mask", np.ascontiguousarray(k).view(np.uint8))
    return ("take", np.ascontiguousarray(k.ravel()))


def _getter_index(i, dim):
    """getrow/getcol's index: an integer (or an integral number) in
    [-dim, dim)."""
    try:
        v = operator.index(i)
    except TypeError:
        v = None
        if isinstance(i, (float, np.floating)) and float(i).is_integer():
            v = int(i)
        elif isinstance(i, np.ndarray) and i.size == 1 and i.dtype.kind in "iu":
            v = int(i.reshape(-1)[0])
        if v is None:
            raise TypeError(f"expected an integer index, got {type(i).__name__} {i!r}") from None
    if not -dim <= v < dim:
        raise IndexError(f"index ({v}) out of range")
    return v + dim if v < 0 else v
