"""The Python package calmora: setuptools drives the project's own CMake build.

pyproject.toml holds the metadata; this file adds the two things it cannot
say. The version is the project's one, read from project(VERSION) in
CMakeLists.txt. The compiled module calmora._calmora and its type stub
come from the CMake target calmora_python, configured for the module alone
(no tests, demo, tools or GStreamer element) for the Python that runs the
build. Both builds work in one folder, kept between builds so that a
second build only compiles what changed: build-python/ in the source tree,
or the folder CALMORA_BUILD_DIR names (the CMake build in its cmake/).
ccache is used where installed; CMAKE_BUILD_PARALLEL_LEVEL caps the jobs
(default: one per core).
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
BUILD = os.environ.get("CALMORA_BUILD_DIR") or "build-python"


def project_version() -> str:
    match = re.search(r"project\(\s*Calmora\s+VERSION\s+([0-9][0-9.]*)",
                      (ROOT / "CMakeLists.txt").read_text())
    if not match:
        raise RuntimeError("CMakeLists.txt names no project(Calmora VERSION ...)")
    return match.group(1)


class CMakeBuild(build_ext):
    """Builds calmora._calmora with CMake and copies it and its stub into the package."""

    def build_extension(self, ext: Extension) -> None:
        folder = (Path(BUILD) / "cmake").resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release",
                     "-DCALMORA_BUILD_TESTS=OFF", "-DCALMORA_BUILD_DEMO=OFF",
                     "-DCALMORA_BUILD_TOOLS=OFF", "-DCALMORA_BUILD_GSTREAMER=OFF",
                     "-DCALMORA_BUILD_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"]
        if shutil.which("ccache") and "CMAKE_CXX_COMPILER_LAUNCHER" not in os.environ:
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(folder), "--target", "calmora_python",
                        "--parallel", jobs], check=True)
        # the module is named for the interpreter CMake was given, this one
        built = folder / "python" / "calmora"
        module = Path(self.get_ext_fullpath(ext.name))
        module.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built / module.name, module)
        shutil.copyfile(built / "_calmora.pyi", module.parent / "_calmora.pyi")


setup(
    version=project_version(),
    ext_modules=[Extension("calmora._calmora", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD}, "egg_info": {"egg_base": BUILD}},
)
