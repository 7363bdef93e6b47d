"""Sparse matrices from AnnData's .h5ad files (any HDF5 file with AnnData's
sparse groups), read with h5py.

    M = korvex.load_h5ad("cells.h5ad")                    # X, in memory
    C = korvex.load_h5ad("cells.h5ad", "layers/counts")   # any group path
    F = korvex.load_h5ad("cells.h5ad", out="cells.kvx")   # converted, mapped

A sparse group holds the datasets data, indices and indptr and names its form
in the attribute encoding-type (csr_matrix / csc_matrix) with the attribute
shape, or, in files of older writers, h5sparse_format (csr / csc) with
h5sparse_shape. The entries are read a chunk at a time, so neither path keeps
a second copy of the matrix: in memory the chunks become the result's own
storage, and with out= each chunk goes to the new file and is dropped.
"""
from __future__ import annotations

import os
import warnings

import numpy as np

from . import _core as core
from . import storage
from ._matrix import from_arrays, hstack, vstack
from ._optional import require
from .storage import FileFormatError

__all__ = ["load_h5ad"]

# Entries read at a time, and outer pointers read at a time by the streaming
# conversion: together they bound its memory, whatever the matrix's size.
_CHUNK_ENTRIES = 1 << 20
_POINTER_BLOCK = 1 << 16


def _text(v):
    if isinstance(v, np.ndarray) and v.shape == ():
        v = v[()]
    return v.decode("utf-8", "replace") if isinstance(v, bytes) else v


