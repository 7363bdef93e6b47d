"""korvex matrices as the blocks of Dask arrays.

A CSR matrix is cut into row blocks and a CSC matrix into column blocks: the
compressed (outer) axis carries the chunks and the other axis is one chunk.
Assembling blocks along the compressed axis shares their spans, so
``compute()`` of a blocked CSR array returns one korvex matrix without copying
an entry.

    import dask, korvex, korvex.dask as kd
    X = kd.from_scipy(A, chunks=10_000)      # row blocks of a CSR matrix
    M = X[100:5000].compute()                # one korvex CSRMatrix

Importing this module registers korvex matrices with Dask: concatenation
(``dask.array.dispatch.concatenate_lookup``), ``dask.sizeof`` and, when
distributed is installed, a serializer that sends a block's arrays as
out-of-band frames. ``import korvex`` imports it whenever ``dask`` is already
loaded, which is always the case on a Dask worker, so workers that receive
korvex blocks register them without importing this module themselves.
"""
from __future__ import annotations

import builtins
import ctypes
import math
import operator
import os
from functools import partial

import dask.array as da  # absolute: the top-level dask, not this module
import numpy as np
import scipy.sparse as sp
from dask.array.core import _concatenate2, normalize_chunks
from dask.utils import deepmap
from dask.array.dispatch import concatenate_lookup
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph
from dask.sizeof import sizeof

from . import _core as core
from . import _sizes
from ._lib import IndexOutOfRangeError
from ._matrix import CSCMatrix, CSRMatrix, from_arrays, hstack, vstack
from ._matrix import from_coo as _matrix_from_coo
from ._matrix import from_scipy as _matrix_from_scipy
from .storage import load as _load_file

__all__ = ["from_scipy", "from_coo", "from_dataframe", "from_file", "from_dask", "to_scipy",
           "meta", "FileChangedError", "max", "min", "count_nonzero", "var", "std"]

_FORMATS = ("csr", "csc")
_INT32_MAX = np.iinfo(np.int32).max
_value_dtype = core.value_dtype  # TypeError for anything but float32/float64
_swap = core.swap


def _format_arg(format):
    if format not in _FORMATS:
        raise ValueError(f"format must be 'csr' or 'csc', got {format!r}")
    return format


def meta(format="csr", dtype=np.float64):
    """The 0 x 0 korvex matrix of the given form and value type that Dask
    keeps as the meta of a korvex-chunked array."""
    _format_arg(format)
    dt = _value_dtype(dtype)
    empty = np.zeros(0, np.int64)
    return _matrix_from_coo(empty, empty, np.zeros(0, dt), (0, 0), format=format)


def _outer_chunks(chunks, n):
    """Block lengths along the compressed axis: an int (block length), a
    sequence of lengths summing to n, or "auto"."""
    if isinstance(chunks, tuple) and len(chunks) == 2 and all(
            isinstance(c, tuple) for c in chunks):
        raise ValueError("chunks gives the blocks along the compressed axis only (rows of "
                         "CSR, columns of CSC); the other axis is always one chunk")
    if isinstance(chunks, (int, np.integer)) and not isinstance(chunks, bool) and chunks <= 0:
        raise ValueError(f"chunks must be positive, got {chunks}")
    if isinstance(chunks, str) and chunks == "auto":
        chunks = builtins.max(1, builtins.min(n, 1 << 16))
    return normalize_chunks((chunks,), (n,))[0]


def _array_chunks(format, shape, outer):
    inner = _swap(format, shape)[1]
    return _swap(format, (outer, (inner,)))


def _block_key(name, format, i):
    return (name,) + _swap(format, (i, 0))


def _outer_range(M, a, b):
    """Outer indices a..b of M (rows of CSR, columns of CSC), sharing M's spans."""
    return M[_swap(M.format, (slice(a, b), slice(None)))]


def _bounds(outer):
    return np.concatenate([[0], np.cumsum(outer, dtype=np.int64)]).astype(np.int64)


# --------------------------------------------------------------------------
# From scipy, to scipy, from other Dask arrays
# --------------------------------------------------------------------------

def _viewable(*arrays):
    """The library reads a view's arrays in place only when each is
    C-contiguous and naturally aligned; anything else must be copied."""
    return all(a.flags.c_contiguous and a.flags.aligned for a in arrays)


def _block_from_scipy(part):
    # part is a private slice: the block may read its arrays in place. On a
    # cluster the slice arrives unpickled out of a message buffer, its arrays
    # at any offset: those that cannot be viewed are copied.
    view = _viewable(part.data, part.indices)
    return _matrix_from_scipy(part, copy=not view)


