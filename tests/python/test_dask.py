"""korvex matrices as Dask chunks, on the threaded scheduler and on a
two-process distributed cluster, compared with scipy on the same data."""
import gc
import os

import numpy as np
import pytest
import scipy.sparse as sp

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import korvex  # noqa: E402
import korvex.dask as kd  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCHEDULERS = ["threads", "cluster"]
if os.environ.get("KORVEX_SKIP_CLUSTER_TESTS"):
    SCHEDULERS = ["threads"]


def on_workers(client, expr):
    # eval runs the check without shipping a function of this module, whose
    # import on the worker would import korvex.dask.
    return list(client.run(eval, expr).values())


@pytest.fixture(scope="module", autouse=True)
def collect_at_the_end():
    # Dask's graphs hold blocks in reference cycles; release them before the
    # interpreter exits (the LeakSanitizer run counts what is left).
    yield
    gc.collect()


@pytest.fixture(scope="module")
def client():
    if os.environ.get("KORVEX_SKIP_CLUSTER_TESTS"):
        pytest.skip("KORVEX_SKIP_CLUSTER_TESTS is set")
    # Worker processes must find the package and the same library.
    paths = [os.path.join(REPO, "python")] + [p for p in os.environ.get(
        "PYTHONPATH", "").split(os.pathsep) if p]
    os.environ["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    if korvex.library_path:
        os.environ.setdefault("KORVEX_LIBRARY", str(korvex.library_path))
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    c = distributed.Client(cluster, set_as_default=False)
    try:
        yield c
    finally:
        c.close()
        cluster.close()


@pytest.fixture(params=SCHEDULERS)
def compute(request):
    """compute(*collections) on the threaded scheduler or on the cluster."""
    if request.param == "threads":
        return lambda *xs: dask.compute(*xs, scheduler="threads")
    c = request.getfixturevalue("client")
    return lambda *xs: tuple(c.compute(list(xs), sync=True))


def scipy_matrix(fmt="csr", dtype=np.float64, shape=(120, 70), density=0.08, seed=3):
    A = sp.random(*shape, density=density, format=fmt, dtype=dtype, random_state=seed)
    A.data[::7] = 0.0  # explicit zeros travel too
    return A


def same(M, A):
    """M (korvex) holds exactly A's entries, in form, shape and value type."""
    assert isinstance(M, korvex.CSRMatrix if A.format == "csr" else korvex.CSCMatrix)
    assert M.shape == A.shape and M.dtype == A.dtype and M.nnz == A.nnz
    S = M.to_scipy()
    S.sort_indices()
    B = A.copy()
    B.sort_indices()
    np.testing.assert_array_equal(S.indptr, B.indptr)
    np.testing.assert_array_equal(S.indices, B.indices)
    np.testing.assert_array_equal(S.data, B.data)


# -- workers that never imported the adapter ---------------------------------

def test_workers_register_korvex_blocks_without_importing_the_adapter(client):
    # Only core korvex functions run on the workers; Dask's own concatenation
    # tasks (rechunk, finalize) then meet korvex blocks there.
    loaded = "'{}' in __import__('sys').modules"
    if any(on_workers(client, loaded.format("korvex"))):
        client.restart()
    assert not any(on_workers(client, loaded.format("korvex.dask")))
    A = scipy_matrix(dtype=np.float32)
    parts = [dask.delayed(korvex.from_scipy)(A[i:i + 30]) for i in range(0, 120, 30)]
    X = da.concatenate([da.from_delayed(p, (30, 70), dtype=np.float32,
                                        meta=kd.meta("csr", np.float32)) for p in parts])
    M, = client.compute([X.rechunk((60, 70))], sync=True)
    same(M, A)
    assert all(on_workers(client, loaded.format("korvex.dask")))


# -- round trips, assembly ---------------------------------------------------

@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_round_trips(compute, fmt, dtype):
    A = scipy_matrix(fmt, dtype)
    X = kd.from_scipy(A, chunks=25)
    assert isinstance(X._meta, korvex.CSRMatrix if fmt == "csr" else korvex.CSCMatrix)
    assert X._meta.shape == (0, 0) and X.dtype == dtype
    assert (len(X.chunks[0]), len(X.chunks[1])) == ((5, 1) if fmt == "csr" else (1, 3))
    M, S, B = compute(X, kd.to_scipy(X), kd.from_dask(kd.to_scipy(X)))
    same(M, A)
    assert S.format == fmt and (S != A).nnz == 0
    same(B, A)
    # A scipy-chunked array of the other blocking becomes korvex blocks too.
    other = da.from_array(A.asformat("csc" if fmt == "csr" else "csr"),
                          chunks=(120, 35) if fmt == "csr" else (60, 70), asarray=False)
    C, = compute(kd.from_dask(other))
    assert C.format == ("csc" if fmt == "csr" else "csr")
    np.testing.assert_array_equal(C.toarray(), A.toarray())


def test_compute_assembles_blocks_without_copying():
    A = scipy_matrix(density=0.2)
    X = kd.from_scipy(A, chunks=(50, 0, 40, 30)).persist(scheduler="threads")
    blocks = [b.compute(scheduler="threads") for b in X.to_delayed().ravel()]
    M = X.compute(scheduler="threads")
    same(M, A)
    row = 0
    for b in blocks:
        for i in range(b.shape[0]):
            assert M.spans(row + i) == b.spans(i)  # same addresses: shared
        row += b.shape[0]
    assert kd._concatenate([blocks[0]]) is blocks[0]


# -- from coordinates --------------------------------------------------------

def coordinates(n, shape, seed=0, dup_rows=8):
    rng = np.random.default_rng(seed)
    row = rng.integers(0, dup_rows, n) * (shape[0] // dup_rows)  # few distinct rows
    col = rng.integers(0, 3, n)  # and columns: heavy duplication
    row[::5] = rng.integers(0, shape[0], len(row[::5]))
    col[::5] = rng.integers(0, shape[1], len(col[::5]))
    val = rng.integers(-2, 3, n).astype(np.float64)  # many explicit zeros
    return row, col, val


def same_entries(M, row, col, val, shape):
    assert M.shape == shape and M.nnz == len(row)
    C = M.tocoo()
    got = np.lexsort((C.data, C.col, C.row))
    want = np.lexsort((val, col, row))
    np.testing.assert_array_equal(C.row[got], row[want])
    np.testing.assert_array_equal(C.col[got], col[want])
    np.testing.assert_array_equal(C.data[got], val[want])
    np.testing.assert_array_equal(M.toarray(), sp.coo_matrix((val, (row, col)), shape).toarray())
    assert M.has_sorted_indices or M.nnz > 0  # every row sorted (duplicates repeat)
    S = M.to_scipy()
    for i in range(S.shape[0] if M.format == "csr" else S.shape[1]):
        seg = S.indices[S.indptr[i]:S.indptr[i + 1]]
        assert np.all(seg[1:] >= seg[:-1])


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_from_coo_keeps_duplicates_and_zeros(compute, fmt):
    shape = (97, 41)
    row, col, val = coordinates(3000, shape)
    known = kd.from_coo(da.from_array(row, 400), da.from_array(col, 400),
                        da.from_array(val, 400), shape, chunks=20, format=fmt)
    # Partitions of unknown length, as a dataframe's give.
    cuts = [0, 1000, 1000, 2500, 3000]

    def unknown(a):
        return da.concatenate([da.from_delayed(dask.delayed(a[x:y].copy)(), (np.nan,),
                                               dtype=a.dtype)
                               for x, y in zip(cuts, cuts[1:])])
    assert np.isnan(unknown(row).shape[0])
    fuzzy = kd.from_coo(unknown(row), unknown(col), unknown(val), shape, chunks=(50, 47) if fmt == "csr" else (20, 21),
                        format=fmt, dtype=np.float32)
    plain = kd.from_coo(row, col, val, shape, chunks=shape[0 if fmt == "csr" else 1],
                        format=fmt)
    M, F, P = compute(known, fuzzy, plain)
    for R in (M, P):
        same_entries(R, row, col, val, shape)
        assert R.format == fmt and R.dtype == np.float64
    assert F.dtype == np.float32
    same_entries(F, row, col, val.astype(np.float32), shape)


def test_from_dataframe(compute):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    shape = (60, 30)
    row, col, val = coordinates(800, shape, seed=4)
    df = dd.from_pandas(pd.DataFrame({"i": row, "j": col, "v": val.astype(np.float32)}),
                        npartitions=3)
    M, = compute(kd.from_dataframe(df, shape, chunks=16, row="i", col="j", data="v",
                                   format="csc"))
    assert M.format == "csc" and M.dtype == np.float32
    same_entries(M, row, col, val.astype(np.float32), shape)


@pytest.mark.parametrize("bad", [(90, 0), (1, -1), (-3, 0), (1, 40)])
def test_from_coo_out_of_range_raises_at_compute(compute, bad):
    shape = (90, 40)
    row, col, val = coordinates(200, shape, seed=2)
    row[150], col[150] = bad
    X = kd.from_coo(da.from_array(row, 50), da.from_array(col, 50), val, shape, chunks=30)
    with pytest.raises(IndexError):
        compute(X)


def test_from_coo_refuses_bad_arguments():
    row = np.arange(4)
    with pytest.raises(TypeError):
        kd.from_coo(row, row, row, (4, 4), chunks=2)  # integer values
    with pytest.raises(TypeError):
        kd.from_coo(row, row, row * 1.0, (4, 4), chunks=2, dtype=np.int32)
    with pytest.raises(ValueError):
        kd.from_coo(row, row[:3], row * 1.0, (4, 4), chunks=2)
    with pytest.raises(ValueError):
        kd.from_coo(row, row, row * 1.0, (4, 4), chunks=2, format="coo")
    with pytest.raises(ValueError):
        kd.from_scipy(sp.eye(4, format="csr"), chunks=((2, 2), (4,)))
    with pytest.raises(TypeError):
        kd.meta("csr", np.int64)


# -- slicing, masks, rechunk, concatenate, transpose, map_blocks -------------

@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_slices_and_masks(compute, fmt):
    A = scipy_matrix(fmt, shape=(80, 90), density=0.1)
    X = kd.from_scipy(A, chunks=23)
    rmask = np.arange(80) % 3 != 1
    cmask = (np.arange(90) * 7) % 5 < 2
    cases = [(slice(5, 61), slice(None)), (slice(None), slice(17, 80)),
             (slice(10, 11), slice(3, 4)), (rmask, slice(None)), (slice(None), cmask),
             (slice(30, 30), slice(None))]
    got = compute(*[X[r, c] for r, c in cases], X[rmask][:, cmask])
    for (r, c), M in zip(cases + [(rmask, cmask)], got):
        same(M, A[r][:, c])


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_positions_in_any_order_and_steps(compute, fmt):
    A = scipy_matrix(fmt, shape=(80, 60), density=0.1)
    X = kd.from_scipy(A, chunks=23)
    keys = [np.s_[::2], np.s_[[5, 3, 3]], np.s_[:, [7, 3]], np.s_[70:2:-3, ::3],
            np.s_[[79, 0, 40, 41, 0]], np.s_[::-1, [59, 0, 59]]]
    for k, M in zip(keys, compute(*[X[k] for k in keys])):
        assert M.format == fmt and M.shape == A[k].shape
        np.testing.assert_array_equal(M.toarray(), A[k].toarray())


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_sum_mean_and_products_with_dense_operands(compute, fmt, dtype):
    A = scipy_matrix(fmt, dtype, shape=(80, 60), density=0.1)
    X = kd.from_scipy(A, chunks=23)
    v = np.linspace(-1, 1, 60)
    W = np.arange(120.0).reshape(60, 2)
    cases = [(X.sum(), A.sum()), (X.mean(), A.mean())]
    cases += [(getattr(X, f)(axis=a), getattr(A, f)(axis=a)) for f in ("sum", "mean")
              for a in (0, 1, -1)]
    cases += [(X.sum(axis=0, keepdims=True), A.sum(axis=0)), (X @ v, A @ v),
              (X @ da.from_array(v, chunks=60), A @ v), (X @ W, A @ W)]
    assert all(isinstance(x, da.Array) for x, _ in cases)
    for (x, want), got in zip(cases, compute(*[x for x, _ in cases])):
        want = np.asarray(want)
        assert got.shape == x.shape == (want.ravel().shape if x.ndim == 1 else want.shape)
        np.testing.assert_allclose(np.asarray(got).reshape(want.shape), want,
                                   rtol=1e-5 if dtype == np.float32 else 1e-12)


@pytest.mark.parametrize("f", ["sum", "mean"])
@pytest.mark.parametrize("axis", [None, 0, -1, (0,), (1,), (0, 1), (-1, 0)])
@pytest.mark.parametrize("keepdims", [True, False])
def test_numpy_form_of_sum_and_mean(f, axis, keepdims):
    # What Dask's reductions call on every block.
    A = scipy_matrix(shape=(7, 5), density=0.4)
    got = getattr(np, f)(korvex.from_scipy(A), axis=axis, keepdims=keepdims)
    want = getattr(np, f)(A.toarray(), axis=axis, keepdims=keepdims)
    assert type(got) is type(want) and np.shape(got) == np.shape(want)
    np.testing.assert_allclose(got, want, rtol=1e-12)
    out = np.empty(np.shape(want))
    if out.ndim:
        assert getattr(korvex.from_scipy(A), f)(axis, None, out, keepdims) is out
        np.testing.assert_allclose(out, want, rtol=1e-12)


def test_rechunk_concatenate_transpose_map_blocks(compute):
    A = scipy_matrix("csr", shape=(100, 60), density=0.1)
    B = scipy_matrix("csr", shape=(40, 60), density=0.1, seed=8)
    X, Y = kd.from_scipy(A, chunks=30), kd.from_scipy(B, chunks=15)
    Acsc = A.tocsc()
    Z = kd.from_scipy(Acsc, chunks=25)
    cases = [
        (X.rechunk((45, 60)), A),
        (X.rechunk((100, 20)), A),                       # across the compressed axis
        (da.concatenate([X, Y], axis=0), sp.vstack([A, B], format="csr")),
        (da.concatenate([Z, Z], axis=1), sp.hstack([Acsc, Acsc], format="csc")),
        (da.concatenate([X, X], axis=1), sp.hstack([A, A], format="csr")),
        (X.T, A.T.tocsc()),
        (Z.T, Acsc.T.tocsr()),
        (X.map_blocks(lambda b: b.tocsc(), meta=kd.meta("csc", A.dtype)), A.tocsc()),
    ]
    got = compute(*[x for x, _ in cases])
    # Blocks of mixed forms and value types still concatenate, converted.
    mixed = kd._concatenate([korvex.from_scipy(A[:50].astype(np.float32)),
                             korvex.from_scipy(A[50:].tocsc())], axis=0)
    same(mixed, sp.vstack([A[:50].astype(np.float32), A[50:]], format="csr"))
    for (x, want), M in zip(cases, got):
        assert M.shape == x.shape
        same(M, want)


# -- from a korvex file ------------------------------------------------------

@pytest.mark.skipif(not (hasattr(korvex, "load") and hasattr(korvex, "save")),
                    reason="korvex.save / korvex.load (the file format) are not in this tree")
@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_from_file_blocks_are_views_of_the_file(compute, tmp_path, fmt):
    A = scipy_matrix(fmt, np.float32, shape=(90, 70), density=0.1)
    path = tmp_path / "a.korvex"
    korvex.save(str(path), korvex.from_scipy(A))
    X = kd.from_file(path, chunks=(40, 0, 20, 30) if fmt == "csr" else 25)
    assert X.dtype == np.float32 and X.shape == A.shape
    assert X._meta.format == fmt
    blocks = [b.compute(scheduler="threads") for b in X.to_delayed().ravel()]
    assert all(b.is_view for b in blocks if b.nnz)
    lo = 0
    for b in blocks:
        n = b.shape[0] if fmt == "csr" else b.shape[1]
        same(b, A[lo:lo + n] if fmt == "csr" else A[:, lo:lo + n])
        lo += n
    M, S = compute(X, X[10:60])
    same(M, A)
    same(S, A[10:60])
    with pytest.raises(FileNotFoundError):
        kd.from_file(tmp_path / "missing.korvex", chunks=10)


@pytest.mark.skipif(not (hasattr(korvex, "load") and hasattr(korvex, "save")),
                    reason="korvex.save / korvex.load (the file format) are not in this tree")
@pytest.mark.parametrize("change", ["same", "rewritten", "shape", "dtype", "form", "touched"])
def test_from_file_refuses_a_changed_file(compute, tmp_path, change):
    A = scipy_matrix("csr", np.float32, shape=(40, 30), density=0.1)
    path = tmp_path / "a.korvex"
    korvex.save(str(path), korvex.from_scipy(A))
    X = kd.from_file(path, chunks=15)
    B = {"same": A, "rewritten": A, "shape": A[:39], "dtype": A.astype(np.float64),
         "form": A.tocsc(), "touched": A}[change]
    if change == "touched":  # same bytes, new modification time
        st = os.stat(path)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    elif change != "same":  # written anew (a new inode), same content or not
        korvex.save(str(path), korvex.from_scipy(B))
    if change == "same":
        same(compute(X)[0], A)
    else:
        with pytest.raises(kd.FileChangedError, match="changed since"):
            compute(X)


# -- sizeof and the serializer -----------------------------------------------

def test_sizeof_counts_what_blocks_hold(client):
    A = scipy_matrix(shape=(300, 200), density=0.1)
    X = kd.from_scipy(A, chunks=70).persist(scheduler="threads")
    blocks = [b.compute(scheduler="threads") for b in X.to_delayed().ravel()]
    local = sum(dask.sizeof.sizeof(b) for b in blocks)
    assert local >= A.nnz * (8 + 8) + 64 * 300
    Xc = client.persist(kd.from_scipy(A, chunks=70))
    with client.as_current():
        distributed.wait(Xc)
    seen = client.nbytes(summary=False)  # what the workers' memory limits see
    held = sum(v for k, v in seen.items() if Xc.name in str(k))
    assert held >= A.nnz * (8 + 8)
    assert held == local
    del Xc


@pytest.mark.parametrize("cls", [sp.csr_matrix, sp.csr_array, sp.csc_matrix, sp.csc_array])
def test_blocks_keep_their_scipy_class(compute, cls):
    A = cls(scipy_matrix(cls.format))
    M, = compute(kd.from_scipy(A, chunks=35))
    assert type(M.to_scipy()) is type(A)
    _, _, R = serialized(korvex.from_scipy(A), pack=True)
    assert type(R.to_scipy()) is type(A)


def serialized(M, pack=False):
    from distributed.protocol import deserialize, serialize
    from distributed.protocol.utils import pack_frames, unpack_frames
    header, frames = serialize(M, serializers=("dask",), on_error="raise")
    assert header["serializer"] == "dask"
    if pack:  # one message buffer, the frames at odd offsets, read-only
        frames = unpack_frames(bytes(b"\0" + pack_frames(frames))[1:])
    return header, frames, deserialize(header, frames)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("shape,density", [((60, 50), 0.1), ((60, 50), 0.0), ((0, 5), 0.0),
                                           ((7, 0), 0.0)])
def test_serializer_round_trips(fmt, dtype, shape, density):
    A = scipy_matrix(fmt, dtype, shape=shape, density=density)
    M = korvex.from_scipy(A)
    for pack in (False, True):
        header, frames, R = serialized(M, pack)
        assert header["sub-header"]["indices"] == np.dtype(np.int32).str
        assert sum(memoryview(f).nbytes for f in frames) <= (A.shape[0 if fmt == "csr" else 1]
                                                             + 1 + A.nnz) * 4 + A.data.nbytes
        same(R, A)
        # Values aligned in the frames are read in place (the block keeps the
        # frames); at an odd offset they are copied.
        vals = np.frombuffer(frames[2], dtype=dtype)
        assert R.is_view == vals.flags.aligned
        if R.nnz and not pack:
            np.frombuffer(frames[2], dtype=dtype)[:] = 7.0
            del frames, vals
            gc.collect()
            assert (R.to_scipy().data == 7.0).all()


def test_serializer_exports_large_blocks_in_ranges(monkeypatch):
    monkeypatch.setattr(kd, "_EXPORT_CHUNK", 37)
    for fmt in ("csr", "csc"):
        A = scipy_matrix(fmt, shape=(90, 80), density=0.1)
        A.indices[A.indptr[5]:A.indptr[6]] = A.indices[A.indptr[5]:A.indptr[6]][::-1]
        M = korvex.from_scipy(A)  # one unsorted row: stored order travels as it is
        header, _, R = serialized(M, pack=True)
        S = R.to_scipy()
        np.testing.assert_array_equal(S.indptr, A.indptr)
        np.testing.assert_array_equal(S.indices, A.indices)
        np.testing.assert_array_equal(S.data, A.data)


@pytest.mark.parametrize("chunk", [1 << 24, 2])
def test_serializer_keeps_indices_outside_the_shape(monkeypatch, chunk):
    # A view may hold an index outside its shape (nothing scans on import);
    # it must arrive unchanged, not wrapped into a valid-looking column, also
    # when it first shows up in a later range of a large block.
    monkeypatch.setattr(kd, "_EXPORT_CHUNK", chunk)
    far = 2**32 + 3
    indices = np.array([3, 1, 4, 0, far, -2])
    V = korvex._matrix._from_arrays("csr", (4, 5), np.array([0, 2, 3, 4, 6]), indices,
                                    np.arange(6.0), copy=False)
    header, _, R = serialized(V, pack=True)
    assert header["sub-header"]["indices"] == np.dtype(np.int64).str
    for i, want in enumerate([[3, 1], [4], [0], [far, -2]]):
        np.testing.assert_array_equal(R.outer(i)[0], want)
    np.testing.assert_array_equal(R.outer(3)[1], [4.0, 5.0])


def test_serializer_keeps_wide_indices():
    # Too wide for int32 column indices: they travel as int64.
    n = 2**31 + 10
    M = korvex.from_coo([0, 2, 2], [5, n - 1, 7], [1.0, 2.0, 3.0], (3, n))
    header, _, R = serialized(M, pack=True)
    assert header["sub-header"]["indices"] == np.dtype(np.int64).str
    C = R.tocoo()
    assert R.shape == (3, n)
    np.testing.assert_array_equal(C.col, [5, 7, n - 1])
    np.testing.assert_array_equal(C.data, [1.0, 3.0, 2.0])


# -- blocks whose arrays arrive at odd addresses -------------------------------

def odd_address(a):
    """a's bytes at an address one past a multiple of its width."""
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=a.dtype, count=len(a), offset=1)
    out[:] = a
    return out


def test_parts_at_odd_addresses_are_copied_not_refused():
    A = scipy_matrix(shape=(40, 30), density=0.2)
    part = sp.csr_matrix((odd_address(A.data), odd_address(A.indices.astype(np.int64)),
                          A.indptr), shape=A.shape)
    assert not part.data.flags.aligned
    B = kd._block_from_scipy(part)
    same(B, A)
    assert not B.is_view
    assert kd._block_from_scipy(A).is_view  # aligned arrays are still read in place


def test_cluster_blocks_from_scipy_select_mask_rechunk_concatenate(client):
    # Big enough that the slices travel as out-of-band pickle buffers, which
    # the worker reads at whatever offset the message puts them.
    A = scipy_matrix(shape=(400, 120), density=0.2, seed=5)
    X = kd.from_scipy(A, chunks=50)
    mask = np.arange(400) % 3 != 0
    cases = [(X[10:390], A[10:390]), (X[mask], A[mask]), (X[:, 7:90], A[:, 7:90]),
             (X.rechunk((200, 120)), A), (da.concatenate([X, X]), sp.vstack([A, A]).tocsr())]
    got = client.compute([x for x, _ in cases], sync=True)
    for (_, want), M in zip(cases, got):
        same(M, want)


# -- reductions, positions and map_blocks ----------------------------------------

def dense_reductions(D):
    return {
        "max": D.max(), "min": D.min(), "max0": D.max(0), "min1": D.min(1), "max-1": D.max(-1),
        "argmax": D.argmax(), "argmin": D.argmin(), "argmax0": D.argmax(0),
        "argmin1": D.argmin(1), "max0k": D.max(0, keepdims=True),
        "sum": D.sum(), "mean1": D.mean(1),
    }


DASK_REDUCTIONS = {
    "max": lambda X: X.max(), "min": lambda X: np.min(X), "max0": lambda X: X.max(axis=0),
    "min1": lambda X: X.min(axis=1), "max-1": lambda X: np.max(X, axis=-1),
    "argmax": lambda X: X.argmax(), "argmin": lambda X: np.argmin(X),
    "argmax0": lambda X: X.argmax(axis=0), "argmin1": lambda X: X.argmin(axis=1),
    "max0k": lambda X: X.max(axis=0, keepdims=True),
    "sum": lambda X: X.sum(), "mean1": lambda X: X.mean(axis=1),
}


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_reductions_on_korvex_blocks(compute, fmt):
    A = scipy_matrix(fmt, shape=(70, 50), density=0.15)
    A.data -= 0.5  # negative and positive values: the implicit zeros matter
    X = kd.from_scipy(A, chunks=17)
    want = dense_reductions(A.toarray())
    names = list(DASK_REDUCTIONS)
    got = compute(*[DASK_REDUCTIONS[k](X) for k in names])
    for k, g in zip(names, got):
        assert np.shape(g) == np.shape(want[k]), k
        np.testing.assert_allclose(g, want[k], rtol=1e-12, err_msg=k)


@pytest.mark.parametrize("name", ["max", "min", "argmax", "argmin"])
@pytest.mark.parametrize("axis,keepdims", [(None, True), ((0, 1), False), ((0,), True),
                                           (1, False), (-1, True)])
def test_numpy_form_of_extremes(name, axis, keepdims):
    A = scipy_matrix(shape=(7, 5), density=0.4)
    A.data -= 0.5
    M, D = korvex.from_scipy(A), A.toarray()
    if name.startswith("arg") and isinstance(axis, tuple):
        return  # numpy takes one axis or none for the arg forms
    got = getattr(M, name)(axis=axis, keepdims=keepdims)
    want = getattr(np, name)(D, axis=axis, keepdims=keepdims)
    assert type(got) is type(want) and np.shape(got) == np.shape(want)
    np.testing.assert_array_equal(got, want)
    if name.startswith("arg"):  # np.argmax(M) gives numpy's form (Dask calls it so)
        got, want = getattr(np, name)(M, axis=axis), getattr(np, name)(D, axis)
        assert type(got) is type(want) and np.shape(got) == np.shape(want)
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_positions_from_a_dask_array(compute, fmt):
    A = scipy_matrix(fmt, shape=(160, 90), density=0.1)
    X = kd.from_scipy(A, chunks=40)
    pos = np.array([3, 150 if fmt == "csr" else 85, 2, 3])
    idx = da.from_array(pos, chunks=2)
    key = idx if fmt == "csr" else (slice(None), idx)
    M, = compute(X[key])
    same(M, A[pos] if fmt == "csr" else A[:, pos])


def test_map_blocks_learns_the_result_type_from_a_korvex_block(compute):
    A = scipy_matrix(shape=(60, 40), density=0.1)
    X = kd.from_scipy(A, chunks=25)
    doubled, csc = X.map_blocks(lambda b: b * 2.0), X.map_blocks(lambda b: b.tocsc())
    assert isinstance(doubled._meta, korvex.CSRMatrix) and isinstance(csc._meta, korvex.CSCMatrix)
    D, C = compute(doubled, csc)
    same(D, (A * 2.0).tocsr())
    np.testing.assert_array_equal(C.toarray(), A.toarray())
    M = korvex.from_scipy(A)
    ones = np.ones_like(M, shape=(2, 3))
    assert isinstance(ones, korvex.CSRMatrix) and ones.toarray().tolist() == [[1.0] * 3] * 2
    assert np.zeros_like(M).nnz == 0 and np.zeros_like(M).shape == M.shape
    with pytest.raises(TypeError, match="float32 or float64"):
        np.ones_like(M, dtype=np.int64)
    # A matrix without cells (a meta) converts to any type, as scipy's empty one.
    E = korvex.from_scipy(sp.csr_matrix((0, 4))).astype(np.int64)
    assert type(E) is np.ndarray and E.shape == (0, 4) and E.dtype == np.int64


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_korvex_reductions_read_every_block(compute, fmt):
    A = scipy_matrix(fmt, shape=(90, 60), density=0.15).tolil()
    A[:30 if fmt == "csr" else 90, :60 if fmt == "csr" else 20] = 0  # blocks of zeros
    A = A.asformat(fmt)
    A.eliminate_zeros()
    A.data -= 2.0  # every stored value negative: only the zeros give the maximum 0
    dup = A.copy()
    dup.indices[1::5] = dup.indices[::5][:len(dup.indices[1::5])]  # repeated indices
    D = dup.toarray()
    C = korvex.from_scipy(dup).tocoo()  # stored entries, duplicates not yet summed
    C.sum_duplicates()
    np.testing.assert_array_equal(C.toarray(), D)
    assert C.nnz == sp.coo_matrix(D).nnz + np.count_nonzero((C.data == 0))
    X = kd.from_scipy(dup, chunks=(30, 0, 30, 30) if fmt == "csr" else (20, 0, 20, 20))
    cases = [(kd.max(X), D.max()), (kd.min(X, axis=0), D.min(0)), (kd.max(X, 1), D.max(1)),
             (kd.max(X, 0, keepdims=True), D.max(0, keepdims=True)),
             (kd.count_nonzero(X), np.count_nonzero(D)),
             (kd.count_nonzero(X, axis=0), np.count_nonzero(D, axis=0)),
             (kd.count_nonzero(X, axis=1), np.count_nonzero(D, axis=1)),
             (kd.var(X), D.var()), (kd.var(X, axis=0, ddof=1), D.var(0, ddof=1)),
             (kd.std(X, axis=1), D.std(1)), (kd.var(X, keepdims=True), D.var(keepdims=True)),
             # Dask's own count (X.astype(bool).astype(int).sum()) through the
             # blocks' non-zero patterns
             (da.count_nonzero(X), np.count_nonzero(D)),
             (da.count_nonzero(X, axis=0), np.count_nonzero(D, axis=0)),
             (np.count_nonzero(X, axis=1), np.count_nonzero(D, axis=1)),
             (X.astype(bool).sum(axis=0, keepdims=True), (D != 0).sum(0, keepdims=True))]
    for (x, want), got in zip(cases, compute(*[x for x, _ in cases])):
        assert np.shape(got) == x.shape == np.shape(want)
        np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12)


