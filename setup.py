"""Build of morvex.utils.memory: one C++17 extension, warnings as errors.

MORVEX_SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer
(run Python with the sanitizer runtime preloaded, see scripts/test-sanitized).
MORVEX_DEBUG=1 keeps asserts on.
"""
import glob
import os

from setuptools import Extension, setup

# one source per subsystem, plus the shared helpers and the view classes
SOURCES = ["module", "pyutil", "pool", "buffers", "random", "ordering", "views"]

flavour = "release"
compile_args = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-fvisibility=hidden", "-O2"]
link_args = []
if os.environ.get("MORVEX_SANITIZE"):
    san = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-g"]
    compile_args += san + ["-UNDEBUG"]
    link_args += san
    flavour = "sanitize"
elif os.environ.get("MORVEX_DEBUG"):
    compile_args += ["-UNDEBUG", "-g"]
    flavour = "debug"

setup(
    name="morvex-utils-memory",
    version="0.1.0",
    description="Native memory, triple and random-stream support layer for morvex",
    packages=["morvex", "morvex.utils"],
    package_data={
        "morvex": ["__init__.pxd"],
        "morvex.utils": ["memory.h", "memory.pxd", "__init__.pxd", "*.pyi", "py.typed"],
    },
    ext_modules=[
        Extension(
            "morvex.utils.memory",
            sources=["morvex/utils/src/%s.cpp" % name for name in SOURCES],
            depends=glob.glob("morvex/utils/src/*.h") + ["morvex/utils/memory.h"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        ),
        # a sibling that reaches the module through its public header only
        Extension(
            "morvex.utils.triples",
            sources=["morvex/utils/src_triples/triples.cpp"],
            depends=["morvex/utils/memory.h", "morvex/utils/src/pyutil.h", "morvex/utils/src/compat.h"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        ),
    ],
    python_requires=">=3.7",
    # each flavour builds in its own directory: objects are never reused
    # across different compiler flags
    options={"build": {"build_base": os.path.join("build", flavour)}},
    zip_safe=False,
)