def from_scipy(A, chunks, format=None):
    """A Dask array of korvex blocks over a scipy sparse matrix or array.

    format (default: A's own when it is CSR or CSC, else "csr") decides the
    blocking: CSR gives row blocks and CSC column blocks. chunks gives the
    block lengths along that axis (an int, a tuple of lengths, or "auto");
    the other axis is one chunk. Each block is a slice of A taken now, and
    becomes a korvex matrix when the block is computed."""
    if not sp.issparse(A):
        raise TypeError(f"from_scipy takes a scipy.sparse matrix or array, got "
                        f"{type(A).__name__}")
    format = _format_arg(format or (A.format if A.format in _FORMATS else "csr"))
    dt = _value_dtype(A.dtype)
    A = A.asformat(format)
    n = _swap(format, A.shape)[0]
    outer = _outer_chunks(chunks, n)
    bounds = _bounds(outer)
    name = "korvex-from-scipy-" + tokenize(A, outer, format)
    dsk = {}
    for i in range(len(outer)):
        a, b = int(bounds[i]), int(bounds[i + 1])
        part = A[_swap(format, (slice(a, b), slice(None)))]
        dsk[_block_key(name, format, i)] = (_block_from_scipy, part)
    return da.Array(dsk, name, _array_chunks(format, A.shape, outer), meta=meta(format, dt))


def _to_scipy_block(b):
    return b.to_scipy() if core.is_matrix(b) else b


def to_scipy(x):
    """The same Dask array with scipy csr/csc blocks (int64 indices)."""
    m = x._meta
    if core.is_matrix(m):
        smeta = _swap(m.format, (sp.csr_matrix, sp.csc_matrix))[0]((0, 0), dtype=m.dtype)
    else:
        smeta = m
    return x.map_blocks(_to_scipy_block, dtype=x.dtype, meta=smeta)


def _from_scipy_block(b, format, dtype):
    if core.is_matrix(b):
        b = getattr(b, f"to{format}")()  # a clone in its own form
        return b if b.dtype == dtype else _matrix_from_scipy(b.to_scipy(), dtype=dtype)
    if not sp.issparse(b):
        b = _swap(format, (sp.csr_matrix, sp.csc_matrix))[0](np.asarray(b))
    return _matrix_from_scipy(b.asformat(format), copy=True, dtype=dtype)


def from_dask(x, format=None, dtype=None):
    """A Dask array of scipy sparse (or dense) blocks as korvex blocks.

    format defaults to CSR when the columns are one chunk, CSC when the rows
    are, else to the blocks' own format (CSR when they are not CSC). Each
    block is copied into korvex storage, converting its value type to dtype
    (default: x's, which must be float32 or float64)."""
    if x.ndim != 2:
        raise ValueError(f"korvex blocks are two-dimensional, got a {x.ndim}-D array")
    if format is None:
        if len(x.chunks[1]) == 1:
            format = "csr"
        elif len(x.chunks[0]) == 1:
            format = "csc"
        else:
            format = "csc" if getattr(x._meta, "format", None) == "csc" else "csr"
    format = _format_arg(format)
    dt = _value_dtype(x.dtype if dtype is None else dtype)
    return x.map_blocks(_from_scipy_block, format, dt, dtype=dt, meta=meta(format, dt))


# --------------------------------------------------------------------------
# From coordinates
# --------------------------------------------------------------------------

def _narrow(a, limit):
    """a as int32 when every value is below limit (halves what moves)."""
    return a.astype(np.int32, copy=False) if limit <= _INT32_MAX else a


def _route(row, col, data, shape, bounds, format, dtype):
    """Split one partition of coordinates into one piece per block: each piece
    holds (local outer, inner, values) of the entries that block owns, in
    input order."""
    row, col, data = np.asarray(row), np.asarray(col), np.asarray(data)
    if not (row.ndim == col.ndim == data.ndim == 1) or not len(row) == len(col) == len(data):
        raise ValueError(f"row, col and data partitions must be 1-D of one length, got "
                         f"{row.shape}, {col.shape} and {data.shape}")
    for a, what in ((row, "row"), (col, "col")):
        if a.size and a.dtype.kind not in "iu":
            raise TypeError(f"{what} must hold integers, got {a.dtype}")
    r, c = shape
    for a, dim, what in ((row, r, "row"), (col, c, "column")):
        if a.size and (int(a.min()) < 0 or int(a.max()) >= dim):
            bad = int(a.min()) if int(a.min()) < 0 else int(a.max())
            raise IndexOutOfRangeError(f"a {what} index ({bad}) lies outside 0..{dim - 1}", -8)
    if data.dtype.kind == "c":
        raise TypeError(f"korvex holds real float32 or float64 values; data is {data.dtype}")
    data = data.astype(dtype, copy=False)
    outer, inner = _swap(format, (row, col))
    outer = outer.astype(np.int64, copy=False)
    nblocks = len(bounds) - 1
    if nblocks == 1:
        parts = [(outer, inner, data)]
    else:
        # Block of each entry, then a stable (radix, for small block ids)
        # sort groups the entries of each block keeping their input order.
        bid = np.searchsorted(bounds[1:], outer, side="right")
        bid = bid.astype(np.uint16 if nblocks <= 1 << 16 else np.int64)
        order = np.argsort(bid, kind="stable")
        cuts = np.cumsum(np.bincount(bid, minlength=nblocks))[:-1]
        parts = zip(np.split(outer[order], cuts), np.split(inner[order], cuts),
                    np.split(data[order], cuts))
    inner_dim = _swap(format, (r, c))[1]
    out = []
    for i, (o, n, v) in enumerate(parts):
        lo, hi = int(bounds[i]), int(bounds[i + 1])
        out.append((_narrow(o - lo, hi - lo), _narrow(n, inner_dim), v))
    return out


