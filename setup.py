# The extension module and the tools package; the source list follows the
# tree so that it never drifts from the CMake build.
import os
import shutil
from glob import glob

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

SUBSYSTEMS = ["base", "codec", "transport", "link", "master", "station", "services", "simulator", "inst", "module"]
sources = sorted(f for d in SUBSYSTEMS for f in glob(f"{d}/*.cpp"))

ParallelCompile("MEW_BUILD_JOBS", default=2).install()


class build_ext_with_stubs(build_ext):
    """Ships the type stubs next to the module, where editors look for them."""

    def run(self):
        super().run()
        for ext in self.extensions:
            target = os.path.dirname(self.get_ext_fullpath(ext.name))
            shutil.copy(f"{ext.name}.pyi", target)


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
    cmdclass={"build_ext": build_ext_with_stubs},
)
