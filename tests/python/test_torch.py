"""Matrices to torch sparse tensors and back; the optional modules stay
optional."""
import os
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp

import korvex


def test_import_korvex_loads_no_optional_module():
    code = ("import sys, korvex; korvex.load_h5ad, korvex.from_torch; "
            "print(sorted({'h5py', 'anndata', 'torch'} & set(sys.modules)))")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(korvex.__file__)),
               KORVEX_LIBRARY=korvex.library_path)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True)
    assert out.stdout.strip() == "[]"


@pytest.mark.parametrize("module, call, package, extra", [
    ("torch", lambda: korvex.from_scipy(sp.eye(2, format="csr")).to_torch(), "python3-torch",
     "korvex[torch]"),
    ("torch", lambda: korvex.from_torch(None), "python3-torch", "korvex[torch]"),
    ("h5py", lambda: korvex.load_h5ad("x.h5ad"), "python3-h5py", "korvex[h5ad]"),
])
def test_missing_module_names_its_package(monkeypatch, module, call, package, extra):
    monkeypatch.setitem(sys.modules, module, None)  # import of it now fails
    with pytest.raises(ImportError) as e:
        call()
    assert package in str(e.value) and extra in str(e.value)


try:
    import torch
except ImportError:
    torch = None
needs_torch = pytest.mark.skipif(torch is None, reason="torch (python3-torch) is not installed")
quiet = pytest.mark.filterwarnings("ignore:Sparse CSR tensor support is in beta")


def sources(form, dtype):
    A = sp.random(9, 7, density=0.35, format=form, dtype=dtype, random_state=3)
    M = korvex.from_scipy(A)
    return A, {
        "whole": (M, A),
        "rows": (M[2:6], A[2:6]),
        "cols": (M[:, 1:5], A[:, 1:5]),
        "take": (M[[0, 4, 8]], A[[0, 4, 8]]),
        "stack": (korvex.vstack([M, M]), sp.vstack([A, A], format=form)),
        "empty": (M[3:3], A[3:3]),
    }


@needs_torch
@quiet
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("form", ["csr", "csc"])
def test_round_trip(form, dtype):
    _, cases = sources(form, dtype)
    layout = torch.sparse_csr if form == "csr" else torch.sparse_csc
    for name, (M, want) in cases.items():
        t = M.to_torch()
        assert t.layout == layout and tuple(t.shape) == want.shape, name
        ptr, idx = ((t.crow_indices(), t.col_indices()) if form == "csr"
                    else (t.ccol_indices(), t.row_indices()))
        assert ptr.dtype == idx.dtype == torch.int64, name
        assert t.values().numpy().dtype == dtype, name
        assert np.array_equal(t.to_dense().numpy(), want.toarray()), name
        make = torch.sparse_csr_tensor if form == "csr" else torch.sparse_csc_tensor
        narrow = make(ptr.int(), idx.int(), t.values(), size=t.shape)  # int32 indices
        for back in (korvex.from_torch(t), korvex.from_torch(narrow)):
            assert (back.format, back.dtype) == (form, np.dtype(dtype))
            assert np.array_equal(back.toarray(), want.toarray()), name


@needs_torch
@quiet
@pytest.mark.parametrize("form", ["csr", "csc"])
def test_unsorted_rows_and_repeats_are_summed(form):
    A = sp.csr_matrix((np.array([1.0, 2.0, 4.0, 8.0]), np.array([3, 0, 3, 1]),
                       np.array([0, 3, 3, 4])), shape=(3, 4))  # row 0: 3, 0, 3
    t = korvex.from_scipy(A if form == "csr" else A.T.tocsc()).to_torch()
    idx = t.col_indices() if form == "csr" else t.row_indices()
    assert idx.tolist() == [0, 3, 1]
    want = A.toarray() if form == "csr" else A.T.toarray()
    assert np.array_equal(t.to_dense().numpy(), want)


@needs_torch
def test_from_coo_tensor_keeps_duplicates():
    t = torch.sparse_coo_tensor(torch.tensor([[2, 0, 2], [1, 3, 1]]),
                                torch.tensor([1.5, 2.0, 4.0], dtype=torch.float64), (3, 4))
    M = korvex.from_torch(t)  # not coalesced: both (2, 1) entries arrive
    assert (M.format, M.dtype, M.nnz) == ("csr", np.float64, 3)
    assert np.array_equal(M.toarray(), t.to_dense().numpy())
    assert korvex.from_torch(t.coalesce()).nnz == 2


@needs_torch
@quiet
@pytest.mark.parametrize("make, error, match", [
    (lambda: torch.zeros(2, 3), TypeError, "dense"),
    (lambda: np.eye(2), TypeError, "torch sparse tensor"),
    (lambda: torch.eye(3, dtype=torch.int64).to_sparse_csr(), TypeError, "dtype="),
    (lambda: torch.zeros(2, 3, 4).to_sparse(), ValueError, "2-D"),
    (lambda: torch.zeros(2, 3, 4).to_sparse(2), ValueError, "2-D"),
])
def test_from_torch_refuses(make, error, match):
    with pytest.raises(error, match=match):
        korvex.from_torch(make())


@needs_torch
@quiet
def test_from_torch_converts_on_request():
    t = torch.eye(3, dtype=torch.int64).to_sparse_csr()
    M = korvex.from_torch(t, dtype=np.float32)
    assert M.dtype == np.float32 and np.array_equal(M.toarray(), np.eye(3))


LOADER = """
import sys, warnings
import numpy as np, scipy.sparse as sp, torch, korvex
from torch.utils.data import DataLoader, Dataset
warnings.simplefilter("ignore")
A = sp.random(300, 40, density=0.2, format="csr", random_state=0, dtype=np.float32)
korvex.save(sys.argv[1], korvex.from_scipy(A))
F = korvex.load(sys.argv[1])
F.sum(axis=0)  # the pool runs before the workers start


class Rows(Dataset):
    def __len__(self):
        return 300

    def __getitem__(self, i):
        return {"x": F[i:i + 1] if i % 2 else F[i:i + 1].to_scipy(), "y": i}


loader = DataLoader(Rows(), batch_size=64, shuffle=True, num_workers=2, timeout=60,
                    collate_fn=korvex.tensors.collate)
seen = []
for batch in korvex.tensors.main_process(loader):
    x, y = batch["x"], batch["y"].numpy()
    assert x.layout == torch.sparse_csr and x.values().dtype == torch.float32
    assert np.array_equal(x.to_dense().numpy(), A[y].toarray())
    seen += y.tolist()
assert sorted(seen) == list(range(300))
print("ok")
"""


@needs_torch
def test_a_loader_with_workers_makes_tensors_in_the_main_process(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(korvex.__file__)),
               KORVEX_LIBRARY=korvex.library_path)
    out = subprocess.run([sys.executable, "-c", LOADER, str(tmp_path / "m.kvx")], env=env,
                         capture_output=True, text=True, timeout=240)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-2000:]
