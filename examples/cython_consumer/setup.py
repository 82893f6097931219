"""Build of the example consumer `triples_cy` against the installed
morvex.utils.memory (Cython finds morvex/utils/memory.pxd on sys.path):

    pip install --no-build-isolation .

It is compiled as C++ (the .pxd says so) with OpenMP for prange."""
from setuptools import Extension, setup

from Cython.Build import cythonize

setup(
    name="mx-triples-cy",
    version="0.1.0",
    ext_modules=cythonize(
        [Extension("triples_cy", ["triples_cy.pyx"],
                   extra_compile_args=["-fopenmp"], extra_link_args=["-fopenmp"])],
        compiler_directives={"language_level": 3},
    ),
)
