"""The recipe of docs/python.md for negatives on more than one machine, run
on a Dask cluster of two worker processes on this machine: the index goes
to the workers pickled, each part of a batch is corrupted there with its
first row's position in the whole, and the parts together are the array of
one call."""
import importlib.util
import subprocess
import sys
import textwrap

import pytest
import readme

# Looked for, not imported: importing it here would start its machinery in
# the test process, which the leak tests measure.
pytestmark = pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs distributed")

# The cluster runs in a child process, so that none of its threads outlives
# the test inside the test process (the leak tests measure that process).
CHILD = textwrap.dedent("""
    import sys
    import distributed, numpy as np
    from morvex.utils import triples

    def main():
        recipe = {"__name__": "negatives_on_dask"}
        exec(compile(sys.stdin.read(), "negatives_on_dask.py", "exec"), recipe)
        rng = np.random.default_rng(31)
        known = rng.integers(0, 3000, (20000, 3)).astype(np.int32)
        known[:, 1] %= 20
        idx = triples.Index(known)
        batch = known[rng.integers(0, len(known), 5000)]
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None, silence_logs=50) as cluster, \\
                distributed.Client(cluster, timeout=60) as client:
            remote = client.scatter(idx, broadcast=True)
            neg = recipe["corrupt_on"](client, remote, batch, 16, key=8, part=1700, strategy="bernoulli")
        print(np.array_equal(neg, idx.corrupt(batch, 16, rng=8, strategy="bernoulli")))

    if __name__ == "__main__":  # the workers' processes import this file too
        main()
""")


def test_parts_corrupted_on_worker_processes_match_one_call(tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    done = subprocess.run([sys.executable, str(script)], input=readme.snippets()["negatives_on_dask.py"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "True\n"), done.stderr[-3000:]
