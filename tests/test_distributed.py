"""The recipe of docs/python.md for negatives on more than one machine, run
on a Dask cluster of two worker processes on this machine: the index goes
to the workers pickled, each part of a batch is corrupted there with its
first row's position in the whole, and the parts together are the array of
one call."""
import numpy as np
import pytest
import readme

from morvex.utils import triples

distributed = pytest.importorskip("distributed")


def test_parts_corrupted_on_worker_processes_match_one_call():
    recipe = {"__name__": "negatives_on_dask"}
    exec(compile(readme.snippets()["negatives_on_dask.py"], "negatives_on_dask.py", "exec"), recipe)
    rng = np.random.default_rng(31)
    known = rng.integers(0, 3000, (20000, 3)).astype(np.int32)
    known[:, 1] %= 20
    idx = triples.Index(known)
    batch = known[rng.integers(0, len(known), 5000)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster, timeout=60) as client:
        remote = client.scatter(idx, broadcast=True)
        neg = recipe["corrupt_on"](client, remote, batch, 16, key=8, part=1700, strategy="bernoulli")
    assert np.array_equal(neg, idx.corrupt(batch, 16, rng=8, strategy="bernoulli"))
