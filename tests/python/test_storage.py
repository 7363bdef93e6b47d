"""Files: korvex's own format (mapped and copied loads), scipy's .npz in both
directions, the catalogue of damaged files, and what save does on failure."""
import gc
import os
import re
import struct
import tempfile
import weakref
import zlib

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given
from hypothesis import strategies as st

import korvex
from korvex import storage
from strategies import (assert_same_entries, make_scipy, scipy_matrices, strictly_sorted,
                        triples)


def assert_same_stored(M, A):
    """Same class, shape, value type and the same rows in the same order."""
    assert (M.format, M.shape, M.dtype, M.nnz) == (A.format, A.shape, A.dtype, A.nnz)
    S = M.to_scipy()
    np.testing.assert_array_equal(S.indptr, A.indptr)
    np.testing.assert_array_equal(S.indices, A.indices)
    np.testing.assert_array_equal(S.data, A.data)


@given(scipy_matrices(), st.booleans(), st.booleans())
def test_round_trips(A, copy, compressed):
    M = korvex.from_scipy(A, copy=copy)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "m.kvx")
        korvex.save(path, M)
        for mmap in (True, False):
            L = korvex.load(path, mmap=mmap)
            assert L.is_view == mmap
            assert_same_stored(L, A)
            assert L.has_sorted_indices == strictly_sorted(A)
            L.free()
        raw = open(path, "rb").read(storage.HEADER_SIZE)
        assert bool(struct.unpack_from("<I", raw, 24)[0] & 1) == strictly_sorted(A)

        korvex.save_npz(os.path.join(d, "k"), M, compressed=compressed)  # .npz appended
        B = sp.load_npz(os.path.join(d, "k.npz"))
        assert B.format == A.format and B.dtype == A.dtype and B.shape == A.shape
        assert_same_entries(triples(B), triples(A))
        np.testing.assert_array_equal(B.indptr, A.indptr)

        sp.save_npz(os.path.join(d, "s.npz"), A, compressed=compressed)
        assert_same_stored(korvex.load_npz(os.path.join(d, "s.npz")), A)
        assert sorted(os.listdir(d)) == ["k.npz", "m.kvx", "s.npz"]  # no temporaries


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_edge_shapes_and_rows(tmp_path, fmt, dtype):
    """0 x n, n x 0, 0 x 0, and rows that are empty, unsorted or repeat an
    index, through every route (the generated cases above may miss some)."""
    cases = [((0, 4), []), ((4, 0), [[]] * 4 if fmt == "csr" else []),
             ((0, 0), []), ((3, 5), [[4, 1, 1], [], [0, 2, 3]])]
    for shape, outer in cases:
        shape = shape if fmt == "csr" or not outer else shape[::-1]
        n = shape[0] if fmt == "csr" else shape[1]
        outer = outer or [[]] * n
        values = np.arange(1, 1 + sum(map(len, outer)))
        A = make_scipy(fmt, shape, outer, values, dtype, np.int64)
        korvex.save(tmp_path / "m.kvx", korvex.from_scipy(A, copy=False))
        sp.save_npz(tmp_path / "s.npz", A, compressed=False)
        korvex.save_npz(tmp_path / "k.npz", korvex.from_scipy(A))
        for L in (korvex.load(tmp_path / "m.kvx"), korvex.load(tmp_path / "m.kvx", mmap=False),
                  korvex.load_npz(tmp_path / "s.npz")):
            assert_same_stored(L, A)
        B = sp.load_npz(tmp_path / "k.npz")
        assert B.shape == A.shape and B.dtype == A.dtype
        np.testing.assert_array_equal(B.toarray(), A.toarray())


