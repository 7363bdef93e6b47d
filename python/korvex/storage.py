"""Matrices in files: korvex's own format (mapped on open) and scipy's .npz.

    korvex.save(path, M)              # any CSR/CSC matrix, written atomically
    M = korvex.load(path)             # maps the file: O(rows) open, a view
    M = korvex.load(path, mmap=False) # reads the file into owned storage
    korvex.save_npz(path, M)          # what scipy.sparse.load_npz reads
    M = korvex.load_npz(path)         # what scipy.sparse.save_npz writes (csr/csc)

The layout of a korvex file is described in docs/file-format.md. This module
sits above the core: it builds matrices through ``_matrix.from_arrays`` and
reads them through ``outer_lengths()``, public slicing and ``_core.export``.
"""
from __future__ import annotations

import mmap as _mmap
import os
import struct
import sys
import tempfile
import zipfile
import zlib

import numpy as np

from . import _core as core
from ._lib import IndptrError, LengthError
from ._matrix import from_arrays

__all__ = ["save", "load", "save_npz", "load_npz", "FileFormatError"]


class FileFormatError(ValueError):
    """A file is not a well-formed matrix file of the kind asked for: wrong
    magic or version, a header that disagrees with itself or with the file's
    size, row pointers that do not start at 0, decrease or miss nnz."""


# --------------------------------------------------------------------------
# The korvex file header (docs/file-format.md)
# --------------------------------------------------------------------------

MAGIC = b"\x89KORVEX\n"
VERSION = 1
# magic, version, header length, form, value type, flags, reserved; rows,
# cols, nnz, (offset, bytes) of the row pointers, indices and values, file
# size, reserved. A crc32 of these 120 bytes follows, then 4 zero bytes.
_HEADER = struct.Struct("<8sIIIIII" + "Q" * 11)
HEADER_SIZE = 128
_CRC = struct.Struct("<I")
_CRC_AT = _HEADER.size                      # 120: crc32 of bytes 0..119
assert _HEADER.size + _CRC.size <= HEADER_SIZE
ALIGN = 4096          # where this writer puts every array
MIN_ALIGN = 64        # what a reader requires
FLAG_SORTED = 1       # every row (CSR) / column (CSC) strictly increasing
_KNOWN_FLAGS = FLAG_SORTED
_FORMS = {1: "csr", 2: "csc"}
_FORM_CODES = {v: k for k, v in _FORMS.items()}
_VALUE_TYPES = {1: np.dtype("<f4"), 2: np.dtype("<f8")}
_VALUE_CODES = {np.dtype(np.float32): 1, np.dtype(np.float64): 2}
_LIMIT = 1 << 63
_INDEX = np.dtype("<i8")
# Entries written per export when saving: bounds the extra memory save needs.
_CHUNK_ENTRIES = 1 << 22


