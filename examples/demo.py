"""The typical road of morvex.utils.memory on a synthetic graph, driven
through the C++ example consumer `mx_triples` (examples/cpp_consumer):

  1. a graph of skewed (Zipf-like) entity and relation degrees, made with numpy;
  2. its triples loaded into a pool-owned array (set_triple_ptr +
     load_triple_from_numpy);
  3. sorted in place under each of the five orders, each result checked for
     order and for holding the same triples;
  4. negatives drawn by corrupting tails on worker threads, each from its own
     random stream, without the GIL; repeated with the same seed to show the
     draws do not depend on thread timing, and morvex.utils.triples.contains
     counting the true triples among them;
  5. triples.Index built from the graph, and filtered negatives drawn from
     it on every core (Index.corrupt), with the count of true triples among
     them checked to be zero;
  6. filtered ranking of the first triples (at most 1,000) by a small
     random DistMult-style model, scored by numpy in chunks of entities
     (Index.rank_counts, triples.rank_metrics), its counts checked against a
     plain numpy count on a few rows;
  7. a per-relation count table built natively with Data.add_row and read
     through numpy;
  8. the pool released.

Run it with `bash scripts/demo` (which builds everything first), or
`python examples/demo.py --help` inside an environment that has both modules.
"""
import argparse
import gc
import os
import sys
import tempfile
import threading
import time

import numpy

import morvex.utils.memory as memory
import mx_triples
from morvex.utils import triples

ORDERS = ("cmp_head", "cmp_tail", "cmp_rel", "cmp_rel2", "cmp_rel3")
# The largest sizes accepted: together they keep the demo within a few GB of
# memory, and every count stays a C int for the consumer.  The table and its
# copy in the pool take 12 bytes a triple and the negatives 12 bytes each
# (3.6 GB at most); the index adds about 17 bytes per distinct triple, and
# the filtered negatives are drawn and checked FILTERED_PART at a time.  The
# peak at --triples 50,000,000 --negatives 4 is about 4.3 GB.
MAX_TRIPLES = 50_000_000
MAX_NEGATIVES = 200_000_000  # triples x negatives per triple, 12 bytes each
MAX_ENTITIES = 100_000_000
MAX_RELATIONS = 1_000_000
MAX_SEED = 2 ** 31 - 1
SAMPLE = 4  # negatives shown for the first triple
FILTERED_PART = 4_000_000  # filtered negatives drawn and checked at a time
RANK_SCORES = 200_000_000  # test triples x entities scored by the ranking stage
RANK_CHUNK = 65536  # entities scored at a time
RANK_DIM = 32  # the model's embedding size
RANK_CHECKED = 3  # test triples counted again by numpy


class Stages:
    """Times each stage; a stage still running after a second gets a
    progress line, and another each time its running time doubles (1, 2, 4,
    8 ... seconds), so that even the longest runs print only a few lines."""

    def __init__(self):
        self.rows = []

    def run(self, name, fn):
        done = threading.Event()
        start = time.perf_counter()

        def ticker():
            due = 1.0
            while not done.wait(max(0.0, due - (time.perf_counter() - start))):
                elapsed = time.perf_counter() - start
                print("    ... %s: %.0f s so far" % (name, elapsed), flush=True)
                while due <= round(elapsed):  # a late wake-up (the GIL held elsewhere) skips ahead
                    due *= 2

        tick = threading.Thread(target=ticker, daemon=True)
        tick.start()
        try:
            result, note = fn()
        finally:
            done.set()
            tick.join()
        self.rows.append((name, time.perf_counter() - start, note))
        return result

    def table(self):
        width = max(len(r[0]) for r in self.rows)
        lines = ["%-*s  %8s  %s" % (width, "stage", "seconds", "result"),
                 "%s  %s  %s" % ("-" * width, "-" * 8, "-" * 30)]
        lines += ["%-*s  %8.3f  %s" % (width, name, secs, note) for name, secs, note in self.rows]
        lines.append("%-*s  %8.3f" % (width, "total", sum(r[1] for r in self.rows)))
        return "\n".join(lines)