def test_any_storage_saves_in_chunks(tmp_path, monkeypatch):
    """Rows from several buffers and host arrays, unsorted, written a few
    entries at a time."""
    monkeypatch.setattr(storage, "_CHUNK_ENTRIES", 7)
    A = sp.random(40, 25, density=0.3, format="csr", random_state=3)
    A.indices, A.indptr = A.indices.astype(np.int64), A.indptr.astype(np.int64)
    A.indices[A.indptr[2]:A.indptr[3]] = A.indices[A.indptr[2]:A.indptr[3]][::-1].copy()
    V = korvex.from_scipy(A, copy=False)
    O = korvex.from_scipy(sp.random(5, 25, density=0.5, format="csr", random_state=4))
    M = korvex.vstack([V[3:20], O, V[np.arange(40) % 4 == 1], V])
    want = sp.vstack([A[3:20], O.to_scipy(), A[np.arange(40) % 4 == 1], A], format="csr")
    for X, W in ((M, want), (M.T, want.T.tocsc()), (korvex.hstack([M.T, M.T]),
                                                     sp.hstack([want.T, want.T], format="csc"))):
        path = tmp_path / "m.kvx"
        korvex.save(path, X)
        for mmap in (True, False):
            L = korvex.load(path, mmap=mmap)
            assert (L.format, L.shape) == (X.format, X.shape)
            assert_same_entries(triples(L), triples(W))
            np.testing.assert_array_equal(L.outer_lengths(), X.outer_lengths())
    assert not M.has_sorted_indices and V.is_view  # saving neither sorts nor detaches
    korvex.save(path, M)
    L = korvex.load(path)  # sorting a mapped matrix never writes the read-only map
    assert not L.has_sorted_indices
    L.sort_indices()
    assert L.has_sorted_indices and not L.is_view
    assert_same_entries(triples(L), triples(want))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.kvx"]


def test_mapped_matrix_keeps_its_file_alive_and_survives_replacement(tmp_path):
    A = sp.random(60, 30, density=0.2, format="csr", random_state=7)
    path = tmp_path / "m.kvx"
    korvex.save(path, korvex.from_scipy(A))
    L = korvex.load(path)
    mapping = weakref.ref(L._keep[-1])
    # Both spans of a row point into the mapping: nothing was copied.
    base = np.frombuffer(L._keep[-1], np.uint8).ctypes.data
    size = path.stat().st_size
    for values, indices in (L.spans(i) for i in (0, 30, 59)):
        for span in (values, indices):
            assert span.view and not span.mutable and base <= span.address < base + size
    derived = [L[10:40], L[np.arange(60) % 2 == 0], korvex.vstack([L[:5], L]), L.clone(), L.T]
    assert all(D.is_view for D in derived)
    assert not L[:, 3:9].is_view and not L.T.copy().is_view
    korvex.save(path, L)  # over the file it maps
    np.testing.assert_array_equal(korvex.load(path, mmap=False).toarray(), A.toarray())
    # Replacing the file (save renames a new one into place) leaves the
    # mapped matrices reading the old contents.
    korvex.save(path, korvex.from_scipy(sp.random(3, 3, density=1.0, format="csr")))
    del L
    gc.collect()
    assert mapping() is not None
    np.testing.assert_array_equal(derived[0].toarray(), A[10:40].toarray())
    np.testing.assert_array_equal(derived[2].toarray(), sp.vstack([A[:5], A]).toarray())
    del derived
    gc.collect()
    assert mapping() is None
    assert korvex.load(path).shape == (3, 3)


def test_indices_are_checked_by_validate_not_by_load(tmp_path):
    A = sp.csr_matrix(np.array([[1.0, 0, 2], [0, 3, 0]]))
    path = tmp_path / "m.kvx"
    korvex.save(path, korvex.from_scipy(A))
    h = storage._parse_header(path.read_bytes()[:storage.HEADER_SIZE], path.stat().st_size, "")
    with open(path, "r+b") as f:  # column 2 -> column 7
        f.seek(h.indices_offset + 8)
        f.write(struct.pack("<q", 7))
    for mmap in (True, False):
        L = korvex.load(path, mmap=mmap)
        assert not L.validate() and not L.indices_in_bounds()
        with pytest.raises(IndexError):
            L.to_scipy()
        with pytest.raises(IndexError):  # and it is not written out again
            korvex.save(tmp_path / "again.kvx", L)
    assert not (tmp_path / "again.kvx").exists()


# --------------------------------------------------------------------------
# Damaged files
# --------------------------------------------------------------------------

FIELDS = dict(version=(8, "I"), header_len=(12, "I"), form=(16, "I"), value_type=(20, "I"),
              flags=(24, "I"), reserved=(28, "I"), rows=(32, "Q"), cols=(40, "Q"),
              nnz=(48, "Q"), indptr_offset=(56, "Q"), indptr_bytes=(64, "Q"),
              indices_offset=(72, "Q"), indices_bytes=(80, "Q"), values_offset=(88, "Q"),
              values_bytes=(96, "Q"), file_size=(104, "Q"))


