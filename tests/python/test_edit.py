"""In-place edits against scipy, and the rule that an edit of one matrix
never changes the entries another matrix reads."""
import numpy as np
import pytest
import scipy.sparse as sp

import korvex

FORMATS = ["csr", "csc"]
DTYPES = [np.float32, np.float64]


def unsorted(fmt, dtype):
    """4 x 5, rows (CSR) / columns (CSC) unsorted, one repeating an index."""
    A = sp.csr_matrix((np.array([1., -1., 2., 3., 4., 5., 6.], dtype),
                       [2, 0, 4, 1, 3, 3, 0], [0, 2, 3, 6, 7]), shape=(4, 5))
    return A if fmt == "csr" else sp.csc_matrix((A.data, A.indices, A.indptr), shape=(5, 4))


# Every way of reading a matrix's storage from another matrix.
SHARERS = {
    "clone": lambda M: M.clone(),
    "slice": lambda M: M[1:3] if M.format == "csr" else M[:, 1:3],
    "take repeating a row": lambda M: M[[2, 0, 2]] if M.format == "csr" else M[:, [2, 0, 2]],
    "stack": lambda M: korvex.vstack([M, M]) if M.format == "csr" else korvex.hstack([M, M]),
    "transpose": lambda M: M.T,
    "map result": lambda M: np.sin(M),
    "source of a map": None,  # the map's result is the one edited
    # float32 to float64: fresh values over the source's index spans
    "widened": lambda M: M.astype(np.float64),
    "source of a widening": None,
}


def edited_and_sharer(M, sharer):
    """(the matrix to edit, the matrix reading its storage)."""
    if "widen" in sharer:
        M = M.astype(np.float32)
        if sharer == "source of a widening":
            return M / 2.0, M
    if SHARERS[sharer] is None:
        return np.sin(M), M
    return M, SHARERS[sharer](M)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sharer", list(SHARERS))
def test_sorting_leaves_every_sharer_reading_its_entries(fmt, dtype, sharer):
    A = unsorted(fmt, dtype)
    M, S = edited_and_sharer(korvex.from_scipy(A, copy=True), sharer)
    want = S.toarray()
    M.sort_indices()
    np.testing.assert_array_equal(S.toarray(), want)
    np.testing.assert_array_equal(M.toarray(), M.to_scipy().toarray())
    S.sort_indices()  # and the other way round
    np.testing.assert_array_equal(S.toarray(), want)


def test_sorting_a_map_result_keeps_the_source():
    A = sp.csr_matrix(([1., -1.], [2, 0], [0, 2]), shape=(1, 3))
    M = korvex.from_scipy(A)
    B = np.sin(M)
    B.sort_indices()
    np.testing.assert_array_equal(M.toarray(), [[-1., 0., 1.]])
    np.testing.assert_allclose(B.toarray(), np.sin(A.toarray()))


def pair(fmt, dtype, seed=0):
    """A random 6 x 7 scipy matrix with an explicit zero, and its korvex copy."""
    rng = np.random.default_rng(seed)
    A = sp.random(6, 7, density=0.4, format=fmt, random_state=rng, dtype=np.float64)
    A.data[0] = 0.0
    A = A.astype(dtype)
    return A, korvex.from_scipy(A, copy=True)


KEYS = [
    (2, 3), (-1, -2), (0, 0),
    (slice(None, None, 2), slice(1, 6, 2)), (slice(5, 0, -2), 4), (1, slice(None)),
    (slice(None), 2), ([0, 3, 5], [1, 1, 6]), (np.array([4, 2]), np.array([0, 6])),
    (np.array([True, False, True, False, False, True]), 3),
    (np.ix_([0, 2], [1, 4, 6])), ([1, 4], slice(2, 5)), (slice(1, 3), [0, 6]),
    (np.array([[0], [5]]), np.array([[1, 2]])), ([2, 2], [3, 3]),
]
VALUES = [lambda s: 2.5, lambda s: 0.0, lambda s: np.arange(1, np.prod(s) + 1).reshape(s),
          lambda s: np.arange(1, s[-1] + 1) if len(s) else 7.0]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("key", KEYS, ids=range(len(KEYS)))
@pytest.mark.parametrize("value", range(len(VALUES)))
def test_setitem_matches_scipy(fmt, dtype, key, value):
    A, M = pair(fmt, dtype)
    x = VALUES[value](np.shape(A.toarray()[key]))
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
        A[key] = x
    M[key] = x
    np.testing.assert_array_equal(M.toarray(), A.toarray())
    assert M.nnz == A.nnz


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k,v", [(0, 0.5), (1, 3.0), (-1, 3.0), (0, [1., 2., 3.]),
                                 (2, np.arange(9.)), (-3, [4.])])
