#!/usr/bin/python3
"""Write the files that follow from the export lists in include/korvex_exports.h.

    scripts/gen_bindings.py           rewrite them
    scripts/gen_bindings.py --check   exit 1 (and say what differs) if any is stale

Generated:
  python/korvex/_exports.py   the ctypes declarations (result and argument
                              types of every export), the families and the
                              map operation codes
  abi/korvex.symbols          every exported name, sorted
  abi/korvex.map              the linker version script exporting exactly those

The lists are expanded by the C preprocessor (CC, default cc), so what is
read here is exactly what the header declares and src/exports defines.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = os.path.join(REPO, "include")
OUT_PY = os.path.join(REPO, "python", "korvex", "_exports.py")
OUT_SYMBOLS = os.path.join(REPO, "abi", "korvex.symbols")
OUT_MAP = os.path.join(REPO, "abi", "korvex.map")

# Each list line becomes one marked record in the preprocessor's output.
DRIVER = r"""
#include "korvex.h"
#define KX_FN(P, R, NAME, OP, PARAMS, ARGS) @fn P ~ R ~ NAME ~ OP ~ PARAMS @end
#define KX_FAM(E, P, V, X, Y) @family P ~ V ~ X ~ Y @end
#define KX_CONST(NAME, VALUE) @const NAME @end
#define KX_MAP(NAME, name, code) @map name ~ code @end
@section family KORVEX_FOR_FAMILIES(KORVEX_LIST_FAMILY, KX_FN)
@section f32family KORVEX_FOR_F32_FAMILIES(KORVEX_LIST_F32_FAMILY, KX_FN)
@section span KORVEX_FOR_SPAN_TYPES(KORVEX_LIST_SPAN, KX_FN)
@section library KORVEX_LIST_LIBRARY(KX_FN)
@section families KORVEX_FOR_FAMILIES(KX_FAM, _)
@section constants KORVEX_LIST_CONSTANTS(KX_CONST)
@section maps KORVEX_LIST_MAP_OPS(KX_MAP)
"""

# C types (after preprocessing) to the type codes of _exports.py.
SCALARS = {
    "void": None, "uint64_t": "u64", "int64_t": "i64", "uint32_t": "u32", "int32_t": "i32",
    "uint8_t": "u8", "int8_t": "i8", "uint16_t": "u16", "int16_t": "i16", "double": "f64",
    "float": "f32", "Shape": "Shape", "RowInfo": "RowInfo", "SpanInfo": "SpanInfo",
}


class ListError(Exception):
    pass


def preprocess(cc):
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "driver.c")
        with open(src, "w") as f:
            f.write(DRIVER)
        res = subprocess.run([cc, "-E", "-P", "-std=c99", "-I", INCLUDE, src],
                             capture_output=True, text=True)
    if res.returncode != 0:
        raise ListError(f"{cc} -E failed:\n{res.stderr}")
    return res.stdout


def ctype(text, what):
    """The type code of a C type (a parameter without its name, or a result)."""
    t = " ".join(text.replace("*", " * ").split())
    if "*" in t:
        return "M" if t in ("CompressedMatrix *", "const CompressedMatrix *") else "P"
    t = t.replace("const ", "")
    if t not in SCALARS:
        raise ListError(f"{what}: type '{text}' has no ctypes equivalent here (add it to SCALARS)")
    return SCALARS[t]


def split_params(params, what):
    inner = params.strip()
    if not (inner.startswith("(") and inner.endswith(")")):
        raise ListError(f"{what}: parameters {params!r} are not parenthesised")
    inner = inner[1:-1].strip()
    if inner in ("", "void"):
        return []
    out = []
    for p in inner.split(","):
        m = re.match(r"^(.*?)([A-Za-z_][A-Za-z_0-9]*)$", p.strip())
        if not m or not m.group(1).strip():
            raise ListError(f"{what}: parameter {p.strip()!r} needs a type and a name")
        out.append(ctype(m.group(1), what))
    return out


def records(text, section):
    m = re.search(r"@section " + section + r"\b(.*?)(?=@section|\Z)", text, re.S)
    if not m:
        raise ListError(f"section {section} missing from the preprocessed lists")
    return [[f.strip() for f in r.split("~")]
            for r in re.findall(r"@\w+ (.*?) @end", m.group(1), re.S)]


def functions(text, section):
    out = []
    for prefix, result, name, op, params in records(text, section):
        what = name
        if not re.fullmatch(r"[A-Za-z_][A-Za-z_0-9]*", name):
            raise ListError(f"bad exported name {name!r}")
        out.append((prefix, name, op, ctype(result, what), split_params(params, what)))
    return out


def read_lists(cc):
    text = preprocess(cc)
    fams = {}
    for prefix, vtype, outer, other in records(text, "families"):
        form = prefix.split("_")[0]
        fams[prefix] = (form, {"float": "float32", "double": "float64"}[vtype], outer, other)
    per_family = {p: [] for p in fams}
    for section in ("family", "f32family"):
        for prefix, name, op, res, args in functions(text, section):
            if not name.startswith(prefix + "_"):
                raise ListError(f"{name} does not start with its family prefix {prefix}_")
            per_family[prefix].append((name[len(prefix) + 1:], op, res, args))
    spans = {}
    for prefix, name, op, res, args in functions(text, "span"):
        spans.setdefault(prefix[len("span_"):], []).append((name[len(prefix) + 1:], res, args))
    library = [(name, res, args) for _, name, _, res, args in functions(text, "library")]
    constants = [r[0] for r in records(text, "constants")]
    maps = [(name, int(code)) for name, code in records(text, "maps")]
    names = list(constants)
    for prefix, rows in per_family.items():
        names += [f"{prefix}_{r[0]}" for r in rows]
    for t, rows in spans.items():
        names += [f"span_{t}_{r[0]}" for r in rows]
    names += [r[0] for r in library]
    dup = sorted({n for n in names if names.count(n) > 1})
    if dup:
        raise ListError(f"exported more than once: {', '.join(dup)}")
    codes = [c for _, c in maps]
    if len(set(codes)) != len(codes) or len({n for n, _ in maps}) != len(maps):
        raise ListError("map operations repeat a name or a code")
    return dict(families=fams, per_family=per_family, spans=spans, library=library,
                constants=constants, maps=maps, names=sorted(names))


def render_py(l):
    w = []
    w.append('"""The ctypes declarations of every korvex export, the families and the map\n'
             'operation codes.\n\n'
             'GENERATED by scripts/gen_bindings.py from include/korvex_exports.h: do not edit;\n'
             'add a line to the list and run the generator.\n\n'
             'Type codes: M matrix handle, P any other pointer, u64/i64/u32/i32/u16/i16/u8/i8\n'
             'integers, f32/f64 floats, Shape/RowInfo/SpanInfo records by value, None void.\n'
             '"""\n')
    w.append("# prefix: (form, value dtype name, outer word, other form)")
    w.append("FAMILIES = {")
    for p, v in l["families"].items():
        w.append(f"    {p!r}: {v!r},")
    w.append("}\n")
    w.append("# prefix: ((short name, form-neutral name, result, (arguments)), ...)")
    w.append("FAMILY_FUNCTIONS = {")
    for p, rows in l["per_family"].items():
        w.append(f"    {p!r}: (")
        for short, op, res, args in rows:
            w.append(f"        ({short!r}, {op!r}, {res!r}, {tuple(args)!r}),")
        w.append("    ),")
    w.append("}\n")
    w.append("# element type: ((short name, result, (arguments)), ...)")
    w.append("SPAN_FUNCTIONS = {")
    for t, rows in l["spans"].items():
        w.append(f"    {t!r}: (")
        for short, res, args in rows:
            w.append(f"        ({short!r}, {res!r}, {tuple(args)!r}),")
        w.append("    ),")
    w.append("}\n")
    w.append("# ((name, result, (arguments)), ...): functions outside the families")
    w.append("LIBRARY_FUNCTIONS = (")
    for name, res, args in l["library"]:
        w.append(f"    ({name!r}, {res!r}, {tuple(args)!r}),")
    w.append(")\n")
    w.append("# 8-byte data symbols")
    w.append(f"CONSTANTS = {tuple(l['constants'])!r}\n")
    w.append("# KORVEX_MAP_* operation codes of map_values")
    w.append("MAP_OPS = {")
    for name, code in l["maps"]:
        w.append(f"    {name!r}: {code},")
    w.append("}")
    return "\n".join(w) + "\n"


