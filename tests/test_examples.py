"""The example consumers under examples/ build against the installed package
and do what they say; the demo driver runs its whole road on a small graph."""
import collections
import ctypes
import importlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

import pytest

import builds
import morvex.utils
import morvex.utils.memory as memory
import readme
from model import CMP_KEYS as KEYS, CMP_ORDERS as ORDERS, step

numpy = pytest.importorskip("numpy")

EXAMPLES = os.path.join(builds.ROOT, "examples")
libc = ctypes.CDLL(None)


def per_thread_starts(seed, threads):
    """The start states setThreadNumberAndRandSeed(threads, seed) gives:
    the C library's generator seeded with `seed`, one value per thread."""
    libc.srand(ctypes.c_uint(seed))
    return [libc.rand() for _ in range(threads)]


class Stream:
    def __init__(self, state):
        self.state = state

    def rand_max(self, bound):
        self.state = step(self.state)
        return self.state % bound


def build(example, module, extra=()):
    """Builds examples/<example> from a copy (so nothing is generated in the
    tree) with its own setup.py, and imports `module` from the result."""
    here = os.path.join(EXAMPLES, example)

    def make(out):
        src = os.path.join(out, "src")
        shutil.copytree(here, src)
        subprocess.run(
            [sys.executable, "setup.py", "-q", "build_ext", "--build-lib", out,
             "--build-temp", os.path.join(out, "tmp")],
            check=True, cwd=src, env=builds.build_env())

    inputs = builds.tree(here) + builds.HEADER + builds.DECLARATIONS
    return builds.load(builds.cached("example_" + example, inputs, make, extra), module)


def skewed(rng, n, entities=300, relations=12):
    t = numpy.empty((n, 3), dtype=numpy.int32)
    t[:, 0] = (rng.zipf(1.5, n) - 1) % entities
    t[:, 1] = (rng.zipf(1.3, n) - 1) % relations
    t[:, 2] = (rng.zipf(1.7, n) - 1) % entities
    return t


@pytest.fixture(scope="session")
def mx_triples():
    return build("cpp_consumer", "mx_triples")


@pytest.fixture(scope="session")
def demo(mx_triples):
    sys.path.insert(0, EXAMPLES)
    try:
        return importlib.import_module("demo")
    finally:
        sys.path.remove(EXAMPLES)


@pytest.fixture(scope="session")
def triples_cy():
    try:
        import Cython
    except ImportError:
        pytest.skip("Cython is not installed for this interpreter (pip install 'cython<3')")
    if sys.version_info >= (3, 13) and Cython.__version__.startswith("0."):
        pytest.skip("Cython %s cannot compile extensions for CPython %d.%d"
                    % ((Cython.__version__,) + sys.version_info[:2]))
    return build("cython_consumer", "triples_cy", [Cython.__version__])