def with_field(raw, crc=True, **fields):
    """raw with header fields replaced, the checksum made to agree."""
    b = bytearray(raw)
    for name, value in fields.items():
        at, code = FIELDS[name]
        struct.pack_into("<" + code, b, at, value)
    if crc:
        struct.pack_into("<I", b, 120, zlib.crc32(bytes(b[:120])))
    return bytes(b)


@pytest.fixture
def good(tmp_path):
    A = sp.csr_matrix(np.array([[1.0, 0, 2, 0], [0, 0, 0, 0], [0, 3, 0, 4]]))
    path = tmp_path / "good.kvx"
    korvex.save(path, korvex.from_scipy(A))
    raw = path.read_bytes()
    h = storage._parse_header(raw[:128], len(raw), "")
    return raw, h


def damaged_cases(raw, h):
    ip, ix, v = h.indptr_offset, h.indices_offset, h.values_offset
    out = {}
    for at in sorted({0, 5, 8, 64, 127, 128, ip - 1, ip, ip + 8, ix - 1, ix, ix + 8, v - 1, v,
                      v + 8, len(raw) - 1}):
        out[f"truncated at {at}"] = (raw[:at], "truncated")
    out["trailing bytes"] = (raw + b"\0" * 8, "the file has")
    out["bad magic"] = (b"\x89KORVEY\n" + raw[8:], "not a korvex")
    out["text file"] = (b"hello, world\n" * 20, "not a korvex")
    out["npz archive"] = (b"PK\x03\x04" + bytes(200), "korvex.load_npz")
    out["version 2"] = (with_field(raw, version=2), "version 2")
    out["flipped header bit"] = (with_field(raw, crc=False, cols=5), "checksum")
    out["header length"] = (with_field(raw, header_len=256), "header length")
    out["form 3"] = (with_field(raw, form=3), "form")
    out["value type 7"] = (with_field(raw, value_type=7), "value type")
    out["unknown flag"] = (with_field(raw, flags=6), "flag")
    out["reserved"] = (with_field(raw, reserved=1), "reserved")
    out["rows >= 2**63"] = (with_field(raw, rows=1 << 63), "2**63")
    out["rows lie"] = (with_field(raw, rows=4), "row pointers")
    out["nnz lies"] = (with_field(raw, nnz=5), "bytes")
    out["indices bytes lie"] = (with_field(raw, indices_bytes=40), "bytes")
    out["misaligned"] = (with_field(raw, indices_offset=ix + 8), "multiple of 64")
    out["overlap"] = (with_field(raw, indices_offset=ip), "inside")
    out["inside header"] = (with_field(raw, indptr_offset=64), "inside")
    out["file size lies"] = (with_field(raw, file_size=len(raw) + 8), "file size")
    out["form swapped"] = (with_field(raw, form=2), "row pointers")  # 4 + 1 pointers now

    def pointers(values):
        b = bytearray(raw)
        struct.pack_into(f"<{len(values)}q", b, ip, *values)
        return bytes(b)
    out["pointers start at 1"] = (pointers([1, 2, 2, 4]), "start at 1")
    out["pointers decrease"] = (pointers([0, 3, 2, 4]), "decrease after position 1")
    out["pointers overshoot"] = (pointers([0, 2, 2, 5]), "end at 5")
    out["pointers stop short"] = (pointers([0, 2, 2, 3]), "end at 3")
    out["negative pointer"] = (pointers([0, -1, 2, 4]), "decrease")
    return out


@pytest.mark.parametrize("mmap", [True, False])
def test_damaged_files_are_refused_by_name(tmp_path, good, mmap):
    raw, h = good
    cases = damaged_cases(raw, h)
    for name, (data, words) in cases.items():
        path = tmp_path / "bad.kvx"
        path.write_bytes(data)
        with pytest.raises(korvex.FileFormatError, match=re.escape(words)) as e:
            korvex.load(path, mmap=mmap)
        assert isinstance(e.value, ValueError) and str(path) in str(e.value), name
    path.write_bytes(raw)  # and the untouched bytes load
    assert korvex.load(path, mmap=mmap).toarray().sum() == 10


# --------------------------------------------------------------------------
# Failures while saving, and scipy files korvex does not read
# --------------------------------------------------------------------------

