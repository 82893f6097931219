"""Threads: OS threads drawing without the GIL while another thread holds it
and works with pools, and empty-range reports from many threads at once.
Every run is bounded by a timeout, so a deadlock fails the test instead of
hanging it, and every report must arrive."""
import os
import subprocess
import sys
import textwrap
import threading
from collections import Counter

import pytest

import morvex.utils.memory as memory
from model import DIV0, next_states, step

TIMEOUT = 120  # seconds; the runs below take well under one


RAND_MAX_CONTEXT = "morvex.utils.memory.rand_max"
RAND64_CONTEXT = "morvex.utils.memory.rand64"


@pytest.fixture
def reports(request):
    """Returns a function giving the unraisable reports so far as a Counter
    of their contexts.  From 3.8 on they come from sys.unraisablehook, and
    each must be the empty-range ZeroDivisionError; on 3.7 they are counted
    on the error stream, where reports made at once from many threads
    interleave line by line (each context appears once per report there)."""
    if hasattr(sys, "unraisablehook"):
        hooked = request.getfixturevalue("unraisable")

        def take():
            assert {(t, m) for t, m, _ in hooked} <= {(ZeroDivisionError, DIV0)}
            return Counter(c for _, _, c in hooked)
    else:
        capfd = request.getfixturevalue("capfd")
        text = []

        def take():
            text.append(capfd.readouterr().err)
            err = "".join(text)
            return Counter({c: err.count(repr(c)) for c in (RAND_MAX_CONTEXT, RAND64_CONTEXT)
                            if err.count(repr(c))})
    return take




def bounded(fn, *args):
    """Runs fn(*args) on a daemon thread and returns its result; fails if it
    has not finished within TIMEOUT (a deadlock) or if it raised."""
    box = {}

    def target():
        try:
            box["result"] = fn(*args)
        except BaseException as e:  # handed to the test below
            box["error"] = e

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(TIMEOUT)
    assert not thread.is_alive(), "%s did not finish within %d s" % (fn.__name__, TIMEOUT)
    if "error" in box:
        raise box["error"]
    return box["result"]


def set_up_streams(consumer, threads, seed):
    consumer.call("setRandMemory")
    consumer.call("setThreadNumberAndRandSeed", threads, seed)
    consumer.call("reset_random_on_id")
    return consumer.random_state("next", threads), consumer.random_state("id", 20)


def expected_mix(next_state, id_state, draws, empty_every):
    """What one drawer of thread_mix returns, and its slots' final states."""
    out = []
    for i in range(draws):
        if empty_every > 0 and i % empty_every == empty_every - 1:
            next_state = step(next_state)  # the slot advances before the check
            out += [0, 0]
        elif i % 3 == 0:
            next_state = step(next_state)
            out.append(next_state)
        elif i % 3 == 1:
            next_state = step(next_state)
            out.append(next_state % 2 ** 40)
        else:
            id_state = step(id_state)
            out.append(id_state)
    return out, next_state, id_state


def check_kept_blocks(pool, kept, allocs):
    sizes = [2 * 8 * (done % 7 + 1) for done in range(allocs) if done % 5 == 0]
    assert list(pool.addresses.items()) == list(zip(kept, sizes))
    assert pool.size == sum(sizes)


