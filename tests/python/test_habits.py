"""Typing conventions of scipy users: totals in a given dtype, constructor and
stack promotion, the small attributes and methods, reshaping, numpy's
functions on a matrix."""
import numpy as np
import pytest
import scipy.sparse as sp

import korvex


def fractional(fmt="csr", dtype=np.float64, seed=3):
    # Row sums with fractions, so that an integer total depends on where it
    # is truncated.
    A = sp.random(30, 20, density=0.3, format=fmt, random_state=seed, dtype=np.float64)
    A.data = (A.data * 10).astype(dtype)
    return A


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_totals_in_a_given_dtype_follow_scipy(fmt, dtype):
    A = fractional(fmt, dtype)
    M = korvex.from_scipy(A)
    for want_dtype in (np.int64, np.int32, np.float64):
        got, want = M.sum(dtype=want_dtype), A.sum(dtype=want_dtype)
        assert got.dtype == want.dtype
        if np.dtype(want_dtype).kind == "i":
            assert got == want, (got, want)
        else:
            np.testing.assert_allclose(got, want, rtol=1e-5)
        for axis in (0, 1):
            np.testing.assert_allclose(M.sum(axis=axis, dtype=want_dtype),
                                       A.sum(axis=axis, dtype=want_dtype), rtol=1e-5)
    out = np.zeros((), np.int64)
    assert M.sum(dtype=np.int64, out=out) == A.sum(dtype=np.int64)


def test_diagonal_and_trace_take_integer_offsets():
    A = fractional()
    M = korvex.from_scipy(A)
    for k in (1.5, 1.0, "1", None):
        for X in (M, A):
            with pytest.raises(TypeError):
                X.diagonal(k=k)
    for k in (0, 3, -2, np.int64(1), 25, -40):
        np.testing.assert_allclose(M.trace(k), A.trace(k))
        assert M.trace(k).dtype == A.trace(k).dtype
    assert M.trace() == A.trace()


def test_constructor_dtype_is_honoured_by_views_too():
    A32 = fractional(dtype=np.float32)
    for cls in (korvex.CSRMatrix, korvex.CSCMatrix):
        for copy in (False, True):
            for arg in (A32, korvex.from_scipy(A32)):
                X = cls(arg, dtype=np.float64, copy=copy)
                assert X.dtype == np.float64, (cls, copy, type(arg))
                np.testing.assert_array_equal(X.toarray(), A32.toarray().astype(np.float64))
    V = korvex.CSRMatrix(A32)  # no dtype, no copy: still a view
    assert V.is_view and V.dtype == np.float32
    assert korvex.CSRMatrix(A32, dtype=np.float32).is_view


@pytest.mark.parametrize("name", ["vstack", "hstack"])
def test_mixed_stacks_promote_as_scipy(name):
    A, B = fractional("csr", np.float32, 1), fractional("csc", np.float64, 2)
    kstack, sstack = getattr(korvex, name), getattr(sp, name)
    M, N = korvex.from_scipy(A), korvex.from_scipy(B)
    cases = [  # (korvex blocks, scipy blocks, kwargs, format, dtype)
        ([M, N], [A, B], {}, "csr", np.float64),
        ([N, M], [B, A], {}, "csc", np.float64),
        ([M, M], [A, A], {"dtype": np.float64}, "csr", np.float64),
        ([M, N], [A, B], {"format": "csc", "dtype": np.float32}, "csc", np.float32),
        ([N, N], [B, B], {"format": "csr"}, "csr", np.float64),
    ]
    for mats, blocks, kwargs, fmt, dtype in cases:
        R = kstack(mats, **kwargs)
        want = sstack(blocks, **kwargs)
        assert (R.format, R.dtype) == (fmt, dtype), kwargs
        np.testing.assert_array_equal(R.toarray(), want.toarray())
    coo = kstack([M, N], format="coo")
    assert sp.isspmatrix_coo(coo) and (coo != sstack([A, B], format="coo")).nnz == 0
    with pytest.raises(TypeError, match="float32 or float64"):
        kstack([M, N], dtype=np.int64)
    with pytest.raises(ValueError):
        kstack([M, N], format="nope")
    assert M.nnz and N.nnz and not M.freed and not N.freed  # inputs left alone


