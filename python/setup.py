"""Builds the package powerquality for pip: the extension ``_core`` and the library it wraps.

    python3 -m venv --system-site-packages ENV
    ENV/bin/pip install --no-build-isolation ./python

The extension is built by CMake from the whole checkout (the library's
sources lie beside this folder, so the package is built from a checkout, not
from an sdist of this folder alone), with the flags of the project's own
build (RelWithDebInfo, no contraction, no fast-math) for the interpreter that
runs this build. The package directory then holds the extension and
``libpowerquality.so.N``, which the extension finds beside itself, so the
installed package needs no library installed elsewhere. The copies in the
wheel carry no debug information (``strip --strip-debug`` where ``strip``
is found).

The CMake build tree is ``python/build/temp.*/cmake`` and is reused by the
next build. ``CMAKE_ARGS`` adds arguments to the configure (``-DCMAKE_BUILD_TYPE=Release``,
say); ``CMAKE_BUILD_PARALLEL_LEVEL`` sets the number of jobs (default: every processor).
"""

import glob
import os
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VERSION_HEADER = os.path.join(ROOT, "include", "powerquality", "Version.h")


def version():
    """The library's version, from the header the CMake build reads it from."""
    if not os.path.exists(VERSION_HEADER):
        sys.exit(f"powerquality: {VERSION_HEADER} not found: the package is built from a whole checkout "
                 "(pip install ./python at its top), not from this folder alone")
    with open(VERSION_HEADER, encoding="utf-8") as header:
        return re.search(r'POWERQUALITY_VERSION_STRING\s+"([^"]+)"', header.read()).group(1)


class CMakeBuild(build_ext):
    """Builds the extension with CMake and puts it, its library and ``_build_info.py`` into the package."""

    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("powerquality: cmake not found (Debian: cmake)")
        tree = os.path.join(os.path.abspath(self.build_temp), "cmake")
        args = [
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DPOWERQUALITY_BUILD_PYTHON=ON",
            "-DPOWERQUALITY_PYTHON_BUNDLE_LIBRARY=ON",
            "-DPOWERQUALITY_BUILD_TESTS=OFF",
            "-DPOWERQUALITY_BUILD_BENCHMARKS=OFF",
            "-DPOWERQUALITY_BUILD_EXAMPLES=OFF",
        ]
        try:  # pybind11 from pip (a build with isolation) is not where CMake looks
            import pybind11

            args.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass
        args += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run([cmake, "-S", ROOT, "-B", tree, *args], check=True)
        subprocess.run([cmake, "--build", tree, "--target", "powerquality_python", "-j", jobs], check=True)

        built = os.path.join(tree, "python", "powerquality")
        cores = glob.glob(os.path.join(built, "_core*.so"))
        libraries = glob.glob(os.path.join(built, "libpowerquality.so*"))
        if len(cores) != 1 or len(libraries) != 1:
            sys.exit(f"powerquality: expected one extension and one library in {built}, found {cores + libraries}")
        target = self.get_ext_fullpath(ext.name)
        package = os.path.dirname(target)
        os.makedirs(package, exist_ok=True)
        copies = [(cores[0], target), (libraries[0], os.path.join(package, os.path.basename(libraries[0])))]
        for source, destination in copies:
            shutil.copyfile(source, destination)
            shutil.copymode(source, destination)
            strip = shutil.which("strip")
            if strip:
                subprocess.run([strip, "--strip-debug", destination], check=True)
        shutil.copyfile(os.path.join(built, "_build_info.py"), os.path.join(package, "_build_info.py"))


setup(
    version=version(),
    ext_modules=[Extension("powerquality._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