def _assemble(pieces, length, inner_dim, format, dtype):
    """One block from its pieces of every partition, through the library's
    parallel coordinate import (duplicates and explicit zeros are kept)."""
    # Straight to the int64 the library takes: no intermediate int32 copy.
    o = np.concatenate([p[0] for p in pieces] or [np.zeros(0, np.int64)], dtype=np.int64)
    n = np.concatenate([p[1] for p in pieces] or [np.zeros(0, np.int64)], dtype=np.int64)
    v = np.concatenate([p[2] for p in pieces] or [np.zeros(0, dtype)], dtype=dtype)
    shape = _swap(format, (length, inner_dim))
    row, col = _swap(format, (o, n))
    return _matrix_from_coo(row, col, v, shape, format=format)


def _as_dask_vector(a, nparts, what):
    if isinstance(a, da.Array):
        if a.ndim != 1:
            raise ValueError(f"{what} must be one-dimensional, got shape {a.shape}")
        return a
    a = np.asarray(a)
    if a.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {a.shape}")
    return da.from_array(a, chunks=builtins.max(1, math.ceil(len(a) / builtins.max(nparts, 1))))


def from_coo(row, col, data, shape, chunks, format="csr", dtype=None):
    """A Dask array of korvex blocks built from coordinates.

    row, col and data are 1-D Dask arrays (partition lengths may be unknown)
    or numpy arrays, partitioned alike. Every partition routes its entries to
    the blocks that own them, and each block is built where it is computed
    with korvex's parallel coordinate import, so the coordinates never meet
    in one place. As in korvex.from_coo, duplicates stay separate entries,
    explicit zeros are stored and each row (CSR) / column (CSC) comes out
    sorted. An index outside the shape raises IndexError when the blocks are
    computed. Values must be float32/float64 unless dtype asks for one."""
    format = _format_arg(format)
    r, c = _sizes.shape(shape)
    n, inner_dim = _swap(format, (r, c))
    outer = _outer_chunks(chunks, n)
    nblocks = len(outer)
    row = _as_dask_vector(row, nblocks, "row")
    col = _as_dask_vector(col, nblocks, "col")
    data = _as_dask_vector(data, nblocks, "data")
    if dtype is None:
        if data.dtype.kind == "c":
            raise TypeError(f"korvex holds real float32 or float64 values; data is "
                            f"{data.dtype}")
        dtype = data.dtype
    dt = _value_dtype(dtype)
    for a, what in ((row, "row"), (col, "col")):
        if a.dtype.kind not in "iu":
            raise TypeError(f"{what} must hold integers, got {a.dtype}")
    known = all(not any(math.isnan(x) for x in a.chunks[0]) for a in (row, col, data))
    if known:
        if not row.shape[0] == col.shape[0] == data.shape[0]:
            raise ValueError(f"row, col and data differ in length ({row.shape[0]}, "
                             f"{col.shape[0]}, {data.shape[0]})")
        if not row.chunks == col.chunks == data.chunks:
            col, data = col.rechunk(row.chunks), data.rechunk(row.chunks)
    elif not len(row.chunks[0]) == len(col.chunks[0]) == len(data.chunks[0]):
        raise ValueError("row, col and data must have the same number of partitions")

    bounds = _bounds(outer)
    token = tokenize(row, col, data, (r, c), outer, format, dt)
    rname, name = "korvex-route-" + token, "korvex-from-coo-" + token
    pname = "korvex-piece-" + token
    dsk = {}
    nparts = len(row.chunks[0])
    rkeys, ckeys, dkeys = (a.__dask_keys__() for a in (row, col, data))
    for p in range(nparts):
        dsk[(rname, p)] = (_route, rkeys[p], ckeys[p], dkeys[p], (r, c), bounds, format, dt)
        for i in range(nblocks):
            dsk[(pname, p, i)] = (operator.getitem, (rname, p), i)
    for i in range(nblocks):
        dsk[_block_key(name, format, i)] = (
            _assemble, [(pname, p, i) for p in range(nparts)], outer[i], inner_dim, format, dt)
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[row, col, data])
    return da.Array(graph, name, _array_chunks(format, (r, c), outer), meta=meta(format, dt))


def _plain_column(series, name):
    """A pandas column as numpy values: a nullable one (Int64, Float64, ...)
    as its numpy type, refused when it holds a missing value (NA)."""
    numpy_dtype = getattr(series.dtype, "numpy_dtype", None)
    if numpy_dtype is None:
        return series.to_numpy()
    if series.isna().any():
        raise ValueError(f"from_dataframe: column {name!r} holds missing values (NA); a sparse "
                         f"matrix has no missing entries: drop or fill them first")
    return series.to_numpy(dtype=numpy_dtype)