def test_astype_bool_gives_the_nonzero_pattern():
    A = sp.csr_matrix(([1., -1., 0., 2.], [0, 0, 1, 3], [0, 2, 4]), shape=(2, 4))  # 1 - 1 = 0
    P = korvex.from_scipy(A).astype(bool)
    D = A.toarray() != 0
    assert isinstance(P, korvex.NonzeroPattern) and P.dtype == np.bool_ and P.shape == (2, 4)
    assert P.nnz == P.count_nonzero() == 1
    np.testing.assert_array_equal(np.asarray(P), D)
    for axis in (None, 0, 1, -1, (0, 1)):
        for keepdims in (False, True):
            got, want = P.sum(axis=axis, keepdims=keepdims), D.sum(axis=axis, keepdims=keepdims)
            assert np.shape(got) == np.shape(want) and np.asarray(got).dtype == want.dtype
            np.testing.assert_array_equal(got, want)
    assert P.astype(np.float32).sum(0).dtype == np.float32
    for bad, err in [(2, np.AxisError), (1.0, TypeError), ((0, 0), ValueError)]:
        with pytest.raises(err):
            P.sum(axis=bad)
    with pytest.raises(TypeError, match="bool, integer or float"):
        P.astype(np.complex64)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_blocks_whose_rows_lie_back_to_back_travel_without_a_gather(fmt):
    from distributed.protocol import deserialize, serialize
    A = scipy_matrix(fmt, dtype=np.float32, shape=(60, 50), density=0.1)
    A.indices, A.indptr = A.indices.astype(np.int64), A.indptr.astype(np.int64)
    V = korvex.from_scipy(A, copy=False)  # rows back to back in A's arrays
    cases = {"view": (V, True), "take repeating rows": (V[[3, 1, 3]] if fmt == "csr" else
                                                       V[:, [3, 1, 3]], False),
             "owned rows (aligned, with gaps)": (korvex.from_scipy(A, copy=True), False)}
    def address(frame):
        return np.frombuffer(frame, np.uint8).ctypes.data

    for name, (M, in_place) in cases.items():
        want = M.to_scipy()
        header, frames = serialize(M, serializers=("dask",), on_error="raise")
        assert (address(frames[2]) == A.data.ctypes.data) == in_place, name
        assert header["sub-header"]["indices"] == "<i4", name  # int32 on the way, as scipy
        R = deserialize(header, frames)
        assert R.dtype == M.dtype and R.shape == M.shape and R.is_view
        assert (R.to_scipy() != want).nnz == 0, name
        # Moved on, a received block sends its values and the int32 indices it
        # came with, both where they arrived.
        h2, f2 = serialize(R, serializers=("dask",), on_error="raise")
        assert [address(f) for f in f2[1:]] == [address(f) for f in frames[1:]], name
        assert (deserialize(h2, f2).to_scipy() != want).nnz == 0, name
        if fmt == "csr":  # and so does a slice of it
            h3, f3 = serialize(R[1:3], serializers=("dask",), on_error="raise")
            skip = int(want.indptr[1])
            assert address(f3[1]) == address(frames[1]) + 4 * skip, name
            assert (deserialize(h3, f3).to_scipy() != want[1:3]).nnz == 0, name


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_values_at_odd_offsets_of_a_writable_buffer_are_read_in_place(dtype):
    from distributed.protocol import deserialize, serialize
    from distributed.protocol.utils import pack_frames, unpack_frames
    A = scipy_matrix(dtype=dtype, shape=(60, 50), density=0.1)
    header, frames = serialize(korvex.from_scipy(A), serializers=("dask",), on_error="raise")
    packed = pack_frames(frames)
    for lead in range(8):  # one received message buffer, the frames at every offset
        buf = bytearray(lead) + packed
        got = unpack_frames(memoryview(buf)[lead:])
        sub = dict(header, **{"sub-header": dict(header["sub-header"])})
        R, again = deserialize(sub, got), deserialize(sub, got)  # the same frames twice
        for M in (R, again):
            same(M, A)
            assert M.is_view  # read in place, moved back onto alignment where needed
        del buf, got
        gc.collect()
        same(R, A)  # the block keeps the buffer alive


# -- two operands ------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_sums_and_products_of_blocked_arrays_match_scipy(compute, dtype):
    A, B = scipy_matrix(dtype=dtype), scipy_matrix(dtype=dtype, seed=4)
    C = scipy_matrix("csc", dtype, shape=(70, 40), seed=5)
    X, Y, Z = kd.from_scipy(A, 50), kd.from_scipy(B, 50), kd.from_scipy(C, 15)
    W = kd.from_scipy(A, 120)  # one block: Dask squeezes instead of adding
    exprs = [(X + Y, A + B), (X - Y, A - B), (X.T @ X, A.T @ A), (X @ Z, A @ C),
             (W.T @ W, A.T @ A), (X.T @ Y, A.T @ B)]
    got = compute(*[e for e, _ in exprs])
    for M, (expr, want) in zip(got, exprs):
        assert isinstance(M, korvex.CSRMatrix if expr._meta.format == "csr" else korvex.CSCMatrix)
        assert M.dtype == dtype and M.shape == want.shape
        np.testing.assert_allclose(M.toarray(), want.toarray(), rtol=1e-5 if dtype == np.float32
                                   else 1e-12, atol=1e-6)
