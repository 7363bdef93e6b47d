#!/usr/bin/python3
"""From an AnnData file to a torch training loop.

    make example-cells          (or: PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so
                                 /usr/bin/python3 examples/cells.py [--cells 60000])

1. Make a cells x genes count matrix with a few cell types and write it as an
   .h5ad file with anndata, the way single-cell data usually arrives.
2. Convert it once to a korvex file (korvex.load_h5ad(..., out=...)): the
   matrix is streamed chunk by chunk, and the result is opened mapped.
3. Train a small torch model to tell the cell types apart from shuffled
   1024-cell batches, fed by korvex.batches(..., to="torch").
4. Run the same epoch with backed AnnData (adata.X[sorted batch] per batch,
   made into the same torch tensor) and print both.
"""
import argparse
import os
import sys
import tempfile
import time
import warnings

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "python"))
import korvex  # noqa: E402

warnings.filterwarnings("ignore")  # anndata's and torch's notices about beta features
import anndata  # noqa: E402
import pandas as pd  # noqa: E402
import torch  # noqa: E402

BATCH = 1024
TYPES = 6


def make_counts(cells, genes, per_cell, seed=0):
    """A cells x genes CSR matrix of log counts: each cell type expresses its
    own 100 marker genes more often than the rest."""
    rng = np.random.default_rng(seed)
    kind = rng.integers(0, TYPES, cells)
    markers = rng.choice(genes, (TYPES, 100))
    row = np.repeat(np.arange(cells), per_cell)
    marker = rng.random(len(row)) < 0.05
    gene = np.where(marker, markers[kind[row], rng.integers(0, 100, len(row))],
                    rng.integers(0, genes, len(row)))
    key = np.unique(row.astype(np.int64) * genes + gene)  # sorted, no repeats
    values = np.log1p(rng.poisson(3.0, len(key)) + 1).astype(np.float32)
    X = sp.csr_matrix((values, (key // genes, key % genes)), shape=(cells, genes))
    return X, kind


def write_h5ad(path, X, kind):
    obs = pd.DataFrame({"cell_type": pd.Categorical([f"type {k}" for k in kind])},
                       index=[f"cell{i}" for i in range(X.shape[0])])
    anndata.AnnData(X=X, obs=obs, dtype=np.float32).write_h5ad(path)


class Model(torch.nn.Module):
    def __init__(self, genes):
        super().__init__()
        self.hidden = torch.nn.Linear(genes, 64)
        self.out = torch.nn.Linear(64, TYPES)

    def forward(self, x):  # x: a sparse CSR batch
        h = torch.sparse.mm(x, self.hidden.weight.T) + self.hidden.bias
        return self.out(torch.relu(h))


def train_epoch(batches, genes):
    """One pass over batches ((tensor, labels) pairs): seconds in all,
    seconds spent waiting for batches, mean loss of the last tenth."""
    torch.manual_seed(0)
    model = Model(genes)
    opt = torch.optim.Adam(model.parameters(), lr=1e-2)
    losses, waiting = [], 0.0
    t0 = time.perf_counter()
    it = iter(batches)
    while True:
        t = time.perf_counter()
        item = next(it, None)
        waiting += time.perf_counter() - t
        if item is None:
            break
        x, y = item
        loss = torch.nn.functional.cross_entropy(model(x), torch.from_numpy(y))
        opt.zero_grad()
        loss.backward()
        opt.step()
        losses.append(loss.item())
    tail = losses[-max(1, len(losses) // 10):]
    return time.perf_counter() - t0, waiting, float(np.mean(tail))


def korvex_batches(F, labels):
    for pos, x in korvex.batches(F, BATCH, shuffle=True, seed=1, to="torch",
                                 return_index=True):
        yield x, labels[pos]


def anndata_batches(adata, labels):
    perm = np.random.default_rng(1).permutation(adata.n_obs)
    for a in range(0, len(perm), BATCH):
        idx = np.sort(perm[a:a + BATCH])
        X = adata.X[idx]
        x = torch.sparse_csr_tensor(torch.from_numpy(X.indptr.astype(np.int64)),
                                    torch.from_numpy(X.indices.astype(np.int64)),
                                    torch.from_numpy(X.data), size=X.shape)
        yield x, labels[idx]


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cells", type=int, default=60_000)
    p.add_argument("--genes", type=int, default=2_000)
    p.add_argument("--per-cell", type=int, default=50)
    args = p.parse_args()
    torch.set_num_threads(1)  # the same for both runs, and kind to a shared machine

    with tempfile.TemporaryDirectory() as tmp:
        h5, kvx = os.path.join(tmp, "cells.h5ad"), os.path.join(tmp, "cells.kvx")
        X, kind = make_counts(args.cells, args.genes, args.per_cell)
        write_h5ad(h5, X, kind)
        print(f"{h5}: {X.shape[0]:,} cells x {X.shape[1]:,} genes, {X.nnz:,} entries")

        t = time.perf_counter()
        F = korvex.load_h5ad(h5, out=kvx)  # once; later runs just korvex.load(kvx)
        convert = time.perf_counter() - t
        print(f"converted to {kvx} in {convert:.2f} s: {F!r}")
        assert (F.to_scipy() != X).nnz == 0

        adata = anndata.read_h5ad(h5, backed="r")
        labels = adata.obs["cell_type"].cat.codes.to_numpy().astype(np.int64)

        k_all, k_wait, k_loss = train_epoch(korvex_batches(F, labels), args.genes)
        a_all, a_wait, a_loss = train_epoch(anndata_batches(adata, labels), args.genes)
        adata.file.close()
        F.free()

    print(f"\none shuffled epoch of {BATCH}-cell batches through a {args.genes}-64-{TYPES} "
          f"model (torch, 1 thread):")
    print(f"{'':16}{'epoch (s)':>10}{'waiting for batches (s)':>25}{'final loss':>12}")
    for name, total, wait, loss in (("korvex", k_all, k_wait, k_loss),
                                    ("backed AnnData", a_all, a_wait, a_loss)):
        print(f"{name:16}{total:10.2f}{wait:25.2f}{loss:12.3f}")
    print(f"\nwith korvex the loop waited {a_wait / k_wait:.0f}x less for its batches and the "
          f"epoch took {a_all / k_all:.1f}x less time; both saw the same batches (chance-level "
          f"loss: {np.log(TYPES):.3f})")


if __name__ == "__main__":
    main()
