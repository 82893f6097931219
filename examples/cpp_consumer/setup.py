"""Build of the example consumer `mx_triples` against the installed
morvex.utils.memory (its header sits inside the package):

    pip install --no-build-isolation .

(no build isolation: the build imports morvex.utils to find the header)."""
import os

from setuptools import Extension, setup

import morvex.utils

setup(
    name="mx-triples",
    version="0.1.0",
    ext_modules=[
        Extension(
            "mx_triples",
            sources=["triples.cpp", "load.cpp"],  # one shared import table (load.h)
            include_dirs=[morvex.utils.get_package_root()],
            language="c++",
            # warnings are errors only where the project's own runs ask for it
            extra_compile_args=["-std=c++17", "-O2", "-pthread", "-Wall", "-Wextra"]
            + (["-Werror"] if os.environ.get("MORVEX_WERROR") else []),
            extra_link_args=["-pthread"],
        )
    ],
)
