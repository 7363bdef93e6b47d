"""torch sparse tensors into korvex matrices (the way out is M.to_torch()),
and sparse batches through a torch DataLoader with worker processes.

    M = korvex.from_torch(t)     # t: a 2-D sparse CSR, CSC or COO CPU tensor

torch's sparse CSR tensors cannot cross processes, so a DataLoader with
num_workers > 0 must not make them in its workers. Workers return scipy (or
korvex) matrices, which pickle; the main process makes the tensors:

    loader = DataLoader(dataset, batch_size=256, num_workers=2,
                        collate_fn=korvex.tensors.collate)
    for x, y in korvex.tensors.main_process(loader):
        ...                      # x: torch.sparse_csr_tensor, y: a tensor

torch is imported on the first call, never by ``import korvex``.
"""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from . import _core as core
from ._matrix import from_arrays, from_coo
from ._optional import require

__all__ = ["from_torch", "collate", "main_process", "to_tensor"]


def _is_matrix(x):
    return core.is_matrix(x) or sp.issparse(x)


def _rows_to_scipy(x):
    if core.is_matrix(x):
        return x.to_scipy()
    return x.tocsr() if x.format != "csr" else x


def collate(samples):
    """A DataLoader collate_fn that runs in the workers: samples that are
    sparse matrices (korvex or scipy, one or more rows each) are stacked into
    one scipy CSR matrix, which pickles to the main process; tuples, lists
    and dicts of fields are collated field by field, other fields by torch's
    default_collate. main_process() then makes the tensors."""
    torch = require("torch", "korvex.tensors.collate")
    first = samples[0]
    if _is_matrix(first):
        return sp.vstack([_rows_to_scipy(s) for s in samples], format="csr")
    if isinstance(first, dict):
        return {k: collate([s[k] for s in samples]) for k in first}
    if isinstance(first, (tuple, list)):
        return type(first)(collate(list(f)) for f in zip(*samples))
    return torch.utils.data.default_collate(samples)


def to_tensor(x):
    """A torch sparse CSR (CSC) tensor of a korvex or scipy CSR (CSC)
    matrix, int64 indices; another scipy format becomes CSR first."""
    require("torch", "korvex.tensors.to_tensor")
    if core.is_matrix(x):
        return x.to_torch()
    if x.format not in ("csr", "csc"):
        x = x.tocsr()
    try:  # read where scipy keeps them; arrays that arrived unaligned are copied
        M = from_arrays(x.format, x.shape, x.indptr, x.indices, x.data, copy=False)
    except ValueError:
        M = from_arrays(x.format, x.shape, x.indptr, x.indices, x.data, copy=True)
    try:
        return M.to_torch()
    finally:
        core.discard(M)


def _tensors(batch):
    if _is_matrix(batch):
        return to_tensor(batch)
    if isinstance(batch, dict):
        return {k: _tensors(v) for k, v in batch.items()}
    if isinstance(batch, (tuple, list)):
        return type(batch)(_tensors(v) for v in batch)
    return batch


def main_process(loader):
    """Iterate loader (a torch DataLoader, or any iterable of batches) and
    turn every sparse matrix in each batch -- on its own, or inside tuples,
    lists and dicts -- into a torch sparse tensor (to_tensor) here, in the
    calling process."""
    for batch in loader:
        yield _tensors(batch)


def _numpy(t):
    return t.detach().resolve_neg().numpy()


def _values(torch, v, dtype):
    if v.dtype in (torch.float32, torch.float64):
        return _numpy(v)
    if dtype is None:
        raise TypeError(f"korvex holds float32 or float64 values, got {v.dtype}; pass "
                        f"dtype=numpy.float64 (or float32) to convert explicitly")
    return _numpy(v.to(torch.float64))


def from_torch(t, dtype=None):
    """A korvex matrix with a copy of the entries of a 2-D sparse torch
    tensor on the CPU: torch.sparse_csr gives a CSRMatrix, torch.sparse_csc a
    CSCMatrix, and torch.sparse_coo a CSRMatrix built through the coordinate
    import (korvex.from_coo: duplicates kept, rows sorted). Values must be
    float32/float64 unless dtype= asks for a conversion.

    Dense tensors raise TypeError (convert with t.to_sparse_csr()); tensors
    on another device raise ValueError (move them with t.cpu()); batched or
    hybrid tensors (more than two sparse dimensions, dense value blocks)
    raise ValueError."""
    torch = require("torch", "korvex.from_torch")
    if not isinstance(t, torch.Tensor):
        raise TypeError(f"from_torch takes a torch sparse tensor, got {type(t).__name__}")
    if t.layout == torch.strided:
        raise TypeError("from_torch takes a sparse tensor; this one is dense (convert it with "
                        "t.to_sparse_csr())")
    if t.device.type != "cpu":
        raise ValueError(f"the tensor is on {t.device}; korvex reads tensors in host memory: "
                         f"pass t.cpu()")
    if t.dim() != 2 or t.dense_dim() != 0:
        raise ValueError(f"from_torch takes a 2-D sparse matrix with scalar values, got "
                         f"{t.dim()} dimensions ({t.dense_dim()} dense)")
    shape = tuple(t.shape)
    if t.layout == torch.sparse_coo:
        ij = _numpy(t._indices())
        return from_coo(ij[0], ij[1], _values(torch, t._values(), dtype), shape, dtype=dtype)
    if t.layout == torch.sparse_csr:
        fmt, ptr, idx = "csr", t.crow_indices(), t.col_indices()
    elif t.layout == torch.sparse_csc:
        fmt, ptr, idx = "csc", t.ccol_indices(), t.row_indices()
    else:
        raise TypeError(f"from_torch reads sparse CSR, CSC and COO tensors, not {t.layout}")
    vals = _values(torch, t.values(), dtype)
    return from_arrays(fmt, shape, _numpy(ptr), _numpy(idx), vals, copy=True, dtype=dtype)
