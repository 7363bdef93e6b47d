"""Views and the host arrays behind them, finalisation, threads, processes,
and how the library is found."""
import gc
import os
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest
import scipy.sparse as sp

import korvex
from korvex import _lib

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def host(fmt="csr"):
    A = sp.random(30, 20, density=0.3, format=fmt, random_state=5)
    A.indices, A.indptr = A.indices.astype(np.int64), A.indptr.astype(np.int64)
    return A


SHARERS = {  # results that keep reading the view's host arrays
    "clone": lambda V: V.clone(),
    "outer slice": lambda V: V[2:9],
    "outer mask": lambda V: V[np.arange(30) % 3 == 0],
    "outer take": lambda V: V[[7, 2, 2, -1]],
    "outer step": lambda V: V[::-3],
    "stack along": lambda V: korvex.vstack([V, V[:4]]),
    "single stack": lambda V: korvex.hstack([V]),
    "transpose": lambda V: V.T,
}
COPIES = {  # results with storage of their own
    "inner slice": lambda V: V[:, 1:5],
    "inner mask": lambda V: V[:, np.ones(20, bool)],
    "inner take": lambda V: V[:, [3, 0, 3]],
    "transposed copy": lambda V: V.transpose(copy=True),
    "conversion": lambda V: V.tocsc(),
    "stack across": lambda V: korvex.hstack([V, V]),
    "copy": lambda V: V.copy(),
}


@pytest.mark.parametrize("name", list(SHARERS) + list(COPIES))
def test_view_host_arrays_live_exactly_as_long_as_needed(name):
    A = host()
    data_ref, idx_ref = weakref.ref(A.data), weakref.ref(A.indices)
    V = korvex.from_scipy(A, copy=False)
    R = (SHARERS.get(name) or COPIES[name])(V)
    expected = R.toarray()
    del A
    V.free()
    del V
    gc.collect()
    shares = name in SHARERS
    assert (data_ref() is not None) == shares and (idx_ref() is not None) == shares
    assert R.is_view == shares
    if shares:
        data_ref()[:] += 1.0  # host writes show through every sharer
        np.testing.assert_array_equal(R.toarray(), expected + (expected != 0))
    else:
        np.testing.assert_array_equal(R.toarray(), expected)
    del R
    gc.collect()
    assert data_ref() is None and idx_ref() is None


def test_view_with_int32_indices_shares_values_only():
    A = sp.random(10, 10, density=0.5, format="csc", random_state=2)
    assert A.indices.dtype == np.int32
    V = korvex.from_scipy(A, copy=False)
    before = V.toarray()
    A.data *= 2  # shared
    A.indices[:] = 0  # widened privately: not seen
    np.testing.assert_array_equal(V.toarray(), 2 * before)


def test_sort_indices_on_unsorted_view_detaches_it():
    A = host()
    A.indices[A.indptr[3]:A.indptr[4]] = A.indices[A.indptr[3]:A.indptr[4]][::-1].copy()
    A.data[A.indptr[3]:A.indptr[4]] = A.data[A.indptr[3]:A.indptr[4]][::-1].copy()
    snapshot = A.indices.copy()
    V = korvex.from_scipy(A, copy=False)
    W = V.clone()
    dense = A.toarray()
    V.sort_indices()
    assert V.has_sorted_indices and not V.is_view and W.is_view and not W.has_sorted_indices
    np.testing.assert_array_equal(A.indices, snapshot)  # host memory never written
    A.data[:] = 0
    np.testing.assert_array_equal(V.toarray(), dense)
    assert W.nnz == V.nnz and not W.toarray().any()
    # A sorted view needs no copy and stays a view.
    B = host()
    S = korvex.from_scipy(B, copy=False)
    S.sort_indices()
    assert S.is_view


def test_owned_storage_is_sorted_in_place_for_every_sharer():
    A = sp.csr_matrix((np.array([1.0, 2, 3]), np.array([2, 0, 1], np.int64),
                       np.array([0, 3], np.int64)), shape=(1, 3))
    M = korvex.from_scipy(A)
    S = M[0:1]
    M.sort_indices()
    assert M.has_sorted_indices and S.has_sorted_indices
    assert S.outer(0)[0].tolist() == [0, 1, 2] and S.outer(0)[1].tolist() == [2.0, 3.0, 1.0]


def test_concurrent_readers_from_python_threads():
    A = host()
    V = korvex.from_scipy(A, copy=False)
    dense = A.toarray()
    errors = []

    def work(seed):
        rng = np.random.default_rng(seed)
        try:
            for _ in range(50):
                a, b = sorted(rng.integers(0, 21, 2))
                mask = rng.random(30) < 0.5
                np.testing.assert_array_equal(V[mask, a:b].toarray(), dense[mask][:, a:b])
                np.testing.assert_array_equal(V.T.toarray(), dense.T)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


CHECK = """
import numpy as np, scipy.sparse as sp, korvex
A = sp.random(4000, 600, density=0.02, format="csr", random_state=1)
M = korvex.from_scipy(A)
assert np.array_equal(M[:, 100:500].toarray(), A[:, 100:500].toarray())
assert np.array_equal(M.tocsc().toarray(), A.toarray())
assert np.array_equal(korvex.hstack([M, M]).toarray(), sp.hstack([A, A]).toarray())
"""


def run_python(code, timeout=60, **env):
    full = dict(os.environ, PYTHONPATH=os.path.join(REPO, "python"), KORVEX_LIBRARY=_lib.library_path)
    full.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full,
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no CPU affinity")
def test_one_cpu_affinity_still_gives_correct_results():
    # The pool is sized from the affinity mask: one CPU, no worker thread.
    code = ("import os\nos.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})\n"
            "import numpy, scipy.sparse\nbefore = len(os.listdir('/proc/self/task'))\n" + CHECK +
            "print('ok', len(os.sched_getaffinity(0)), len(os.listdir('/proc/self/task')) - before)")
    res = run_python(code)
    assert res.returncode == 0 and "ok 1 0" in res.stdout, (res.stdout, res.stderr)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_forked_child_runs_parallel_operations():
    code = CHECK + """
import os
pid = os.fork()
if pid == 0:
    try:
        exec(CHECK)
        os._exit(0)
    except BaseException:
        os._exit(1)
_, status = os.waitpid(pid, 0)
exec(CHECK)  # the parent's pool still works too
print("child", os.waitstatus_to_exitcode(status))
"""
    res = run_python("CHECK = " + repr(CHECK) + "\n" + code, timeout=90)
    assert res.returncode == 0 and "child 0" in res.stdout, res.stderr


def test_library_lookup():
    res = run_python("import korvex", KORVEX_LIBRARY="/nonexistent/libkorvex.so")
    assert res.returncode != 0 and "KORVEX_LIBRARY" in res.stderr and "ImportError" in res.stderr
    symbols = os.path.join(REPO, "abi", "korvex.symbols")
    if os.path.exists(symbols):  # every export is declared, and nothing else
        assert _lib.declared_names() == sorted(open(symbols).read().split())
