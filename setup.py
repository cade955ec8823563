# The extension module is the only thing to build; the source list follows
# the tree so that it never drifts from the CMake build.
from glob import glob

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

SUBSYSTEMS = ["codec", "transport", "link", "master", "inst", "module"]
sources = sorted(f for d in SUBSYSTEMS for f in glob(f"{d}/*.cpp"))

ParallelCompile("MEW_BUILD_JOBS", default=2).install()

setup(
    ext_modules=[
        Pybind11Extension(
            "b4k_mew",
            sources,
            include_dirs=["."],
            cxx_std=17,
            extra_compile_args=["-Wall", "-Wextra"],
        )
    ],
    cmdclass={"build_ext": build_ext},
)
