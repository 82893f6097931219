"""Builds the test consumer extension `_mx_consumer` for the running
interpreter into the directory given as the first argument, against the
installed package's public header only."""
import os
import sys

from setuptools import Extension, setup

import morvex.utils

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.abspath(sys.argv[1])
build_temp = os.path.join(out, "tmp")
flags = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-O2", "-pthread"]
if os.environ.get("MORVEX_SANITIZE"):
    flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-g"]

sys.argv = [sys.argv[0], "-q", "build_ext", "--build-lib", out, "--build-temp", build_temp]
setup(
    name="mx-consumer",
    ext_modules=[
        Extension(
            "_mx_consumer",
            sources=[os.path.join(here, "consumer.cpp")],
            include_dirs=[morvex.utils.get_package_root()],
            language="c++",
            extra_compile_args=flags,
            extra_link_args=["-pthread"] + (["-fsanitize=address,undefined"] if os.environ.get("MORVEX_SANITIZE") else []),
        )
    ],
    script_args=sys.argv[1:],
)