def _plain_partition(series, name):
    return series._constructor(_plain_column(series, name), index=series.index, name=series.name)


def from_dataframe(df, shape, chunks, row="row", col="col", data="val", format="csr",
                   dtype=None):
    """from_coo over three columns of a Dask (or pandas) dataframe; the
    partitions need not have known lengths. Nullable columns (Int64,
    Float64, ...) are read as their numpy type; a missing value (NA) in one
    raises ValueError naming the column (at compute time for Dask)."""
    if hasattr(df, "to_dask_array"):
        cols = []
        for k in (row, col, data):
            s = df[k]
            numpy_dtype = getattr(s.dtype, "numpy_dtype", None)
            if numpy_dtype is not None:
                meta = s._meta.astype(numpy_dtype)
                s = s.map_partitions(_plain_partition, k, meta=meta)
            cols.append(s.to_dask_array())
    else:
        cols = [_plain_column(df[k], k) for k in (row, col, data)]
    return from_coo(*cols, shape=shape, chunks=chunks, format=format, dtype=dtype)


# --------------------------------------------------------------------------
# From a korvex file
# --------------------------------------------------------------------------

def _load(path):
    return _load_file(path, mmap=True)  # the korvex file format, mapped


class FileChangedError(OSError):
    """The file under a from_file array is no longer the one the array was
    built from."""


def _identity(path, st, M):
    """What from_file checks at compute time: the file's size, modification
    time and inode, and its header's form, shape, value type and nnz."""
    return {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "inode": st.st_ino,
            "format": M.format, "shape": tuple(M.shape), "dtype": M.dtype.str, "nnz": M.nnz}


def _check_identity(path, want, got):
    changed = [f"{k} {want[k]!r} -> {got[k]!r}" for k in want if want[k] != got[k]]
    if changed:
        raise FileChangedError(f"{path} changed since this Dask array was built from it "
                               f"({', '.join(changed)}); build the array again with "
                               f"korvex.dask.from_file")


def _file_block(path, a, b, format, identity):
    st = os.stat(path)
    M = _load(path)
    try:
        # Stat again after mapping: a file replaced between the two stats
        # differs from the recorded identity in one of them.
        _check_identity(path, identity, _identity(path, st, M))
        _check_identity(path, identity, _identity(path, os.stat(path), M))
        return _outer_range(M, a, b)  # a view of the mapped file
    finally:
        M.free()


def from_file(path, chunks):
    """A Dask array over a korvex file (korvex.save): every block maps the
    file and takes its range of rows (CSR) or columns (CSC) as a view, so no
    entry is read until it is used and none moves through the client. On
    storage that every worker sees, a cluster opens a large matrix in place.

    The file's size, modification time and inode, and its header's form,
    shape, value type and nnz are recorded now; computing a block of a file
    that has changed since raises FileChangedError."""
    path = os.path.abspath(os.fspath(path))
    st = os.stat(path)
    M = _load(path)
    try:
        identity = _identity(path, st, M)
        format, shape, dt = M.format, M.shape, M.dtype
    finally:
        M.free()
    n = _swap(format, shape)[0]
    outer = _outer_chunks(chunks, n)
    bounds = _bounds(outer)
    name = "korvex-from-file-" + tokenize(path, sorted(identity.items()), outer)
    dsk = {_block_key(name, format, i): (_file_block, path, int(bounds[i]),
                                          int(bounds[i + 1]), format, identity)
           for i in range(len(outer))}
    return da.Array(dsk, name, _array_chunks(format, shape, outer), meta=meta(format, dt))


# --------------------------------------------------------------------------
# Matrix products
# --------------------------------------------------------------------------

