"""Builds the Cython test consumer `_mx_cython_consumer` for the running
interpreter into the directory given as the first argument, against the
installed package's memory.pxd only (found on sys.path, like any consumer
would find it), and beside it the README's Cython module as written.  Cython
warnings are errors, and so are the C++ compiler's (the project's consumer
flags, build_flags.py)."""
import os
import sys

from setuptools import Extension, setup

from Cython.Build import cythonize
from Cython.Compiler import Options

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.abspath(sys.argv[1])
build_temp = os.path.join(out, "tmp-cython")

Options.warning_errors = True

# build_flags.py from the project's root, which stays off sys.path: the
# package found there must be the installed one
sys.path.insert(0, os.path.dirname(os.path.dirname(here)))
import build_flags  # noqa: E402
del sys.path[0]

# the project's consumer flags (build_flags.py), with OpenMP for prange
flags, link = build_flags.consumer(werror=True, openmp=True, cython=True)

sys.path.insert(0, os.path.dirname(here))
import readme  # noqa: E402

readme_dir = os.path.join(build_temp, "readme")
os.makedirs(readme_dir, exist_ok=True)
with open(os.path.join(readme_dir, "mymod_cy.pyx"), "w") as f:
    f.write(readme.snippets()["mymod_cy.pyx"])

os.chdir(here)  # a relative source keeps the generated C++ under build_dir
exts = [
    Extension(name, sources=[source], language="c++", extra_compile_args=flags, extra_link_args=link)
    for name, source in (("_mx_cython_consumer", "_mx_cython_consumer.pyx"),
                         ("mymod_cy", os.path.join(readme_dir, "mymod_cy.pyx")))
]
setup(
    name="mx-cython-consumer",
    ext_modules=cythonize(
        exts,
        build_dir=os.path.join(build_temp, "src"),
        compiler_directives={"language_level": 3},
        quiet=True,
    ),
    script_args=["-q", "build_ext", "--build-lib", out, "--build-temp", build_temp],
)
