"""The compiled things the tests build (the test consumers, the examples, the
README's consumers, a second build of the module), each made once for a
given interpreter and given inputs.

A build goes to tests/_build/<SOABI>/<name>-<variant>-<contents>: the
variant is a hash of the interpreter and of the environment variables that
change compiler flags, the contents one of the files the build reads (the
installed header and declarations among them).  A run whose inputs are those
of an earlier run imports what that run built; a changed input makes a new
build, which replaces the old one of the same variant."""
import glob
import hashlib
import importlib
import os
import shutil
import sys
import sysconfig

import morvex.utils

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
INCLUDE = morvex.utils.get_include()

# what a consumer compiles against: the installed header and declarations
HEADER = [os.path.join(INCLUDE, name) for name in ("memory.h", "triple.h")]
DECLARATIONS = [os.path.join(INCLUDE, name) for name in ("memory.pxd", "__init__.pxd")] + \
    [os.path.join(os.path.dirname(INCLUDE), "__init__.pxd")]

# the environment variables that change what a build makes
ENVIRONMENT = ("CC", "CXX", "CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS", "LDSHARED",
               "MORVEX_SANITIZE", "MORVEX_WERROR", "MORVEX_DEBUG")


def build_env(**extra):
    """The environment for a build step: this interpreter's sys.path, and no
    preloaded sanitizer runtimes (the compilers must not run under them)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("LD_PRELOAD", None)
    env.update(extra)
    return env


def tree(*paths):
    """The source files under each path (a file stands for itself), without
    what a build leaves behind."""
    out = []
    for path in paths:
        if os.path.isfile(path):
            out.append(path)
            continue
        for top, dirs, files in os.walk(path):
            dirs[:] = sorted(d for d in dirs if d not in ("__pycache__", "build") and not d.endswith(".egg-info"))
            out += [os.path.join(top, f) for f in sorted(files) if not f.endswith((".so", ".o", ".pyc"))]
    return out


def _digest(parts):
    key = hashlib.sha256()
    for part in parts:
        key.update(part + b"\0")
    return key.hexdigest()[:12]


def cached(name, inputs, build, extra=()):
    """The directory holding build `name`: `build(directory)` fills a fresh
    one unless a build of the same inputs (files, and `extra` strings) is
    there already.  Builds for another environment (a sanitized run, another
    compiler) are kept beside it; an older build for this one goes."""
    variant = _digest([sys.version.encode(), sys.implementation.cache_tag.encode()] +
                      [("%s=%s" % (v, os.environ.get(v))).encode() for v in ENVIRONMENT])
    contents = []
    for path in inputs:
        with open(path, "rb") as f:
            contents += [os.path.relpath(path, ROOT).encode(), f.read()]
    top = os.path.join(HERE, "_build", sysconfig.get_config_var("SOABI") or "py%d%d" % sys.version_info[:2])
    done = os.path.join(top, "%s-%s-%s" % (name, variant, _digest(contents + [e.encode() for e in extra])))
    if not os.path.isdir(done):
        for old in glob.glob(os.path.join(top, "%s-%s-*" % (name, variant))):
            shutil.rmtree(old, ignore_errors=True)
        work = "%s.part%d" % (done, os.getpid())
        os.makedirs(work)
        build(work)
        try:
            os.rename(work, done)
        except OSError:  # a run of the same inputs at the same time got there first
            shutil.rmtree(work, ignore_errors=True)
            if not os.path.isdir(done):
                raise
    return done


def load(directory, module):
    """Imports `module` from a build's directory."""
    if directory not in sys.path:
        sys.path.insert(0, directory)
    return importlib.import_module(module)
