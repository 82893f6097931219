"""Build of morvex.utils.memory: one C++17 extension.

MORVEX_WERROR=1 turns warnings into errors (development and CI builds:
scripts/test-all sets it; a user's `pip install .` never has it).
MORVEX_SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer
(run Python with the sanitizer runtime preloaded, see scripts/test-sanitized).
MORVEX_DEBUG=1 keeps asserts on.
"""
import glob
import os
import re

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))


def read(*path, missing=None):
    """The text of a file of the project; `missing` when it is absent and
    that is allowed (a copy of the build files alone builds too)."""
    name = os.path.join(HERE, *path)
    if missing is not None and not os.path.exists(name):
        return missing
    with open(name, encoding="utf-8") as f:
        return f.read()


# the one place the version is written is the package itself
VERSION = re.search(r'^__version__ = "([^"]+)"', read("morvex", "utils", "__init__.py"), re.M).group(1)

# flags every extension of the package is built with (bench/suite/build.py
# reads the plain list by its name)
flavour = "release"
compile_args = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"]
link_args = []
if os.environ.get("MORVEX_WERROR"):
    compile_args.append("-Werror")
if os.environ.get("MORVEX_SANITIZE"):
    san = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-g"]
    compile_args += san + ["-UNDEBUG"]
    link_args += san
    flavour = "sanitize"
elif os.environ.get("MORVEX_DEBUG"):
    compile_args += ["-UNDEBUG", "-g"]
    flavour = "debug"
# objects made by another compiler are never reused either
compiler = os.path.basename((os.environ.get("CXX") or os.environ.get("CC") or "").split(" ")[0])
if compiler:
    flavour += "-" + compiler
HEADERS = glob.glob("morvex/utils/src/*.h") + ["morvex/utils/memory.h"]


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


CLASSIFIERS = [
    "Development Status :: 4 - Beta",
    "Intended Audience :: Developers",
    "Operating System :: POSIX :: Linux",
    "Programming Language :: C++",
    "Programming Language :: Cython",
    "Programming Language :: Python :: 3",
    "Programming Language :: Python :: 3 :: Only",
] + ["Programming Language :: Python :: 3.%d" % minor for minor in range(7, 16)] + [
    "Programming Language :: Python :: Implementation :: CPython",
    "Topic :: Software Development :: Libraries :: Python Modules",
    "Typing :: Typed",
]

setup(
    name="morvex-utils-memory",
    version=VERSION,
    description="Native memory, triple and random-stream support layer for morvex",
    long_description=read("README.md", missing=""),
    long_description_content_type="text/markdown",
    license="MIT",
    license_files=["LICENSE"],
    classifiers=CLASSIFIERS,
    packages=["morvex", "morvex.utils"],
    package_data={
        "morvex": ["__init__.pxd"],
        "morvex.utils": ["memory.h", "memory.pxd", "__init__.pxd", "*.pyi", "py.typed"],
    },
    ext_modules=[
        # one source per subsystem, plus the shared helpers and the view classes
        extension("morvex.utils.memory",
                  ["src/%s.cpp" % name for name in
                   ("module", "pyutil", "pool", "buffers", "random", "ordering", "views")]),
        # a sibling that reaches the module through its public header only
        extension("morvex.utils.triples", ["src_triples/%s.cpp" % name for name in ("triples", "workers", "parallel")]),
    ],
    python_requires=">=3.7",
    # each flavour builds in its own directory: objects are never reused
    # across different compiler flags or compilers
    options={"build": {"build_base": os.path.join("build", flavour)}},
    zip_safe=False,
)
