"""Build of the example consumer `triples_cy` against the installed
morvex.utils.memory (Cython finds morvex/utils/memory.pxd on sys.path):

    pip install --no-build-isolation .

It is compiled as C++ (the .pxd says so) with OpenMP for prange, with the
project's consumer flags: build_flags.py beside this file is a link to the
one at the project's root (a copy of this directory takes its content
along)."""
from setuptools import Extension, setup

from Cython.Build import cythonize

import build_flags

# C++17, -Wall -Wextra, -O2, -fopenmp; warnings are errors only where the
# project's own runs ask for it (MORVEX_WERROR)
compile_args, link_args = build_flags.consumer(openmp=True, cython=True, sanitize=False)

setup(
    name="mx-triples-cy",
    version="0.1.0",
    ext_modules=cythonize(
        [Extension("triples_cy", ["triples_cy.pyx"],
                   extra_compile_args=compile_args, extra_link_args=link_args)],
        compiler_directives={"language_level": 3},
    ),
)