def _align(n, a=ALIGN):
    return -(-n // a) * a


class _Header:
    __slots__ = ("form", "dtype", "flags", "rows", "cols", "nnz", "indptr_offset",
                 "indptr_bytes", "indices_offset", "indices_bytes", "values_offset",
                 "values_bytes", "file_size")

    @property
    def outer(self):
        return core.swap(self.form, (self.rows, self.cols))[0]


def _pack_header(form, dtype, flags, rows, cols, nnz):
    outer = core.swap(form, (rows, cols))[0]
    ip_off = ALIGN
    ip_bytes = (outer + 1) * 8
    ix_off = _align(ip_off + ip_bytes)
    ix_bytes = nnz * 8
    v_off = _align(ix_off + ix_bytes)
    v_bytes = nnz * dtype.itemsize
    size = v_off + v_bytes
    raw = _HEADER.pack(MAGIC, VERSION, HEADER_SIZE, _FORM_CODES[form], _VALUE_CODES[dtype],
                       flags, 0, rows, cols, nnz, ip_off, ip_bytes, ix_off, ix_bytes, v_off,
                       v_bytes, size, 0)
    raw += _CRC.pack(zlib.crc32(raw))
    return raw.ljust(HEADER_SIZE, b"\0"), (ip_off, ix_off, v_off, size)


def _parse_header(raw, file_size, name):
    """The header of a korvex file of file_size bytes, every field checked
    against the others and against the size; FileFormatError otherwise."""
    def bad(what):
        return FileFormatError(f"{name}: {what}")

    if len(raw) < 8 or raw[:8] != MAGIC:
        if len(raw) < 8 and MAGIC.startswith(raw):
            raise bad(f"truncated: {file_size} bytes, shorter than the magic number")
        hint = "; a .npz archive: use korvex.load_npz" if raw[:4] == b"PK\x03\x04" else ""
        raise bad(f"not a korvex matrix file (magic {bytes(raw[:8])!r}, expected "
                  f"{MAGIC!r}){hint}")
    if len(raw) < HEADER_SIZE:
        raise bad(f"truncated: {file_size} bytes, shorter than the {HEADER_SIZE}-byte header")
    (_, version, hlen, form, vtype, flags, reserved, rows, cols, nnz, ip_off, ip_bytes,
     ix_off, ix_bytes, v_off, v_bytes, size, reserved2) = _HEADER.unpack_from(raw)
    if version != VERSION:
        raise bad(f"format version {version}; this korvex reads version {VERSION}")
    (crc,) = _CRC.unpack_from(raw, _CRC_AT)
    if crc != zlib.crc32(raw[:_CRC_AT]):
        raise bad("header checksum mismatch: the header is damaged")
    if hlen != HEADER_SIZE:
        raise bad(f"header length {hlen}, version {VERSION} headers are {HEADER_SIZE} bytes")
    if form not in _FORMS:
        raise bad(f"unknown form code {form} (1 = CSR, 2 = CSC)")
    if vtype not in _VALUE_TYPES:
        raise bad(f"unknown value type code {vtype} (1 = float32, 2 = float64)")
    if flags & ~_KNOWN_FLAGS:
        raise bad(f"unknown flag bits {flags & ~_KNOWN_FLAGS:#x}")
    if reserved or reserved2 or any(raw[_CRC_AT + 4:HEADER_SIZE]):
        raise bad("reserved header bytes are not zero")
    for what, v in (("rows", rows), ("cols", cols), ("nnz", nnz)):
        if v >= _LIMIT:
            raise bad(f"{what} = {v} is beyond 2**63 - 1")
    h = _Header()
    h.form, h.dtype, h.flags, h.rows, h.cols, h.nnz = (
        _FORMS[form], _VALUE_TYPES[vtype], flags, rows, cols, nnz)
    h.indptr_offset, h.indptr_bytes, h.indices_offset, h.indices_bytes = (
        ip_off, ip_bytes, ix_off, ix_bytes)
    h.values_offset, h.values_bytes, h.file_size = v_off, v_bytes, size
    arrays = (("row pointers", ip_off, ip_bytes, (h.outer + 1) * 8),
              ("indices", ix_off, ix_bytes, nnz * 8),
              ("values", v_off, v_bytes, nnz * h.dtype.itemsize))
    end = HEADER_SIZE
    for what, off, nbytes, want in arrays:
        if nbytes != want:
            raise bad(f"the header gives the {what} {nbytes} bytes, its shape and nnz need "
                      f"{want}")
        if off % MIN_ALIGN:
            raise bad(f"the {what} start at byte {off}, not a multiple of {MIN_ALIGN}")
        if off < end:
            raise bad(f"the {what} start at byte {off}, inside what comes before them "
                      f"(which ends at byte {end})")
        end = off + nbytes
    if size != end:
        raise bad(f"the header gives a file size of {size} bytes, its arrays end at byte {end}")
    if file_size != size:
        state = "truncated: " if file_size < size else ""
        raise bad(f"{state}the file has {file_size} bytes, its header says {size}")
    return h


def _check_indptr(indptr, nnz, name):
    """Row pointers start at 0, never decrease and end at nnz: O(outer)."""
    if indptr[0] != 0:
        raise FileFormatError(f"{name}: the row pointers start at {int(indptr[0])}, not 0")
    if len(indptr) > 1:
        down = np.flatnonzero(indptr[1:] < indptr[:-1])
        if down.size:
            i = int(down[0])
            raise FileFormatError(f"{name}: the row pointers decrease after position {i} "
                                  f"({int(indptr[i])} to {int(indptr[i + 1])})")
    if indptr[-1] != nnz:
        raise FileFormatError(f"{name}: the row pointers end at {int(indptr[-1])}, the "
                              f"header's nnz is {nnz}")


# --------------------------------------------------------------------------
# Writing
# --------------------------------------------------------------------------

def _umask():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def _atomic_write(path, write):
    """Call write(fd) on a new temporary file next to path, flush it to disk
    and rename it over path; on any failure remove it and re-raise. path is
    never seen half-written."""
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if os.path.islink(path):
        path = os.path.realpath(path)  # replace the file, not the link
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.",
                               suffix=".tmp")
    try:
        try:
            os.fchmod(fd, 0o666 & ~_umask())  # what open() would have given
            write(fd)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:  # make the rename itself durable
        dfd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)
    except OSError:
        pass


