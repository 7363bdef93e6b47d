"""Two sparse operands -- products, sums, elementwise products, maximum and
minimum, comparisons -- against scipy on the same entries: CSR/CSC x
float32/float64 x copy/view/stack with shared rows, messy rows, empty shapes,
mixed forms and value types, scipy operands on either side, threads."""
import operator
import threading
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given
from hypothesis import strategies as st
from strategies import CLASSES, scipy_matrices
from test_arith import ALL, case, messy
from test_lifetime import run_python

import korvex
from korvex._combine import _convert_left_instead

NUMERIC = {
    "add": operator.add, "sub": operator.sub, "multiply": lambda a, b: a.multiply(b),
    "maximum": lambda a, b: a.maximum(b), "minimum": lambda a, b: a.minimum(b),
    "matmul": lambda a, b: a @ b.T, "dot": lambda a, b: a.dot(b.T),
}
COMPARE = {"ne": operator.ne, "lt": operator.lt, "gt": operator.gt, "eq": operator.eq,
           "le": operator.le, "ge": operator.ge}


def quiet(fn, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
        return fn(*args)


def check(got, want, left_format, exact_count=True, tol=None):
    """got (korvex, or scipy for comparisons) holds what scipy's want holds."""
    want = sp.csr_matrix(want) if want.format not in ("csr", "csc") else want
    if want.dtype == np.bool_:
        assert type(got) is type(want) and got.dtype == np.bool_
    else:
        assert isinstance(got, korvex.CSRMatrix if left_format == "csr" else korvex.CSCMatrix)
        assert got.dtype == want.dtype and got.has_sorted_indices
    assert got.shape == want.shape
    tol = tol or (1e-5 if want.dtype == np.float32 else 1e-12)
    np.testing.assert_allclose(got.toarray(), want.toarray(), rtol=tol, atol=tol)
    if exact_count:
        W = want.copy()
        W.sum_duplicates()
        W.eliminate_zeros()
        assert got.nnz == W.nnz


@pytest.mark.parametrize("kind,fmt,dtype", ALL)
@pytest.mark.parametrize("shape", [(9, 6), (0, 4), (5, 0), (1, 1)])
def test_two_matrices_match_scipy(kind, fmt, dtype, shape):
    M, S = case(kind, fmt, dtype, shape)
    N, T = case("copy", "csc" if fmt == "csr" else "csr", dtype, S.shape)
    exact = dtype == np.float64
    for name, fn in NUMERIC.items():
        for a, b, s, t in ((M, N, S, T), (M, M, S, S), (M, T, S, T)):
            check(fn(a, b), fn(s, t), fmt, exact)
    for name, fn in COMPARE.items():
        for a, b, s, t in ((M, N, S, T), (M, M.clone(), S, S)):
            check(quiet(fn, a, b), quiet(fn, s, t), fmt)
    assert (M - M.copy()).nnz == 0 and (M - S).nnz == 0  # the equality idiom


@pytest.mark.parametrize("fmt,sparray", [("csr", False), ("csc", True)])
@pytest.mark.parametrize("s", [0.5, -0.5, 0, 2.0, np.nan, np.float32(0.3), 1e-50])
def test_scalar_comparisons_and_extremes_match_scipy(fmt, sparray, s):
    for dtype in (np.float32, np.float64):
        S = messy(8, 5, fmt, dtype, sparray, seed=2)
        M = korvex.from_scipy(S)
        for fn in COMPARE.values():
            try:
                want = quiet(fn, S.copy(), s)
            except NotImplementedError:
                with pytest.raises(NotImplementedError):
                    fn(M, s)
                continue
            check(quiet(fn, M, s), want, fmt)
        for name in ("maximum", "minimum"):
            check(quiet(getattr(M, name), s), quiet(getattr(S.copy(), name), s), fmt, False)


def test_results_take_the_left_form_class_and_promoted_type():
    S = messy(7, 7, "csr", np.float32)
    A = korvex.from_scipy(sp.csr_array(S))            # sparray-born: * is elementwise
    M, N = korvex.from_scipy(S), korvex.from_scipy(S.astype(np.float64).tocsc())
    T = S.astype(np.float64).tocsc()
    for got, want, fmt in [(M + N, S + T, "csr"), (N - M, T - S, "csc"), (M @ N, S @ T, "csr"),
                           (M * N, S @ T, "csr"), (A * M, S.multiply(S), "csr"),
                           (T + M, T + S, "csc"), (T - M, T - S, "csc"), (T @ M, T @ S, "csc"),
                           (T * M, T @ S, "csc"), (T.dot(M), T @ S, "csc"),
                           (sp.csr_array(T) @ M, T @ S, "csr"), (S.tocoo() + M, S + S, "csr"),
                           (M + S.astype(np.int64), S + S.astype(np.int64), "csr")]:
        check(got, want, fmt, False, 1e-6)  # float32 repeats add up in either type
    assert (A + M)._sparray and not (M + A)._sparray and (S + A)._sparray is False
    assert isinstance(A != M, sp.csr_array) and isinstance(M != A, sp.csr_matrix)
    with pytest.raises(TypeError, match="float32 or float64"):
        M + S.astype(np.complex128)


def test_products_of_two_forms_convert_the_smaller_side():
    # A small CSC left operand (the shape of H.T @ X) is converted instead of
    # the right one, and the result comes back in the left operand's form.
    H = sp.csr_matrix((np.ones(60), (np.arange(60), np.arange(60) % 4)), shape=(60, 4))
    X = sp.random(60, 50, density=0.4, format="csr", random_state=3)
    Y = sp.random(4, 60, density=0.9, format="csc", random_state=4)
    MH, MX = korvex.from_scipy(H), korvex.from_scipy(X)
    assert _convert_left_instead(MH.T, MX) and not _convert_left_instead(MX.T, MX)
    for got, want, fmt in [(MH.T @ MX, H.T @ X, "csc"), (H.T @ MX, H.T @ X, "csc"),
                           (sp.csc_array(H.T) @ MX, H.T @ X, "csc"),
                           (MH @ korvex.from_scipy(Y), H @ Y, "csr"), (MX.T @ MX, X.T @ X, "csc")]:
        check(got, want, fmt)
    assert (sp.csc_array(H.T) @ MX)._sparray and not (MH.T @ MX)._sparray


def test_dense_operands_and_numpy_calls_match_scipy():
    for sparray in (False, True):
        S = messy(6, 4, "csr", np.float64, sparray)
        M, D = korvex.from_scipy(S), np.arange(24.0).reshape(6, 4)
        for fn in (lambda a: a + D, lambda a: a - D, lambda a: D - a, lambda a: a + D[0],
                   lambda a: a - D[:, :1], lambda a: D + a, lambda a: a < D, lambda a: D == a,
                   lambda a: a >= D, lambda a: a.maximum(D), lambda a: a.minimum(D)):
            got, want = fn(M), fn(S)
            assert type(got) is type(want)
            np.testing.assert_allclose(np.asarray(got), np.asarray(want), rtol=1e-15)
        for fn in (np.greater, np.maximum):  # numpy would make scipy an object array
            np.testing.assert_array_equal(fn(D, M), fn(D, S.toarray()))
        with pytest.raises(ValueError, match="shapes"):
            M + np.ones((4, 6))


def test_mismatches_raise_and_refusals_stay():
    M, S = korvex.from_scipy(messy(6, 4, "csr", np.float64)), messy(6, 4, "csr", np.float64)
    W = korvex.from_scipy(messy(4, 6, "csr", np.float64))
    for f in (lambda: M + W, lambda: M - W.to_scipy(), lambda: M.multiply(W), lambda: M @ M,
              lambda: M.maximum(W), lambda: M < W, lambda: S @ M, lambda: M * M):
        with pytest.raises(ValueError, match="inconsistent|mismatch"):
            f()
    assert quiet(operator.eq, M, W) is False and (M != W) is True
    with pytest.raises(NotImplementedError):
        M >= 0
    with pytest.raises(TypeError):
        M + 1
    with pytest.warns(sp.SparseEfficiencyWarning):
        M == M
    with pytest.warns(sp.SparseEfficiencyWarning):
        M < 1
    F = korvex.from_scipy(S)
    F.free()
    with pytest.raises(ValueError, match="freed"):
        M + F
    assert M != "x" and (M == None) is False and M in [M]  # noqa: E711


@given(st.data())
def test_generated_pairs_match_scipy(data):
    A = data.draw(scipy_matrices(dtype=np.float64))
    B = data.draw(scipy_matrices(dtype=np.float64, shape=A.shape))
    # scipy lets a sparse array on the right decide the class (a subclass
    # reflects first); korvex results follow the left operand.
    B = CLASSES[B.format, isinstance(A, sp.csr_array) or isinstance(A, sp.csc_array)](B)
    M, N = korvex.from_scipy(A, copy=data.draw(st.booleans())), korvex.from_scipy(B)
    for fn in list(NUMERIC.values()) + list(COMPARE.values()):
        check(quiet(fn, M, N), quiet(fn, A.copy(), B.copy()), A.format)


def test_product_memory_follows_the_result_not_the_work():
    # 400 x 2000 times 2000 x 50, every row meeting every column: 4e7
    # multiply-adds into a result of 20k entries. Anything sized by the
    # work would take hundreds of MiB.
    out = run_python("""
        import resource, numpy as np, scipy.sparse as sp, korvex
        A = korvex.from_scipy(sp.csr_matrix(np.ones((400, 2000))))
        B = korvex.from_scipy(sp.csr_matrix(np.ones((2000, 50))))
        (A[:2] @ B).free()  # the pool and the library's first allocations
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        C = A @ B
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert C.nnz == 20000 and np.all(C.toarray() == 2000)
        print(grown)
    """)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 48 * 1024  # KiB


def test_threads_combine_the_same_matrices():
    S = messy(300, 200, "csr", np.float64, seed=7)
    M = korvex.from_scipy(S, copy=False)
    N = korvex.vstack([M[150:], M[:150]])
    T = sp.vstack([S[150:], S[:150]]).tocsr()
    want = [(S @ T.T).toarray(), (S + T).toarray(), (S != T).toarray(), (S.T @ T).toarray()]
    errors = []

    def work():
        try:
            for _ in range(5):
                got = [M @ N.T, M + N, M != N, M.T @ N]
                for g, w in zip(got, want):
                    np.testing.assert_allclose(g.toarray(), w, rtol=1e-12)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


def test_own_transpose_and_non_finite_values_of_the_other_form():
    # M.T is read as the other form over M's storage; non-finite values of
    # either side reach the product as scipy's union gives them (inf * 0).
    for seed, bad in ((1, False), (2, True)):
        S = messy(8, 8, "csr", np.float64, seed=seed)
        if bad:
            S.data[::3] = np.resize([np.inf, -np.inf, np.nan], len(S.data[::3]))
        M = korvex.from_scipy(S)
        for name, fn in NUMERIC.items():
            if name in ("matmul", "dot"):
                continue
            check(quiet(fn, M, M.T.T.T), quiet(fn, S, S.T.T.T), "csr")
        got = korvex.from_scipy(S.copy()).multiply(M.T)
        check(got, S.multiply(S.T.tocsr()), "csr")
