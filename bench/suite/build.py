"""Builds the benchmark consumer `_mx_bench` for the running interpreter into
the directory given as the first argument, against the installed package's
public header only, with the compile flags of the module itself (the plain
release set of build_flags.py).  The compile command actually run is written
next to the extension as `build-info.json`, for the table's header."""
import json
import os
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

import morvex.utils

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
out = os.path.abspath(sys.argv[1])

# build_flags.py from the project's root, which stays off sys.path: the
# package found there must be the installed one
sys.path.insert(0, root)
import build_flags  # noqa: E402
del sys.path[0]

# the module's own flags, without the variants (warnings as errors, the
# sanitizers, debug) that the environment may ask for
flags = build_flags.module(env={})[0]
commands = []


class RecordingBuildExt(build_ext):
    """build_ext that remembers the compiler command lines it runs."""

    def build_extensions(self):
        # older setuptools run commands through `spawn`, newer through `call`
        for name in ("spawn", "call"):
            run = getattr(self.compiler, name, None)
            if run is not None:
                setattr(self.compiler, name, self.recording(run))
        super().build_extensions()

    @staticmethod
    def recording(run):
        def recording_run(cmd, *args, **kwargs):
            commands.append([str(c) for c in cmd])
            return run(cmd, *args, **kwargs)
        return recording_run


sys.argv = [sys.argv[0], "-q", "build_ext", "--force", "--build-lib", out,
            "--build-temp", os.path.join(out, "tmp")]
setup(
    name="mx-bench",
    cmdclass={"build_ext": RecordingBuildExt},
    ext_modules=[
        Extension(
            "_mx_bench",
            sources=[os.path.join(here, "bench.cpp")],
            include_dirs=[morvex.utils.get_package_root()],
            language="c++",
            extra_compile_args=flags,
        )
    ],
    script_args=sys.argv[1:],
)

compile_cmd = next((c for c in commands if "-c" in c), commands[0] if commands else [])
with open(os.path.join(out, "build-info.json"), "w") as f:
    json.dump({"module_flags": flags, "compile": compile_cmd}, f, indent=1)
