"""Shapes and sizes at the edges, and the places where a scipy user expects
scipy's behaviour."""
import tracemalloc
from unittest import mock

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given
from hypothesis import strategies as st

import korvex
from strategies import make_scipy, scipy_matrices


def one_entry_wide(cols, fmt="csr", unsorted=False):
    rows = [[7, 5], []] if unsorted else [[5, 7], []]
    return make_scipy(fmt, (2, cols) if fmt == "csr" else (cols, 2), rows, [1.0, 2.0],
                      np.float64, np.int64)


def test_shapes_are_integers_below_2_63():
    v = np.array([1.0])
    for shape in ((np.int32(2), np.uint64(3)), [2, 3], (np.int64(2), 3)):
        assert korvex.from_coo([0], [0], v, shape).shape == (2, 3)
    for shape, exc in (((2.0, 3), TypeError), (("2", 3), TypeError), ((True, 3), TypeError),
                       ((2, -3), ValueError), ((2, 2 ** 63), ValueError),
                       ((2 ** 64 + 3, 3), ValueError), ((np.uint64(2 ** 63), 3), ValueError),
                       (5, TypeError), ((1, 2, 3), TypeError), ("ab", TypeError)):
        with pytest.raises(exc):
            korvex.from_coo([0], [0], v, shape)
    A = sp.csr_matrix((2, 3))
    with pytest.raises(ValueError, match="2\\*\\*63"):
        korvex._matrix._from_arrays("csr", (2, 2 ** 64), A.indptr, A.indices, A.data)


def test_requests_whose_bookkeeping_cannot_fit_are_refused():
    # Each of these ended the process inside the library.
    wide = korvex.from_scipy(sp.csr_matrix(([1.0], [5], [0, 1, 1]), shape=(2, 2 ** 40)))
    with pytest.raises(MemoryError):
        wide.tocsc()
    with pytest.raises(MemoryError):
        korvex.from_coo([0], [0], [1.0], shape=(2 ** 40, 3))
    with pytest.raises(MemoryError):
        korvex.from_coo([0], [0], [1.0], shape=(3, 2 ** 40), format="csc")
    huge = korvex.from_scipy(sp.csr_matrix((1, 2 ** 62)))
    with pytest.raises(OverflowError):
        korvex.hstack([huge] * 4)
    with pytest.raises(OverflowError):
        korvex.hstack([huge] * 2)  # 2^63: one past the largest dimension
    assert korvex.hstack([huge, huge[:, :5]]).shape == (1, 2 ** 62 + 5)
    tall = wide.T  # CSC, 2^40 x 2: few outer indices, fine
    assert tall.shape == (2 ** 40, 2) and tall.nnz == 1
    column = korvex.from_scipy(sp.csc_matrix((2 ** 62, 1)))
    with pytest.raises(OverflowError):
        korvex.vstack([column, column])
    # Nothing changed on the way.
    assert wide.validate() and wide.nnz == 1


def test_wide_inner_selections_use_memory_of_the_entries():
    for unsorted in (False, True):
        A = one_entry_wide(2 ** 40, unsorted=unsorted)
        M = korvex.from_scipy(A, copy=False)
        tracemalloc.start()
        try:
            parts = (M[:, 0:10], M[:, 6:2 ** 40], M[:, [5, 2 ** 40 - 1]], M[:, np.array([7])])
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 1 << 20
        assert [P.shape for P in parts] == [(2, 10), (2, 2 ** 40 - 6), (2, 2), (2, 1)]
        assert [P.outer(0)[0].tolist() for P in parts] == \
            [[7, 5] if unsorted else [5, 7], [1], [0], [0]]
        assert parts[0].outer(0)[1].tolist() == [1.0, 2.0]


