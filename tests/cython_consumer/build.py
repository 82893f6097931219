"""Builds the Cython test consumer `_mx_cython_consumer` for the running
interpreter into the directory given as the first argument, against the
installed package's memory.pxd only (found on sys.path, like any consumer
would find it), and beside it the README's Cython module as written.  Cython
warnings are errors, and so are the C++ compiler's."""
import os
import sys

from setuptools import Extension, setup

from Cython.Build import cythonize
from Cython.Compiler import Options

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.abspath(sys.argv[1])
build_temp = os.path.join(out, "tmp-cython")

Options.warning_errors = True

flags = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-O2", "-fopenmp"]
# The type objects Cython 0.29 generates leave out the members CPython 3.12
# added to PyTypeObject: generated code, not ours.
if sys.version_info >= (3, 12):
    flags.append("-Wno-missing-field-initializers")
link = ["-fopenmp"]
if os.environ.get("MORVEX_SANITIZE"):
    san = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-g"]
    flags += san
    link += ["-fsanitize=address,undefined"]

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
