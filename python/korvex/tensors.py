"""torch sparse tensors into korvex matrices (the way out is M.to_torch()).

    M = korvex.from_torch(t)     # t: a 2-D sparse CSR, CSC or COO CPU tensor

torch is imported on the first call, never by ``import korvex``.
"""
from __future__ import annotations

from ._matrix import from_arrays, from_coo
from ._optional import require

__all__ = ["from_torch"]


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
