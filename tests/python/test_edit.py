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
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("sharer", list(SHARERS))
def test_sorting_leaves_every_sharer_reading_its_entries(fmt, dtype, sharer):
    A = unsorted(fmt, dtype)
    M = korvex.from_scipy(A, copy=True)
    if SHARERS[sharer] is None:
        S, M = M, np.sin(M)
    else:
        S = SHARERS[sharer](M)
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