def render_symbols(l):
    return "\n".join(l["names"]) + "\n"


def render_map(l):
    body = "".join(f"    {n};\n" for n in l["names"])
    return ("/* GENERATED by scripts/gen_bindings.py from include/korvex_exports.h: do not edit.\n"
            "   Only the C interface leaves the library. */\n"
            "KORVEX_1 {\n  global:\n" + body + "  local:\n    *;\n};\n")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true", help="compare instead of writing")
    ap.add_argument("--cc", default=os.environ.get("CC", "cc"), help="C compiler for -E")
    a = ap.parse_args(argv)
    try:
        lists = read_lists(a.cc)
    except ListError as e:
        print(f"gen_bindings: {e}", file=sys.stderr)
        return 2
    outputs = [(OUT_PY, render_py(lists)), (OUT_SYMBOLS, render_symbols(lists)),
               (OUT_MAP, render_map(lists))]
    stale = []
    for path, text in outputs:
        old = open(path).read() if os.path.exists(path) else None
        if old == text:
            continue
        if a.check:
            stale.append(path)
            import difflib
            sys.stderr.writelines(difflib.unified_diff(
                (old or "").splitlines(True), text.splitlines(True),
                os.path.relpath(path, REPO) + " (checked in)",
                os.path.relpath(path, REPO) + " (from the lists)", n=1))
        else:
            with open(path, "w") as f:
                f.write(text)
            print(f"gen_bindings: wrote {os.path.relpath(path, REPO)}")
    if stale:
        print("gen_bindings: stale, run scripts/gen_bindings.py: "
              + ", ".join(os.path.relpath(p, REPO) for p in stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