def zipf_ids(rng, a, n, limit, scatter):
    """n ids in [0, limit) with a Zipf-like degree distribution; `scatter`
    (a permutation of the ids) spreads the popular ones over the range."""
    return scatter[(rng.zipf(a, n) - 1) % limit]


def make_graph(rng, n, entities, relations, chunk=250_000):
    """(n, 3) int32 triples: skewed heads, relations and tails.  Made in
    chunks, so the progress line can show up between them."""
    table = numpy.empty((n, 3), dtype=numpy.int32)
    ent, rel = rng.permutation(entities), rng.permutation(relations)
    for lo in range(0, n, chunk):
        m = min(chunk, n - lo)
        table[lo:lo + m, 0] = zipf_ids(rng, 1.4, m, entities, ent)
        table[lo:lo + m, 1] = zipf_ids(rng, 1.2, m, relations, rel)
        table[lo:lo + m, 2] = zipf_ids(rng, 1.6, m, entities, ent)
    return table


def fingerprint(table, chunk=1 << 20):
    """numpy twin of TripleSet.fingerprint(): a sum of per-triple hashes,
    taken a million rows at a time, which keeps the temporaries small."""
    total = 0
    for lo in range(0, len(table), chunk):
        t = table[lo:lo + chunk].astype(numpy.int64).astype(numpy.uint64)
        with numpy.errstate(over="ignore"):
            x = (t[:, 0] * numpy.uint64(0x9E3779B97F4A7C15)) ^ (t[:, 1] * numpy.uint64(0xC2B2AE3D27D4EB4F)) \
                ^ (t[:, 2] * numpy.uint64(0x165667B19E3779F9))
            x ^= x >> numpy.uint64(29)
            x *= numpy.uint64(0xBF58476D1CE4E5B9)
            x ^= x >> numpy.uint64(32)
            total = (total + int(x.sum(dtype=numpy.uint64))) % 2 ** 64
    return total


def head_degrees(table, entities):
    """One line on the head degrees; the counts (8 bytes per entity) are
    dropped on return."""
    heads = numpy.bincount(table[:, 0], minlength=entities)
    return "  head degrees: max %d, median %d, %d of the entities head no triple" % (
        heads.max(), numpy.median(heads), (heads == 0).sum())


def true_negatives(ts, table, limit=200_000):
    """How many of the first `limit` negatives drawn are true triples after
    all: the filter that filtered negative sampling applies."""
    drawn = numpy.array(ts.negatives(limit), dtype=numpy.int32).reshape(-1, 3)
    hits = int(triples.contains(table, drawn).sum())
    return hits, "%s of %s negatives are true triples (triples.contains)" % (
        format(hits, ","), format(len(drawn), ","))


def full_pairs(index, table, entities):
    """The (head, relation) pairs of `table` whose known tails are every
    entity, and the (relation, tail) pairs whose known heads are, each as
    (a, b, 0) rows for triples.contains.  Only a dense graph has any."""
    found = []
    for lookup, cols in ((index.tails, [0, 1]), (index.heads, [1, 2])):
        keys = numpy.zeros((len(table), 3), dtype=numpy.int32)
        keys[:, :2] = table[:, cols]
        pairs = triples.unique(keys)
        del keys
        offsets, _ = lookup(pairs[:, :2])
        found.append(pairs[numpy.diff(offsets) == entities])
    return found


def open_rows(part, full):
    """The rows of `part` that have a filtered negative on some side."""
    keys = numpy.zeros((len(part), 3), dtype=numpy.int32)
    keys[:, :2] = part[:, [0, 1]]
    closed = triples.contains(full[0], keys)
    keys[:, :2] = part[:, [1, 2]]
    closed &= triples.contains(full[1], keys)
    return part[~closed]


class OneLineErrors(argparse.ArgumentParser):
    """Reports a bad option as one line on standard error, exit status 2."""

    def error(self, message):
        self.exit(2, "%s: error: %s\n" % (self.prog, message))