class TestDrawsBesideAGilHolder:
    @pytest.mark.parametrize("drawers, empty_every", [(6, 0), (12, 4)])
    def test_draws_and_pool_work_interleave(self, consumer, reports, drawers, empty_every):
        draws, allocs = 3000, 1500
        nexts, ids = set_up_streams(consumer, drawers, 321)
        pool = memory.MemoryPool()
        results, kept, failures = bounded(consumer.thread_mix, pool, drawers, draws, allocs, empty_every)
        assert failures == 0
        check_kept_blocks(pool, kept, allocs)
        final_next, final_ids = consumer.random_state("next", drawers), consumer.random_state("id", 20)
        for t in range(drawers):
            expected, last_next, last_id = expected_mix(nexts[t], ids[t], draws, empty_every)
            assert results[t] == expected
            assert final_next[t] == last_next and final_ids[t] == last_id
        assert final_ids[drawers:] == ids[drawers:]
        empties = drawers * (draws // empty_every if empty_every else 0)
        expected = Counter({RAND64_CONTEXT: empties, RAND_MAX_CONTEXT: empties}) if empties else Counter()
        assert reports() == expected

    def test_python_threads_with_pools_beside_native_drawers(self, consumer):
        """Python threads each fill and empty pools of their own (taking turns
        with the GIL) while native threads draw without it."""
        drawers, draws = 4, 20000
        nexts, _ = set_up_streams(consumer, drawers, 77)
        box = {}

        def draw():
            box["draws"] = consumer.thread_draws(drawers, draws, "rand64")

        def work(n):
            pool = memory.MemoryPool()
            live = []
            for i in range(400):
                live.append(consumer.pool_alloc(pool, i % 9 + 1, 4))
                if i % 3 == 2:
                    consumer.pool_free(pool, live.pop(0))
                if i % 5 == 4:
                    live[-1] = consumer.pool_realloc(pool, live[-1], 64)
            return pool, live

        drawer = threading.Thread(target=lambda: bounded(draw), daemon=True)
        drawer.start()
        outcome = {}

        def worker(n):
            outcome[n] = work(n)

        workers = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(TIMEOUT)
            assert not w.is_alive()
        drawer.join(TIMEOUT)
        assert not drawer.is_alive()
        for pool, live in outcome.values():
            assert list(pool.addresses) == live
            assert pool.size == sum(pool.addresses.values())
        for t in range(drawers):
            assert box["draws"][t] == next_states(nexts[t], draws)


class TestReportsFromManyThreads:
    def test_native_threads_all_at_once(self, consumer, reports):
        consumer.call("setRandMemory")
        consumer.call("randReset", 16)
        results = bounded(consumer.thread_draws, 16, 25, "empty")
        assert results == [[0] * 50] * 16
        assert reports() == Counter({RAND64_CONTEXT: 400, RAND_MAX_CONTEXT: 400})

    def test_python_and_native_threads_together(self, consumer, reports):
        """Python threads reporting from calls that released the GIL, native
        threads reporting with thread states made just for the report, and
        the main thread allocating all the while."""
        nexts, _ = set_up_streams(consumer, 8, 5)
        barrier = threading.Barrier(5)
        returned = {}

        def python_reporter(t):
            barrier.wait(TIMEOUT)
            returned[t] = [consumer.rand_max(t, 0, 1) for _ in range(30)]

        def native_reporters():
            barrier.wait(TIMEOUT)
            return consumer.thread_draws(4, 10, "empty")

        box = {}
        threads = [threading.Thread(target=python_reporter, args=(t,), daemon=True) for t in range(4, 8)]
        threads.append(threading.Thread(target=lambda: box.update(native=native_reporters()), daemon=True))
        for th in threads:
            th.start()
        pool = memory.MemoryPool()
        while any(th.is_alive() for th in threads):
            p = consumer.pool_alloc(pool, 4, 4)
            consumer.pool_free(pool, p)
            threads[-1].join(0.001)
        for th in threads:
            th.join(TIMEOUT)
            assert not th.is_alive()
        assert pool.addresses == {} and pool.size == 0
        assert box["native"] == [[0] * 20] * 4
        assert returned == {t: [0] * 30 for t in range(4, 8)}
        # the Python threads' slots advanced once per empty draw
        state = consumer.random_state("next", 8)
        for t in range(4, 8):
            assert state[t] == next_states(nexts[t], 30)[-1]
        assert reports() == Counter({RAND64_CONTEXT: 40, RAND_MAX_CONTEXT: 160})


@pytest.mark.skipif(bool(os.environ.get("MORVEX_SANITIZE")),
                    reason="AddressSanitizer at times loses track of the stack of a consumer's own thread that "
                           "the interpreter ends inside PyGILState_Ensure")
def test_exit_while_native_threads_report_without_the_gil(consumer):
    """Native threads that take the GIL for every draw's report are ended as
    they ask for it while the interpreter exits (pthread_exit up to 3.13):
    the exported draws let that unwind pass."""
    script = textwrap.dedent("""
        import sys, threading, time
        import morvex.utils.memory as memory, %s as consumer
        for call in (("setRandMemory",), ("setThreadNumberAndRandSeed", 2, 5), ("reset_random_on_id",)):
            consumer.call(*call)
        class Quiet:  # every draw is an empty range, reported here; no file's lock is held at exit
            write = flush = lambda self, *text: None
        sys.stderr = Quiet()
        pool = memory.MemoryPool()
        threading.Thread(target=consumer.thread_mix, args=(pool, 2, 10 ** 8, 0, 1), daemon=True).start()
        time.sleep(0.3)
        print("exiting")
        """ % consumer.__name__)
    path = [os.path.dirname(consumer.__file__)] + [p for p in sys.path if p]
    done = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(path)),
                          timeout=TIMEOUT)
    assert (done.returncode, done.stdout) == (0, "exiting\n")
