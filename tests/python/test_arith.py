"""Products, reductions, value maps and ufuncs against scipy on the same
entries: CSR/CSC x float32/float64 x copy/view/stack with shared rows, with
unsorted rows, repeated indices, explicit zeros, empty rows and empty shapes."""
import threading

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as sla

import korvex

RNG = np.random.default_rng(5)


CLASSES = {("csr", False): sp.csr_matrix, ("csc", False): sp.csc_matrix,
           ("csr", True): sp.csr_array, ("csc", True): sp.csc_array}


def messy(outer, inner, fmt, dtype, sparray=False, seed=0):
    """A scipy matrix whose rows are shuffled, repeat indices, store zeros
    and are sometimes empty."""
    rng = np.random.default_rng(seed)
    idx, val, ptr = [], [], [0]
    for i in range(outer):
        n = 0 if i % 4 == 1 or inner == 0 else rng.integers(0, min(inner, 5) + 1)
        cols = list(rng.choice(inner, n, replace=False)) if n else []
        if n and i % 3 == 0:
            cols.append(cols[0])  # a repeated index
        vals = rng.uniform(0.1, 2, len(cols))
        if n and i % 5 == 2:
            vals[-1] = 0.0  # an explicit zero
        idx += cols
        val += list(vals)
        ptr.append(len(idx))
    shape = (outer, inner) if fmt == "csr" else (inner, outer)
    return CLASSES[fmt, sparray]((np.array(val, dtype), np.array(idx, np.int64), np.array(ptr, np.int64)), shape)


def case(kind, fmt, dtype, shape=(9, 6), sparray=False):
    """(korvex matrix, scipy oracle)."""
    outer, inner = shape if fmt == "csr" else shape[::-1]
    S = messy(outer, inner, fmt, dtype, sparray)
    if kind == "copy":
        return korvex.from_scipy(S), S
    if kind == "view":
        return korvex.from_scipy(S, copy=False), S
    M = korvex.from_scipy(S, copy=False)  # stacked along the outer axis: rows shared
    stack, sstack = (korvex.vstack, sp.vstack) if fmt == "csr" else (korvex.hstack, sp.hstack)
    part = (lambda A: A[1:4]) if fmt == "csr" else (lambda A: A[:, 1:4])
    return stack([M, part(M), M]), CLASSES[fmt, sparray](sstack([S, part(S), S], format=fmt))


def dense(x):
    return np.asarray(x.toarray() if hasattr(x, "toarray") else x)


KINDS = ["copy", "view", "stack"]
ALL = [(k, f, d) for k in KINDS for f in ("csr", "csc") for d in (np.float32, np.float64)]
SHAPES = [(9, 6), (0, 4), (5, 0)]


def close(a, b, dtype):
    np.testing.assert_allclose(a, b, rtol=2e-5 if dtype == np.float32 else 1e-12, atol=1e-6)


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("kind,fmt,dtype", ALL)
def test_products_match_scipy(kind, fmt, dtype, shape):
    M, S = case(kind, fmt, dtype, shape)
    r, c = S.shape
    x, z = RNG.standard_normal(c), RNG.standard_normal(r)
    X = np.asfortranarray(RNG.standard_normal((c, 4)))
    for got, want in [(M @ x, S @ x), (M.dot(x), S @ x), (x.astype(np.float32) @ M.T, S @ x),
                      (M @ X, S @ X), (M @ np.ascontiguousarray(X), S @ X), (z @ M, z @ S),
                      (M.T @ z, S.T @ z), (X.T[:3, :c] @ M.T, X.T[:3, :c] @ S.T),
                      (M @ x[:, None], S @ x[:, None]), (M.rmatvec(z), S.T @ z),
                      (M.matmat(X), S @ X), (M.rmatmat(z[:, None]), S.T @ z[:, None])]:
        assert got.shape == want.shape and type(got) is type(want)
        close(got, want, dtype)
    # numpy's promotion of the two types, as scipy
    for op in (np.float64, np.int64, np.int8, np.float32, np.complex128, bool):
        xo = (x * 3).astype(op)
        got, want = M @ xo, S @ xo
        assert got.dtype == want.dtype
        close(got, want, dtype)


