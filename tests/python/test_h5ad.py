"""korvex.load_h5ad against files written by anndata, in memory and streamed
into a .kvx, with small chunks so that rows straddle them; damaged files."""
import os
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

import korvex
from korvex import h5ad, storage

h5py = pytest.importorskip("h5py", reason="h5py (python3-h5py) is not installed")
anndata = pytest.importorskip("anndata", reason="anndata (python3-anndata) is not installed")


def matrix(form="csr", dtype=np.float32, shape=(40, 30), seed=0):
    A = sp.random(*shape, density=0.2, format=form, dtype=dtype, random_state=seed)
    A = A.tolil()
    A[3, :] = 0   # empty rows and columns
    A[:, 7] = 0
    return A.asformat(form).astype(dtype)


def write(path, A, compression=None, layer=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ad = anndata.AnnData(X=A, dtype=A.dtype)
        if layer is not None:
            ad.layers["counts"] = layer
        ad.write_h5ad(path, compression=compression)
    return path


@pytest.fixture(params=[(1 << 20, 1 << 16), (7, 5)], ids=["chunked", "tiny-chunks"])
def chunks(request, monkeypatch):
    monkeypatch.setattr(h5ad, "_CHUNK_ENTRIES", request.param[0])
    monkeypatch.setattr(h5ad, "_POINTER_BLOCK", request.param[1])


def flag_sorted(path):
    with open(path, "rb") as f:
        return bool(int.from_bytes(f.read(28)[24:28], "little") & storage.FLAG_SORTED)


def strictly_sorted(A):
    return all(np.all(np.diff(A.indices[A.indptr[i]:A.indptr[i + 1]]) > 0)
               for i in range(len(A.indptr) - 1))


@pytest.mark.parametrize("compression", [None, "gzip"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("form", ["csr", "csc"])
def test_round_trip(tmp_path, chunks, form, dtype, compression):
    A = matrix(form, dtype)
    L = matrix("csc" if form == "csr" else "csr", dtype, seed=1)
    path = write(tmp_path / "a.h5ad", A, compression, layer=L)
    for key, want in (("X", A), ("layers/counts", L)):
        for out in (None, tmp_path / "a.kvx"):
            M = korvex.load_h5ad(path, key, out=out)
            assert (M.format, M.dtype, M.shape) == (want.format, want.dtype, want.shape)
            got = M.to_scipy()
            assert np.array_equal(got.indptr, want.indptr)
            assert np.array_equal(got.indices, want.indices)
            assert np.array_equal(got.data, want.data)
            assert M.is_view == (out is not None)  # the mapped file
        assert sorted(os.listdir(tmp_path)) == ["a.h5ad", "a.kvx"]


@pytest.mark.parametrize("case", ["sorted", "reversed-row", "duplicate", "empty", "no-columns"])
def test_hand_written_groups(tmp_path, chunks, case):
    """Older h5sparse attributes, integer values, unsorted rows, empty shapes."""
    A = matrix().astype(np.float64)
    A.data = np.arange(1, A.nnz + 1, dtype=np.float64)
    if case == "reversed-row":
        a, b = A.indptr[10], A.indptr[11]
        A.indices[a:b] = A.indices[a:b][::-1].copy()
    elif case == "duplicate":
        a = A.indptr[12]
        A.indices[a + 1] = A.indices[a]
    elif case == "empty":
        A = sp.csr_matrix((0, 4))
    elif case == "no-columns":
        A = sp.csr_matrix((5, 0))
    path = tmp_path / "h.h5"
    with h5py.File(path, "w") as f:
        g = f.create_group("m")
        g.attrs["h5sparse_format"] = "csr"
        g.attrs["h5sparse_shape"] = A.shape
        g["data"] = A.data.astype(np.int16)
        g["indices"], g["indptr"] = A.indices.astype(np.int64), A.indptr.astype(np.uint32)
    for out in (None, tmp_path / "h.kvx"):
        with pytest.warns(UserWarning, match="int16 values are read as float64"):
            M = korvex.load_h5ad(path, "m", out=out)
        assert M.dtype == np.float64 and M.shape == A.shape
        assert (M.to_scipy() != A).nnz == 0
        assert np.array_equal(M.to_scipy().indices, A.indices)
    assert flag_sorted(tmp_path / "h.kvx") == strictly_sorted(A) == (case in ("sorted", "empty",
                                                                              "no-columns"))


def damage(path, what):
    if what == "not-hdf5":
        path.write_bytes(b"cells,genes\n1,2\n" * 100)
        return
    if what == "truncated":
        path.write_bytes(path.read_bytes()[:path.stat().st_size // 2])
        return
    with h5py.File(path, "r+") as f:
        g = f["X"]
        if what == "index-outside":
            g["indices"][g["indices"].shape[0] - 2] = 30
        elif what == "negative-index":
            g["indices"][5] = -1
        elif what == "indptr-steps-back":
            p = g["indptr"][:]
            p[20] = p[19] - 1
            g["indptr"][:] = p
        elif what in ("indptr-start", "indptr-end", "indptr-length", "data-length"):
            name = "data" if what == "data-length" else "indptr"
            a = g[name][:]
            if what == "indptr-start":
                a[0] = 1
            elif what == "indptr-end":
                a[-1] -= 1
            else:
                a = a[:-1]
            del g[name]
            g[name] = a
        elif what == "dense":
            del f["X"]
            f["X"] = np.zeros((4, 3), np.float32)
        elif what == "dataframe":
            del f["X"]
            f["X"] = f["obs"]


@pytest.mark.parametrize("what, error, match", [
    ("missing-key", KeyError, "'layers/nope'"),
    ("dense", TypeError, "dense"),
    ("dataframe", TypeError, "encoding 'dataframe'"),
    ("not-hdf5", korvex.FileFormatError, "not a readable HDF5 file"),
    ("truncated", korvex.FileFormatError, "truncated"),
    ("index-outside", ValueError, "column index 30, outside 0..29"),
    ("negative-index", ValueError, "column index -1"),
    ("indptr-steps-back", ValueError, "steps back after position 19"),
    ("indptr-start", ValueError, "starts at 1"),
    ("indptr-end", ValueError, "ends at"),
    ("indptr-length", ValueError, "indptr has 40 entries"),
    ("data-length", ValueError, "indices has"),
    ("same-file", ValueError, "the file being read"),
])
def test_damaged_files(tmp_path, chunks, what, error, match):
    path = write(tmp_path / "d.h5ad", matrix(), "gzip")
    damage(path, what)
    key = "layers/nope" if what == "missing-key" else "X"
    before = sorted(os.listdir(tmp_path))
    for out in (None, tmp_path / "d.kvx", path if what == "same-file" else None):
        if what == "same-file" and out != path:
            continue
        with pytest.raises(error, match=match):
            korvex.load_h5ad(path, key, out=out)
        assert sorted(os.listdir(tmp_path)) == before  # nothing left behind


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        korvex.load_h5ad(tmp_path / "absent.h5ad")
