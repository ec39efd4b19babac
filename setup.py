"""Builds the extension modules kelvane._core, dunlith._core and kelvane_mod_optimizer._core (and
the shared core library they load) with the project's CMake build and packages them with the
Python sources (metadata in pyproject.toml).

The CMake build goes into setuptools' temporary directory. KV_CMAKE_BUILD_DIR names an already
configured build directory of this source tree to build the extension in instead (a second
configure and compile is then saved); CMAKE_BUILD_PARALLEL_LEVEL and CMAKE_CXX_COMPILER_LAUNCHER
(e.g. ccache) are honoured as CMake honours them.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
# The shared C++ core the three extension modules load (found through their $ORIGIN run path).
NATIVE_LIBRARY = "libkelvane_native.so"


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"project\(\s*kelvane_mod_optimizer\s+VERSION\s+([0-9][0-9.]*)", f.read())
    if not match:
        raise RuntimeError("CMakeLists.txt: no project(kelvane_mod_optimizer VERSION ...) found")
    return match.group(1)


class CMakeBuildExt(build_ext):
    """Builds the CMake target kelvane_python once and takes the extension modules it leaves in
    build/python, with the shared core library they load (beside kelvane._core)."""

    _cmake_tree = None

    def _build_tree(self):
        if CMakeBuildExt._cmake_tree:
            return CMakeBuildExt._cmake_tree
        build_dir = os.environ.get("KV_CMAKE_BUILD_DIR")
        if build_dir:
            build_dir = os.path.abspath(build_dir)
            if not os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")):
                raise RuntimeError(f"KV_CMAKE_BUILD_DIR={build_dir} is not a configured CMake build directory")
        else:
            build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
            self.spawn(["cmake", "-S", HERE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKV_BUILD_TESTS=OFF", "-DKV_BUILD_BENCHMARKS=OFF", "-DKV_BUILD_PYTHON=ON",
                        f"-DKV_PYTHON={sys.executable}"])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self.spawn(["cmake", "--build", build_dir, "--target", "kelvane_python", "-j", jobs])
        CMakeBuildExt._cmake_tree = os.path.join(build_dir, "python")
        return CMakeBuildExt._cmake_tree

    def build_extension(self, ext):
        tree = self._build_tree()
        package = ext.name.rpartition(".")[0]
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        built = os.path.join(tree, package, "_core" + suffix)
        if not os.path.isfile(built):
            found = glob.glob(os.path.join(tree, package, "_core*"))
            raise RuntimeError(f"the CMake build left no {package}/{os.path.basename(built)} for this Python "
                               f"({sys.executable}); found: {found or 'nothing'}")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        if package == "kelvane":
            shutil.copyfile(os.path.join(tree, "kelvane", NATIVE_LIBRARY),
                            os.path.join(os.path.dirname(target), NATIVE_LIBRARY))


class BuildPyWithSample(build_py):
    """Also places the sample bundle in the package: the demonstration run installs it in
    ~/.kelvane/bundle when none is there."""

    def run(self):
        super().run()
        source = os.path.join(HERE, "data", "sample_bundle")
        target = os.path.join(self.build_lib, "kelvane_mod_optimizer", "sample_bundle")
        if os.path.isdir(target):
            shutil.rmtree(target)
        shutil.copytree(source, target)


setup(
    version=project_version(),
    ext_modules=[Extension(f"{package}._core", sources=[]) for package in ("kelvane", "dunlith", "kelvane_mod_optimizer")],
    cmdclass={"build_ext": CMakeBuildExt, "build_py": BuildPyWithSample},
    zip_safe=False,
)
