"""Python threads on matrices that share storage: nothing crashes, no stored
entry is lost or changed, every result agrees with scipy.

KORVEX_STRESS_SCALE (default 1) scales the rounds and operation counts; the
sanitizer run sets it lower."""
import contextlib
import copy as copymod
import os
import pickle
import threading
import time

import numpy as np
import pytest
import scipy.sparse as sp

import korvex
from korvex._guard import GUARD

SCALE = float(os.environ.get("KORVEX_STRESS_SCALE", "1"))


def scaled(n):
    return max(2, int(n * SCALE))


def run_threads(target, args_list):
    errors = []

    def wrap(*a):
        try:
            target(*a)
        except BaseException as e:  # reported by the caller
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=a) for a in args_list]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def is_freed_error(e):
    return isinstance(e, ValueError) and "freed" in str(e)


def reversed_rows(A, every, rng=None):
    """A copy of CSR A with every `every`-th row stored in reverse order (or
    shuffled, given a random generator)."""
    A = A.copy()
    A.indices, A.indptr = A.indices.astype(np.int64), A.indptr.astype(np.int64)
    for i in range(0, A.shape[0], every):
        lo, hi = A.indptr[i], A.indptr[i + 1]
        order = np.arange(hi - lo)[::-1] if rng is None else rng.permutation(hi - lo)
        A.indices[lo:hi] = A.indices[lo:hi][order]
        A.data[lo:hi] = A.data[lo:hi][order]
    return A


def test_free_while_another_thread_exports():
    A = sp.random(3000, 300, density=0.03, format="csr", random_state=3)
    dense = A.toarray()
    outcomes = {"done": 0, "freed": 0}
    with korvex.from_scipy(A) as M:
        t0 = time.perf_counter()
        M.to_scipy()
        span = time.perf_counter() - t0
    for r in range(scaled(150)):
        M = korvex.from_scipy(A)
        got = []

        def export():
            try:
                got.append(M.to_scipy())
            except BaseException as e:
                got.append(e)

        t = threading.Thread(target=export)
        t.start()
        time.sleep(span * (r % 7) / 6)  # free at points spread over the export
        M.free()
        t.join()
        if is_freed_error(got[0]):
            outcomes["freed"] += 1
        else:
            outcomes["done"] += 1
            np.testing.assert_array_equal(got[0].toarray(), dense)
        with pytest.raises(ValueError, match="freed"):
            M.to_scipy()
    assert outcomes["done"] + outcomes["freed"] == scaled(150)


def test_two_clones_sorted_on_two_threads():
    A = reversed_rows(sp.random(20000, 500, density=0.02, format="csr", random_state=4), 3)
    want = A.copy()
    want.sort_indices()
    for _ in range(scaled(30)):
        M = korvex.from_scipy(A)
        B, C = M.clone(), M.clone()
        errors = run_threads(lambda X: X.sort_indices(), [(B,), (C,)])
        assert not errors, errors
        assert M.validate() and B.has_sorted_indices and C.has_sorted_indices
        S = M.to_scipy()
        np.testing.assert_array_equal(S.indptr, want.indptr)
        np.testing.assert_array_equal(S.indices, want.indices)
        np.testing.assert_array_equal(S.data, want.data)


def test_sorting_a_stack_that_lists_rows_twice():
    # Each row's storage is sorted once, however often a stack lists it:
    # two pool threads sorting one row together would lose entries.
    A = reversed_rows(sp.random(20000, 100, density=0.2, format="csr", random_state=1), 1,
                      np.random.default_rng(0))
    want = A.copy()
    want.sort_indices()
    for k in range(scaled(20)):
        M = korvex.from_scipy(A)
        S = korvex.vstack([M, M] if k % 4 else [M, M[:300], M])
        S.sort_indices()
        assert S.has_sorted_indices and M.validate()
        T = M.to_scipy()
        np.testing.assert_array_equal(T.indices, want.indices)
        np.testing.assert_array_equal(T.data, want.data)


