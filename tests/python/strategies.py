"""Generated scipy matrices and reference computations for the korvex tests."""
import numpy as np
import scipy.sparse as sp
from hypothesis import strategies as st

VALUES = [0.0, 1.0, -2.0, 3.0, 0.5]  # small, exact in float32, with explicit zeros
CLASSES = {("csr", False): sp.csr_matrix, ("csc", False): sp.csc_matrix,
           ("csr", True): sp.csr_array, ("csc", True): sp.csc_array}


def make_scipy(fmt, shape, outer_lists, values, dtype, index_dtype, sparray=False):
    """A scipy matrix holding exactly these rows (CSR) / columns (CSC), in
    this stored order, with index arrays of index_dtype (set directly so that
    scipy cannot narrow or widen them)."""
    lens = [len(x) for x in outer_lists]
    A = CLASSES[(fmt, sparray)](shape, dtype=dtype)
    A.data = np.asarray(values, dtype=dtype)
    A.indices = np.asarray([i for x in outer_lists for i in x], dtype=index_dtype)
    A.indptr = np.concatenate([[0], np.cumsum(lens)]).astype(index_dtype)
    return A


@st.composite
def scipy_matrices(draw, fmt=None, dtype=None, index_dtype=None, canonical=False, max_dim=7,
                   shape=None):
    fmt = fmt or draw(st.sampled_from(["csr", "csc"]))
    dtype = dtype or draw(st.sampled_from([np.float32, np.float64]))
    index_dtype = index_dtype or draw(st.sampled_from([np.int32, np.int64]))
    if shape is None:
        shape = (draw(st.integers(0, max_dim)), draw(st.integers(0, max_dim)))
    n, m = shape if fmt == "csr" else shape[::-1]
    outer = []
    for _ in range(n):
        if m == 0:
            outer.append([])
            continue
        idx = draw(st.lists(st.integers(0, m - 1), max_size=min(2 * m, 6), unique=canonical))
        outer.append(sorted(idx) if canonical else idx)
    total = sum(len(x) for x in outer)
    values = draw(st.lists(st.sampled_from(VALUES), min_size=total, max_size=total))
    return make_scipy(fmt, shape, outer, values, dtype, index_dtype, draw(st.booleans()))


def triples(X):
    """Stored entries of a korvex or scipy matrix as sorted (row, col, value)
    columns: duplicates and explicit zeros count."""
    c = X.tocoo()
    r, k, v = (np.asarray(c.row, np.int64), np.asarray(c.col, np.int64),
               np.asarray(c.data, np.float64))
    o = np.lexsort((v, k, r))
    return r[o], k[o], v[o]


def selected_triples(A, rows, cols):
    """The stored entries of A[rows][:, cols] for increasing index arrays
    rows and cols, renumbered."""
    c = A.tocoo()
    rmap = np.full(A.shape[0], -1)
    rmap[rows] = np.arange(len(rows))
    cmap = np.full(A.shape[1], -1)
    cmap[cols] = np.arange(len(cols))
    r, k = rmap[c.row], cmap[c.col]
    keep = (r >= 0) & (k >= 0)
    r, k, v = r[keep].astype(np.int64), k[keep].astype(np.int64), c.data[keep].astype(np.float64)
    o = np.lexsort((v, k, r))
    return r[o], k[o], v[o]


def assert_same_entries(got, want):
    for g, w, what in zip(got, want, ("rows", "cols", "values")):
        np.testing.assert_array_equal(g, w, err_msg=what)


def strictly_sorted(A):
    ip, ix = A.indptr, A.indices
    return all(np.all(np.diff(ix[ip[i]:ip[i + 1]]) > 0) for i in range(len(ip) - 1))


def selection(key, dim):
    """Index array that a slice / int / mask key selects along an axis."""
    if isinstance(key, slice):
        return np.arange(dim)[key]
    if isinstance(key, (int, np.integer)):
        return np.array([key % dim])
    return np.flatnonzero(key)


@st.composite
def axis_keys(draw, dim):
    """A step-1 slice (any bounds, negatives and None included), an int, or
    a bool mask for an axis of length dim."""
    kind = draw(st.sampled_from(["slice", "slice", "int", "mask"]))
    if kind == "int" and dim > 0:
        return draw(st.integers(-dim, dim - 1))
    if kind == "mask":
        bits = draw(st.lists(st.booleans(), min_size=dim, max_size=dim))
        return np.array(bits, dtype=np.bool_)
    bound = st.one_of(st.none(), st.integers(-dim - 2, dim + 2))
    return slice(draw(bound), draw(bound), draw(st.sampled_from([None, 1])))
