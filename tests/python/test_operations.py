"""Every matrix operation compared with scipy / numpy on generated matrices:
empty shapes, duplicates, explicit zeros, unsorted rows, int32 and int64
indices, float32 and float64, CSR and CSC, matrices and sparse arrays,
copies and views."""
import pickle

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given
from hypothesis import strategies as st

import korvex
from strategies import (assert_same_entries, axis_keys, make_scipy, scipy_matrices,
                        selected_triples, selection, strictly_sorted, triples)


def imported(A, copy):
    snapshot = (A.data.copy(), A.indices.copy(), A.indptr.copy())
    return korvex.from_scipy(A, copy=copy), snapshot


def assert_host_untouched(A, snapshot):
    for now, before in zip((A.data, A.indices, A.indptr), snapshot):
        np.testing.assert_array_equal(now, before)


@given(scipy_matrices(), st.booleans())
def test_import_export_round_trip(A, copy):
    M, snap = imported(A, copy)
    assert (M.format, M.shape, M.nnz, M.dtype) == (A.format, A.shape, A.nnz, A.dtype)
    assert M.is_view == (not copy)
    assert isinstance(M, korvex.CSRMatrix if A.format == "csr" else korvex.CSCMatrix)
    cells = A.shape[0] * A.shape[1]
    assert M.density == pytest.approx(A.nnz / cells if cells else 0.0)
    assert M.sparsity == pytest.approx(1 - M.density if cells else 1.0)
    assert M.has_sorted_indices == strictly_sorted(A)
    assert M.is_valid() and M.indices_in_bounds()
    assert M.validate() == strictly_sorted(A)

    S = M.to_scipy()  # same arrays, stored order kept, scipy's int32 indices at this size
    assert type(S) is type(A) and S.shape == A.shape
    assert S.indices.dtype == S.indptr.dtype == np.int32
    wide = M.to_scipy(index_dtype=np.int64)
    assert wide.indices.dtype == wide.indptr.dtype == np.int64
    np.testing.assert_array_equal(wide.indices, A.indices)
    np.testing.assert_array_equal(S.indptr, A.indptr)
    np.testing.assert_array_equal(S.indices, A.indices)
    np.testing.assert_array_equal(S.data, A.data)
    assert S.data.dtype == A.dtype

    C = M.tocoo()
    assert C.row.dtype == C.col.dtype == np.int64
    assert_same_entries(triples(C), triples(A))
    dense = A.toarray()  # duplicates summed
    for order in "CF":
        D = M.toarray(order=order)
        assert D.dtype == A.dtype and D.flags[f"{order}_CONTIGUOUS"]
        np.testing.assert_array_equal(D, dense)
    for i in range(M._outer_dim):
        idx, val = M.outer(i)
        lo, hi = A.indptr[i], A.indptr[i + 1]
        np.testing.assert_array_equal(idx, A.indices[lo:hi])
        np.testing.assert_array_equal(val, A.data[lo:hi])
    np.testing.assert_array_equal(M.outer_lengths(), np.diff(A.indptr))
    assert_host_untouched(A, snap)


@given(scipy_matrices(), st.booleans())
def test_conversion_and_transpose(A, copy):
    M, snap = imported(A, copy)
    other = "csc" if A.format == "csr" else "csr"
    for R, want_fmt, want in ((M.tocsr(), "csr", A), (M.tocsc(), "csc", A),
                              (M.transpose(), other, A.T), (M.T.T, A.format, A)):
        assert R.format == want_fmt and R.shape == want.shape and R.nnz == A.nnz
        assert_same_entries(triples(R), triples(want))
        np.testing.assert_array_equal(R.toarray(), want.toarray())
        assert R.indices_in_bounds()
    # Conversion sorts every outer index (repeats stay); transposition keeps
    # the stored order, as scipy's.
    S = (M.tocsc() if A.format == "csr" else M.tocsr()).to_scipy()
    assert all(np.all(np.diff(S.indices[S.indptr[i]:S.indptr[i + 1]]) >= 0)
               for i in range(len(S.indptr) - 1))
    np.testing.assert_array_equal(M.T.to_scipy().indices, A.T.indices)
    assert_host_untouched(A, snap)