def test_guard_rules_inside_a_call():
    A = sp.random(50, 40, density=0.2, format="csr", random_state=5)
    M = korvex.from_scipy(A)
    S = M[3:9]
    with pytest.raises(RuntimeError, match="guard"):
        M._handle  # read outside the guard
    with GUARD:  # as a __del__ running inside a korvex call would be
        M.free()
        assert M.freed and M._fin.alive  # freed for callers, released later
        with pytest.raises(ValueError, match="freed"):
            M.nnz
        with pytest.raises(RuntimeError, match="cannot run here"):
            S.sort_indices()
    assert not M._fin.alive
    np.testing.assert_array_equal(S.toarray(), A.toarray()[3:9])  # shared rows live on


def test_free_waits_for_calls_in_flight_and_holds_back_new_ones():
    M = korvex.from_scipy(sp.random(40, 30, density=0.2, format="csr", random_state=6))
    in_call, finish = threading.Event(), threading.Event()
    seen = {}

    def long_call():  # stands for a library call that takes a while
        with GUARD:
            seen["handle"] = M._handle
            in_call.set()
            finish.wait(10)
            seen["nnz"] = M.nnz

    def later_call():
        try:
            seen["later"] = M.nnz
        except ValueError as e:
            seen["later"] = e

    a = threading.Thread(target=long_call)
    a.start()
    in_call.wait(10)
    b = threading.Thread(target=M.free)
    b.start()
    while not GUARD._writers_waiting:  # free() is waiting for the call
        threading.Event().wait(0.001)
    c = threading.Thread(target=later_call)
    c.start()
    threading.Event().wait(0.05)
    assert not M.freed and "later" not in seen  # the new call waits behind free()
    finish.set()
    for t in (a, b, c):
        t.join(10)
    assert seen["nnz"] == 0.2 * 40 * 30 and M.freed
    assert is_freed_error(seen["later"])


def _check(K, D):
    np.testing.assert_array_equal(K.toarray(), D)


def _mix_worker(seed, pool, lock, host, stats):
    rng = np.random.default_rng(seed)
    HD = host.toarray()

    def pick(fmt=None):
        with lock:
            cands = [p for p in pool if fmt is None or p[0].format == fmt]
        return cands[rng.integers(len(cands))]

    def add(K, D):
        with lock:
            pool.append((K, D))

    for _ in range(scaled(120)):
        K, D = pick()
        r, c = D.shape
        op = rng.choice(["nnz", "to_scipy", "tocsc", "rows", "cols", "mask", "positions",
                         "stack", "copy", "clone", "sort", "sort", "sort", "free", "pickle",
                         "fresh", "fresh"])
        try:
            if op == "nnz":
                assert K.nnz == np.count_nonzero(D)
            elif op == "to_scipy":
                S = K.to_scipy()
                assert S.nnz == np.count_nonzero(D)
                np.testing.assert_array_equal(S.toarray(), D)
            elif op == "tocsc":
                X = K.tocsc()
                _check(X, D)
                add(X, D)
            elif op in ("rows", "cols"):
                dim = r if op == "rows" else c
                a, b = sorted(rng.integers(0, dim + 1, 2))
                X = K[a:b] if op == "rows" else K[:, a:b]
                _check(X, D[a:b] if op == "rows" else D[:, a:b])
                add(X, D[a:b] if op == "rows" else D[:, a:b])
            elif op == "mask":
                rm, cm = rng.random(r) < 0.6, rng.random(c) < 0.6
                X = K[rm][:, cm]
                _check(X, D[rm][:, cm])
                add(K[rm], D[rm])
            elif op == "positions":
                pos = np.flatnonzero(rng.random(c) < 0.5)
                _check(K[:, pos], D[:, pos])
            elif op == "stack":
                other, E = pick(K.format)
                along = K.format == "csr"
                if (other.shape[1] if along else other.shape[0]) != (c if along else r):
                    other, E = K, D
                stack, dense = ((korvex.vstack, np.vstack) if rng.random() < 0.5
                                else (korvex.hstack, np.hstack))
                if (stack is korvex.vstack and other.shape[1] != c) or \
                        (stack is korvex.hstack and other.shape[0] != r):
                    other, E = K, D
                X = stack([K, other])
                _check(X, dense([D, E]))
                add(X, dense([D, E]))
            elif op == "copy":
                X = copymod.deepcopy(K) if rng.random() < 0.3 else K.copy()
                assert not X.is_view
                _check(X, D)
                add(X, D)
            elif op == "clone":
                add(K.clone(), D)
            elif op == "sort":
                K.sort_indices()
                assert K.validate()
                _check(K, D)
            elif op == "free":
                if rng.random() < 0.3:
                    K.free()
            elif op == "pickle":
                _check(pickle.loads(pickle.dumps(K)), D)
            elif op == "fresh":  # new unsorted storage, and sharers of it
                X = korvex.from_scipy(host)
                for Y, E in ((X, HD), (X.clone(), HD), (X[10:100], HD[10:100]),
                             (korvex.vstack([X[:30], X]), np.vstack([HD[:30], HD]))):
                    add(Y, E)
            stats[op] = stats.get(op, 0) + 1
        except ValueError as e:
            if not is_freed_error(e):
                raise
            stats["freed"] = stats.get("freed", 0) + 1


