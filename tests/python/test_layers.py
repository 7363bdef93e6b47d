"""The package's layers (CONTRIBUTING.md): each module imports only modules of
a lower layer, never another module's private names, never the package's
__init__; only the core reaches into a matrix's record fields."""
import ast
import pathlib

import pytest

import korvex

PACKAGE = pathlib.Path(korvex.__file__).parent

LAYERS = [  # bottom up; a module may import modules of the layers before its own
    {"_installed", "_exports"},  # where the library lies; the generated declarations
    {"_lib", "_guard", "_sizes", "_optional"},
    {"_core"},
    {"_arith"},
    {"_index", "_entries", "_minmax", "_products", "_maps", "_habits", "_combine",
     "_edit"},  # the mixins
    {"_matrix"},
    {"storage", "batches", "tensors"},
    {"h5ad", "dask"},
    {"__init__"},
]
LAYER = {name: k for k, names in enumerate(LAYERS) for name in names}
MODULES = sorted(p.stem for p in PACKAGE.glob("*.py"))
# A matrix's record and the earlier ways into it: the mixins read _rec, the
# modules above go through _core's functions and the public methods.
RECORD_FIELDS = {"_rec", "_h", "_fam", "_keep", "_fin", "_handle", "_sparray", "_export",
                 "_export_compressed", "_discard", "_derived", "_import_copy"}


def imports(name):
    """(module imported, names taken from it) for each relative import."""
    tree = ast.parse((PACKAGE / f"{name}.py").read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                yield node.module, [a.name for a in node.names]
            else:  # from . import x: x is a module, or a name of __init__
                for a in node.names:
                    yield (a.name, []) if a.name in MODULES or a.name in LAYER else (
                        "__init__", [a.name])


def attributes(name):
    tree = ast.parse((PACKAGE / f"{name}.py").read_text())
    return {n.attr for n in ast.walk(tree) if isinstance(n, ast.Attribute)}


@pytest.mark.parametrize("name", MODULES)
def test_imports_follow_the_layers(name):
    assert name in LAYER, f"{name}.py: place it in a layer (CONTRIBUTING.md and LAYERS here)"
    for module, names in imports(name):
        if name == "__init__":
            assert not [n for n in names if n.startswith("_")], (module, names)
            continue
        assert LAYER[module] < LAYER[name], f"{name} imports {module}, of a layer not below"
        private = [n for n in names if n.startswith("_")]
        assert not private, f"{name} imports private names {private} of {module}"
    seen = attributes(name)
    if LAYER[name] == LAYER["_index"]:
        assert "__dict__" not in seen, f"{name} reads a matrix's __dict__"
        assert not seen & (RECORD_FIELDS - {"_rec"}), seen & (RECORD_FIELDS - {"_rec"})
    if LAYER[name] > LAYER["_matrix"] and name != "__init__":
        inside = seen & (RECORD_FIELDS | {"_select", "_outer_dim", "_inner_dim"})
        assert not inside, f"{name} reads {inside} of a matrix"