def _pwrite_all(fd, buf, offset):
    view = memoryview(buf).cast("B")
    while view:
        n = os.pwrite(fd, view, offset)
        if n <= 0:
            raise OSError(f"write returned {n}")
        view, offset = view[n:], offset + n


def _check_matrix(A, what):
    if not core.is_matrix(A):
        raise TypeError(f"{what} takes a korvex CSR or CSC matrix, got {type(A).__name__} "
                        f"(import scipy matrices with korvex.from_scipy first)")
    if not A.indices_in_bounds():
        raise IndexError(f"{what}: the matrix holds an index outside its shape {A.shape}; "
                         f"a file would give other readers a malformed matrix")


class _ArrayWriter:
    """Fills the arrays of a new korvex file through fd, piece by piece and in
    any order, at the offsets its header fixes; finish() writes the header
    last, so a file cut short never carries a valid one."""

    def __init__(self, fd, form, dtype, rows, cols, nnz):
        self.fd, self.form, self.dtype = fd, form, np.dtype(dtype)
        self.shape, self.nnz = (rows, cols), nnz
        _, (self.ip_off, self.ix_off, self.v_off, size) = _pack_header(
            form, self.dtype, 0, rows, cols, nnz)
        os.ftruncate(fd, size)  # holes for the padding

    def pointers(self, start, ptr):
        """Outer pointers start, start + 1, ... (any integer array)."""
        _pwrite_all(self.fd, np.asarray(ptr).astype(_INDEX, copy=False),
                    self.ip_off + 8 * start)

    def entries(self, start, inner, values):
        """Entries start, start + 1, ...: inner indices (any integer array)
        and values (converted to the file's value type)."""
        if len(inner) != len(values):
            raise ValueError(f"{len(inner)} indices and {len(values)} values")
        _pwrite_all(self.fd, np.asarray(inner).astype(_INDEX, copy=False),
                    self.ix_off + 8 * start)
        _pwrite_all(self.fd, np.asarray(values).astype(self.dtype.newbyteorder("<"),
                                                       copy=False),
                    self.v_off + self.dtype.itemsize * start)

    def finish(self, sorted_rows):
        rows, cols = self.shape
        header, _ = _pack_header(self.form, self.dtype, FLAG_SORTED if sorted_rows else 0,
                                 rows, cols, self.nnz)
        _pwrite_all(self.fd, header, 0)


def _write_new(path, form, dtype, shape, nnz, fill):
    """Write a korvex file at path as save() does (a temporary file beside it,
    renamed when complete, removed on any failure): fill(writer) supplies
    every array through an _ArrayWriter and returns whether every row (CSR) /
    column (CSC) is strictly increasing."""
    rows, cols = shape

    def write(fd):
        w = _ArrayWriter(fd, form, dtype, rows, cols, nnz)
        w.finish(fill(w))

    _atomic_write(path, write)