@pytest.mark.parametrize("sparray", [False, True])
@pytest.mark.parametrize("kind,fmt,dtype", ALL)
def test_sum_mean_match_scipy(kind, fmt, dtype, sparray):
    M, S = case(kind, fmt, dtype, sparray=sparray)
    for f in ("sum", "mean"):
        for axis in (None, 0, 1, -1, -2):
            for dt in (None, np.float64):
                got, want = getattr(M, f)(axis=axis, dtype=dt), getattr(S.copy(), f)(axis=axis, dtype=dt)
                assert type(got) is type(want) and np.shape(got) == np.shape(want)
                assert got.dtype == want.dtype
                close(got, want, dtype)
    out = np.zeros(S.shape[0]) if sparray else np.asmatrix(np.zeros((S.shape[0], 1)))
    assert M.sum(axis=1, out=out) is not None
    close(out, S.sum(axis=1), dtype)
    with pytest.raises(ValueError, match="dimensions"):
        M.sum(axis=0, out=out)
    for bad, err in [((0, 1), TypeError), (2, ValueError), (1.0, TypeError)]:
        with pytest.raises(err):
            M.sum(axis=bad)


MAPS = [(f"{n}", lambda m, n=n: getattr(m, n)(), lambda s, n=n: getattr(s, n)())
        for n in korvex._arith.UNARY_MAPS] + [
    ("neg", lambda m: -m, lambda s: -s),
    ("abs", abs, abs),
    ("round", lambda m: round(m, 1), lambda s: round(s, 1)),
    ("power", lambda m: m.power(3), lambda s: s.power(3)),
    ("scale", lambda m: m * 2.5, lambda s: s * 2.5),
    ("rscale", lambda m: 2 * m, lambda s: 2 * s),
    ("div", lambda m: m / 4, lambda s: s / 4),
    ("row", lambda m: m.multiply(np.arange(m.shape[1]) - 2.0),
     lambda s: s.multiply(np.arange(s.shape[1]) - 2.0)),
    ("col32", lambda m: m.multiply(np.arange(m.shape[0], dtype=np.float32)[:, None]),
     lambda s: s.multiply(np.arange(s.shape[0], dtype=np.float32)[:, None])),
    ("dense", lambda m: m.multiply(np.arange(np.prod(m.shape)).reshape(m.shape)),
     lambda s: s.multiply(np.arange(np.prod(s.shape)).reshape(s.shape))),
    ("np.log1p", np.log1p, lambda s: s.log1p()),
    ("np.abs", np.abs, abs),
    ("np.negative", np.negative, lambda s: -s),
    ("np.multiply", lambda m: np.multiply(m, 2), lambda s: s * 2),
    ("astype64", lambda m: m.astype(np.float64), lambda s: s.astype(np.float64)),
]


@pytest.mark.parametrize("name,fk,fs", MAPS, ids=[m[0] for m in MAPS])
@pytest.mark.parametrize("kind,fmt,dtype", ALL)
def test_value_maps_match_scipy(kind, fmt, dtype, name, fk, fs):
    M, S = case(kind, fmt, dtype)
    M = M * 0.5 if name in ("arcsin",) else M  # keep arcsin's inputs inside [-1, 1]
    S = S * 0.5 if name in ("arcsin",) else S
    before = M.toarray()
    with np.errstate(all="ignore"):
        R, want = fk(M), fs(S.copy())
    assert type(R) is type(M) and R.dtype == want.dtype
    close(R.toarray(), dense(want), dtype)
    np.testing.assert_array_equal(M.toarray(), before)  # the source is untouched
    linear = name in ("neg", "scale", "rscale", "div", "row", "col32", "dense", "np.negative",
                      "np.multiply", "deg2rad", "rad2deg", "astype64")
    copied = name == "astype64" and dtype == np.float64  # scipy's copy: storage of its own
    if (linear or M.has_sorted_indices) and not copied:
        # index spans are the source's own, also under a float64 result of
        # a float32 matrix
        for i in range(min(M._outer_dim, 6)):
            if M.spans(i)[1].len:
                assert R.spans(i)[1].address == M.spans(i)[1].address
                assert R.spans(i)[0].address != M.spans(i)[0].address


