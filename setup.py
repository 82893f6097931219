"""What the build of morvex.utils.memory needs code for: the two C++17
extensions, the build directory of each flavour, and the licence field.
Everything else about the package is in pyproject.toml; the compile flags
and their variants (MORVEX_WERROR, MORVEX_SANITIZE, MORVEX_DEBUG) are in
build_flags.py.
"""
import glob
import os
import sys

import setuptools
from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import build_flags  # noqa: E402

compile_args, link_args = build_flags.module()
# each flavour builds in its own directory, and objects made by another
# compiler are never reused either
flavour = build_flags.flavour()
compiler = os.path.basename((os.environ.get("CXX") or os.environ.get("CC") or "").split(" ")[0])
if compiler:
    flavour += "-" + compiler
HEADERS = sorted(glob.glob("morvex/utils/src/*.h") + glob.glob("morvex/utils/src_triples/*.h")
                 + glob.glob("morvex/utils/kernels/*.h") + glob.glob("morvex/utils/pyhelpers/*.h")) \
    + ["morvex/utils/memory.h", "morvex/utils/triple.h"]


def extension(name, sources):
    """A C++ extension `name` of the package from the given files (paths
    under morvex/utils/), with the shared flags."""
    return Extension(
        name,
        sources=["morvex/utils/" + source for source in sources],
        depends=HEADERS,
        language="c++",
        extra_compile_args=compile_args,
        extra_link_args=link_args,
    )


# The licence is MIT.  setuptools 77 and newer record it as an SPDX
# expression (License-Expression) and deprecate the table that older ones
# need in pyproject.toml, to be refused from 2027 on; CPython 3.7 and 3.8
# have no such setuptools (68 and 75 are their newest), so it is spelled
# here for the one at hand (older ones write the License field).
if int(setuptools.__version__.split(".")[0]) >= 77:
    licence = {"license_expression": "MIT"}
else:
    licence = {"license": "MIT"}

setup(
    ext_modules=[
        # one source per subsystem, plus the shared helpers and the view classes
        extension("morvex.utils.memory",
                  ["src/%s.cpp" % name for name in
                   ("module", "pyutil", "pool", "buffers", "random", "ordering", "radix_sort", "views")]),
        # a sibling that reaches the module through its public header only
        extension("morvex.utils.triples",
                  ["src_triples/%s.cpp" % name for name in
                   ("triples", "index_type", "index_data", "sampler", "membership", "workers", "parallel",
                    "rank", "labels", "labels_piece", "labels_merge", "labels_stream", "labels_type", "vocab_type")]),
    ],
    options={"build": {"build_base": os.path.join("build", flavour)}},
    **licence
)