@given(st.data(), scipy_matrices(), st.booleans())
def test_slicing(data, A, copy):
    M, snap = imported(A, copy)
    r, c = A.shape
    rk = data.draw(axis_keys(r))
    if data.draw(st.booleans()):
        key, ck = rk, slice(None)
    else:
        ck = data.draw(axis_keys(c))
        key = (rk, ck)
        if all(isinstance(k, int) for k in key):  # one entry, as a scalar
            assert M[key] == A[key] and type(M[key]) is type(A[key])
            return
        if all(isinstance(k, np.ndarray) for k in key):
            key = np.ix_(rk, ck)  # two masks would pair up; np.ix_ gives the block
    R = M[key]
    rows, cols = selection(rk, r), selection(ck, c)
    assert R.shape == (len(rows), len(cols)) and R.format == A.format
    want = selected_triples(A, rows, cols)
    assert R.nnz == len(want[0])
    assert_same_entries(triples(R), want)
    np.testing.assert_array_equal(R.toarray(), A.toarray()[np.ix_(rows, cols)])
    # Slicing only along the compressed axis keeps reading a view's arrays.
    inner_key, inner_dim = (ck, c) if A.format == "csr" else (rk, r)
    inner_whole = isinstance(inner_key, slice) and len(selection(inner_key, inner_dim)) == inner_dim
    assert R.is_view == (not copy and inner_whole)
    assert_host_untouched(A, snap)


@given(st.data(), st.sampled_from(["csr", "csc"]), st.sampled_from([np.float32, np.float64]))
def test_stacking(data, fmt, dtype):
    axis = data.draw(st.sampled_from([0, 1]))
    common = data.draw(st.integers(0, 5))
    parts = []
    for _ in range(data.draw(st.integers(1, 4))):
        own = data.draw(st.integers(0, 4))
        shape = (own, common) if axis == 0 else (common, own)
        parts.append(data.draw(scipy_matrices(fmt=fmt, dtype=dtype, shape=shape)))
    copies = [data.draw(st.booleans()) for _ in parts]
    mats = [korvex.from_scipy(A, copy=cp) for A, cp in zip(parts, copies)]
    R = (korvex.vstack if axis == 0 else korvex.hstack)(mats)
    want = (sp.vstack if axis == 0 else sp.hstack)(parts, format=fmt)
    assert R.shape == want.shape and R.format == fmt and R.dtype == dtype
    assert R.nnz == sum(A.nnz for A in parts)
    assert_same_entries(triples(R), triples(want))
    np.testing.assert_array_equal(R.toarray(), want.toarray())
    along = (axis == 0) == (fmt == "csr")
    assert R.is_view == ((along or len(parts) == 1) and not all(copies))


@given(st.data(), st.sampled_from(["csr", "csc"]), st.sampled_from([np.float32, np.float64]))
def test_from_coo(data, fmt, dtype):
    r, c = data.draw(st.integers(0, 6)), data.draw(st.integers(0, 6))
    k = data.draw(st.integers(0, 12)) if r and c else 0
    row = np.array(data.draw(st.lists(st.integers(0, max(r - 1, 0)), min_size=k, max_size=k)), np.int64)
    col = np.array(data.draw(st.lists(st.integers(0, max(c - 1, 0)), min_size=k, max_size=k)), np.int64)
    val = np.array(data.draw(st.lists(st.sampled_from([0.0, 1.0, -2.5]), min_size=k,
                                      max_size=k)), dtype)
    idx_type = data.draw(st.sampled_from([np.int32, np.int64, np.uint16]))
    M = korvex.from_coo(row.astype(idx_type), col.astype(idx_type), val, (r, c), format=fmt)
    ref = sp.coo_matrix((val, (row, col)), shape=(r, c))
    assert M.shape == (r, c) and M.format == fmt and M.dtype == dtype
    assert M.nnz == k  # duplicates and zeros are kept, not summed
    assert_same_entries(triples(M), triples(ref))
    np.testing.assert_array_equal(M.toarray(), ref.toarray())
    S = M.to_scipy()
    for i in range(len(S.indptr) - 1):
        assert np.all(np.diff(S.indices[S.indptr[i]:S.indptr[i + 1]]) >= 0)


@given(scipy_matrices(), st.booleans())
def test_sort_indices_and_copies(A, copy):
    M, snap = imported(A, copy)
    dense = A.toarray()
    clone, deep = M.clone(), M.copy()
    pickled = pickle.loads(pickle.dumps(M))
    assert type(pickled) is type(M) and not pickled.is_view
    assert clone.is_view == (not copy) and not deep.is_view
    M.sort_indices()
    has_repeats = any(len(set(A.indices[A.indptr[i]:A.indptr[i + 1]])) <
                      A.indptr[i + 1] - A.indptr[i] for i in range(len(A.indptr) - 1))
    assert M.has_sorted_indices == (not has_repeats)
    if not copy and not strictly_sorted(A) and not has_repeats:
        assert not M.is_view  # replaced by a sorted private copy
    for X in (M, clone, deep, pickled):
        np.testing.assert_array_equal(X.toarray(), dense)
        assert_same_entries(triples(X), triples(A))
    assert_host_untouched(A, snap)