class _Lifted:
    """A korvex matrix M seen as an array of shape (rows, 1, cols).

    Dask's matrix product (X @ Y, X.T @ X) computes each block product,
    gives it a middle axis (``block[..., None, :]``), adds the products
    along that axis with numpy's add and drops the axis again. A korvex
    block answers that indexing with this wrapper, which supports exactly
    those steps: np.add of two (the library's sparse sum), squeeze() and
    indexing of the middle axis (back to the korvex matrix), shape, dtype.
    So ``X.T @ X`` over row blocks sums the blocks' Gram products."""

    __slots__ = ("M",)
    ndim = 3

    def __init__(self, M):
        self.M = M

    @property
    def shape(self):
        r, c = self.M.shape
        return (r, 1, c)

    @property
    def dtype(self):
        return self.M.dtype

    def __reduce__(self):
        return (_Lifted, (self.M,))

    def squeeze(self, axis=None):
        if axis not in (None, 1, -2, (1,), (-2,)):
            raise ValueError(f"a lifted korvex block drops only its middle axis, not {axis}")
        return self.M

    def reshape(self, *shape):
        shape = tuple(shape[0]) if len(shape) == 1 and isinstance(shape[0], tuple) else shape
        if shape != self.M.shape:
            raise ValueError(f"a lifted korvex block reshapes only to {self.M.shape}")
        return self.M  # Dask's meta of a squeezed product: (0, 1, 0) to (0, 0)

    def __getitem__(self, key):
        if not (isinstance(key, tuple) and len(key) == 3):
            raise IndexError(f"a lifted korvex block takes three indices, got {key!r}")
        a, mid, b = key
        if isinstance(mid, (int, np.integer)) and not isinstance(mid, bool):
            if mid not in (0, -1):
                raise IndexError(f"index {mid} is outside the middle axis of length 1")
            return self.M[a, b]
        if isinstance(mid, slice):
            return _Lifted(self.M[a, b])  # Dask's meta slices (0:0, 0:0, 0:0) too
        raise IndexError(f"a lifted korvex block takes ints and slices, got {key!r}")

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        if ufunc is np.add and method == "__call__" and len(inputs) == 2 and \
                all(isinstance(x, _Lifted) for x in inputs) and set(kwargs) <= {"dtype"}:
            total = inputs[0].M + inputs[1].M
            dtype = kwargs.get("dtype")
            if dtype is not None and np.dtype(dtype) != total.dtype:
                total = total.astype(dtype)
            return _Lifted(total)
        return NotImplemented


for _cls in (CSRMatrix, CSCMatrix):
    _cls._middle_axis = staticmethod(_Lifted)


# --------------------------------------------------------------------------
# Reductions that read every block
# --------------------------------------------------------------------------
# Dask's own max() and min() skip a block whose size is 0, and a block's size
# is scipy's (its stored entries), so they would leave out a block of zeros;
# its count_nonzero() and var() need boolean and dense blocks, which korvex
# does not hold. These run on any block, empty or not, and need neither.

def _reduced_shape(b, axis):
    return tuple(1 if a in axis else n for a, n in enumerate(b.shape))


def _extreme_chunk(b, axis=None, keepdims=True, op="max"):
    if 0 in b.shape:  # no cells: the identity of the reduction
        fill = -np.inf if op == "max" else np.inf
        return np.full(_reduced_shape(b, axis), fill, b.dtype)
    return getattr(b, op)(axis=axis, keepdims=True)


def _extreme(x, axis, keepdims, split_every, op):
    f = np.max if op == "max" else np.min
    return da.reduction(x, partial(_extreme_chunk, op=op), f, combine=f, axis=axis,
                        keepdims=keepdims, dtype=x.dtype, split_every=split_every)


def max(x, axis=None, keepdims=False, split_every=None):
    """x.max(axis) of a Dask array of korvex blocks, every block read (also
    one that stores no entry, which Dask's own max() would leave out)."""
    return _extreme(x, axis, keepdims, split_every, "max")


def min(x, axis=None, keepdims=False, split_every=None):
    """x.min(axis), as max()."""
    return _extreme(x, axis, keepdims, split_every, "min")


def _summed_lines(b, axis):
    """(line of each entry, value, number of lines, cells per line) of b's
    entries with duplicates summed: one line for both axes, else a column
    (axis 0) or a row (axis 1) each."""
    r, c = b.shape
    C = b.tocoo()
    C.sum_duplicates()
    if len(axis) == 2:
        return np.zeros(len(C.data), np.int64), C.data, 1, r * c
    if axis == (0,):
        return C.col, C.data, c, r
    return C.row, C.data, r, c


def _count_chunk(b, axis=None, keepdims=True):
    if 0 in b.shape:
        return np.zeros(_reduced_shape(b, axis), np.intp)
    line, vals, n, _ = _summed_lines(b, axis)
    counts = np.bincount(line[vals != 0], minlength=n).astype(np.intp)
    return counts.reshape(_reduced_shape(b, axis))


def count_nonzero(x, axis=None, keepdims=False, split_every=None):
    """da.count_nonzero(x, axis) of a Dask array of korvex blocks: the
    non-zero cells of the dense matrix (duplicates summed first)."""
    return da.reduction(x, _count_chunk, np.sum, axis=axis, keepdims=keepdims,
                        dtype=np.intp, split_every=split_every)


def _moment_chunk(b, axis=None, keepdims=True, dtype="f8", computing_meta=False):
    """Variance partials of one block: cells n, total and the sum of squared
    deviations from the block's mean, from the stored entries (the absent
    zeros each add the squared mean)."""
    if computing_meta:
        return np.empty((0, 0), dtype)
    shape = _reduced_shape(b, axis)
    if 0 in b.shape:
        zero = np.zeros(shape)
        return {"n": zero, "total": zero, "m2": zero}
    line, vals, n_lines, per_line = _summed_lines(b, axis)
    vals = vals.astype(np.float64)
    total = np.bincount(line, weights=vals, minlength=n_lines)
    mean = total / per_line
    stored = np.bincount(line, minlength=n_lines)
    m2 = (np.bincount(line, weights=(vals - mean[line]) ** 2, minlength=n_lines)
          + (per_line - stored) * mean ** 2)
    return {"n": np.full(shape, float(per_line)), "total": total.reshape(shape),
            "m2": m2.reshape(shape)}