def test_unsigned_indices_past_2_63_are_refused():
    A = make_scipy("csr", (1, 4), [[1, 2]], [1.0, 2.0], np.float64, np.int64)
    A.indices = np.array([1, 2 ** 63 + 1], np.uint64)
    for copy in (True, False):
        with pytest.raises(IndexError, match="position 1"):
            korvex.from_scipy(A, copy=copy)
    with pytest.raises(IndexError, match="position 1"):
        korvex.from_coo(np.array([0, 0], np.uint64), A.indices, [1.0, 2.0], (1, 4))


def test_from_coo_names_the_axis_and_first_bad_position():
    v = np.ones(4)
    with pytest.raises(korvex.IndexOutOfRangeError, match="row index 5 at position 2"):
        korvex.from_coo([0, 1, 5, 9], [0, 0, 0, 0], v, (3, 3))
    with pytest.raises(korvex.IndexOutOfRangeError, match="column index -1 at position 3"):
        korvex.from_coo([0, 1, 2, 0], [0, 0, 2, -1], v, (3, 3), format="csc")


def test_scipy_attributes_and_errors():
    A = make_scipy("csr", (3, 4), [[0, 2], [], [3, 1, 3]], [1, 0, 2, 3, 4], np.float64,
                   np.int64)
    M = korvex.from_scipy(A)
    assert (M.ndim, M.size, M.getnnz()) == (A.ndim, A.size, A.getnnz()) == (2, 5, 5)
    for axis in (0, 1, -1):
        np.testing.assert_array_equal(M.getnnz(axis), A.getnnz(axis))
        np.testing.assert_array_equal(M.T.getnnz(axis), A.T.getnnz(axis))
    with pytest.raises(ValueError):
        M.getnnz(2)
    with pytest.raises(TypeError, match="ambiguous"):
        len(M)
    with pytest.raises(TypeError, match="ambiguous"):
        len(A)
    with pytest.raises(ValueError, match="ambiguous"):
        bool(M)
    assert bool(M[1, 1]) is False and bool(M[0, 0]) is True
    F = M.astype(np.float32)
    assert F.dtype == np.float32 and F.format == "csr" and F.outer(2)[0].tolist() == [3, 1, 3]
    np.testing.assert_array_equal(F.toarray(), A.toarray().astype(np.float32))
    assert M.astype(np.float64, copy=False) is M
    same = M.astype("float64")
    assert same is not M and not same.is_view
    with pytest.raises(TypeError):
        M.astype(np.int32)
    for bad in (1.0, "1", None, True):
        with pytest.raises(TypeError):
            M.outer(bad)
    assert M.outer(np.int64(2))[0].tolist() == [3, 1, 3]
    with pytest.raises(ValueError, match="sequence"):
        korvex.hstack(M)
    with pytest.raises(ValueError):
        sp.hstack(A)  # what scipy does
    assert korvex.vstack(m for m in (M, M)).shape == (6, 4)


def test_density_is_exact():
    M = korvex.from_scipy(sp.csr_matrix(([1.0], [3], [0, 1]), shape=(1, 2 ** 62)))
    assert M.density == 2.0 ** -62 and M.sparsity == 1.0
    E = korvex.from_coo([], [], np.zeros(0), (0, 5))
    assert (E.density, E.sparsity) == (0.0, 1.0)


def test_sort_keeps_a_view_whose_rows_only_repeat():
    A = make_scipy("csr", (3, 4), [[1, 1, 2], [], [0, 3, 3]], [1, 2, 3, 4, 5, 6],
                   np.float64, np.int64)
    V = korvex.from_scipy(A, copy=False)
    V.sort_indices()
    assert V.is_view and not V.has_sorted_indices
    A.data[0] = 10.0  # still reading the host arrays
    assert V.outer(0)[1].tolist() == [10.0, 2.0, 3.0]
    # A row that steps down still detaches, a stack holding both as well.
    B = make_scipy("csr", (2, 4), [[1, 1], [3, 0]], [1, 2, 3, 4], np.float64, np.int64)
    W = korvex.from_scipy(B, copy=False)
    S = korvex.vstack([V, W])
    S.sort_indices()
    assert not S.is_view and S.outer(4)[0].tolist() == [0, 3]
    np.testing.assert_array_equal(S.toarray(), np.vstack([A.toarray(), B.toarray()]))


