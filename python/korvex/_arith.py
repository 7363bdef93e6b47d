"""The operand rules that arithmetic on korvex matrices shares: what counts as
a scalar, a sparse operand or a numeric array, scipy's axis argument, and the
value maps' operation codes. The products (_products.py), the value maps
(_maps.py) and the two-operand operations build on these."""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from . import _core as core
from ._lib import MAP_OPS

__all__ = ["UNARY_MAPS", "LINEAR", "SCALE", "NEGATE", "ABS", "POWER", "ROUND", "is_sparse",
           "is_scalar", "no_sparse", "check_numeric", "axis_arg"]

SCALE, NEGATE, ABS, POWER, ROUND = (MAP_OPS[k] for k in
                                    ("scale", "negate", "abs", "power", "round"))

# scipy's element functions that keep zero at zero: method name -> op code.
# Each becomes a method (M.log1p()) and answers its numpy ufunc (np.log1p(M)).
UNARY_MAPS = {name: MAP_OPS[name] for name in (
    "sqrt", "log1p", "expm1", "sin", "tan", "arcsin", "arctan", "sinh", "tanh", "arcsinh",
    "floor", "ceil", "rint", "trunc", "sign", "deg2rad", "rad2deg")}
# Maps that act on a sum of repeated entries as on each of them (f(a + b) =
# f(a) + f(b)); every other map first adds repeated indices up, as scipy does.
LINEAR = {SCALE, NEGATE, UNARY_MAPS["deg2rad"], UNARY_MAPS["rad2deg"]}

_NUMERIC = "biufc"


def is_sparse(x):
    """A scipy sparse matrix or array, or a korvex matrix."""
    return sp.issparse(x) or core.is_matrix(x)


def is_scalar(x):
    return np.isscalar(x) or (isinstance(x, np.ndarray) and x.ndim == 0)


def no_sparse(op):
    return TypeError(f"korvex has no {op} of two sparse matrices; convert with to_scipy() "
                     f"(scipy computes it single-threaded)")


def check_numeric(arr, what):
    if arr.dtype.kind not in _NUMERIC:
        raise TypeError(f"{what} needs a numeric operand, got an array of {arr.dtype}")


def axis_arg(axis):
    """scipy's axis check: None, or an integer in -2..1 (as 0 or 1)."""
    if axis is None:
        return None
    if isinstance(axis, tuple):
        raise TypeError("Tuples are not accepted for the 'axis' parameter. Please pass in one "
                        "of the following: {-2, -1, 0, 1, None}.")
    if isinstance(axis, (bool, np.bool_)) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"axis must be an integer, not {type(axis).__name__}")
    if not -2 <= axis <= 1:
        raise ValueError("axis out of range")
    return int(axis) % 2