class TestCppExample:
    def test_load_and_sort(self, mx_triples, demo):
        table = skewed(numpy.random.default_rng(3), 4000)
        rows = [tuple(r) for r in table.tolist()]
        ts = mx_triples.TripleSet(table)
        assert ts.triples(len(rows)) == rows
        assert mx_triples.TripleSet(numpy.asfortranarray(table)).triples(len(rows)) == rows
        assert ts.pool.size == 12 * len(rows) and len(ts.pool.addresses) == 1
        assert ts.fingerprint() == demo.fingerprint(table)
        for order in ORDERS:
            assert ts.sort(order) is True
            assert ts.triples(len(rows)) == sorted(rows, key=KEYS[order]), order
        assert ts.fingerprint() == demo.fingerprint(table)
        with pytest.raises(ValueError, match="unknown order 'cmp_bogus'"):
            ts.sort("cmp_bogus")

    def test_fingerprint_notices_a_changed_triple(self, mx_triples, demo):
        table = skewed(numpy.random.default_rng(4), 100)
        before = mx_triples.TripleSet(table).fingerprint()
        table[57, 2] += 1
        assert mx_triples.TripleSet(table).fingerprint() == demo.fingerprint(table) != before

    def test_negatives_come_from_each_workers_own_stream(self, mx_triples):
        table = skewed(numpy.random.default_rng(5), 301)
        ts = mx_triples.TripleSet(table)
        threads, k, entities, seed = 3, 2, 40, 99
        checksum = ts.corrupt_tails(threads, k, entities, seed)
        got = ts.negatives(len(table) * k)

        streams = [Stream(s) for s in per_thread_starts(seed, threads)]
        n, expected = len(table), []
        for w in range(threads):
            for i in range(n * w // threads, n * (w + 1) // threads):
                h, r, t = (int(v) for v in table[i])
                for _ in range(k):
                    tail = streams[w].rand_max(entities)
                    while tail == t:
                        tail = streams[w].rand_max(entities)
                    expected.append((h, r, tail))
        assert got == expected
        assert ts.corrupt_tails(threads, k, entities, seed) == checksum
        assert ts.corrupt_tails(threads, k, entities, seed + 1) != checksum

    def test_relation_counts_in_a_data_table(self, mx_triples):
        table = skewed(numpy.random.default_rng(6), 2500, relations=9)
        ts = mx_triples.TripleSet(table)
        blocks = dict(ts.pool.addresses)
        data = ts.relation_counts(9)
        assert type(data) is memory.Data
        view = numpy.asarray(data)
        assert view.dtype == numpy.int32
        assert view.tolist() == sorted([r, c] for r, c in collections.Counter(table[:, 1].tolist()).items())
        assert ts.pool.addresses == blocks  # the scratch block went back
        with pytest.raises(ValueError, match=r"relation \d+ outside \[0, 2\)"):
            ts.relation_counts(2)
        assert ts.pool.addresses == blocks

    def test_rejects_tables_it_cannot_load(self, mx_triples):
        with pytest.raises(ValueError, match=r"^need an \(n, 3\) int32 table with n < 2\*\*31$"):
            mx_triples.TripleSet(numpy.zeros((4, 2), dtype=numpy.int32))
        with pytest.raises(ValueError, match=r"^buffer items are 8 bytes, expected 4 \(32-bit signed integers\)$"):
            mx_triples.TripleSet(numpy.zeros((4, 3), dtype=numpy.int64))
        with pytest.raises(RuntimeError, match="not initialised"):
            mx_triples.TripleSet.__new__(mx_triples.TripleSet).sort("cmp_head")

    def test_demo_runs_its_whole_road(self, demo, capsys):
        assert demo.main(["--triples", "40000", "--entities", "3000", "--relations", "40",
                          "--threads", "3", "--negatives", "2"]) == 0
        out = capsys.readouterr().out
        for order in ORDERS:
            assert "sort %s" % order in out
        runs = [line.split("checksum ")[1] for line in out.splitlines() if "corrupted tails" in line]
        assert len(runs) == 2 and runs[0] == runs[1]
        assert "80,000 corrupted tails" in out
        assert "of 80,000 negatives are true triples (triples.contains)" in out
        assert "top 10 relations by triple count" in out
        assert re.search(r"1,000 test triples, realistic MRR 0\.\d{4}, Hits@10 0\.\d{3}; counts match numpy's on 3\n",
                         out), out
        assert out.rstrip().splitlines()[-1].startswith("all checks passed")
        # the smallest values accepted, and more threads than triples
        assert demo.main(["--triples", "1", "--entities", "2", "--relations", "1",
                          "--threads", "3", "--negatives", "1", "--seed", "2"]) == 0
        assert capsys.readouterr().out.rstrip().splitlines()[-1].startswith("all checks passed")
        # a graph so dense that many triples have no filtered negative: those are left out
        assert demo.main(["--triples", "100000", "--entities", "3", "--negatives", "1"]) == 0
        out = capsys.readouterr().out
        left = re.search(r"filtered negatives, 0 of them true triples; ([\d,]+) triples have none", out)
        assert left and 0 < int(left.group(1).replace(",", "")) < 100000, out
        assert out.rstrip().splitlines()[-1].startswith("all checks passed")
        # many negatives: a few are shown, the output stays small
        assert demo.main(["--triples", "1", "--negatives", "300000"]) == 0
        out = capsys.readouterr().out
        assert len(out) < 3000 and "] and 299,996 more\n" in out

    @pytest.mark.usefixtures("mx_triples")
    def test_demo_ends_cleanly_when_threads_cannot_start(self):
        # 1,024 thread stacks of 8 MiB do not fit in 256 MiB more address space
        script = "\n".join([
            "import resource, sys, demo",
            "with open('/proc/self/status') as status:",
            "    vm = next(int(l.split()[1]) << 10 for l in status if l.startswith('VmSize:'))",
            "resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))",
            "sys.exit(demo.main(['--triples', '5000', '--threads', '1024']))"])
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([EXAMPLES] + [p for p in sys.path if p]))
        run = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, env=env, timeout=300)
        started = re.fullmatch(r"demo\.py: drawing negatives failed: only (\d+) of 1024 worker threads could be "
                               r"started: Resource temporarily unavailable; try fewer --threads\n", run.stderr)
        assert run.returncode == 1 and started and 0 < int(started.group(1)) < 1024, run.stderr

    @pytest.mark.parametrize("argv, message", [
        (["--triples", "0"], "argument --triples: must be from 1 to 50,000,000, got 0"),
        (["--threads", "0"], "argument --threads: must be from 1 to 1,024, got 0"),
        (["--entities", "1"], "argument --entities: must be from 2 to 100,000,000, got 1"),
        (["--negatives", "0"], "argument --negatives: must be from 1 to 200,000,000, got 0"),
        (["--triples", "40000000", "--negatives", "6"],
         "--triples times --negatives must not exceed 200,000,000, got 240,000,000"),
    ] + [(["--seed", seed], "argument --seed: %s leaves the random streams unseeded (only seeds of 2 "
          "and more are applied), so the same seed would not give the same negatives; use 2 or more"
          % seed) for seed in ("0", "1")])
    def test_demo_refuses_bad_options_in_one_line(self, demo, capsys, argv, message):
        with pytest.raises(SystemExit) as info:
            demo.main(argv)
        assert info.value.code == 2
        assert capsys.readouterr().err == "demo.py: error: %s\n" % message