def save(path, A):
    """Write matrix A (CSR or CSC, any storage: owned, shared, a view, rows
    unsorted) to a korvex file at path.

    The file is written under a temporary name in path's directory, flushed
    to disk and renamed over path, so path holds either its old contents or
    the complete new file, never a part; matrices mapped from the old file
    keep reading it. File-system errors raise OSError and leave no temporary
    file behind. An index outside the shape raises IndexError (nothing is
    written). Each row is stored in its current order, duplicates included;
    the header records whether every row is strictly increasing."""
    _check_matrix(A, "save")
    form, dtype = A.format, A.dtype
    lens = A.outer_lengths().view(np.int64)
    indptr = np.zeros(len(lens) + 1, _INDEX)
    np.cumsum(lens, out=indptr[1:])
    nnz = int(indptr[-1])
    if nnz != A.nnz:
        raise ValueError(f"save: the row lengths add up to {nnz}, the matrix reports {A.nnz}")
    sorted_rows = A.has_sorted_indices

    def fill(w):
        w.pointers(0, indptr)
        # Export at most about _CHUNK_ENTRIES entries at a time: outer slices
        # share storage, so the only copies alive are one chunk's.
        n, start = len(lens), 0
        while start < n:
            stop = int(np.searchsorted(indptr, indptr[start] + _CHUNK_ENTRIES, "right")) - 1
            stop = min(max(stop, start + 1), n)
            if start == 0 and stop == n:
                part = A
            else:
                part = A[core.swap(form, (slice(start, stop), slice(None)))]
            try:
                _, inner, vals, _, _ = core.export(part)
            finally:
                if part is not A:
                    part.free()
            base = int(indptr[start])
            if len(inner) != int(indptr[stop]) - base:
                raise ValueError("save: the matrix changed while it was written")
            w.entries(base, inner, vals)
            del inner, vals
            start = stop
        return sorted_rows

    _write_new(path, form, dtype, A.shape, nnz, fill)


# --------------------------------------------------------------------------
# Reading
# --------------------------------------------------------------------------

def _read_exact(f, arr, offset, name, what):
    view = memoryview(arr).cast("B")
    f.seek(offset)
    got = 0
    while got < len(view):
        n = f.readinto(view[got:])
        if not n:
            raise FileFormatError(f"{name}: truncated while reading the {what} (the file "
                                  f"shrank after it was opened?)")
        got += n


def load(path, mmap=True):
    """Open a korvex file written by save().

    mmap=True maps the file and makes a view over it: only the header and
    the row pointers are read (O(rows)); rows are paged in when used. Outer
    slices, masks and stacks along the compressed axis stay views of the
    file, and the mapping lives as long as any matrix reading it. The file
    must not be truncated or rewritten in place while mapped (save() renames
    a new file into place, which is safe): see docs/file-format.md.

    mmap=False reads the file into storage of korvex's own.

    Both check the header against itself and against the file's size, and
    that the row pointers start at 0, never decrease and end at nnz, before
    any matrix exists; any failure raises FileFormatError (a ValueError).
    The inner indices are not scanned: call validate() for that (O(nnz))."""
    name = os.fsdecode(os.fspath(path))
    with open(path, "rb", buffering=0) as f:
        st = os.fstat(f.fileno())
        raw = f.read(HEADER_SIZE)
        h = _parse_header(raw, st.st_size, name)
        n = h.outer
        native = sys.byteorder == "little"
        if mmap and native:
            buf = _mmap.mmap(f.fileno(), 0, access=_mmap.ACCESS_READ)
            if len(buf) != h.file_size:  # changed between fstat and mmap
                raise FileFormatError(f"{name}: the file has {len(buf)} bytes, its header "
                                      f"says {h.file_size}")
            indptr = np.frombuffer(buf, _INDEX, n + 1, h.indptr_offset)
            _check_indptr(indptr, h.nnz, name)
            indices = np.frombuffer(buf, _INDEX, h.nnz, h.indices_offset)
            values = np.frombuffer(buf, h.dtype, h.nnz, h.values_offset)
            return from_arrays(h.form, (h.rows, h.cols), indptr, indices, values, copy=False,
                                keep=(buf,))
        indptr = np.empty(n + 1, _INDEX)
        _read_exact(f, indptr, h.indptr_offset, name, "row pointers")
        _check_indptr(indptr, h.nnz, name)
        indices = np.empty(h.nnz, _INDEX)
        values = np.empty(h.nnz, h.dtype)
        _read_exact(f, indices, h.indices_offset, name, "indices")
        _read_exact(f, values, h.values_offset, name, "values")
    if not native:
        indptr, indices, values = (a.astype(a.dtype.newbyteorder("=")) for a in
                                   (indptr, indices, values))
    return from_arrays(h.form, (h.rows, h.cols), indptr, indices, values, copy=True)