def test_setdiag_matches_scipy(fmt, dtype, k, v):
    A, M = pair(fmt, dtype)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
        A.setdiag(v, k)
    M.setdiag(v, k)
    np.testing.assert_array_equal(M.toarray(), A.toarray())
    assert M.nnz == A.nnz


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_structural_methods_match_scipy(fmt, dtype):
    A = unsorted(fmt, dtype)
    A.data[1] = 0.0
    M = korvex.from_scipy(A, copy=True)
    assert not M.has_canonical_format
    A.eliminate_zeros(), M.eliminate_zeros()
    assert M.nnz == A.nnz
    np.testing.assert_array_equal(M.toarray(), A.toarray())
    A.sum_duplicates(), M.sum_duplicates()
    assert M.has_canonical_format and M.nnz == A.nnz
    np.testing.assert_array_equal(M.to_scipy().indices, A.indices)
    np.testing.assert_array_equal(M.toarray(), A.toarray())
    M.prune()
    M.has_canonical_format = False
    assert M.has_canonical_format  # found again by a search


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("key,x,err", [
    ((6, 0), 1.0, IndexError), ((0, -8), 1.0, IndexError), (([0, 9], [1, 1]), 1.0, IndexError),
    ((slice(None), [0, 1]), np.ones((2, 3)), ValueError), ((0, 0), [1., 2.], ValueError),
    (([0, 1], [0, 1, 2]), 1.0, IndexError)])
def test_failed_edits_leave_matrix_unchanged(fmt, key, x, err):
    A, M = pair(fmt, np.float64)
    with pytest.raises(err):
        M[key] = x
    with pytest.raises(ValueError):
        M.setdiag(1.0, 7)
    np.testing.assert_array_equal(M.toarray(), A.toarray())


EDITS = {
    "set stored": lambda M: M.__setitem__((0, 0), 9.0),
    "insert": lambda M: M.__setitem__((slice(None), 1), 8.0),
    "setdiag": lambda M: M.setdiag(7.0),
    "eliminate_zeros": lambda M: M.eliminate_zeros(),
    "sum_duplicates": lambda M: M.sum_duplicates(),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("sharer", list(SHARERS))
@pytest.mark.parametrize("edit", list(EDITS))
@pytest.mark.parametrize("side", ["edit the source", "edit the sharer"])
def test_edits_leave_every_sharer_reading_its_entries(fmt, sharer, edit, side):
    A = unsorted(fmt, np.float64)
    A.data[2] = 0.0
    M, S = edited_and_sharer(korvex.from_scipy(A, copy=True), sharer)
    if side == "edit the sharer":
        M, S = S, M
    want = S.toarray()
    EDITS[edit](M)
    np.testing.assert_array_equal(S.toarray(), want)


@pytest.mark.parametrize("edit", list(EDITS))
def test_edits_of_a_view_leave_host_arrays_byte_for_byte(edit):
    A = unsorted("csr", np.float64)
    A.data[2] = 0.0
    A.indices = A.indices.astype(np.int64)
    A.indptr = A.indptr.astype(np.int64)
    before = [a.copy() for a in (A.data, A.indices, A.indptr)]
    V = korvex.from_scipy(A, copy=False)
    want = A.toarray()
    EDITS[edit](V)
    for a, b in zip((A.data, A.indices, A.indptr), before):
        assert a.tobytes() == b.tobytes()
    B = korvex.from_scipy(A, copy=True)
    EDITS[edit](B)
    np.testing.assert_array_equal(V.toarray(), B.toarray())
    np.testing.assert_array_equal(A.toarray(), want)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("edit", list(EDITS))
def test_edits_of_a_mapped_file_leave_the_file(tmp_path, fmt, edit):
    A = unsorted(fmt, np.float64)
    A.data[2] = 0.0
    path = tmp_path / "m.kvx"
    korvex.save(path, korvex.from_scipy(A))
    raw = path.read_bytes()
    L = korvex.load(path)
    other = korvex.load(path)
    EDITS[edit](L)
    assert path.read_bytes() == raw
    np.testing.assert_array_equal(other.toarray(), A.toarray())
    B = korvex.from_scipy(A, copy=True)
    EDITS[edit](B)
    np.testing.assert_array_equal(L.toarray(), B.toarray())


def test_readers_on_other_threads_see_whole_entries():
    import threading
    A = sp.random(200, 300, density=0.05, format="csr", random_state=1)
    M = korvex.from_scipy(A)
    S = M.clone()
    want = S.toarray()
    bad, stop = [], threading.Event()

    def read():
        while not stop.is_set():
            if not np.array_equal(S.toarray(), want):
                bad.append(1)
            M.toarray()

    readers = [threading.Thread(target=read) for _ in range(2)]
    for t in readers:
        t.start()
    rng = np.random.default_rng(2)
    for step in range(200):
        M[int(rng.integers(200)), int(rng.integers(300))] = float(step)
        if step % 50 == 0:
            M.setdiag(1.0), M.eliminate_zeros(), M.sum_duplicates()
    stop.set()
    for t in readers:
        t.join(10)
    assert not bad
    assert M[5, 5] == 1.0


@pytest.mark.parametrize("fmt", FORMATS)
def test_maps_of_sums_share_every_canonical_row(fmt):
    """log1p of a matrix whose rows repeat or disorder indices: scipy's values,
    the source untouched, and only the rows that were not canonical get
    indices of their own."""
    from korvex import _core as core

    A = unsorted(fmt, np.float64)
    M = korvex.from_scipy(A, copy=True)
    L = np.log1p(M)
    np.testing.assert_allclose(L.toarray(), np.log1p(A.toarray()))
    np.testing.assert_array_equal(M.toarray(), A.toarray())
    assert L.has_canonical_format
    with korvex._guard.GUARD:
        src, res = core.pointers(M)[1], core.pointers(L)[1]
    canonical = [np.all(np.diff(A.indices[A.indptr[i]:A.indptr[i + 1]]) > 0)
                 for i in range(len(A.indptr) - 1)]
    np.testing.assert_array_equal(src == res, canonical)
