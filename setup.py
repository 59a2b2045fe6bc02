"""Builds the extension of the package lustreapi with the project's CMake
build, and puts libLustreAPI.so.1 and the host libraries it needs beside it
(the module finds them through its RUNPATH, $ORIGIN)."""
import os
import re
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(LustreAPI VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        import pybind11

        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        package = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        cmake = os.environ.get("CMAKE", "cmake")
        subprocess.run([cmake, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DLUSTREAPI_BUILD_TESTS=OFF", "-DLUSTREAPI_BUILD_BENCH=OFF", "-DLUSTREAPI_PYTHON=ON",
                        "-DLUSTREAPI_PYTHON_BUNDLE=ON", "-DLUSTREAPI_PYTHON_INSTALL_DIR=.",
                        f"-DPython3_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"],
                       check=True)
        subprocess.run([cmake, "--build", build, "--target", "lustreapi_python", "-j", str(os.cpu_count() or 1)],
                       check=True)
        subprocess.run([cmake, "--install", build, "--component", "python",
                        "--prefix", os.path.dirname(package)], check=True)
        # A wheel holds no links: each library once, under the name the
        # loader asks for (libLustreAPI.so.1 rather than its link target).
        for name in os.listdir(package):
            path = os.path.join(package, name)
            if os.path.islink(path):
                os.replace(os.path.realpath(path), path)


setup(version=version(), ext_modules=[Extension("lustreapi._lustreapi", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
