"""Builds the test consumer extension `_mx_consumer` for the running
interpreter into the directory given as the first argument, against the
installed package's public header only, with the project's consumer flags
(build_flags.py): warnings are errors, and under MORVEX_SANITIZE it is
instrumented like the module."""
import os
import sys

from setuptools import Extension, setup

import morvex.utils

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.abspath(sys.argv[1])
build_temp = os.path.join(out, "tmp")
# build_flags.py from the project's root, which stays off sys.path: the
# package found there must be the installed one
sys.path.insert(0, os.path.dirname(os.path.dirname(here)))
import build_flags  # noqa: E402
del sys.path[0]

flags, link = build_flags.consumer(werror=True, threads=True)

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
            extra_link_args=link,
        )
    ],
    script_args=sys.argv[1:],
)
