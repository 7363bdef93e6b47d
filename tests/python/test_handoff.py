"""Crossing to and from scipy: int32 imports without a wide copy, to_scipy's
index types, and what each allocates."""
import tracemalloc

import numpy as np
import pytest
import scipy.sparse as sp

import korvex
from korvex._matrix import _from_arrays


def scipy_matrix(fmt, dtype=np.float64, shape=(300, 200), density=0.05, seed=1):
    A = sp.random(*shape, density=density, format=fmt, dtype=dtype, random_state=seed)
    A.data[::5] = 0.0
    if A.nnz > 3:  # one unsorted row (column) travels in stored order
        lo, hi = A.indptr[2], A.indptr[3]
        A.indices[lo:hi] = A.indices[lo:hi][::-1].copy()
        A.has_sorted_indices = False
    return A


def stored(S):
    return S.indptr, S.indices, S.data


def peak_numpy_bytes(fn):
    """(result, peak bytes traced while fn runs beyond those held before)."""
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        out = fn()
        return out, tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("cls", ["matrix", "array"])
def test_int32_import_round_trips_without_a_wide_copy(fmt, dtype, cls):
    A = scipy_matrix(fmt, dtype)
    if cls == "array":
        A = (sp.csr_array if fmt == "csr" else sp.csc_array)(A)
    assert A.indices.dtype == np.int32
    M = korvex.from_scipy(A)
    for index_dtype in (None, np.int32):
        S = M.to_scipy(index_dtype=index_dtype)
        assert type(S) is type(A)
        assert S.indices.dtype == S.indptr.dtype == np.int32  # scipy's choice, or forced
        for got, want in zip(stored(S), stored(A)):
            np.testing.assert_array_equal(got, want)
        assert not S.has_sorted_indices  # found by scipy, not assumed

    # Few outer indices, many entries: the index arrays dominate.
    B = sp.random(20, 5000, density=0.5, format=fmt, dtype=dtype, random_state=2)
    B = B if fmt == "csr" else B.T.tocsc()
    index_bytes = B.indices.nbytes + B.indptr.nbytes
    N, peak = peak_numpy_bytes(lambda: korvex.from_scipy(B))
    assert peak < 0.1 * index_bytes
    np.testing.assert_array_equal(N.to_scipy().toarray(), B.toarray())


@pytest.mark.parametrize("indptr_dtype", [np.int32, np.int64, np.uint32])
def test_int32_indices_with_any_indptr(indptr_dtype):
    A = scipy_matrix("csr")
    M = _from_arrays("csr", A.shape, A.indptr.astype(indptr_dtype), A.indices, A.data)
    for got, want in zip(stored(M.to_scipy()), stored(A)):
        np.testing.assert_array_equal(got, want)
    bad = A.indptr.copy()
    bad[4] = -1
    with pytest.raises(korvex.IndptrError):
        korvex.from_scipy(sp.csr_matrix((A.data, A.indices, bad), A.shape), copy=True)


@pytest.mark.parametrize("index_dtype", [None, np.int64, np.int32])
def test_to_scipy_allocates_only_its_result(index_dtype):
    M = korvex.from_scipy(sp.random(50, 4000, density=0.5, format="csr", random_state=3))
    S, peak = peak_numpy_bytes(lambda: M.to_scipy(index_dtype=index_dtype))
    result = S.data.nbytes + S.indices.nbytes + S.indptr.nbytes
    assert result <= peak <= result + 16384


def test_to_scipy_refuses_what_int32_cannot_hold():
    wide = 2**31 + 5
    M = korvex.from_coo([0, 1], [3, wide - 1], [1.0, 2.0], (2, wide))
    with pytest.raises(ValueError, match="int64"):
        M.to_scipy(index_dtype=np.int32)
    assert M.to_scipy().indices.tolist() == [3, wide - 1]
    M32 = korvex.from_coo([0, 1], [3, 7], [1.0, 2.0], (2, 2**31))  # largest index fits
    assert M32.to_scipy(index_dtype=np.int32).indices.tolist() == [3, 7]
    for bad, err in ((np.int16, ValueError), (np.float64, ValueError), ("no", TypeError)):
        with pytest.raises(err):
            M.to_scipy(index_dtype=bad)


def test_export_refuses_an_index_outside_the_shape():
    V = _from_arrays("csr", (2, 4), np.array([0, 1, 2]), np.array([1, 9]), np.ones(2),
                     copy=False)
    for index_dtype in (np.int32, np.int64):
        with pytest.raises(IndexError):
            V._export_compressed(index_dtype)
        with pytest.raises(IndexError):
            V.to_scipy(index_dtype=index_dtype)