def embeddings(seed, k, entities):
    """The model's embeddings of the entities of chunk k, [k * RANK_CHUNK,
    (k + 1) * RANK_CHUNK): a function of (seed, k) alone, so that the
    embeddings of every entity are never held at once."""
    lo = k * RANK_CHUNK
    rng = numpy.random.default_rng([seed, 1, k])
    return rng.random((min(entities, lo + RANK_CHUNK) - lo, RANK_DIM), dtype=numpy.float32) * 2 - 1


def filtered_ranking(index, table, seed, entities, relations):
    """Ranks the true tail of the first test triples among the entities by
    a random DistMult-style model, score(h, r, t) = sum(E[h] * R[r] * E[t]),
    its scores made chunk by chunk.  Returns the metrics and whether the
    counts of the first RANK_CHECKED rows match a plain numpy count."""
    m = max(1, min(len(table), 1000, RANK_SCORES // entities))
    test = table[:m]
    rel = numpy.random.default_rng([seed, 2]).random((relations, RANK_DIM), dtype=numpy.float32) * 2 - 1
    # the embeddings of the test triples' heads and tails, from their chunks
    ids = numpy.concatenate([test[:, 0], test[:, 2]])
    own = numpy.empty((len(ids), RANK_DIM), numpy.float32)
    for k in numpy.unique(ids // RANK_CHUNK).tolist():
        at = ids // RANK_CHUNK == k
        own[at] = embeddings(seed, k, entities)[ids[at] - k * RANK_CHUNK]
    query = own[:m] * rel[test[:, 1]]
    true_scores = numpy.einsum("ij,ij->i", query, own[m:])
    counts = numpy.zeros((m, 3), numpy.int64)
    checked = test[:RANK_CHECKED]
    plain = numpy.zeros((len(checked), 3), numpy.int64)
    known = [table[(table[:, 0] == h) & (table[:, 1] == r), 2] for h, r, _ in checked.tolist()]
    for k in range((entities + RANK_CHUNK - 1) // RANK_CHUNK):
        start = k * RANK_CHUNK
        chunk = query @ embeddings(seed, k, entities).T
        counts += index.rank_counts(test, chunk, start=start, true_scores=true_scores)
        # the same counts by numpy: the known tails and the true one set to NaN
        for i, (_, _, t) in enumerate(checked.tolist()):
            row = chunk[i].copy()
            inside = numpy.append(known[i], t)
            inside = inside[(inside >= start) & (inside < start + len(row))]
            row[inside - start] = numpy.nan
            plain[i] += (numpy.count_nonzero(row > true_scores[i]), numpy.count_nonzero(row == true_scores[i]),
                         len(row) - numpy.count_nonzero(numpy.isnan(row)))
    metrics = triples.rank_metrics(counts, ks=(10,))["realistic"]
    return m, metrics, numpy.array_equal(counts[:RANK_CHECKED], plain)


def labeled_round_trip(table, entities, relations):
    """Writes the graph as labeled text (Q<id>, P<id>) and reads it back:
    through the same vocabularies the ids must come back as they were, and
    read afresh (ids in sorted label order) the labels must be the same.
    Returns (whether both hold, a note)."""
    ents = triples.Vocabulary("Q%d" % i for i in range(entities))
    rels = triples.Vocabulary("P%d" % i for i in range(relations))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "graph.txt")
        triples.write_labeled(path, table, ents, rels)
        size = os.path.getsize(path)
        same = numpy.array_equal(triples.read_labeled(path, entities=ents, relations=rels).table, table)
        fresh, fresh_ents, fresh_rels = triples.read_labeled(path)
    # fresh id -> original id, through the labels
    back_e, back_r = ents.ids(fresh_ents), rels.ids(fresh_rels)
    same = same and all(numpy.array_equal(back[fresh[:, c]], table[:, c])
                        for c, back in ((0, back_e), (1, back_r), (2, back_e)))
    return same, "%s MB of text; read back %s, %s entity and %d relation labels" % (
        format(size >> 20, ","), "exactly" if same else "DIFFERENTLY", format(len(fresh_ents), ","),
        len(fresh_rels))


def whole(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number, got %r" % text)


def bounded(low, high):
    def parse(text):
        value = whole(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError("must be from %s to %s, got %s"
                                             % (format(low, ","), format(high, ","), text))
        return value
    return parse


def seed_value(text):
    if whole(text) < 2:
        # setRandSeed applies only seeds above 1: with these the C library's
        # generator is left where it stands, and a second run would differ
        raise argparse.ArgumentTypeError(
            "%s leaves the random streams unseeded (only seeds of 2 and more are applied), "
            "so the same seed would not give the same negatives; use 2 or more" % text)
    return bounded(2, MAX_SEED)(text)


def parse_args(argv):
    ap = OneLineErrors(prog="demo.py", description=__doc__.split("\n\n")[0])
    ap.add_argument("--triples", type=bounded(1, MAX_TRIPLES), default=1_000_000, metavar="N",
                    help="triples in the graph, 1 to 50,000,000 (default: 1,000,000)")
    ap.add_argument("--entities", type=bounded(2, MAX_ENTITIES), default=200_000, metavar="N",
                    help="entity ids, 2 (so that a tail can be corrupted) to 100,000,000 "
                         "(default: 200,000)")
    ap.add_argument("--relations", type=bounded(1, MAX_RELATIONS), default=500, metavar="N",
                    help="relation ids, 1 to 1,000,000 (default: 500)")
    ap.add_argument("--threads", type=bounded(1, 1024), default=4, metavar="N",
                    help="worker threads drawing negatives, 1 to 1,024 (default: 4)")
    ap.add_argument("--negatives", type=bounded(1, MAX_NEGATIVES), default=4, metavar="K",
                    help="negatives per triple, at least 1, and at most 200,000,000 in all "
                         "(default: 4)")
    ap.add_argument("--seed", type=seed_value, default=2024, metavar="S",
                    help="seed of the graph and of the random streams, 2 to 2,147,483,647: the "
                         "streams ignore 0 and 1 (default: 2024)")
    args = ap.parse_args(argv)
    if args.triples * args.negatives > MAX_NEGATIVES:
        ap.error("--triples times --negatives must not exceed %s, got %s"
                 % (format(MAX_NEGATIVES, ","), format(args.triples * args.negatives, ",")))
    return args


def main(argv=None):
    args = parse_args(argv)
    n = args.triples
    stages = Stages()
    print("morvex.utils.memory demo: %s triples, %s entities, %s relations, %d worker threads"
          % (format(n, ","), format(args.entities, ","), args.relations, args.threads), flush=True)

    rng = numpy.random.default_rng(args.seed)
    table = stages.run("generate graph (numpy)", lambda: (
        make_graph(rng, n, args.entities, args.relations), "%s triples, int32 (n, 3)" % format(n, ",")))
    print(head_degrees(table, args.entities))
    failed = []
    if not stages.run("labeled text round trip (write_labeled, read_labeled)",
                      lambda: labeled_round_trip(table, args.entities, args.relations)):
        failed.append("the labeled text did not read back as written")

    expected = fingerprint(table)
    ts = stages.run("load into a pool", lambda: (
        mx_triples.TripleSet(table), "set_triple_ptr + load_triple_from_numpy"))
    pool = ts.pool
    if ts.fingerprint() != expected or ts.triples(1000) != [tuple(r) for r in table[:1000].tolist()]:
        failed.append("the loaded triples differ from the table")
    print("  pool holds %s bytes in %d block(s)" % (format(pool.size, ","), len(pool.addresses)))

    for order in ORDERS:
        def sort(order=order):
            ok = ts.sort(order)
            same = ts.fingerprint() == expected
            if not ok:
                failed.append("%s left the triples unsorted" % order)
            if not same:
                failed.append("%s changed the set of triples" % order)
            return ok, ("in order" if ok else "NOT SORTED") + (", same triples" if same else ", TRIPLES CHANGED")
        stages.run("sort %s" % order, sort)
    print("  sorted by (relation, tail, head); the first three:", ts.triples(3))

    k, threads = args.negatives, args.threads

    def negatives():
        checksum = ts.corrupt_tails(threads, k, args.entities, args.seed)
        return checksum, "%s corrupted tails, checksum %016x" % (format(n * k, ","), checksum)

    try:
        first = stages.run("negatives (%d threads, no GIL)" % threads, negatives)
        sample = ts.negatives(min(k, SAMPLE))
        again = stages.run("negatives again, same seed", negatives)
    except RuntimeError as e:  # the system would not start that many threads
        print("demo.py: drawing negatives failed: %s; try fewer --threads" % e, file=sys.stderr)
        return 1
    print("  negatives drawn for %s: %s%s" % (ts.triples(1)[0], sample, "" if k <= SAMPLE else
                                             " and %s more" % format(k - SAMPLE, ",")))
    stages.run("true triples among the negatives", lambda: true_negatives(ts, table))

    def build_index():
        idx = triples.Index(table, num_entities=args.entities)
        return idx, "%s distinct triples, %.1f bytes each" % (format(len(idx), ","), idx.nbytes / len(idx))

    index = stages.run("build triples.Index", build_index)

    def filtered_negatives():
        # in parts of about FILTERED_PART negatives, each checked and let go
        # (the negatives of every triple at once would double the demo's
        # peak); each part passes its first row's place, so the parts draw
        # what one call over the whole table would
        part_rows = max(1, FILTERED_PART // k)
        drawn = hits = left_out = 0
        full = None
        for lo in range(0, n, part_rows):
            part = table[lo:lo + part_rows]
            try:
                neg = index.corrupt(part, k, rng=args.seed, offset=lo)
            except ValueError as e:  # a row whose every replacement is a known triple
                if "has no valid head or tail replacement" not in str(e):
                    raise
                if full is None:
                    full = full_pairs(index, table, args.entities)
                kept = open_rows(part, full)
                left_out += len(part) - len(kept)
                neg = index.corrupt(kept, k, rng=args.seed, offset=lo)
            neg = neg.reshape(-1, 3)
            drawn += len(neg)
            hits += int(index.contains(neg).sum())
        if hits:
            failed.append("%d filtered negatives are true triples" % hits)
        note = "%s filtered negatives, %s of them true triples" % (format(drawn, ","), format(hits, ","))
        if left_out:
            note += "; %s triples have none (every entity known on both sides)" % format(left_out, ",")
        return hits, note

    stages.run("filtered negatives (Index.corrupt)", filtered_negatives)

    def ranking():
        m, metrics, same = filtered_ranking(index, table, args.seed, args.entities, args.relations)
        if not same:
            failed.append("the ranking counts differ from numpy's")
        return None, "%s test triples, realistic MRR %.4f, Hits@10 %.3f; counts %s numpy's on %d" % (
            format(m, ","), metrics["mrr"], metrics["hits@10"], "match" if same else "DIFFER from",
            min(m, RANK_CHECKED))

    stages.run("filtered ranking (Index.rank_counts)", ranking)
    del index

    def relation_counts():
        data = ts.relation_counts(args.relations)
        return data, "%d relations in use" % len(memoryview(data))

    data = stages.run("relation counts (Data.add_row)", relation_counts)
    counts = numpy.asarray(data)  # the table's own memory, no copy
    top = counts[numpy.argsort(-counts[:, 1], kind="stable")[:10]]
    print("  top %d relations by triple count (numpy view of the Data table):" % len(top))
    print("    relation     count   share")
    for rel, cnt in top.tolist():
        print("    %8d  %8d  %5.1f%%" % (rel, cnt, 100.0 * cnt / n))
    total = int(counts[:, 1].sum())
    del counts

    held = "%s bytes in %d blocks released" % (format(pool.size, ","), len(pool.addresses))
    del pool

    def release():
        nonlocal ts
        ts = None  # drops the TripleSet, its pool and every block in it
        gc.collect()
        return None, held

    stages.run("release the pool", release)

    print()
    print(stages.table())
    problems = list(failed)
    if again != first:
        problems.append("negatives differ between runs")
    if total != n:
        problems.append("relation counts add up to %d" % total)
    if problems:
        print("FAILED:", "; ".join(problems))
        return 1
    print("all checks passed (morvex.utils.memory from %s)" % memory.__file__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
