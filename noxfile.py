"""The test suite on every CPython from 3.7 to 3.15 on this machine, one
session per interpreter, plus the sanitized run and the memcheck run:

    nox                      # every interpreter found, then the other two
    nox -s tests-3.7         # one interpreter
    nox -s tests -- -k pool  # arguments after -- go to pytest

Interpreters are found under pyenv (the newest patch release of each minor
version) and on PATH; versions that are not present are skipped.  Nothing is
ever downloaded but packages from PyPI.  scripts/test-all runs the same steps
without nox (CI uses it), and also on the interpreters scripts/sid-pythons
provides (3.14, 3.15 and the debug build of 3.15, which come without the
ensurepip that nox's environments need), with clang and the sdist check.
"""
import glob
import os
import re
import shutil

import nox

VERSIONS = ["3.%d" % minor for minor in range(7, 16)]

nox.options.sessions = ["tests", "sanitized", "memcheck"]
nox.options.reuse_existing_virtualenvs = True
nox.options.error_on_missing_interpreters = False
if hasattr(nox.options, "download_python"):
    nox.options.download_python = "never"


def _interpreters():
    """{"3.X": path} for the present interpreters: pyenv's newest patch
    release of each minor version, else pythonX.Y on PATH."""
    root = os.path.join(os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv")), "versions")
    found = {}
    for version in VERSIONS:
        patches = [d for d in glob.glob(os.path.join(root, version + ".*"))
                   if re.search(r"/%s\.\d+$" % re.escape(version), d)
                   and os.access(os.path.join(d, "bin", "python"), os.X_OK)]
        if patches:
            newest = max(patches, key=lambda d: int(d.rsplit(".", 1)[1]))
            found[version] = os.path.join(newest, "bin", "python")
        else:
            path = shutil.which("python" + version)
            if path and "/shims/" not in path:
                found[version] = path
    return found


PRESENT = _interpreters()


def _put_on_path(interpreters):
    """Sessions name the version and nox looks for pythonX.Y on PATH, where
    pyenv's shims answer only for the versions currently selected: a
    directory of links pythonX.Y -> the interpreter found goes first.  Only
    those names: python3 itself stays what it was."""
    links = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".nox", "interpreters")
    os.makedirs(links, exist_ok=True)
    for version, path in interpreters.items():
        link = os.path.join(links, "python" + version)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(path, link)
    os.environ["PATH"] = links + os.pathsep + os.environ.get("PATH", "")


_put_on_path(PRESENT)


# The interpreters' own venv module: current virtualenv releases no longer
# seed environments for the oldest of them.
@nox.session(python=[v for v in VERSIONS if v in PRESENT], venv_backend="venv")
def tests(session):
    session.env["MORVEX_WERROR"] = "1"  # development builds: warnings are errors
    # setuptools builds the test consumers (venvs of 3.12 on come without it)
    session.install("--upgrade", "pip", "setuptools", "wheel")
    session.install("-r", "requirements-test.txt")
    session.install(".")
    session.chdir("tests")
    # the same flags as scripts/lib.sh (PYTEST_FLAGS), for the same reasons
    session.run("python", "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                "-p", "no:unraisableexception", "-rs", *session.posargs)


@nox.session(python=False)
def sanitized(session):
    """The suite against the module built with ASan and UBSan (its own
    environment, .venv-san)."""
    session.run("bash", "scripts/test-sanitized", external=True)


@nox.session(python=False)
def memcheck(session):
    """The native tests under valgrind's memcheck (scripts/test-valgrind)."""
    session.run("bash", "scripts/test-valgrind", external=True)