class _Group:
    """A sparse group's datasets and attributes, checked against each other
    (the pointers' and entries' contents are checked while they are read)."""

    def __init__(self, h5py, f, key, name):
        self.name = f"{name}[{key!r}]"
        try:
            obj = f.get(key)
        except (KeyError, OSError, ValueError) as e:  # a dangling link, say
            raise KeyError(f"{name}: cannot open {key!r} ({e})") from e
        if obj is None:
            raise KeyError(f"{name}: no {key!r} in the file (top-level keys: "
                           f"{', '.join(sorted(f.keys())) or 'none'})")
        if isinstance(obj, h5py.Dataset):
            raise TypeError(f"{self.name} is a dense {obj.dtype} dataset of shape {obj.shape}, "
                            f"not a sparse matrix: read it with h5py (or anndata)")
        if not isinstance(obj, h5py.Group):
            raise TypeError(f"{self.name} is a {type(obj).__name__}, not a sparse matrix group")
        attrs = obj.attrs
        enc = _text(attrs.get("encoding-type"))
        if enc in ("csr_matrix", "csc_matrix"):
            form, shape = enc[:3], attrs.get("shape")
        elif "h5sparse_format" in attrs:
            form, shape = _text(attrs["h5sparse_format"]), attrs.get("h5sparse_shape")
            if form not in ("csr", "csc"):
                raise TypeError(f"{self.name} holds a {form!r} sparse matrix; korvex reads "
                                f"CSR and CSC")
        else:
            raise TypeError(f"{self.name} is a group of encoding {enc!r}, not a CSR or CSC "
                            f"sparse matrix (encoding-type csr_matrix / csc_matrix)")
        shape = np.asarray(shape) if shape is not None else None
        if (shape is None or shape.shape != (2,) or shape.dtype.kind not in "iu"
                or np.any(shape < 0)):
            raise FileFormatError(f"{self.name}: its shape attribute {shape!r} is not two "
                                  f"non-negative integers")
        self.form = form
        self.shape = (int(shape[0]), int(shape[1]))
        self.outer, self.inner = core.swap(form, self.shape)
        for part in ("data", "indices", "indptr"):
            ds = obj.get(part)
            if not isinstance(ds, h5py.Dataset) or ds.ndim != 1:
                raise FileFormatError(f"{self.name}: the sparse group has no one-dimensional "
                                      f"{part!r} dataset")
            setattr(self, part, ds)
        for part in ("indices", "indptr"):
            if getattr(self, part).dtype.kind not in "iu":
                raise FileFormatError(f"{self.name}: {part} holds {getattr(self, part).dtype}, "
                                      f"not integers")
        stored = self.data.dtype.newbyteorder("=")
        kind = stored.kind
        if stored in (np.float32, np.float64):
            self.dtype = stored
        elif kind in "iub" or stored == np.float16:
            self.dtype = np.dtype(np.float64 if kind in "iub" else np.float32)
            warnings.warn(f"{self.name}: {self.data.dtype} values are read as {self.dtype} "
                          f"(korvex holds float32 and float64)", stacklevel=3)
        else:
            raise TypeError(f"{self.name}: values of type {self.data.dtype}; korvex holds "
                            f"float32 and float64")
        self.nnz = len(self.data)
        if len(self.indices) != self.nnz:
            raise FileFormatError(f"{self.name}: indices has {len(self.indices)} entries and "
                                  f"data {self.nnz}")
        if len(self.indptr) != self.outer + 1:
            raise FileFormatError(f"{self.name}: indptr has {len(self.indptr)} entries, a "
                                  f"{form.upper()} matrix of shape {self.shape} needs "
                                  f"{self.outer + 1}")
        first, last = (int(self.read(self.indptr, i)) for i in (0, self.outer))
        if first != 0:
            raise FileFormatError(f"{self.name}: indptr starts at {first}, not 0")
        if last != self.nnz:
            raise FileFormatError(f"{self.name}: indptr ends at {last}, the group holds "
                                  f"{self.nnz} entries")

    def read(self, ds, sel, out=None):
        """ds[sel] (into out when given); a damaged file raises FileFormatError."""
        try:
            if out is None:
                return ds[sel]
            ds.read_direct(out, np.s_[sel], np.s_[:len(out)])
            return out
        except OSError as e:
            raise FileFormatError(f"{self.name}: cannot read {ds.name} ({e})") from e

    def pointers(self, start, stop, nondecreasing_from):
        """indptr[start:stop] as int64, checked to never decrease, starting
        from the value nondecreasing_from."""
        p = self.read(self.indptr, slice(start, stop))
        p = p.astype(np.int64, copy=False)
        if p.size:
            steps = np.flatnonzero(p[1:] < p[:-1])
            if p[0] < nondecreasing_from:
                self._step_back(start - 1, nondecreasing_from, p[0])
            if steps.size:
                i = int(steps[0])
                self._step_back(start + i, p[i], p[i + 1])
        return p

    def _step_back(self, i, a, b):
        raise FileFormatError(f"{self.name}: indptr steps back after position {i} "
                              f"({int(a)} to {int(b)})")

    def check_indices(self, idx, start):
        """Every index of idx (entries start, start + 1, ...) inside the shape."""
        if idx.size and (int(idx.min()) < 0 or int(idx.max()) >= self.inner):
            k = int(np.argmax((idx < 0) | (idx >= self.inner)))
            word = core.swap(self.form, ("row", "column"))[1]
            raise FileFormatError(f"{self.name}: entry {start + k} has {word} index "
                                  f"{int(idx[k])}, outside 0..{self.inner - 1}")


def _open(h5py, path):
    name = os.fsdecode(os.fspath(path))
    try:
        return h5py.File(path, "r"), name
    except OSError as e:
        if e.errno is not None:  # missing, a directory, no permission: the OS's error
            raise
        raise FileFormatError(f"{name}: not a readable HDF5 file ({e})") from e


def load_h5ad(path, key="X", *, out=None):
    """Read the CSR or CSC matrix stored at key (a path in the file such as
    "X", "layers/counts" or "raw/X") of an AnnData .h5ad file.

    Without out, returns an in-memory matrix of the stored form, read a chunk
    of rows (CSC: columns) at a time. With out (a path), streams the matrix
    chunk by chunk into a new korvex file there -- written under a temporary
    name beside it and renamed when complete; nothing is left behind on any
    failure -- and returns it opened mapped (korvex.load); memory use is then
    a chunk, whatever the matrix's size. Any HDF5 filter h5py reads (gzip,
    lzf, ...) is fine. float32 and float64 values are kept; integer and bool
    values become float64 and float16 values float32, with a warning.

    Raises KeyError (no such key), TypeError (key is a dense dataset, or a
    group that is not a CSR/CSC matrix), korvex.FileFormatError, a
    ValueError (the file is not HDF5 or is damaged; the group's pointers do
    not start at 0, step back or do not end at its entry count; an index lies
    outside the shape; lengths disagree), OSError from the file system, and
    ImportError without h5py."""
    h5py = require("h5py", "korvex.load_h5ad")
    if out is not None:
        out = os.fspath(out)
        if os.path.exists(out) and os.path.exists(path) and os.path.samefile(out, path):
            raise ValueError(f"load_h5ad: out={out!r} is the file being read")
    f, name = _open(h5py, path)
    with f:
        g = _Group(h5py, f, key, name)
        if out is None:
            return _read(g)
        storage._write_new(out, g.form, g.dtype, g.shape, g.nnz, lambda w: _stream(g, w))
    return storage.load(out)


