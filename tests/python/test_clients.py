"""Matrices handed to scipy's own routines and to the libraries built on them:
the index type scipy would choose, and the answers those routines give."""
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse import csgraph
from scipy.sparse.linalg import spsolve

import korvex


def graph(n=1000, components=22, seed=0):
    # `components` chains of nodes, with a few extra edges inside each chain.
    rng = np.random.default_rng(seed)
    labels = np.arange(n) % components
    order = np.argsort(labels, kind="stable")
    src, dst = [], []
    for c in range(components):
        nodes = order[labels[order] == c]
        src += list(nodes[:-1])
        dst += list(nodes[1:])
        extra = rng.choice(nodes, (2, 5))
        src += list(extra[0])
        dst += list(extra[1])
    w = rng.uniform(1, 2, len(src))
    return sp.csr_matrix((w, (src, dst)), shape=(n, n))


def test_index_type_follows_scipy():
    A = graph(50, 3)
    M = korvex.from_scipy(A)
    for X in (M, M.tocsc(), M[:, :10], korvex.from_scipy(sp.csr_array(A))):
        S = X.to_scipy()
        assert S.indices.dtype == S.indptr.dtype == np.int32
    forced = M.to_scipy(index_dtype=np.int64)
    assert forced.indices.dtype == forced.indptr.dtype == np.int64
    assert next(korvex.batches(M, 16)).indices.dtype == np.int32
    # Past 32 bits in either dimension, scipy's rule gives int64.
    wide = korvex.from_coo([0, 1], [5, 2 ** 31 + 3], [1.0, 2.0], (2, 2 ** 31 + 4))
    S = wide.to_scipy()
    assert S.indices.dtype == S.indptr.dtype == np.int64 and S.indices[-1] == 2 ** 31 + 3
    with pytest.raises(ValueError, match="int64"):
        wide.to_scipy(index_dtype=np.int32)


def test_csgraph_and_spsolve_answer_as_on_scipy():
    A = graph()
    M = korvex.from_scipy(A)
    got = csgraph.connected_components(M.to_scipy(), directed=False)
    assert got[0] == 22
    np.testing.assert_array_equal(got[1], csgraph.connected_components(A, directed=False)[1])
    small = korvex.from_scipy(graph(60, 2))
    for fn in (csgraph.shortest_path, csgraph.dijkstra):
        np.testing.assert_allclose(fn(small.to_scipy(), indices=[0, 7]),
                                   fn(small.to_scipy(index_dtype=np.int32), indices=[0, 7]))
    n = 40
    S = sp.random(n, n, density=0.1, random_state=1, format="csr") + 4 * sp.identity(n)
    K = korvex.from_scipy(S.tocsr())
    b = np.arange(n, dtype=np.float64)
    np.testing.assert_allclose(spsolve(K.to_scipy(), b), spsolve(S.tocsc(), b))
    np.testing.assert_allclose(spsolve(K.tocsc().to_scipy(), b), spsolve(S.tocsc(), b))


def test_scikit_learn_estimators_take_the_export():
    pytest.importorskip("sklearn")
    from sklearn.cluster import KMeans
    from sklearn.linear_model import LogisticRegression, SGDClassifier
    A = sp.random(120, 15, density=0.3, random_state=2, format="csr")
    y = (A.sum(axis=1).A.ravel() > np.median(A.sum(axis=1).A)).astype(int)
    M = korvex.from_scipy(A)
    X = M.to_scipy()
    fits = [SGDClassifier(max_iter=20, tol=None, random_state=0),
            LogisticRegression(solver="saga", max_iter=50, random_state=0), KMeans(3, n_init=1, random_state=0)]
    for est in fits:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # convergence
            est.fit(X, y)
            want = type(est)(**est.get_params()).fit(A, y)
        np.testing.assert_array_equal(est.predict(X), want.predict(A))
