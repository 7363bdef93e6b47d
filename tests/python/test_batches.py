"""korvex.batches: row batches of a CSR matrix, in memory or mapped, in order
or shuffled, against scipy's rows."""
import gc
import threading

import numpy as np
import pytest
import scipy.sparse as sp

import korvex
from korvex import _core as core


def matrix(n=103, cols=40, seed=5):
    A = sp.random(n, cols, density=0.15, format="csr", random_state=seed)
    return A, korvex.from_scipy(A)


def producers():
    return [t for t in threading.enumerate() if t.name == "korvex-batches"]


def as_scipy(b):
    return sp.csr_matrix(b) if isinstance(b, np.ndarray) else (
        b.to_scipy() if isinstance(b, korvex.CSRMatrix) else b)


@pytest.mark.parametrize("size,shuffle,drop_last", [
    (10, False, False), (10, True, False), (10, True, True), (103, True, False),
    (500, False, True), (1, True, False)])
@pytest.mark.parametrize("to", ["scipy", "korvex", "dense"])
def test_every_row_once_per_pass(size, shuffle, drop_last, to):
    A, M = matrix()
    seen = []
    for pos, b in korvex.batches(M, size, shuffle=shuffle, seed=3, drop_last=drop_last,
                                 to=to, return_index=True):
        assert pos.dtype == np.int64 and b.shape == (len(pos), A.shape[1])
        assert len(pos) == size or (not drop_last and len(pos) < size)
        assert type(b) is {"scipy": sp.csr_matrix, "korvex": korvex.CSRMatrix,
                           "dense": np.ndarray}[to]
        assert (as_scipy(b) != A[pos]).nnz == 0
        seen.append(pos)
    seen = np.concatenate(seen) if seen else np.zeros(0, np.int64)
    kept = A.shape[0] - (A.shape[0] % size if drop_last else 0)
    assert len(seen) == len(np.unique(seen)) == kept
    if not shuffle:
        np.testing.assert_array_equal(seen, np.arange(kept))
    else:
        assert np.any(np.diff(seen) < 0)
    assert not producers()


def test_seed_decides_the_order_and_batches_share_rows():
    A, M = matrix()

    def order(seed):
        return np.concatenate([p for p, _ in korvex.batches(M, 16, shuffle=True, seed=seed,
                                                            return_index=True)])
    np.testing.assert_array_equal(order(7), order(7))
    assert not np.array_equal(order(7), order(8))
    pos, b = next(iter(korvex.batches(M, 8, shuffle=True, seed=1, to="korvex",
                                      return_index=True)))
    for k, i in enumerate(pos):
        assert b.spans(k) == M.spans(int(i))  # a taken row is the source row
    M.free()
    assert (b.to_scipy() != A[pos]).nnz == 0  # and outlives the source's handle


def test_mapped_file_and_sparray(tmp_path):
    A, M = matrix()
    path = str(tmp_path / "m.kvx")
    korvex.save(path, M)
    F = korvex.load(path)
    got = [b for b in korvex.batches(F, 25, shuffle=True, seed=0, return_index=True)]
    assert sum(len(p) for p, _ in got) == A.shape[0]
    for p, b in got:
        assert (b != A[p]).nnz == 0
    Arr = korvex.from_scipy(sp.csr_array(A))
    assert type(next(iter(korvex.batches(Arr, 4)))) is sp.csr_array


@pytest.mark.parametrize("args,kwargs,err,match", [
    ((0,), {}, ValueError, "positive"), ((-4,), {}, ValueError, "positive"),
    ((2.0,), {}, TypeError, "integer"), ((True,), {}, TypeError, "integer"),
    (("8",), {}, TypeError, "integer"), ((8,), {"to": "coo"}, ValueError, "to must"),
    ((8,), {"to": None}, ValueError, "to must"),
])
def test_bad_arguments_raise_at_the_call(args, kwargs, err, match):
    _, M = matrix()
    with pytest.raises(err, match=match):
        korvex.batches(M, *args, **kwargs)


def test_what_is_not_a_csr_matrix():
    A, M = matrix()
    with pytest.raises(TypeError, match=r"tocsr\(\)"):
        korvex.batches(M.tocsc(), 4)
    with pytest.raises(TypeError):
        korvex.batches(A, 4)
    empty = korvex.from_scipy(sp.csr_matrix((0, 5)))
    assert list(korvex.batches(empty, 4, shuffle=True)) == []
    M.free()
    with pytest.raises(ValueError, match="freed"):
        korvex.batches(M, 4)


def test_producer_ends_with_the_generator_and_sees_free():
    _, M = matrix()
    for end in ("close", "collect"):
        g = korvex.batches(M, 10, shuffle=True)
        next(g)
        assert producers()
        if end == "close":
            g.close()
        else:
            del g
            gc.collect()
        assert not producers()
    g = korvex.batches(M, 10)
    next(g)
    M.free()
    with pytest.raises(ValueError, match="freed"):
        for _ in g:
            pass
    assert not producers()


def test_torch_batches():
    torch = pytest.importorskip("torch")
    if not hasattr(korvex.CSRMatrix, "to_torch"):
        pytest.skip("CSRMatrix.to_torch is not in this tree")
    A, M = matrix()
    for p, t in korvex.batches(M, 32, shuffle=True, to="torch", return_index=True):
        assert isinstance(t, torch.Tensor)
        dense = t if t.layout == torch.strided else t.to_dense()
        np.testing.assert_array_equal(dense.numpy(), A[p].toarray())


def test_one_pass_batches_keep_stored_rows_and_refuse_bad_indices(tmp_path):
    # Unsorted rows with repeats, an empty row, a mapped file: the batch's
    # arrays are the rows as stored, in either index type, to scipy and torch.
    A = sp.csr_matrix((np.array([1.0, 2.0, 4.0, 8.0, 3.0], np.float32), np.array([3, 0, 3, 1, 2]),
                       np.array([0, 3, 3, 4, 5])), shape=(4, 5))
    path = str(tmp_path / "m.kvx")
    korvex.save(path, korvex.from_scipy(A))
    for M in (korvex.from_scipy(A), korvex.load(path)):
        pos, b = next(iter(korvex.batches(M, 4, shuffle=True, seed=2, return_index=True)))
        want = A[pos]
        for got, ref in zip((b.indptr, b.indices, b.data), (want.indptr, want.indices, want.data)):
            np.testing.assert_array_equal(got, ref)
        assert b.indices.dtype == np.int32 and b.data.dtype == np.float32
        S = M._take_scipy(pos.astype(np.uint64))
        np.testing.assert_array_equal(S.toarray(), want.toarray())
        shape, ptr, idx, _ = core.take_outer_compressed(M, pos.astype(np.uint64), np.int64)
        assert shape == (4, 5) and ptr.dtype == idx.dtype == np.int64
        np.testing.assert_array_equal(idx, want.indices)
    torch = pytest.importorskip("torch")
    t = next(iter(korvex.batches(korvex.from_scipy(A), 4, to="torch")))
    assert t.layout == torch.sparse_csr
    np.testing.assert_array_equal(t.to_dense().numpy(), A.toarray())
    bad = sp.csr_matrix((np.ones(2), np.array([1, 7]), np.array([0, 1, 2])), shape=(2, 5))
    V = korvex.from_scipy(bad, copy=False)  # a view: indices are not scanned on import
    with pytest.raises(korvex.IndexOutOfRangeError):
        list(korvex.batches(V, 2))
