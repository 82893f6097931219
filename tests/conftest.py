import os
import re
import subprocess
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))

# `python -m pytest tests` from the repository root puts the root first on
# sys.path, where the source tree's morvex/ (no built module in it) would
# shadow the installed package: the tests always import what is installed,
# and run from this directory, as the fresh interpreters they start do too.
_ROOT = os.path.dirname(HERE)
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]
if os.path.abspath(os.getcwd()) == _ROOT:
    os.chdir(HERE)

import pytest  # noqa: E402

import builds  # noqa: E402
import morvex.utils.memory as memory  # noqa: E402


@pytest.fixture(scope="session")
def consumer():
    """The test consumer (tests/consumer/), built from the public header only."""
    here = os.path.join(HERE, "consumer")

    def build(out):
        subprocess.run([sys.executable, os.path.join(here, "build.py"), out],
                       check=True, cwd=here, env=builds.build_env())

    return builds.load(builds.cached("mx_consumer", builds.tree(here) + builds.HEADER, build),
                       "_mx_consumer")


@pytest.fixture
def pool():
    return memory.MemoryPool()


def require_cython(compiled=True, generated_0_29=False):
    """Cython for this interpreter, or a skip saying why not.  memory.pxd
    needs 0.29.31 or newer; `compiled`: able to build extensions for this
    interpreter (0.29 cannot for 3.13); `generated_0_29`: the check reads
    the code that Cython 0.29 generates."""
    try:
        import Cython
    except ImportError:
        pytest.skip("Cython is not installed for this interpreter (pip install 'cython<3')")
    version = tuple(int(p) for p in re.findall(r"\d+", Cython.__version__)[:3])
    if version < (0, 29, 31):
        pytest.skip("memory.pxd needs Cython 0.29.31 or newer; found %s" % Cython.__version__)
    if generated_0_29 and version >= (3,):
        pytest.skip("this check reads the import calls Cython 0.29 generates; found Cython %s"
                    % Cython.__version__)
    if compiled and version < (3,) and sys.version_info >= (3, 13):
        pytest.skip("Cython 0.29 cannot compile extensions for CPython %d.%d "
                    "(its generated code uses C API removed in 3.13)" % sys.version_info[:2])
    return Cython


@pytest.fixture(scope="session")
def cy():
    """The Cython test consumer (tests/cython_consumer/), built once per
    interpreter and inputs."""
    Cython = require_cython()
    import readme
    here = os.path.join(HERE, "cython_consumer")

    def build(out):
        subprocess.run([sys.executable, os.path.join(here, "build.py"), out],
                       check=True, cwd=here, env=builds.build_env())

    built = builds.cached("mx_cython_consumer", builds.tree(here) + builds.DECLARATIONS, build,
                          [Cython.__version__, readme.snippets()["mymod_cy.pyx"]])
    # Cython checks each imported class's size against the declaration and
    # warns on a mismatch: that warning must not happen.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return builds.load(built, "_mx_cython_consumer")


class Exported:
    """A table to be exported by the Cython test consumer's Exporter, with
    a buffer description numpy never gives (no shape, no strides,
    suboffsets, any format for 4-byte items, any row count): the consumer is
    built only when a test resolves it (see `resolve`)."""

    def __init__(self, table, format="i", **description):
        self.table, self.format = table, format
        self.description = dict({"shape": table.shape, "strides": table.strides}, **description)

    def __repr__(self):
        return "Exported(%r, %s)" % (self.format, self.description)


@pytest.fixture
def resolve(request):
    """Turns an Exported table into its exporter; passes anything else on."""
    def made(table):
        if not isinstance(table, Exported):
            return table
        cy = request.getfixturevalue("cy")
        return cy.Exporter(table.table.tobytes(), table.format, **table.description)
    return made


@pytest.fixture
def streams(consumer):
    """A fresh random pool with 4 per-thread slots (seed 7) and the id-keyed
    slots; the pool goes again afterwards, with whatever a test did to it."""
    consumer.call("setRandMemory")
    consumer.call("setThreadNumberAndRandSeed", 4, 7)
    consumer.call("reset_random_on_id")
    yield consumer
    consumer.call("setRandMemory")


class _StderrReports:
    """Unraisable reports read back from the process's stderr, for
    interpreters without sys.unraisablehook: each report ends in
    "Exception ignored in: 'context'" followed by the traceback."""

    def __init__(self, capfd):
        self._capfd = capfd
        self._seen = []
        self.text = ""  # everything read from stderr so far

    def _parse(self):
        import builtins
        err = self._capfd.readouterr().err
        self.text += err
        blocks = err.split("Exception ignored in: ")[1:]
        for block in blocks:
            # reports written from several threads at once may interleave
            # their pieces, leaving a block with no context of its own
            lines = block.splitlines() or [""]
            context = lines[0].strip().strip("'")
            # the report's own exception line comes first; output of reports
            # made concurrently from other threads may follow
            found = [l for l in lines[1:] if re.match(r"^\w+(: |$)", l)]
            name, _, message = (found[0] if found else "").partition(": ")
            self._seen.append((getattr(builtins, name, name), message, context))
        return self._seen

    def __len__(self):
        return len(self._parse())

    def __getitem__(self, i):
        return self._parse()[i]

    def __iter__(self):
        return iter(list(self._parse()))

    def __eq__(self, other):
        return list(self._parse()) == other


@pytest.fixture
def unraisable(request):
    """Collects unraisable reports as (exception type, message, context text)."""
    if not hasattr(sys, "unraisablehook"):
        yield _StderrReports(request.getfixturevalue("capfd"))
        return
    reports = []
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
