"""The start-up version check, seen from a build made for another minor
version: a separate build of the module whose recorded minor version is
changed, imported in a fresh interpreter."""
import os
import shutil
import subprocess
import sys

import pytest

import builds
from builds import ROOT


@pytest.fixture(scope="module")
def mismatched_build():
    if os.environ.get("MORVEX_SANITIZE"):
        pytest.skip("a second sanitized build would need the runtime preloaded in the child")
    minor = sys.version_info[1]
    # a minor version sharing the running one's first digit (3.1 for 3.1x,
    # 3.70 for 3.7), which only a full comparison tells apart
    built_minor = minor // 10 if minor >= 10 else minor * 10
    define = "-DMX_BUILT_FOR_MINOR=%d" % built_minor
    sources = [os.path.join(ROOT, name) for name in ("setup.py", "pyproject.toml", "build_flags.py")]

    def build(tree):
        for name in sources:
            shutil.copy(name, tree)
        shutil.copytree(os.path.join(ROOT, "morvex"), os.path.join(tree, "morvex"),
                        ignore=shutil.ignore_patterns("*.so", "__pycache__"))
        # older setuptools passes CFLAGS to C++ sources, newer ones CXXFLAGS
        subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--inplace"],
                       cwd=tree, env=builds.build_env(CFLAGS=define, CXXFLAGS=define), check=True,
                       stdout=subprocess.DEVNULL)

    tree = builds.cached("version_check", builds.tree(*sources, os.path.join(ROOT, "morvex")),
                         build, [define])
    return tree, "3.%d" % built_minor, "%d.%d" % sys.version_info[:2]


def run(tree, *options):
    code = ("import warnings, morvex.utils.memory as m;"
            "print(m.__file__)")
    return subprocess.run([sys.executable] + list(options) + ["-c", code], cwd=tree,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


def test_a_build_for_another_minor_version_warns(mismatched_build):
    tree, built, running = mismatched_build
    out = run(tree, "-W", "always::RuntimeWarning")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(tree)
    message = ("compiletime version %s of module 'morvex.utils.memory' does not match "
               "runtime version %s" % (built, running))
    assert "RuntimeWarning: " + message in out.stderr


def test_with_warnings_as_errors_the_import_fails(mismatched_build):
    tree, built, running = mismatched_build
    out = run(tree, "-W", "error::RuntimeWarning")
    assert out.returncode == 1
    assert out.stderr.rstrip().splitlines()[-1] == (
        "RuntimeWarning: compiletime version %s of module 'morvex.utils.memory' does not "
        "match runtime version %s" % (built, running))
    assert "init morvex.utils.memory" not in out.stderr  # failed before the module was recorded