def _moment_merge(parts, axis):
    """Partials of many blocks into one (Chan's pairwise update); blocks
    without cells add nothing."""
    if not isinstance(parts, list):
        parts = [parts]
    ns, totals, m2s = (_concatenate2(deepmap(lambda p, k=k: p[k], parts), axes=axis)
                       for k in ("n", "total", "m2"))
    n = ns.sum(axis=axis, keepdims=True)
    total = totals.sum(axis=axis, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.where(n > 0, total / n, 0.0)
        own = np.where(ns > 0, totals / ns, 0.0)
    m2 = m2s.sum(axis=axis, keepdims=True) + (ns * (own - mean) ** 2).sum(axis=axis,
                                                                         keepdims=True)
    return {"n": n, "total": total, "m2": m2}


def _moment_combine(parts, axis=None, keepdims=True, computing_meta=False):
    if computing_meta:
        return parts
    return _moment_merge(parts, axis)


def _moment_agg(parts, axis=None, keepdims=False, ddof=0, dtype="f8", computing_meta=False):
    if computing_meta:
        return np.empty((0,) * (2 if keepdims else 2 - len(axis)), dtype)
    m = _moment_merge(parts, axis)
    with np.errstate(divide="ignore", invalid="ignore"):
        out = m["m2"] / np.maximum(m["n"] - ddof, 0)
    if not keepdims:
        out = out.squeeze(axis=axis)
    return out.astype(dtype, copy=False)


def var(x, axis=None, ddof=0, keepdims=False, split_every=None):
    """x.var(axis, ddof) of a Dask array of korvex blocks, absent entries
    counted as zeros, without densifying a block (Dask's own var() subtracts
    the mean from each block)."""
    dt = np.var(np.ones(1, dtype=x.dtype)).dtype
    return da.reduction(x, _moment_chunk, partial(_moment_agg, ddof=ddof), axis=axis,
                        keepdims=keepdims, dtype=dt, split_every=split_every,
                        combine=_moment_combine, name="korvex-var", concatenate=False)


def std(x, axis=None, ddof=0, keepdims=False, split_every=None):
    """The square root of var()."""
    return da.sqrt(var(x, axis, ddof, keepdims, split_every))


# --------------------------------------------------------------------------
# Registrations
# --------------------------------------------------------------------------

def _concatenate(blocks, axis=0):
    """Dask's concatenation of korvex blocks. Along the compressed axis
    (vstack of CSR, hstack of CSC) the result shares the blocks' spans; across
    it the entries are copied. A single block is returned as it is."""
    blocks = list(blocks)
    if len(blocks) == 1:
        return blocks[0]
    if axis < 0:
        axis += 2
    if axis not in (0, 1):
        raise ValueError(f"korvex matrices have axes 0 and 1, got axis {axis}")
    if not blocks:
        raise ValueError("nothing to concatenate")
    for b in blocks:
        if not core.is_matrix(b):
            raise TypeError(f"cannot concatenate a korvex matrix with {type(b).__name__}")
    if len({(type(b), b.dtype) for b in blocks}) > 1:
        # Mixed forms or value types: bring every block to the form whose
        # compressed axis is the one stacked along, and to the widest type.
        fmt = ("csr", "csc")[axis]
        dt = np.result_type(*[b.dtype for b in blocks])
        blocks = [_from_scipy_block(b, fmt, dt) for b in blocks]
    return vstack(blocks) if axis == 0 else hstack(blocks)


for _cls in (CSRMatrix, CSCMatrix):
    concatenate_lookup.register(_cls, _concatenate)

# Bytes a block holds: per entry an int64 index and a value; per row (CSR) or
# column (CSC) two 32-byte span descriptors. Views (from_file blocks, blocks
# received from another worker) count the host or mapped bytes they read as
# held; blocks that share storage (clones, stacks along) each count it.
_SIZEOF_BASE = 256


@sizeof.register(_Lifted)
def _sizeof_lifted(L):
    return _sizeof_korvex(L.M)


def _sizeof_korvex(M):
    if M.freed:
        return _SIZEOF_BASE
    outer = _swap(M.format, M.shape)[0]
    return int(M.nnz) * (8 + M.dtype.itemsize) + 64 * outer + _SIZEOF_BASE


for _cls in (CSRMatrix, CSCMatrix):
    sizeof.register(_cls, _sizeof_korvex)
del _cls


# A block holding an index outside its shape (a view imported unchecked)
# cannot go through the compressed export; it travels through the coordinate
# export, a range of rows (CSR) or columns (CSC) of at most this many entries
# at a time, which bounds that export's temporaries (24 bytes per entry).
_EXPORT_CHUNK = 1 << 24


def _fits_int32(a):
    """Every value of the int64 array a lies in 0..2**31-1 (one pass: as
    unsigned, negative values are huge)."""
    return not a.size or int(a.view(np.uint64).max()) <= _INT32_MAX


def _export_arrays(M):
    """indptr, inner indices and values of M in stored order, from the
    library's compressed export: int32 indptr and indices whenever the entry
    count and the inner dimension allow it, else int64."""
    narrow = M.nnz <= _INT32_MAX and _swap(M.format, M.shape)[1] <= _INT32_MAX + 1
    try:
        return core.export_compressed(M, np.int32 if narrow else np.int64)
    except IndexOutOfRangeError:
        return _export_unchecked(M)


def _export_unchecked(M):
    """As _export_arrays, for a block holding an index outside its shape: such
    an index travels as it is (int64 when it does not fit int32) rather than
    being wrapped into a wrong but plausible int32 column."""
    nnz = M.nnz
    if nnz <= _EXPORT_CHUNK:
        indptr, inner, vals, _, _ = core.export(M)
        return indptr, (inner.astype(np.int32) if _fits_int32(inner) else inner), vals
    lens = M.outer_lengths().view(np.int64)
    n = len(lens)
    indptr = np.zeros(n + 1, np.int64)
    np.cumsum(lens, out=indptr[1:])
    if int(indptr[-1]) != nnz:
        raise RuntimeError(f"the row lengths add up to {int(indptr[-1])}, not nnz={nnz}")
    idx, vals = np.empty(nnz, np.int32), np.empty(nnz, M.dtype)
    inner = np.searchsorted(indptr, np.arange(_EXPORT_CHUNK, nnz, _EXPORT_CHUNK))
    cuts = np.unique(np.concatenate([[0], inner, [n]])).tolist()
    for a, b in zip(cuts, cuts[1:]):
        lo, hi = int(indptr[a]), int(indptr[b])
        if lo == hi:
            continue
        part = _outer_range(M, a, b)
        try:
            _, pi, pv, _, _ = core.export(part)
        finally:
            part.free()
        if len(pv) != hi - lo:
            raise RuntimeError(f"outer range {a}..{b} exported {len(pv)} entries, the row "
                               f"lengths say {hi - lo}")
        if idx.dtype == np.int32 and not _fits_int32(pi):
            idx = idx.astype(np.int64)
        idx[lo:hi] = pi
        vals[lo:hi] = pv
    return indptr, idx, vals


class _Memory:
    """nbytes at address in the storage of matrix M, as an array interface
    that holds M (and so the buffers its rows read) while a frame over it
    lives."""

    __slots__ = ("__array_interface__", "M")

    def __init__(self, address, nbytes, M):
        self.M = M
        self.__array_interface__ = {"data": (address, True), "shape": (nbytes,),
                                    "typestr": "|u1", "version": 3}


class _NarrowTwin:
    """The int32 indices a block arrived with, kept beside the int64 copy its
    rows read (wide): a block moved on sends them again as they came."""

    __slots__ = ("narrow", "wide")

    def __init__(self, narrow, wide):
        self.narrow, self.wide = narrow, wide


def _narrow_indices(M, address, nnz):
    """M's nnz int64 indices from address, as int32 when they fit: the int32
    indices M arrived with where they cover them, else narrowed (one pass).
    int64 when they do not fit (an index outside int32 travels as it is).
    int64 frames would travel at 8 bytes an index, and distributed's lz4
    finds their zero high bytes, compressing and copying them both ways."""
    for k in core.record(M).keep:
        if isinstance(k, _NarrowTwin):
            off = address - k.wide.ctypes.data
            if off >= 0 and off % 8 == 0 and off // 8 + nnz <= len(k.wide):
                return k.narrow[off // 8:off // 8 + nnz]
    wide = np.asarray(_Memory(address, nnz * 8, M)).view(np.int64)
    return wide.astype(np.int32) if _fits_int32(wide) else wide


def _gap_among_first_rows(M, rows=16):
    """Whether two consecutive non-empty rows among M's first ones leave a
    gap (owned rows of the library do): the cheap answer for most blocks."""
    last = None
    for i in range(builtins.min(rows, _swap(M.format, M.shape)[0])):
        v, x = M.spans(i)
        if not v.len:
            continue
        if last is not None and (v.address != last[0] or x.address != last[1]):
            return True
        last = (v.address + v.len * M.dtype.itemsize, x.address + x.len * 8)
    return False


def _in_place_arrays(M):
    """(indptr, indices, values) of M whose values are an array over M's own
    storage, when its rows lie back to back in one values region and one
    index region (views of host arrays, blocks received from another worker,
    blocks of a file): sending them gathers nothing (indices: see
    _narrow_indices). None when they do not (owned rows start 32-byte
    aligned, so most made by the library leave gaps; rows taken twice), then
    the block is gathered. The frames hold M: a block must not be freed
    while it is being sent."""
    if _gap_among_first_rows(M):
        return None  # settled without reading every row's pointers
    vp, xp, ln = core.pointers(M)
    nz = ln != 0
    v, x, n = vp[nz].view(np.int64), xp[nz].view(np.int64), ln[nz].view(np.int64)
    if not len(n):
        return None
    size = M.dtype.itemsize
    if not (np.array_equal(v[1:], v[:-1] + n[:-1] * size)
            and np.array_equal(x[1:], x[:-1] + n[:-1] * 8)):
        return None
    nnz = int(n.sum())
    indptr = np.zeros(len(ln) + 1, np.int64)
    np.cumsum(ln.view(np.int64), out=indptr[1:])
    vals = np.asarray(_Memory(int(v[0]), nnz * size, M)).view(M.dtype)
    return indptr, _narrow_indices(M, int(x[0]), nnz), vals


def _serialize(M):
    """Header and frames (indptr, indices, values) of a block. Rows lying
    back to back go as frames over the block's own values; otherwise the
    block is gathered. Indices and indptr go as int32 when they fit; values
    as they are."""
    r, c = M.shape
    arrays = _in_place_arrays(M)
    indptr, idx, vals = arrays if arrays is not None else _export_arrays(M)
    indptr = _narrow(indptr, len(vals) + 1)
    header = {"format": M.format, "shape": [r, c], "dtype": vals.dtype.str,
              "indptr": indptr.dtype.str, "indices": idx.dtype.str,
              "sparray": core.record(M).sparray}
    return header, [indptr.data, idx.data, vals.data]


def _buffer_at(mv, address, nbytes, dtype):
    """nbytes at address inside the buffer under memoryview mv, as an array
    of dtype that keeps that buffer alive."""
    base = np.frombuffer(mv.obj, np.uint8)
    off = address - base.ctypes.data
    return base[off:off + nbytes].view(dtype)


def _moved_back(header, inner_f, vals_f, inner, vals):
    """Values at an odd offset, read in place after moving them back onto
    their natural alignment: into the tail of the int32 index frame just
    before them, dead once the indices are widened into the block's own
    int64 copy. Only for frames of one writable buffer lying side by side.
    The header records the move (and the index bytes it overwrote), so the
    same frames deserialize again to the same block. None when it does not
    apply."""
    moved = header.get("korvex-moved")
    mi, mv = memoryview(inner_f), memoryview(vals_f)
    if moved is None and (inner.dtype != np.int32 or mi.readonly or mv.readonly
                          or mi.obj is not mv.obj or not vals.flags.c_contiguous
                          or inner.ctypes.data + inner.nbytes != vals.ctypes.data):
        return None
    start = vals.ctypes.data
    if moved is None:
        k = start % vals.itemsize
        if k > inner.nbytes:
            return None
        idx = inner.astype(np.int64)  # before the move overwrites its tail
        saved = bytes(mi.cast("B")[len(mi.cast("B")) - k:])
        ctypes.memmove(start - k, start, vals.nbytes)
        header["korvex-moved"] = [k, saved]
    else:
        k, saved = moved
        raw = bytes(mi.cast("B"))
        idx = np.frombuffer(raw[:len(raw) - k] + bytes(saved), inner.dtype).astype(np.int64)
    return idx, _buffer_at(mv, start - k, vals.nbytes, vals.dtype)


def _deserialize(header, frames):
    """A block over the received frames. Values aligned in the message
    buffer are read in place (the block keeps the frames alive); int32
    indices are widened into the block's own int64 copy, int64 ones aligned
    are read in place too. Values at an odd offset of a writable message
    buffer are moved back onto their alignment and read in place (see
    _moved_back); elsewhere (read-only frames) frames at odd offsets go
    through the library's copy import, which reads any address."""
    indptr_f, inner_f, vals_f = frames
    indptr = np.frombuffer(indptr_f, dtype=header["indptr"])
    inner = np.frombuffer(inner_f, dtype=header["indices"])
    vals = np.frombuffer(vals_f, dtype=header["dtype"])
    view = _viewable(vals) and (inner.dtype != np.int64 or _viewable(inner))
    keep = ()
    if not view and vals.size:
        moved = _moved_back(header, inner_f, vals_f, inner, vals)
        if moved is not None:
            (inner, vals), view = moved, True
    elif view and inner.dtype == np.int32:
        wide = inner.astype(np.int64)
        keep, inner = (_NarrowTwin(inner, wide),), wide  # moving on sends inner again
    return from_arrays(header["format"], tuple(header["shape"]), indptr, inner, vals,
                       copy=not view, keep=keep, sparray=bool(header.get("sparray", False)))


def _register_distributed():
    try:
        from distributed.protocol import dask_deserialize, dask_serialize
    except ImportError:  # pragma: no cover - distributed not installed
        return False
    for cls in (CSRMatrix, CSCMatrix):
        dask_serialize.register(cls, _serialize)
        dask_deserialize.register(cls, _deserialize)
    dask_serialize.register(_Lifted, lambda L: _serialize(L.M))
    dask_deserialize.register(_Lifted, lambda header, frames: _Lifted(_deserialize(header, frames)))
    return True


_register_distributed()
