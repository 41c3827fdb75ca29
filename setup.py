"""Builds the two extension modules, libvog and vog._engine, with CMake.

pyproject.toml holds the metadata; this only hands setuptools the shared
objects that the project's own CMake build makes for the running interpreter.
Extra CMake arguments may come from the CMAKE_ARGS environment variable.
"""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
# Extension name -> (CMake target, where the build tree puts it).
TARGETS = {"libvog": ("libvog", "vog_python"), "vog._engine": ("vog_engine", "vog_python/vog")}


class CMakeBuild(build_ext):
    def run(self) -> None:
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DCMAKE_BUILD_TYPE=Release", "-DVOG_BUILD_TESTS=OFF",
            *shlex.split(os.environ.get("CMAKE_ARGS", "")),
        ]
        subprocess.check_call(configure)
        targets = [target for target, _ in TARGETS.values()]
        jobs = str(self.parallel or os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", str(build), "--parallel", jobs, "--target", *targets])
        for ext in self.extensions:
            target, folder = TARGETS[ext.name]
            built = build / folder / Path(self.get_ext_filename(ext.name)).name
            destination = Path(self.get_ext_fullpath(ext.name))
            destination.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(built, destination)
        # The raw module's stubs, as a stub-only package that type checkers find.
        stubs = Path(self.build_lib) / "libvog-stubs"
        stubs.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(ROOT / "vog_python" / "libvog.pyi", stubs / "__init__.pyi")


setup(
    ext_modules=[Extension(name, sources=[]) for name in TARGETS],
    cmdclass={"build_ext": CMakeBuild},
)