def test_save_failures_leave_nothing_behind(tmp_path, monkeypatch):
    M = korvex.from_scipy(sp.random(20, 10, density=0.3, format="csc", random_state=1))
    with pytest.raises(FileNotFoundError):
        korvex.save(tmp_path / "missing" / "m.kvx", M)
    with pytest.raises(IsADirectoryError):
        korvex.save(tmp_path, M)
    with pytest.raises(TypeError):
        korvex.save(tmp_path / "m.kvx", M.to_scipy())
    with pytest.raises(FileNotFoundError):
        korvex.load(tmp_path / "nothing.kvx")

    path = tmp_path / "m.kvx"
    korvex.save(path, M)
    before = path.read_bytes()
    calls = []

    def full_disk(fd, buf, offset):  # the disk fills up half way through
        calls.append(offset)
        if len(calls) == 3:
            raise OSError(28, "No space left on device")
        return real(fd, buf, offset)

    def full_disk_npz(f, **arrays):
        f.write(b"PK partial")
        raise OSError(28, "No space left on device")
    real = storage._pwrite_all
    monkeypatch.setattr(storage, "_pwrite_all", full_disk)
    monkeypatch.setattr(np, "savez_compressed", full_disk_npz)
    other = korvex.from_scipy(sp.random(30, 10, density=0.3, format="csc", random_state=2))
    with pytest.raises(OSError, match="No space"):
        korvex.save(path, other)
    with pytest.raises(OSError, match="No space"):
        korvex.save_npz(tmp_path / "m.npz", other)
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.kvx"]
    monkeypatch.undo()

    os.chmod(tmp_path, 0o500)  # a directory we may not write into
    try:
        if not os.access(tmp_path, os.W_OK):  # (root may write anyway)
            with pytest.raises(PermissionError):
                korvex.save(tmp_path / "x.kvx", M)
    finally:
        os.chmod(tmp_path, 0o700)
    mode = os.stat(path).st_mode & 0o777
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o666 & ~umask


def test_load_npz_refuses_what_it_does_not_read(tmp_path):
    A = sp.random(6, 5, density=0.5, random_state=0, format="coo")
    for fmt in ("coo", "bsr", "dia"):
        sp.save_npz(tmp_path / f"{fmt}.npz", A.asformat(fmt))
        with pytest.raises(korvex.FileFormatError, match=fmt.upper()):
            korvex.load_npz(tmp_path / f"{fmt}.npz")
    sp.save_npz(tmp_path / "int.npz", A.tocsr().astype(np.int32))
    with pytest.raises(TypeError, match="dtype"):
        korvex.load_npz(tmp_path / "int.npz")
    M = korvex.load_npz(tmp_path / "int.npz", dtype=np.float32)
    assert M.dtype == np.float32
    np.testing.assert_array_equal(M.toarray(), A.toarray().astype(np.int32))

    np.savez(tmp_path / "plain.npz", x=np.arange(3))
    np.save(tmp_path / "one.npy", np.arange(3))
    good = tmp_path / "good.npz"
    sp.save_npz(good, A.tocsr())
    arrays = dict(np.load(good))
    broken = dict(arrays, indptr=arrays["indptr"][::-1].copy())
    np.savez(tmp_path / "broken.npz", **broken)
    short = dict(arrays, data=arrays["data"][:-1])
    np.savez(tmp_path / "short.npz", **short)
    (tmp_path / "text.npz").write_bytes(b"not a zip file at all")
    (tmp_path / "cut.npz").write_bytes(good.read_bytes()[:200])
    for name, words in (("plain", "format"), ("one.npy", "single"), ("broken", "indptr"),
                        ("short", "entries"), ("text", "not a readable"),
                        ("cut", "not a readable")):
        path = tmp_path / (name if "." in name else name + ".npz")
        with pytest.raises(korvex.FileFormatError, match=words):
            korvex.load_npz(path)


def test_documented_numpy_reader_reads_korvex_files(tmp_path):
    """docs/file-format.md's reader, which uses numpy alone, agrees."""
    doc = open(os.path.join(os.path.dirname(__file__), "..", "..", "docs",
                            "file-format.md")).read()
    code = doc.split("```python\n", 1)[1].split("```", 1)[0]
    namespace = {}
    exec(compile(code, "docs/file-format.md", "exec"), namespace)
    for fmt, dtype in (("csr", np.float32), ("csc", np.float64)):
        A = sp.random(30, 20, density=0.2, format=fmt, dtype=dtype, random_state=2)
        korvex.save(tmp_path / "m.kvx", korvex.from_scipy(A))
        B = namespace["read_korvex"](str(tmp_path / "m.kvx"))
        assert B.format == fmt and B.dtype == dtype and (B != A).nnz == 0