# --------------------------------------------------------------------------
# scipy's .npz files
# --------------------------------------------------------------------------

def save_npz(file, A, compressed=True):
    """Write matrix A as scipy.sparse.save_npz does, so that
    scipy.sparse.load_npz reads back an equal csr/csc matrix (int64
    indices, rows in stored order). As with scipy, ".npz" is appended to a
    file name that lacks it. The write is atomic, as for save()."""
    _check_matrix(A, "save_npz")
    path = os.fsdecode(os.fspath(file))
    if not path.endswith(".npz"):
        path += ".npz"
    indptr, inner, vals, _, _ = core.export(A)
    arrays = dict(indices=inner, indptr=indptr, format=A.format.encode("ascii"),
                  shape=np.array(A.shape, np.int64), data=vals)
    savez = np.savez_compressed if compressed else np.savez

    def write(fd):
        with os.fdopen(os.dup(fd), "wb") as f:
            savez(f, **arrays)

    _atomic_write(path, write)


def load_npz(file, dtype=None):
    """Read a CSR or CSC matrix written by scipy.sparse.save_npz (compressed
    or not) into storage of korvex's own. Values must be float32/float64
    unless dtype= asks for a conversion (as from_scipy). Other formats (coo,
    bsr, dia) and malformed archives raise FileFormatError; the inner
    indices are not scanned (validate() does that)."""
    name = os.fsdecode(os.fspath(file)) if not hasattr(file, "read") else repr(file)
    try:
        loaded = np.load(file, allow_pickle=False)
    except (ValueError, EOFError, zipfile.BadZipFile, zlib.error) as e:
        raise FileFormatError(f"{name}: not a readable .npz archive ({e})") from e
    if not isinstance(loaded, np.lib.npyio.NpzFile):
        raise FileFormatError(f"{name}: a single .npy array, not a .npz sparse matrix archive")
    with loaded:
        try:
            keys = set(loaded.files)
            if "format" not in keys:
                raise FileFormatError(f"{name}: no 'format' entry: not a scipy sparse matrix "
                                      f"file")
            fmt = loaded["format"].item()
            if isinstance(fmt, bytes):
                fmt = fmt.decode("ascii", "replace")
            if fmt not in ("csr", "csc"):
                raise FileFormatError(f"{name}: holds a {str(fmt).upper()} matrix; korvex reads "
                                      f"CSR and CSC (load it with scipy.sparse.load_npz and "
                                      f"convert with tocsr() / tocsc())")
            missing = {"data", "indices", "indptr", "shape"} - keys
            if missing:
                raise FileFormatError(f"{name}: {fmt.upper()} archive lacks "
                                      f"{', '.join(sorted(missing))}")
            shape = loaded["shape"]
            data, indices, indptr = loaded["data"], loaded["indices"], loaded["indptr"]
            sparray = bool(loaded["_is_array"]) if "_is_array" in keys else False
        except (ValueError, EOFError, zipfile.BadZipFile, zlib.error, KeyError) as e:
            if isinstance(e, FileFormatError):
                raise
            raise FileFormatError(f"{name}: damaged .npz archive ({e})") from e
    if shape.shape != (2,) or shape.dtype.kind not in "iu" or np.any(shape < 0):
        raise FileFormatError(f"{name}: shape {shape!r} is not a pair of non-negative integers")
    if indptr.ndim != 1 or indptr.dtype.kind not in "iu" or indptr.size == 0:
        raise FileFormatError(f"{name}: indptr is not a non-empty 1-D integer array")
    if indices.ndim != 1 or (indices.size and indices.dtype.kind not in "iu"):
        raise FileFormatError(f"{name}: indices is not a 1-D integer array")
    if data.ndim != 1:
        raise FileFormatError(f"{name}: data is not one-dimensional")
    if len(indices) != len(data):
        raise FileFormatError(f"{name}: indices has {len(indices)} entries and data "
                              f"{len(data)}")
    try:
        return from_arrays(fmt, tuple(int(x) for x in shape), indptr, indices, data,
                            copy=True, dtype=dtype, sparray=sparray)
    except (IndptrError, LengthError) as e:
        raise FileFormatError(f"{name}: {e}") from e