class TestCythonExample:
    def test_sort_under_each_order(self, triples_cy):
        table = skewed(numpy.random.default_rng(7), 3000)
        rows = [tuple(r) for r in table.tolist()]
        tr = triples_cy.Triples(table)
        assert tr.count == len(rows)
        assert [tuple(r) for r in tr.to_numpy().tolist()] == rows
        for order in ORDERS:
            tr.sort(order)
            assert [tuple(r) for r in tr.to_numpy().tolist()] == sorted(rows, key=KEYS[order]), order
        with pytest.raises(ValueError, match="unknown order"):
            tr.sort("cmp_bogus")

    def test_corrupt_tails_on_openmp_threads(self, triples_cy):
        table = skewed(numpy.random.default_rng(8), 1001)
        tr = triples_cy.Triples(table)
        threads, entities, seed = 4, 77, 1234
        out = tr.corrupt_tails(entities, threads, seed)
        streams = [Stream(s) for s in per_thread_starts(seed, threads)]
        chunk = -(-len(table) // threads)
        tails = [streams[i // chunk].rand_max(entities) for i in range(len(table))]
        assert out[:, :2].tolist() == table[:, :2].tolist()
        assert out[:, 2].tolist() == tails


C_FILES = ("setup.py", "mymod.c", "load.c")


@pytest.fixture(scope="session")
def mymod():
    """The two-file C consumer of docs/c-api.md, built as written."""
    files = readme.snippets()

    def make(out):
        for name in C_FILES:
            with open(os.path.join(out, name), "w") as f:
                f.write(files[name])
        subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--inplace"],
                       check=True, cwd=out, env=builds.build_env())

    return builds.load(builds.cached("readme_c", builds.HEADER, make, [files[n] for n in C_FILES]),
                       "mymod")


class TestReadmeConsumers:
    def test_c_consumer_builds_as_written_in_c_and_cpp(self, tmp_path, mymod):
        files = readme.snippets()
        for name in C_FILES:
            (tmp_path / name).write_text(files[name])
        # the same two files as C99, C11, C++11 and C++17, warnings as errors
        cc, cxx = (shlex.split(sysconfig.get_config_var(v)) for v in ("CC", "CXX"))
        for compiler in (cc + ["-std=c99"], cc + ["-std=c11"],
                         cxx + ["-x", "c++", "-std=c++11"], cxx + ["-x", "c++", "-std=c++17"]):
            subprocess.run(compiler + ["-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                                       "-I" + sysconfig.get_paths()["include"],
                                       "-I" + morvex.utils.get_package_root(), "mymod.c", "load.c"],
                           check=True, cwd=str(tmp_path), env=builds.build_env())
        table = skewed(numpy.random.default_rng(9), 500)
        for view in (table, numpy.asfortranarray(table), table[::-1]):
            assert mymod.by_head(view) == sorted(tuple(r) for r in table.tolist())
        with pytest.raises(ValueError, match=r"^need an \(n, 3\) table$"):
            mymod.by_head(table[:, :2])

    def test_the_shared_table_stays_inside_each_extension(self, mymod, mx_triples):
        """A multi-file consumer's table (MORVEX_MEMORY_UNIQUE_SYMBOL) is not
        exported, in C (the module of docs/c-api.md) and C++ (the example): another
        extension naming its table alike cannot bind to it."""
        for module, table in ((mymod, "mymod_memory"), (mx_triples, "mx_triples_memory")):
            library = ctypes.CDLL(module.__file__)
            assert hasattr(library, "PyInit_" + module.__name__)
            assert not hasattr(library, table), table