def test_star_follows_the_class_and_errors_say_why():
    S = messy(6, 4, "csr", np.float64)
    M, A = korvex.from_scipy(S), korvex.from_scipy(sp.csr_array(S))
    v, w = np.arange(4.0), np.arange(6.0)
    close(M * v, S * v, np.float64)            # spmatrix: the product
    close(w * M, w * S, np.float64)
    close((A * v).toarray(), (sp.csr_array(S) * v).toarray(), np.float64)  # array: elementwise
    close((v * A).toarray(), (v * sp.csr_array(S)).toarray(), np.float64)
    close((A ** 2).toarray(), (sp.csr_array(S) ** 2).toarray(), np.float64)
    for f, err, msg in [
        (lambda: M @ M, ValueError, "mismatch"), (lambda: M @ 2, ValueError, "Scalar"),
        (lambda: M @ np.ones(5), ValueError, "mismatch"), (lambda: np.ones(5) @ M, ValueError, "mismatch"),
        (lambda: M @ np.ones((4, 2, 2)), ValueError, "dimensions"),
        (lambda: M @ np.array(["a"] * 4), TypeError, "numeric"),
        (lambda: M.multiply(np.ones(5)), ValueError, "shapes"),
        (lambda: np.exp(M), TypeError, r"exp\(0\) = 1"), (lambda: M + 1, TypeError, "dense"),
        (lambda: np.cos(M), TypeError, "zero"), (lambda: M - np.ones((4, 6)), ValueError, "shape"),
        (lambda: M + np.ones((4, 6)), ValueError, "shapes"), (lambda: M ** 2, TypeError, "power"),
        (lambda: M / np.ones(4), TypeError, "multiply"), (lambda: M.power(np.ones(2)), TypeError, ""),
    ]:
        with pytest.raises(err, match=msg):
            f()
    close((M + 0).toarray(), S.toarray(), np.float64)
    # Two sparse operands and dense sums work (see test_combine.py).
    close((M @ S.T).toarray(), (S @ S.T).toarray(), np.float64)
    close((M + M).toarray(), (S + S).toarray(), np.float64)
    close(M - np.ones((6, 4)), S - np.ones((6, 4)), np.float64)


def test_threads_share_a_matrix_and_its_slices():
    S = messy(400, 300, "csr", np.float64, seed=3)
    M = korvex.from_scipy(S, copy=False)
    x = RNG.standard_normal(300)
    parts = [(M, S), (M[50:250], S[50:250]), (korvex.vstack([M, M[10:20]]), sp.vstack([S, S[10:20]]))]
    errors = []

    def work(t):
        try:
            for r in range(20):
                K, T = parts[(t + r) % 3]
                assert np.allclose(K @ x, T @ x) and np.allclose(K.sum(axis=0), T.sum(axis=0))
                assert np.allclose(np.log1p(K) @ x, T.copy().log1p() @ x)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_scipy_solvers_run_on_korvex_products(dtype):
    rng = np.random.default_rng(1)
    A = sp.random(60, 40, density=0.2, format="csr", random_state=2, dtype=dtype)
    M = korvex.from_scipy(A)
    s_k = sla.svds(M, k=3, random_state=0)[1]
    s_s = sla.svds(A, k=3, random_state=0)[1]
    close(np.sort(s_k), np.sort(s_s), np.float32)
    P = A @ A.T + sp.identity(60, dtype=dtype, format="csr") * 4  # positive definite
    K = korvex.from_scipy(P.tocsr())
    b = rng.standard_normal(60).astype(dtype)
    close(sla.eigsh(K, k=2, which="LM")[0], sla.eigsh(P, k=2, which="LM")[0], np.float32)
    for solve in (sla.cg, sla.gmres):
        x, info = solve(K, b, atol=1e-8)
        assert info == 0
        np.testing.assert_allclose(P @ x, b, atol=1e-3)
    y = sla.lsqr(M, A @ np.ones(40), atol=1e-10, btol=1e-10)[0]
    np.testing.assert_allclose(A @ y, A @ np.ones(40), atol=1e-3)
