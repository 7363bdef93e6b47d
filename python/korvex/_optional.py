"""Modules korvex uses only in the functions that need them.

h5py (korvex.load_h5ad), anndata (the examples and benchmarks) and torch
(to_torch, from_torch, batches(to="torch")) are imported on first use, never
by ``import korvex``; a missing one raises ImportError saying how to install
it.
"""
from __future__ import annotations

import importlib

# module -> (Debian package, pip extra of korvex)
_SOURCES = {
    "h5py": ("python3-h5py", "h5ad"),
    "anndata": ("python3-anndata", "h5ad"),
    "torch": ("python3-torch", "torch"),
}


def require(name, what=None):
    """Module name, imported now; ImportError naming the Debian package and
    korvex's pip extra that provide it when it cannot be imported. what names
    the feature that needs it, for the message."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        deb, extra = _SOURCES.get(name, (f"python3-{name}", None))
        pip = f'pip install "korvex[{extra}]"' if extra else f"pip install {name}"
        raise ImportError(f"{what or 'this korvex feature'} needs the {name} module, which "
                          f"cannot be imported ({e}); install it with: apt install {deb} "
                          f"(Debian, Ubuntu), or: {pip}", name=name) from e