@pytest.mark.parametrize("seed", [0, 1])
def test_random_mix_on_shared_storage(seed):
    rng = np.random.default_rng(100 + seed)
    A = reversed_rows(sp.random(300, 200, density=0.15, format="csr", random_state=seed), 2, rng)
    A.data += 1.0  # no explicit zeros: the stored count is the dense count
    snapshot = (A.data.copy(), A.indices.copy(), A.indptr.copy())
    D = A.toarray()
    V = korvex.from_scipy(A, copy=False)
    M = korvex.from_scipy(A)
    pool = [(V, D), (M, D), (V.clone(), D), (M.clone(), D), (V[20:200], D[20:200]),
            (korvex.vstack([M, V[:50]]), np.vstack([D, D[:50]])),
            (M[rng.random(300) < 0.5], None), (M.tocsc(), D)]
    mask = rng.random(300) < 0.5
    pool[6] = (M[mask], D[mask])
    lock = threading.Lock()
    stats = {}
    errors = run_threads(_mix_worker, [(seed * 10 + t, pool, lock, A, stats) for t in range(4)])
    assert not errors, errors
    for now, before in zip((A.data, A.indices, A.indptr), snapshot):
        np.testing.assert_array_equal(now, before)  # host arrays never written
    for K, E in pool:
        if not K.freed:
            _check(K, E)
    assert stats.get("sort", 0) and stats.get("stack", 0)


def test_thread_count_control():
    full = korvex.get_num_threads()
    assert full >= 1
    A = sp.random(3000, 200, density=0.05, format="csr", random_state=4)
    M = korvex.from_scipy(A)
    x = np.arange(200.0)
    want = A @ x
    try:
        korvex.set_num_threads(1)
        assert korvex.get_num_threads() == 1
        np.testing.assert_allclose(M @ x, want)
        with korvex.threads(2):
            assert korvex.get_num_threads() == min(2, full)
            with korvex.threads(1):
                assert korvex.get_num_threads() == 1
            assert korvex.get_num_threads() == min(2, full)
        assert korvex.get_num_threads() == 1
        korvex.set_num_threads(10 ** 6)  # above the pool: the pool's size
        assert korvex.get_num_threads() == full
        for bad, exc in ((0, ValueError), (-3, ValueError), (2 ** 63, ValueError),
                         (1.5, TypeError), (True, TypeError), ("2", TypeError)):
            for call in (korvex.set_num_threads, korvex.threads):
                with pytest.raises(exc):
                    with contextlib.ExitStack() as stack:
                        r = call(bad)
                        if call is korvex.threads:
                            stack.enter_context(r)
        assert korvex.get_num_threads() == full
        with pytest.raises(RuntimeError):
            with korvex.threads(1):
                raise RuntimeError("inside")
        assert korvex.get_num_threads() == full  # restored on the way out
    finally:
        korvex._threads._set(0)
    assert korvex.get_num_threads() == full
