"""Builds libkorvex with CMake while setuptools builds the package, and puts
the library inside it (korvex/libkorvex.so.1, recorded in korvex/_installed.py
as a path relative to the package). The metadata is in pyproject.toml.

Environment:
  KORVEX_BUILD_DIR   CMake build directory to use and keep (default: a fresh
                     temporary one, removed afterwards)
  CMAKE_BUILD_PARALLEL_LEVEL  parallel jobs (default: the CPUs available)
"""
import os
import shutil
import subprocess
import tempfile

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))
SONAME = "libkorvex.so.1"


class build_py_with_library(build_py):
    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "korvex")
        keep = os.environ.get("KORVEX_BUILD_DIR")
        build = os.path.abspath(keep) if keep else tempfile.mkdtemp(prefix="korvex-cmake-")
        try:
            self._cmake(build)
            os.makedirs(target, exist_ok=True)
            # The real file, not the soname link.
            shutil.copyfile(os.path.realpath(os.path.join(build, SONAME)),
                            os.path.join(target, SONAME))
            os.chmod(os.path.join(target, SONAME), 0o755)
        finally:
            if not keep:
                shutil.rmtree(build, ignore_errors=True)
        with open(os.path.join(target, "_installed.py"), "w") as f:
            f.write('"""Written by setup.py: the library inside this package."""\n')
            f.write(f"LIBRARY = {SONAME!r}\n")

    def _cmake(self, build):
        configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DKORVEX_TESTS=OFF", "-DKORVEX_BENCH=OFF", "-DKORVEX_FUZZ=OFF"]
        if shutil.which("ninja") and not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            configure += ["-G", "Ninja"]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(len(os.sched_getaffinity(0)))
        for cmd in (configure, ["cmake", "--build", build, "--target", "korvex", "-j", jobs]):
            self.announce("running " + " ".join(cmd), level=2)
            subprocess.check_call(cmd)

    def get_outputs(self, include_bytecode=1):
        target = os.path.join(self.build_lib, "korvex")
        return super().get_outputs(include_bytecode) + [
            os.path.join(target, SONAME), os.path.join(target, "_installed.py")]


class BinaryDistribution(Distribution):
    """The package carries a compiled library: platform wheels only."""

    def has_ext_modules(self):
        return True


cmdclass = {"build_py": build_py_with_library}
try:
    from wheel.bdist_wheel import bdist_wheel

    class bdist_wheel_any_python(bdist_wheel):
        # ctypes, no extension module: any Python 3 on this platform.
        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    cmdclass["bdist_wheel"] = bdist_wheel_any_python
except ImportError:
    pass

# Keep setuptools' own files out of the source tree's build/ (CMake's, for
# make) and out of python/: build-pip/ is ignored by git.
os.makedirs(os.path.join(ROOT, "build-pip"), exist_ok=True)
setup(cmdclass=cmdclass, distclass=BinaryDistribution,
      options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}})