def test_large_matrices_cross_parallel_thresholds():
    rng = np.random.default_rng(7)
    for fmt in ("csr", "csc"):
        A = sp.random(3000, 700, density=0.01, format=fmt, random_state=11)
        A.indices = A.indices.astype(np.int64)
        A.indptr = A.indptr.astype(np.int64)
        # Reverse every outer index: unsorted input everywhere.
        for i in range(len(A.indptr) - 1):
            lo, hi = A.indptr[i], A.indptr[i + 1]
            A.indices[lo:hi] = A.indices[lo:hi][::-1].copy()
            A.data[lo:hi] = A.data[lo:hi][::-1].copy()
        dense = A.toarray()
        for copy in (True, False):
            M = korvex.from_scipy(A, copy=copy)
            rmask = rng.random(3000) < 0.5
            cmask = rng.random(700) < 0.3
            np.testing.assert_array_equal(M[100:2900, 50:650].toarray(), dense[100:2900, 50:650])
            np.testing.assert_array_equal(M[rmask][:, cmask].toarray(), dense[rmask][:, cmask])
            np.testing.assert_array_equal(M.T.toarray(), dense.T)
            np.testing.assert_array_equal(M.tocsc().toarray(), dense)
            np.testing.assert_array_equal(M.tocsr().toarray(), dense)
            stacked = korvex.vstack([M] * 2 + [M[:5]] * 300)
            assert stacked.nnz == 2 * A.nnz + 300 * M[:5].nnz
            np.testing.assert_array_equal(stacked.toarray()[3000:6000], dense)
            np.testing.assert_array_equal(korvex.hstack([M, M]).toarray(), np.hstack([dense] * 2))
            S = M.copy()
            S.sort_indices()
            assert S.has_sorted_indices
            np.testing.assert_array_equal(S.toarray(), dense)


def test_worked_examples():
    # Stacking across the compressed axis shifts B's columns by A's width.
    A = korvex.from_coo([0], [1], np.array([1.0]), (2, 2))
    B = korvex.from_coo([0, 1], [0, 2], np.array([2.0, 3.0]), (2, 3))
    H = korvex.hstack([A, B])
    assert H.shape == (2, 5) and H.nnz == 3
    assert [H.outer(0)[0].tolist(), H.outer(1)[0].tolist()] == [[1, 2], [4]]
    assert H.outer(0)[1].tolist() == [1.0, 2.0]
    # Coordinate import keeps duplicates, sorts each row, leaves empty rows.
    M = korvex.from_coo([2, 0, 2, 0], [3, 1, 0, 1], np.array([1.0, 2, 3, 4]), (3, 4))
    assert M.nnz == 4 and M.outer(0)[0].tolist() == [1, 1]
    assert sorted(M.outer(0)[1].tolist()) == [2.0, 4.0]
    assert M.outer(1)[0].tolist() == [] and M.outer(2)[0].tolist() == [0, 3]
    assert M.toarray()[0, 1] == 6.0  # duplicates summed in dense form
    # Conversion of an unsorted row gives sorted columns.
    U = korvex.from_scipy(make_scipy("csr", (2, 3), [[2, 0], [2]], [5, 1, 7], np.float32,
                                     np.int64), copy=False)
    C = U.tocsc()
    assert [C.outer(j)[0].tolist() for j in range(3)] == [[0], [], [0, 1]]
    assert C.outer(2)[1].tolist() == [5.0, 7.0]
    # Column slicing of an unsorted view keeps stored order, loses nothing.
    S = U[:, 0:3]
    assert S.outer(0)[0].tolist() == [2, 0] and S.nnz == 3
    # Span descriptors: views point into the host arrays; copies are aligned.
    A2 = make_scipy("csr", (3, 4), [[0, 1], [], [1, 2, 3]], [1, 2, 3, 4, 5], np.float64,
                    np.int64)
    V, Cp = korvex.from_scipy(A2, copy=False), korvex.from_scipy(A2)
    vspan, ispan = V.spans(2)
    assert vspan.address == A2.data.ctypes.data + 2 * 8 and vspan.len == 3
    assert ispan.address == A2.indices.ctypes.data + 2 * 8 and (vspan.view, vspan.mutable) == (True, False)
    assert V.spans(1)[0].len == 0
    cspan = Cp.spans(2)[0]
    assert cspan.aligned and cspan.mutable and not cspan.view and cspan.address % 32 == 0
    assert V[1:3].spans(1)[0].address == vspan.address  # outer slices share descriptors
