"""M[key], getrow and getcol against scipy: positions in any order, steps,
single entries, paired arrays, what is shared, and what is refused."""
import gc
import tracemalloc

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given
from hypothesis import strategies as st

import korvex
from strategies import CLASSES, assert_same_entries, make_scipy, scipy_matrices, triples

# Unsorted rows, a repeated index and empty rows (CSR rows / CSC columns).
LISTS = {"csr": [[4, 1, 4], [], [0, 5, 2], [3], [5, 0]],
         "csc": [[2, 0], [], [4, 1, 4], [3], [], [0, 3]]}


def matrices(fmt, dtype, copy, stacked, sparray):
    """A 5 x 6 scipy matrix and its korvex twin; stacked: two of its rows
    (CSR) or columns (CSC) appended again, shared in the korvex one."""
    lists = LISTS[fmt]
    vals = np.arange(1, sum(map(len, lists)) + 1)
    A = make_scipy(fmt, (5, 6), lists, vals, dtype, np.int64, sparray)
    M = korvex.from_scipy(A, copy=copy)
    if stacked:
        lo, hi = A.indptr[2], A.indptr[4]
        shape = (7, 6) if fmt == "csr" else (5, 8)
        A = make_scipy(fmt, shape, lists + lists[2:4], np.r_[vals, vals[lo:hi]], dtype,
                       np.int64, sparray)
        M = korvex.vstack([M, M[2:4]]) if fmt == "csr" else korvex.hstack([M, M[:, 2:4]])
    return A, M


def keys(r, c):
    two_rows, two_cols = np.isin(np.arange(r), [1, 3]), np.isin(np.arange(c), [0, 4])
    return [
        # positions: any order, repeats, negatives, integer arrays of any width
        [4, 0, 0, -1], np.array([3, 1], np.uint8), np.array([2], np.uint64),
        np.array([-2, 1, -2], np.int16), (slice(None), [5, 0, 5, -6]),
        (slice(None), np.array([4], np.uint8)), ([1, 3], slice(2, 5)), (slice(1, 4), [4, 1]),
        (2, [5, 0, 0]), ([3, 3], 1), (2, slice(None)), (slice(None), 4),
        # steps on both axes
        slice(None, None, 2), slice(None, None, -1), (slice(1, 9, 3), slice(None, None, -1)),
        (slice(None), slice(5, 0, -2)), (slice(4, 0, -1), 3),
        # single entries: absent, present, duplicated
        (0, 4), (2, 2), (4, 2), (-1, 0), (np.int64(1), np.uint8(3)),
        # paired arrays (broadcast, 2-D, empty, masks) and np.ix_ blocks
        ([0, 2, 2], [1, 4, 4]), ([1], [0, 2, 4]), ([[0, 1], [2, 3]], [[4, 4], [0, 5]]),
        ([], []), (two_rows, two_cols), np.ix_([4, 0, 0], [5, 1, 1]), ([[3], [0]], [[2, 4]]),
        np.ix_(two_rows, two_cols),
        # masks, ellipses, a 2-D mask of the matrix's shape
        (two_rows, slice(None)), (slice(None), two_cols), Ellipsis, (Ellipsis, 2),
        (1, Ellipsis), np.add.outer(np.arange(r), np.arange(c)) % 3 == 0,
    ]


def scipy_result(A, key):
    try:
        return A[key]
    except NotImplementedError:  # scipy 1.10 has no 1-D sparse arrays; korvex gives 2-D
        return CLASSES[(A.format, False)](A)[key]


def assert_like(got, want):
    if sp.issparse(want):
        assert isinstance(got, (korvex.CSRMatrix, korvex.CSCMatrix))
        assert (got.format, got.shape, got.dtype) == (want.format, want.shape, want.dtype)
        assert_same_entries(triples(got), triples(want))
    else:
        assert type(got) is type(want) and got.dtype == want.dtype
        assert np.shape(got) == np.shape(want)
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("copy", [True, False])
@pytest.mark.parametrize("stacked", [False, True])
@pytest.mark.parametrize("sparray", [False, True])
def test_selections_match_scipy(fmt, dtype, copy, stacked, sparray):
    A, M = matrices(fmt, dtype, copy, stacked, sparray)
    for key in keys(*A.shape):
        assert_like(M[key], scipy_result(A, key))
    # positions and a step slice give the block (scipy 1.10's CSR pairs them up)
    assert_like(M[[4, 0, 0], ::-2], A[[4, 0, 0]][:, ::-2])
    for i in (0, 2, -1):
        for get in ("getrow", "getcol"):
            got, want = getattr(M, get)(i), getattr(A, get)(i)
            assert_like(got, want)
            assert type(got.to_scipy()) is type(want)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("shape", [(0, 6), (5, 0), (0, 0)])
