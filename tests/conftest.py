import importlib
import os
import subprocess
import sys
import sysconfig

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def _build_consumer():
    tag = sysconfig.get_config_var("SOABI") or "py%d%d" % sys.version_info[:2]
    out = os.path.join(HERE, "_build", tag + ("-san" if os.environ.get("MORVEX_SANITIZE") else ""))
    subprocess.run(
        [sys.executable, os.path.join(HERE, "consumer", "build.py"), out],
        check=True,
        cwd=os.path.join(HERE, "consumer"),
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
    )
    if out not in sys.path:
        sys.path.insert(0, out)
    return importlib.import_module("_mx_consumer")


@pytest.fixture(scope="session")
def consumer():
    return _build_consumer()


@pytest.fixture
def unraisable():
    """Collects unraisable reports as (exception type, message, context text)."""
    reports = []
    if not hasattr(sys, "unraisablehook"):
        pytest.skip("sys.unraisablehook needs Python 3.8")
    old = sys.unraisablehook

    def hook(report):
        reports.append((report.exc_type, str(report.exc_value), str(report.object)))

    sys.unraisablehook = hook
    try:
        yield reports
    finally:
        sys.unraisablehook = old


@pytest.fixture
def capfd_text(capfd):
    """stdout/stderr of the process's file descriptors, after flushing C stdio."""
    def read(consumer=None):
        if consumer is not None:
            consumer.flush_stdout()
        return capfd.readouterr()
    return read
