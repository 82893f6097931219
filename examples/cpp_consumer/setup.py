"""Build of the example consumer `mx_triples` against the installed
morvex.utils.memory (its header sits inside the package):

    pip install --no-build-isolation .

(no build isolation: the build imports morvex.utils to find the header).
The compile flags are the project's consumer flags: build_flags.py beside
this file is a link to the one at the project's root (a copy of this
directory takes its content along)."""
from setuptools import Extension, setup

import build_flags
import morvex.utils

# C++17, -Wall -Wextra, -O2, -pthread for the worker threads; warnings are
# errors only where the project's own runs ask for it (MORVEX_WERROR)
compile_args, link_args = build_flags.consumer(threads=True, sanitize=False)

setup(
    name="mx-triples",
    version="0.1.0",
    ext_modules=[
        Extension(
            "mx_triples",
            sources=["triples.cpp", "load.cpp"],  # one shared import table (load.h)
            include_dirs=[morvex.utils.get_package_root()],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ],
)
