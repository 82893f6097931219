"""Build of morvex.utils.memory: one C++17 extension, warnings as errors.

MORVEX_SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer
(run Python with the sanitizer runtime preloaded, see .ci/run).
MORVEX_DEBUG=1 keeps asserts on.
"""
import glob
import os

from setuptools import Extension, setup

compile_args = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-fvisibility=hidden", "-O2"]
link_args = []
if os.environ.get("MORVEX_SANITIZE"):
    san = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-g"]
    compile_args += san + ["-UNDEBUG"]
    link_args += san
elif os.environ.get("MORVEX_DEBUG"):
    compile_args += ["-UNDEBUG", "-g"]

setup(
    name="morvex-utils-memory",
    version="0.1.0",
    description="Native memory, triple and random-stream support layer for morvex",
    packages=["morvex", "morvex.utils"],
    package_data={"morvex.utils": ["memory.h", "memory.pxd", "*.pyi", "py.typed"]},
    ext_modules=[
        Extension(
            "morvex.utils.memory",
            sources=sorted(glob.glob("morvex/utils/src/*.cpp")),
            depends=glob.glob("morvex/utils/src/*.h") + ["morvex/utils/memory.h"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ],
    python_requires=">=3.7",
    zip_safe=False,
)
