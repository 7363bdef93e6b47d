"""scipy's meaning where korvex follows it, and clear errors where it does not."""
import gc
import operator
import os
import subprocess
import sys
import weakref

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given
from hypothesis import strategies as st

import korvex
from strategies import make_scipy, scipy_matrices


def sample(fmt="csr", sparray=False):
    # An explicit zero, a repeated cell summing to zero, a negative-only row
    # (column, for CSC).
    return make_scipy(fmt, (4, 5) if fmt == "csr" else (5, 4), [[0, 4], [3, 1, 3], [2], []],
                      [2.0, 0.0, 1.0, -1.0, -1.0, -3.0], np.float64, np.int64, sparray)


def raises_naming(exc, *names):
    """pytest.raises(exc) whose message, or that of the error it came from
    (scipy wraps some), names every one of names."""
    class Check:
        def __enter__(self):
            self.ctx = pytest.raises(exc)
            self.info = self.ctx.__enter__()

        def __exit__(self, *a):
            out = self.ctx.__exit__(*a)
            e = self.info.value
            text = f"{e} {e.__cause__} {e.__context__}"
            for name in names:
                assert name in text, text
            return out
    return Check()


def test_comparisons_give_scipys_boolean_result():
    import warnings
    A = sample()
    M = korvex.from_scipy(A)
    ops = (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
        for op in ops:
            for (a, b), (x, y) in (((M, M), (A, A)), ((M, M.clone()), (A, A)), ((M, A), (A, A)),
                                   ((M, A.toarray()), (A, A.toarray())), ((M, 1.5), (A, 1.5)),
                                   ((1.5, M), (1.5, A)), ((M, -1), (A, -1))):
                got, want = op(a, b), op(x.copy() if sp.issparse(x) else x, y)
                assert type(got) is type(want)
                dense = (lambda x: x.toarray() if sp.issparse(x) else np.asarray(x))
                np.testing.assert_array_equal(dense(got), dense(want))
    assert (M == [1, 2]) is False and M != [1, 2]
    assert (M == None) is False and M != "x" and M in [M] and {M: 1}[M] == 1  # noqa: E711


def test_implicit_conversion_names_toarray_and_to_scipy():
    A = sample()
    M = korvex.from_scipy(A)
    for convert in (np.asarray, np.array, lambda M: sp.hstack([M, A]),
                    lambda M: sp.vstack([A, M]), lambda M: np.add(M, 1.0)):
        with raises_naming(TypeError, "toarray()", "to_scipy()"):
            convert(M)
    with raises_naming(ValueError, "toarray()", "to_scipy()"):  # scipy wraps the TypeError
        sp.csr_matrix(M)


def test_free_releases_host_arrays_and_file_mappings(tmp_path):
    A = sample()
    data = weakref.ref(A.data)
    V = korvex.from_scipy(A, copy=False)
    C = V.clone()
    del A
    V.free()
    gc.collect()
    assert data() is not None and C.toarray()[2, 2] == -3.0  # the clone keeps its own
    C.free()
    gc.collect()
    assert data() is None
    path = str(tmp_path / "m.kvx")
    korvex.save(path, korvex.from_scipy(sample()))
    F = korvex.load(path, mmap=True)

    def mapped():
        with open("/proc/self/maps") as f:
            return path in f.read()
    assert mapped()
    F.free()
    gc.collect()
    assert not mapped()


def test_misaligned_arrays_copy_and_refuse_views():
    A = sample()
    buf = bytearray(8 * A.nnz + 1)
    odd = np.frombuffer(buf, np.float64, A.nnz, offset=1)
    odd[:] = A.data
    B = sp.csr_matrix((odd, A.indices, A.indptr), shape=A.shape)
    assert not B.data.flags.aligned
    np.testing.assert_array_equal(korvex.from_scipy(B).toarray(), A.toarray())
    with pytest.raises(ValueError, match="copy=True"):
        korvex.from_scipy(B, copy=False)
    ibuf = bytearray(8 * A.nnz + 3)
    idx = np.frombuffer(ibuf, np.int64, A.nnz, offset=3)
    idx[:] = A.indices
    C = sp.csr_matrix((A.data, idx, A.indptr), shape=A.shape)  # misaligned indices: a private copy
    np.testing.assert_array_equal(korvex.from_scipy(C, copy=False).toarray(), A.toarray())


@pytest.mark.parametrize("shape", [(4, 2 ** 40), (4096, 2 ** 30), (3, 2 ** 62)])
def test_too_large_dense_exports_are_memory_errors(shape):
    for rows in ([0, 0], [0, 1]):  # with a repeated cell (unsorted) and without
        M = korvex.from_coo(rows, [1, 1], [1.0, 2.0], shape)
        for to_dense in (M.toarray, M.todense):
            with pytest.raises(MemoryError, match="toarray") as e:
                to_dense()
            assert "tocoo" not in str(e.value)


def test_a_single_huge_shape_is_a_memory_error():
    for make in (lambda: korvex.from_coo([0], [0], [1.0], (2 ** 62, 1)),
                 lambda: korvex.from_coo([0], [0], [1.0], (1, 2 ** 62), format="csc"),
                 lambda: korvex.from_coo([0], [0], [1.0], (1, 2 ** 62)).tocsc()):
        with pytest.raises(MemoryError):
            make()


def test_a_library_that_is_not_korvex_is_named_with_how_to_build():
    libm = next(p for p in ("/lib/x86_64-linux-gnu/libm.so.6", "/usr/lib/x86_64-linux-gnu/libm.so.6",
                            "/lib64/libm.so.6", "/lib/aarch64-linux-gnu/libm.so.6")
                if os.path.exists(p))
    env = dict(os.environ, KORVEX_LIBRARY=libm)
    r = subprocess.run([sys.executable, "-c", "import korvex"], env=env, capture_output=True,
                       text=True, timeout=60)
    assert r.returncode != 0 and "ImportError" in r.stderr
    for part in ("KORVEX_LIBRARY", libm, "make build"):
        assert part in r.stderr


def test_from_dataframe_nullable_columns():
    pd = pytest.importorskip("pandas")
    from korvex.dask import from_dataframe
    plain = pd.DataFrame({"row": pd.array([0, 2, 1], "Int64"), "col": pd.array([1, 0, 2], "Int64"),
                          "val": pd.array([1.5, -2.0, 3.0], "Float64")})
    X = from_dataframe(plain, (3, 3), chunks=2).compute()
    want = sp.coo_matrix(([1.5, -2.0, 3.0], ([0, 2, 1], [1, 0, 2])), shape=(3, 3))
    np.testing.assert_array_equal(X.toarray(), want.toarray())
    for column in ("row", "col", "val"):
        holed = plain.copy()
        holed.loc[1, column] = pd.NA
        with pytest.raises(ValueError, match=f"'{column}'"):
            from_dataframe(holed, (3, 3), chunks=2).compute()


# -- habits ---------------------------------------------------------------

@given(scipy_matrices(), st.sampled_from(["max", "min", "argmax", "argmin"]),
       st.sampled_from([None, 0, 1, -1]))
def test_extremes_follow_scipy(A, name, axis):
    M = korvex.from_scipy(A)
    dense = A.toarray()
    if 0 in (A.shape if axis is None else A.shape[axis % 2:][:1]):
        for X in (A, M):
            with pytest.raises(ValueError):
                getattr(X, name)(axis=axis)
        return
    got, want = getattr(M, name)(axis=axis), getattr(A, name)(axis=axis)
    if name.startswith("arg") and axis is None:
        assert isinstance(got, int)  # scipy gives int or numpy.int64 by the path taken
    else:
        assert type(got) is type(want)
    if name.startswith("arg"):  # the first place the dense matrix holds it
        expect = getattr(np, name)(dense, axis=axis)
        np.testing.assert_array_equal(np.asarray(got).ravel(), np.ravel(expect))
        assert np.shape(got) == np.shape(want)
    elif axis is None:
        assert got == want and got.dtype == A.dtype
    else:
        assert got.shape == want.shape and got.dtype == want.dtype
        np.testing.assert_array_equal(got.toarray(), want.toarray())


def test_extreme_errors_follow_scipy():
    M = korvex.from_scipy(sample())
    for kwargs, exc in (({"axis": (0, 1)}, TypeError), ({"axis": 1.0}, TypeError),
                        ({"axis": 2}, ValueError), ({"out": np.zeros(1)}, ValueError)):
        for X in (M, sample()):
            with pytest.raises(exc):
                X.max(**kwargs)
    assert (M.argmax(), M.argmin(), M.max(), M.min()) == (0, 12, 2.0, -3.0)


@given(scipy_matrices(), st.integers(-8, 8))
def test_entry_queries_follow_scipy(A, k):
    M = korvex.from_scipy(A)
    for g, w in zip(M.nonzero(), A.nonzero()):
        np.testing.assert_array_equal(g, w)
    np.testing.assert_array_equal(M.diagonal(k), A.diagonal(k))
    assert M.diagonal(k).dtype == A.dtype
    assert M.count_nonzero() == A.count_nonzero()  # (scipy's sums A's duplicates in place)


@given(scipy_matrices())
def test_dense_exports_follow_scipy(A):
    M = korvex.from_scipy(A)
    for order in (None, "C", "F"):
        got = M.toarray(order=order)
        np.testing.assert_array_equal(got, A.toarray(order=order))
        assert got.flags.f_contiguous == (order == "F" and got.ndim == 2 and min(A.shape) > 1) \
            or got.flags.c_contiguous
    out = np.full(A.shape, 7.0, A.dtype, order="F")
    assert M.toarray(out=out) is out
    np.testing.assert_array_equal(out, A.toarray())
    dense = M.todense()
    assert type(dense) is type(A.todense())
    np.testing.assert_array_equal(dense, A.todense())


def test_toarray_out_errors_follow_scipy():
    M = korvex.from_scipy(sample())
    good = np.zeros((4, 5))
    for kwargs in ({"out": np.zeros((5, 4))}, {"out": np.zeros((4, 5), np.float32)},
                   {"out": good, "order": "C"}, {"out": np.zeros((4, 10))[:, ::2]},
                   {"order": "K"}):
        for X in (M, sample()):
            with pytest.raises(ValueError):
                X.toarray(**kwargs)
    good.flags.writeable = False
    with pytest.raises(ValueError):
        M.toarray(out=good)


def test_transpose_shares_storage():
    for fmt in ("csr", "csc"):
        A = sample(fmt)
        M = korvex.from_scipy(A)
        T = M.T
        assert T.format != fmt and T.shape == A.T.shape
        assert T.spans(2)[0].address == M.spans(2)[0].address  # no entry copied
        assert T.outer(1)[0].tolist() == [3, 1, 3]  # stored order kept
        np.testing.assert_array_equal(T.toarray(), A.T.toarray())
        np.testing.assert_array_equal(M.transpose(copy=True).toarray(), A.T.toarray())
        assert M.transpose(copy=True).spans(2)[0].address != M.spans(2)[0].address
        assert np.transpose(M).shape == T.shape
        for axes in ((0, 1), (1, 0, 2), 1):
            with pytest.raises(ValueError, match="axes"):
                M.transpose(axes=axes)


def test_class_idiom_and_asformat():
    A = sample()
    M = korvex.from_scipy(A)
    C = type(M)(M, copy=True)
    assert type(C) is korvex.CSRMatrix and C.spans(0)[0].address != M.spans(0)[0].address
    assert type(M)(M).spans(0)[0].address == M.spans(0)[0].address
    cases = [(A, {}), (A.tocsc(), {"dtype": np.float32}), (A.toarray(), {}), (M.tocsc(), {}),
             (sample(sparray=True), {"shape": (4, 5)})]
    for arg, kwargs in cases + [((A.data, A.indices, A.indptr), {"shape": (4, 5)})]:
        pairs = ((korvex.CSRMatrix, sp.csr_matrix), (korvex.CSCMatrix, sp.csc_matrix))
        for cls, scipy_cls in pairs[:1] if isinstance(arg, tuple) else pairs:
            X = cls(arg, **kwargs)
            want = scipy_cls(arg.to_scipy() if isinstance(arg, korvex.CSCMatrix) else arg,
                             **kwargs)
            assert type(X) is cls and X.dtype == want.dtype
            np.testing.assert_array_equal(X.toarray(), want.toarray())
    with pytest.raises(ValueError, match="shape"):
        korvex.CSRMatrix(M, shape=(5, 4))
    with pytest.raises(TypeError, match="dtype"):
        korvex.CSRMatrix(np.eye(2, dtype=np.int64))
    assert korvex.CSRMatrix(sample(sparray=True)).todense().__class__ is np.ndarray
    assert M.asformat("csr") is M and M.asformat(None, copy=True) is not M
    assert M.asformat("csc").format == "csc"
    for fmt in ("coo", "lil", "dok"):
        got = M.asformat(fmt)
        assert got.format == fmt and (got != A.asformat(fmt)).nnz == 0