def _read(g):
    """The matrix in memory: runs of whole rows of about _CHUNK_ENTRIES
    entries are imported one at a time and stacked along the outer axis,
    which shares their storage (no entry is copied twice)."""
    indptr = g.pointers(0, g.outer + 1, 0)
    parts = []
    try:
        start = 0
        while start < g.outer or not parts:
            stop = int(np.searchsorted(indptr, indptr[start] + _CHUNK_ENTRIES, "right")) - 1
            stop = min(max(stop, start + 1), g.outer)
            e0, e1 = int(indptr[start]), int(indptr[stop])
            idx = g.read(g.indices, slice(e0, e1))
            g.check_indices(idx, e0)
            vals = g.read(g.data, slice(e0, e1)).astype(g.dtype, copy=False)
            n = stop - start
            shape = core.swap(g.form, (n, g.inner))
            parts.append(from_arrays(g.form, shape, indptr[start:stop + 1] - e0, idx, vals))
            del idx, vals
            start = stop
        if len(parts) == 1:
            return parts.pop()
        return core.swap(g.form, (vstack, hstack))[0](parts)
    finally:
        for p in parts:
            p.free()


def _stream(g, w):
    """Copy the group into the file writer w, _CHUNK_ENTRIES entries and
    _POINTER_BLOCK pointers at a time, checking everything on the way;
    returns whether every row is strictly increasing."""
    # Smaller matrices get smaller chunks: memory stays a fraction of theirs.
    chunk = min(_CHUNK_ENTRIES, max(g.nnz // 16, 1 << 14))
    # Buffers reused by every chunk (native byte order: HDF5 converts).
    raw = np.empty(chunk, g.indices.dtype.newbyteorder("="))
    wide = raw if raw.dtype == np.int64 else np.empty(chunk, np.int64)
    raw_vals = np.empty(chunk, g.data.dtype.newbyteorder("="))
    starts, steps = np.empty(chunk, bool), np.empty(chunk, bool)

    def blocks():
        prev = 0
        for b0 in range(0, g.outer + 1, _POINTER_BLOCK):
            p = g.pointers(b0, min(b0 + _POINTER_BLOCK, g.outer + 1), prev)
            w.pointers(b0, p)
            prev = int(p[-1])
            yield p

    ptrs = blocks()
    block, pos = next(ptrs), 0
    sorted_rows, last = True, None
    for e0 in range(0, g.nnz, chunk):
        e1 = min(e0 + chunk, g.nnz)
        n = e1 - e0
        idx = g.read(g.indices, slice(e0, e1), raw[:n])
        g.check_indices(idx, e0)
        vals = g.read(g.data, slice(e0, e1), raw_vals[:n])
        if wide is not raw:
            np.copyto(wide[:n], idx)
        w.entries(e0, wide[:n], vals)
        # start[k]: a row begins at entry e0 + k. The pointers never
        # decrease, so those below e0 were consumed by earlier chunks.
        start = starts[:n]
        start[:] = False
        while block is not None:
            j = pos + int(np.searchsorted(block[pos:], e1, "left"))
            start[block[pos:j] - e0] = True
            pos = j
            if pos < len(block):
                break
            block, pos = next(ptrs, None), 0
        if sorted_rows:
            if last is not None and not start[0] and idx[0] <= last:
                sorted_rows = False
            else:  # a step down or a repeat that does not begin a row
                step = steps[:n - 1]
                np.less_equal(idx[1:], idx[:-1], out=step)
                sorted_rows = not np.greater(step, start[1:], out=step).any()
        last = idx[-1]
    for block in ptrs:  # pointers after the last entry (empty rows at the end)
        pass
    return sorted_rows