def test_empty_shapes(fmt, shape):
    r, c = shape
    A = make_scipy(fmt, shape, [[]] * (r if fmt == "csr" else c), [], np.float64, np.int64)
    M = korvex.from_scipy(A)
    for key in ([], np.zeros(0, np.uint8), slice(None, None, -1), (slice(None), slice(None, 0, 2)),
                ([], []), (slice(None), []), np.zeros(r, bool), (slice(None), np.zeros(c, bool))):
        assert_like(M[key], A[key])
    if r:
        assert_like(M[[0, -1, 0]], A[[0, -1, 0]])
    if c:
        assert_like(M[:, [-1, 0]], A[:, [-1, 0]])


def test_refusals_leave_the_matrix_alone():
    A, M = matrices("csr", np.float64, False, False, False)
    before = triples(M)
    for key, err in (([0, 5], IndexError), ([-6], IndexError), (np.array([5], np.uint8), IndexError),
                     (np.array([2 ** 63], np.uint64), IndexError), ((slice(None), [6]), IndexError),
                     ((0, 6), IndexError), (5, IndexError), (-6, IndexError), (1.5, IndexError),
                     (np.array([1.0]), IndexError), (None, IndexError), (True, IndexError),
                     ("a", IndexError), ((0, 0, 0), IndexError), ((..., ...), IndexError),
                     (np.zeros(4, bool), IndexError), (np.zeros((5, 1), bool), IndexError),
                     (sp.csr_matrix((5, 6)), IndexError), (M, IndexError),
                     (np.zeros((1, 1, 1), int), IndexError), (([0, 1, 2], [1, 2]), ValueError),
                     (([[1, 2]], slice(None)), IndexError), ((slice(None), [[1], [2]]), IndexError),
                     (slice(None, None, 0), ValueError)):
        with pytest.raises(err):
            M[key]
        if err is ValueError and not isinstance(key, slice):
            with pytest.raises(err):
                A[key]  # scipy's error too
    for get, i in (("getrow", 5), ("getrow", -6), ("getcol", 6), ("getcol", -7)):
        with pytest.raises(IndexError):
            getattr(M, get)(i)
    with pytest.raises(TypeError):
        M.getrow("1")
    assert_same_entries(triples(M), before)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_outer_takes_share_rows_and_outlive_the_source(fmt, tmp_path):
    A, V = matrices(fmt, np.float64, False, False, False)
    korvex.save(tmp_path / "m.kvx", V)
    for M in (V, korvex.load(tmp_path / "m.kvx")):
        take = (lambda X: X[[3, 0, 3, 2]]) if fmt == "csr" else (lambda X: X[:, [3, 0, 3, 2]])
        T, S = take(M), (M[::-2] if fmt == "csr" else M[:, ::-2])
        assert [T.spans(k)[0].address for k in (0, 2)] == [M.spans(3)[0].address] * 2
        assert S.spans(0)[1].address == M.spans(-1)[1].address
        want, want_s = take(A).toarray(), (A[::-2] if fmt == "csr" else A[:, ::-2]).toarray()
        M.free()
        gc.collect()
        np.testing.assert_array_equal(T.toarray(), want)
        np.testing.assert_array_equal(S.toarray(), want_s)


def test_a_batch_of_rows_costs_the_batch():
    M = korvex.from_coo([7], [1], np.array([2.0]), (1 << 19, 3))
    idx = np.arange(1024, dtype=np.int64)[::-1] * 500 + 7
    tracemalloc.start()
    try:
        T = M[idx]
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64 << 10  # no array over all rows (a mask would be 512 KiB)
    assert T.shape == (1024, 3) and T.nnz == 1 and T.outer(1023)[0].tolist() == [1]


@given(st.data(), scipy_matrices(), st.booleans())
def test_positions_anywhere(data, A, copy):
    M = korvex.from_scipy(A, copy=copy)
    r, c = A.shape
    rows = data.draw(st.lists(st.integers(-r, r - 1), max_size=8)) if r else []
    cols = data.draw(st.lists(st.integers(-c, c - 1), max_size=8)) if c else []
    wide = data.draw(st.sampled_from([np.int8, np.uint16, np.int32, np.int64]))
    cols = np.array(cols, wide) if np.iinfo(wide).min < 0 or min(cols, default=0) >= 0 else cols
    for key in (rows, (slice(None), cols), np.ix_(rows, cols)):
        assert_like(M[key], A[key])
    n = min(len(rows), len(cols))
    assert_like(M[rows[:n], cols[:n]], A[rows[:n], cols[:n]])