def test_small_attributes_follow_scipy():
    for A in (fractional("csr"), fractional("csc", np.float32), sp.csr_array(fractional())):
        M = korvex.from_scipy(A)
        assert M.getformat() == A.getformat()
        np.testing.assert_array_equal(M.A, A.toarray())
        for got, want in ((M.conj(), A.conj()), (M.conjugate(), A.conjugate()),
                          (M.real, A.real), (M.getH(), A.getH()), (M.H, A.getH()),
                          (M.imag, A.imag)):
            assert got.shape == want.shape and got.dtype == want.dtype
            assert got.nnz == want.nnz
            np.testing.assert_array_equal(got.toarray(), want.toarray())
        assert M.conj(copy=False) is M and M.conj().spans(0)[0].address != M.spans(0)[0].address
        assert M.H.format == A.getH().format
        assert not np.any(M.imag.toarray())


def test_copying_conversions():
    for fmt in ("csr", "csc"):
        M = korvex.from_scipy(fractional(fmt))
        own = getattr(M, f"to{fmt}")(copy=True)
        shared = getattr(M, f"to{fmt}")()
        assert own.spans(1)[0].address != M.spans(1)[0].address
        assert shared.spans(1)[0].address == M.spans(1)[0].address
        other = "csc" if fmt == "csr" else "csr"
        assert getattr(M, f"to{other}")(copy=True).format == other


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_reshape_and_resize_follow_scipy(fmt):
    A = fractional(fmt)
    for args, kwargs in (((60, 10), {}), (((10, 60),), {}), ((-1, 30), {}),
                         ((20, 30), {"order": "F"}), ((1, 600), {}), ((600, 1), {"order": "F"})):
        M = korvex.from_scipy(A)
        got, want = M.reshape(*args, **kwargs), A.reshape(*args, **kwargs)
        assert got.format == fmt and got.shape == want.shape
        np.testing.assert_array_equal(got.toarray(), want.toarray())
    M = korvex.from_scipy(A)
    assert M.reshape(A.shape) is M and M.reshape(A.shape, copy=True) is not M
    for bad in ((7, 7), (600,), (2, 3, 100)):
        with pytest.raises(ValueError):
            A.reshape(bad)
        with pytest.raises(ValueError):
            M.reshape(bad)
    with pytest.raises(TypeError):
        M.reshape((60, 10), orderr="C")
    for shape in ((10, 5), (40, 25), (30, 7), (35, 20), (0, 0)):
        S, V = A.copy(), korvex.from_scipy(A, copy=False)
        assert S.resize(shape) is None and V.resize(*shape) is None
        assert V.shape == S.shape and V.validate() and not V.is_view
        np.testing.assert_array_equal(V.toarray(), S.toarray())
    with pytest.raises(ValueError):
        korvex.from_scipy(A).resize((-1, 3))


def test_numpy_round_and_dot():
    A = fractional()
    M = korvex.from_scipy(A)
    for n in (0, 1, 2):
        R = np.round(M, n)
        assert isinstance(R, korvex.CSRMatrix)
        np.testing.assert_array_equal(R.toarray(), np.round(A.toarray(), n))
    x, X = np.arange(20.0), np.arange(60.0).reshape(20, 3)
    z = np.arange(30.0)
    np.testing.assert_allclose(np.dot(M, x), A @ x)
    np.testing.assert_allclose(np.dot(M, X), A @ X)
    np.testing.assert_allclose(np.dot(z, M), z @ A)
    np.testing.assert_allclose(np.dot(M, 2.0).toarray(), 2 * A.toarray())
    assert np.sum(M) == pytest.approx(A.sum())  # other numpy functions as before
    np.testing.assert_allclose(np.sum(M, axis=0), A.sum(axis=0))
    with pytest.raises(TypeError, match="toarray"):
        np.concatenate([M, M])


def test_from_coo_infers_the_shape():
    row, col, val = [0, 3, 1], [2, 0, 5], [1.0, 2.0, 3.0]
    for fmt in ("csr", "csc"):
        M = korvex.from_coo(row, col, val, format=fmt)
        want = sp.coo_matrix((val, (row, col)))
        assert M.shape == want.shape == (4, 6) and M.format == fmt
        np.testing.assert_array_equal(M.toarray(), want.toarray())
    for X in (lambda: korvex.from_coo([], [], []), lambda: sp.coo_matrix(([], ([], [])))):
        with pytest.raises(ValueError):
            X()
    with pytest.raises(korvex.IndexOutOfRangeError):
        korvex.from_coo([-1], [0], [1.0])