@given(st.data(), scipy_matrices())
def test_entry_filtering_selects_like_the_mask_path(data, A):
    # The entry filter normally serves only very wide matrices; with no
    # room for a mask it serves every inner selection here.
    M = korvex.from_scipy(A, copy=data.draw(st.booleans()))
    inner = A.shape[1] if A.format == "csr" else A.shape[0]
    lo = data.draw(st.integers(0, inner))
    hi = data.draw(st.integers(lo, inner))
    pos = np.array(sorted(data.draw(st.sets(st.integers(0, max(inner - 1, 0)), max_size=inner)))
                   if inner else [], np.int64)
    keys = [slice(lo, hi), pos]
    with mock.patch.object(korvex._index, "_mask_budget", lambda n, nnz: -1):
        got = [M[:, k] if A.format == "csr" else M[k] for k in keys]
    for R, k in zip(got, keys):
        want = A[:, k] if A.format == "csr" else A[k]
        assert R.shape == want.shape and R.nnz == want.nnz
        np.testing.assert_array_equal(R.toarray(), want.toarray())


# Under a tight address-space limit every operation that cannot get its
# memory raises MemoryError, whether the package's size check refuses it or
# the library runs out partway (check disabled); the process lives on.
_BATTERY = r"""
import resource, sys
import numpy as np, scipy.sparse as sp
import korvex
from korvex import _sizes

def vmsize():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

W = korvex.from_scipy(sp.random(3000, 3000, density=0.01, format="csr", random_state=0))
W.tocsc(); W.T; korvex.vstack([W, W]); W.sort_indices()   # start the pool and its threads
tall = korvex.from_coo([], [], [], (3_000_000, 1))         # 192 MB of span descriptors
wide = korvex.from_coo([0], [0], [1.0], (1, 3_000_000))
n = 3_000_000
ops = {
    "issue": lambda: korvex.from_coo([], [], [], (40_000_000, 1)).tocsc().copy(),
    "from_coo": lambda: korvex.from_coo([], [], [], (n, 1)),
    "tocsc": lambda: wide.tocsc(),
    "copy": lambda: tall.copy(),
    "transpose": lambda: tall.T,
    "vstack": lambda: korvex.vstack([tall, tall]),
    "toarray": lambda: korvex.from_coo([0], [0], [1.0], (30_000, 30_000)).toarray(),
    "from_scipy": lambda: korvex.from_scipy(sp.csr_matrix((n, 1))),
}
resource.setrlimit(resource.RLIMIT_AS, (vmsize() + (128 << 20), resource.RLIM_INFINITY))
from_library = 0
for checked in (True, False):
    if not checked:
        _sizes.require = lambda *a, **k: None
    for name, op in ops.items():
        try:
            op()
        except MemoryError as e:
            from_library += isinstance(e, korvex.AllocationError)
            continue
        sys.exit(f"{name} (size check {'on' if checked else 'off'}) did not raise MemoryError")
if from_library < 3:
    sys.exit(f"only {from_library} failures came from inside the library")
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert korvex.vstack([W, W]).nnz == 2 * W.nnz and tall.tocsc().shape == (3_000_000, 1)
print("ok")
"""


def test_memory_runs_out_as_memory_error_never_a_signal():
    import os
    import subprocess
    import sys
    # Under AddressSanitizer (the lsan run) its allocator must report
    # exhaustion as a null pointer, as malloc does.
    asan = os.environ.get("ASAN_OPTIONS", "")
    env = dict(os.environ, ASAN_OPTIONS=f"{asan}:allocator_may_return_null=1".lstrip(":"))
    r = subprocess.run([sys.executable, "-c", _BATTERY], capture_output=True, text=True,
                       timeout=120, env=env)
    assert r.returncode == 0 and r.stdout.strip() == "ok", (r.returncode, r.stdout, r.stderr)
