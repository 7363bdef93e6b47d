#!/usr/bin/python3
"""Install the korvex Python package under PREFIX for this interpreter.

    scripts/install-python.py PREFIX

Run after `cmake --install build --prefix PREFIX` (make install does both).
The package goes to PREFIX/lib/python3/dist-packages/korvex, or to
PREFIX/lib/python3.X/dist-packages when that directory is already on this
interpreter's path (PREFIX=/usr/local on Debian), and records where the
library was installed, so the installed copy loads PREFIX/.../libkorvex.so.1
without KORVEX_LIBRARY. DESTDIR, when set, is prepended to every written path
but not to the recorded one (staged installs).
"""
import glob
import os
import shutil
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(REPO, "python", "korvex")
SONAME = "libkorvex.so.1"


def site_dir(prefix):
    versioned = os.path.join(prefix, "lib", f"python3.{sys.version_info[1]}", "dist-packages")
    plain = os.path.join(prefix, "lib", "python3", "dist-packages")
    on_path = {os.path.realpath(p) for p in sys.path if p}
    for d in (plain, versioned):
        if os.path.realpath(d) in on_path:
            return d
    return plain


def find_library(staged_prefix):
    hits = []
    for pattern in ("lib", "lib64", "lib/*"):
        hits += glob.glob(os.path.join(staged_prefix, pattern, SONAME))
    return sorted(hits, key=len)


def main(argv):
    if len(argv) != 2 or argv[1].startswith("-"):
        sys.exit(__doc__)
    prefix = os.path.abspath(argv[1])
    destdir = os.environ.get("DESTDIR", "")
    staged = lambda p: destdir + p if destdir else p  # noqa: E731

    libs = find_library(staged(prefix))
    if not libs:
        sys.exit(f"install-python: no {SONAME} under {staged(prefix)}; install the library "
                 f"first (cmake --install build --prefix {prefix})")
    library = libs[0][len(destdir):] if destdir else libs[0]

    target = os.path.join(site_dir(prefix), "korvex")
    dest = staged(target)
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    os.makedirs(dest)
    for name in sorted(os.listdir(SOURCE)):
        if name.endswith(".py") and name != "_installed.py":
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(dest, name))
    with open(os.path.join(dest, "_installed.py"), "w") as f:
        f.write('"""Written by scripts/install-python.py."""\n')
        f.write(f"LIBRARY = {library!r}\n")
    print(f"install-python: korvex -> {target} (library {library})")
    if os.path.realpath(os.path.dirname(target)) not in {os.path.realpath(p) for p in sys.path}:
        print(f"install-python: add {os.path.dirname(target)} to PYTHONPATH to use it")


if __name__ == "__main__":
    main(sys.argv)
