# SPDX-License-Identifier: MIT
"""Builds the extension mixlink._core with the project's own CMake build (the library, its
generated dictionary and the extension, nothing else) and puts it into the package. Needs CMake,
a C++20 compiler, pybind11's CMake files and the Python headers; downloads nothing."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*mixlink\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not (ROOT / "CMakeLists.txt").is_file():
            sys.exit(f"mixlink: {ROOT} is not the source tree this package builds from")
        # MIXLINK_PYTHON_BUILD: a build folder outside the source tree (scripts/check-python).
        build = Path(os.environ.get("MIXLINK_PYTHON_BUILD") or Path(self.build_temp).resolve() / "cmake")
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}",
            "-DMIXLINK_PYTHON=ON",
            "-DMIXLINK_BUILD_TESTS=OFF",
            "-DMIXLINK_BUILD_APP=OFF",
            "-DMIXLINK_BUILD_BENCH=OFF",
            "-DMIXLINK_BUILD_EXAMPLES=OFF",
        ]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "mixlink_python", "-j", jobs], check=True)
        built = sorted((build / "python" / "module" / "mixlink").glob("_core*" + (".pyd" if os.name == "nt" else ".so")))
        if not built:
            sys.exit("mixlink: the build made no extension")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=version(),
    ext_modules=[Extension("mixlink._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
