"""Benchmark section `labels` of bench/suite/run.py: triples.read_labeled,
the reader of labeled triple files, against pyarrow's and polars' CSV
readers, pandas, `gzip -dc` and zlib.

The data is a Wikidata-like file written by `write_files`: entity labels
"Q" and up to 8 digits, relation labels "P" and digits, tab-separated, one
triple a line.  Every reference returns what read_labeled returns: the
(n, 3) int32 table of ids, and the entity and relation labels in sorted
(byte) order, the ids being their places in that order.  The references
and the module are checked against a plain Python reader on a small file
(non-ASCII labels among its lines), and at full size against the
generator's own answer, so against each other; an output that differs
aborts its rows.

The polars rows, the reader's peak memory and the `gzip -dc` row run in
child processes: polars takes its thread count (POLARS_MAX_THREADS) once,
at import.  A child is this file run as a script:

    python labels.py polars THREADS FILE MAPFILE VOCABDIR
    python labels.py peak FILE
"""
import gc
import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

HERE = os.path.abspath(__file__)

# ---- data ------------------------------------------------------------------------

ENTITY_WIDTH = 9    # "Q" and up to 8 digits
RELATION_WIDTH = 6  # "P" and up to 5 digits


def _label_bytes(prefix, numbers, width):
    """Fixed-width byte rows of the labels `prefix` + decimal number, left
    aligned, and the mask of their bytes in use."""
    numbers = np.asarray(numbers, np.int64)
    digits = np.ones(len(numbers), np.int64)
    for d in range(1, width - 1):
        digits += numbers >= 10 ** d
    out = np.zeros((len(numbers), width), np.uint8)
    out[:, 0] = ord(prefix)
    for j in range(1, width):
        # the j-th character is the digit of power digits - j
        power = np.maximum(digits - j, 0)
        out[:, j] = np.where(j <= digits, ord("0") + (numbers // 10 ** power) % 10, 0)
    mask = np.arange(width)[None, :] <= digits[:, None]
    return out, mask


class LabeledGraph:
    """Entities and relations of a Wikidata-like graph and the draws of its
    triples, in index space (entity index -> label "Q<number>").

    Entity numbers are distinct, log-uniform over [1, 10^8) (so mostly of 5
    to 8 digits); head and tail are drawn with weight rank^-0.8 over the
    entities (power-law degrees), relations with weight rank^-1 over the
    relations; the most frequent relation is "P31" ("instance of"): nine in
    ten of its tails are one of `classes` class entities, themselves drawn
    with weight rank^-1."""

    def __init__(self, seed, entities, relations=800, classes=20):
        rng = np.random.default_rng(seed)
        numbers = np.sort(np.floor(10 ** rng.uniform(0, 8, 4 * entities)).astype(np.int64))
        numbers = numbers[np.concatenate(([True], numbers[1:] != numbers[:-1])) & (numbers < 10 ** 8)]
        assert len(numbers) >= entities
        numbers = rng.permutation(numbers)[:entities]
        # the class entities: those of the smallest numbers, as the old,
        # central items have (at random places in the degree ranking)
        self.classes = np.argsort(numbers)[:classes]
        self.entity_numbers = numbers
        rel = rng.choice(np.arange(1, 13000), relations, replace=False)
        at = np.flatnonzero(rel == 31)
        if at.size:
            rel[at[0]] = rel[0]
        rel[0] = 31
        self.relation_numbers = rel
        self.rel_cdf = np.cumsum(np.arange(1, relations + 1, dtype=np.float64) ** -1.0)
        self.class_cdf = np.cumsum(np.arange(1, classes + 1, dtype=np.float64) ** -1.0)
        self.ent_bytes, self.ent_mask = _label_bytes("Q", numbers, ENTITY_WIDTH)
        self.rel_bytes, self.rel_mask = _label_bytes("P", rel, RELATION_WIDTH)

    @staticmethod
    def _power(rng, cdf, size):
        return np.minimum(np.searchsorted(cdf, rng.random(size) * cdf[-1]), len(cdf) - 1)

    def _entities(self, rng, size, alpha=0.8):
        """Entity ranks of weight about rank^-alpha: the inverse of the
        continuous law's distribution function (a searchsorted in the
        2-million-entry table of the discrete one costs a cache miss a
        draw)."""
        count, e = len(self.entity_numbers), 1 - alpha
        x = (1 + rng.random(size) * ((count + 1) ** e - 1)) ** (1 / e)
        return np.minimum(x.astype(np.int64) - 1, count - 1)

    def draw(self, rng, m):
        """m rows of (head, relation, tail) indices."""
        h = self._entities(rng, m)
        r = self._power(rng, self.rel_cdf, m)
        t = self._entities(rng, m)
        typed = np.flatnonzero((r == 0) & (rng.random(m) < 0.9))
        t[typed] = self.classes[self._power(rng, self.class_cdf, typed.size)]
        return h.astype(np.int32), r.astype(np.int32), t.astype(np.int32)

    def lines(self, h, r, t):
        """The bytes of the lines "head TAB relation TAB tail LF"."""
        m = len(h)
        tab = np.full((m, 1), ord("\t"), np.uint8)
        lf = np.full((m, 1), ord("\n"), np.uint8)
        on = np.ones((m, 1), bool)
        text = np.concatenate([self.ent_bytes[h], tab, self.rel_bytes[r], tab, self.ent_bytes[t], lf], axis=1)
        mask = np.concatenate([self.ent_mask[h], on, self.rel_mask[r], on, self.ent_mask[t], on], axis=1)
        return text[mask].tobytes()

    def entity_labels(self, i):
        """The labels of entity indices `i`, as fixed-width bytes (numpy
        "S9": ordered as the labels' bytes)."""
        return self.ent_bytes.view("S%d" % ENTITY_WIDTH)[i, 0]

    def relation_labels(self, i):
        return self.rel_bytes.view("S%d" % RELATION_WIDTH)[i, 0]


def _truth(graph, h, r, t):
    """What read_labeled returns for these rows: the table of ids in sorted
    label order and the sorted entity and relation labels; and the lookups
    from entity and relation index to id."""
    table = np.empty((len(h), 3), np.int32)
    labels, lookups = [], []
    for cols, count, labels_of in (((0, 2), len(graph.ent_bytes), graph.entity_labels),
                                   ((1,), len(graph.rel_bytes), graph.relation_labels)):
        seen = np.zeros(count, bool)
        for c in cols:
            seen[(h, r, t)[c]] = True
        seen = np.flatnonzero(seen)
        names = labels_of(seen)
        order = np.argsort(names, kind="stable")
        lookup = np.full(count, -1, np.int32)
        lookup[seen[order]] = np.arange(len(seen), dtype=np.int32)
        for c in cols:
            table[:, c] = lookup[(h, r, t)[c]]
        labels.append(names[order].astype(str).tolist())
        lookups.append(lookup)
    return table, labels[0], labels[1], lookups


def write_files(directory, n, n_map, seed=8000, entities=2_000_000, chunk=10 ** 6):
    """Writes graph.tsv (n lines), its gzip copy graph.tsv.gz (level 6,
    compressed on a second thread while the next lines are made) and
    map.tsv (n_map lines whose labels all occur in graph.tsv); returns the
    three paths, the true output of reading graph.tsv (table, entity
    labels, relation labels) and the true table of mapping map.tsv through
    graph.tsv's vocabularies."""
    from concurrent.futures import ThreadPoolExecutor
    graph = LabeledGraph(seed, entities)
    rng = np.random.default_rng(seed + 1)
    path, gz_path, map_path = (os.path.join(directory, name) for name in ("graph.tsv", "graph.tsv.gz", "map.tsv"))
    parts = []
    deflate = zlib.compressobj(6, zlib.DEFLATED, 31)  # a gzip stream: no name, mtime 0
    with open(path, "wb") as f, open(gz_path, "wb") as g, ThreadPoolExecutor(1) as pool:
        pending = None
        for lo in range(0, n, chunk):
            rows = graph.draw(rng, min(chunk, n - lo))
            text = graph.lines(*rows)
            f.write(text)
            if pending is not None:
                g.write(pending.result())
            pending = pool.submit(deflate.compress, text)
            parts.append(rows)
        if pending is not None:
            g.write(pending.result())
        g.write(deflate.flush())
    h, r, t = (np.concatenate(c) for c in zip(*parts))
    del parts
    table, entity_labels, relation_labels, (ent_id, rel_id) = _truth(graph, h, r, t)
    # the mapped file: rows of the same law, each entity or relation not in
    # graph.tsv replaced by the next one that is
    mh, mr, mt = graph.draw(rng, n_map)

    def known(x, ids):
        seen = np.flatnonzero(ids >= 0)
        return seen[np.minimum(np.searchsorted(seen, x), len(seen) - 1)]
    mh, mr, mt = known(mh, ent_id), known(mr, rel_id), known(mt, ent_id)
    with open(map_path, "wb") as f:
        f.write(graph.lines(mh, mr, mt))
    mapped = np.stack([ent_id[mh], rel_id[mr], ent_id[mt]], axis=1)
    return path, gz_path, map_path, (table, entity_labels, relation_labels), mapped


def write_check_files(directory):
    """Small files for checking the references against a plain Python
    reader: 3,000 lines of the same law over 5,000 entities, then lines with
    non-ASCII labels (their byte order is their code point order, which
    sorted() on str follows) and labels that are prefixes of others."""
    path, _, map_path, _, _ = write_files(directory, 3000, 500, seed=8100, entities=5000)
    with open(path, "ab") as f:
        f.write("Q\u00e9\tP31\tQ1\nQ\u4e2d\tP\u00b5\tQ\u00e9\nQ\tP3\tQ10\nQ1\tP\tQ\U0001f600\n".encode())
    return path, map_path


# ---- what every reader returns, as one digest ---------------------------------------

def digest(table, entity_labels=None, relation_labels=None):
    """sha256 of the (n, 3) int32 table and of the labels of each vocabulary
    in id order (an equal digest is an equal output)."""
    h = hashlib.sha256(np.asarray(table.shape, np.int64).tobytes())
    h.update(np.ascontiguousarray(table, np.int32).tobytes())
    for labels in (entity_labels, relation_labels):
        if labels is not None:
            h.update(b"\0" + "\n".join(labels).encode())
    return h.hexdigest()


def python_read(path, entities=None, relations=None):
    """The plain Python reader the references are checked against: labels
    from str.split, vocabularies from sorted(); with given vocabularies
    (lists of labels in id order) a label must be in them."""
    with open(path, encoding="utf-8") as f:
        rows = [line.split("\t") for line in f.read().split("\n") if line]
    if entities is None:
        entities = sorted({row[0] for row in rows} | {row[2] for row in rows})
        relations = sorted({row[1] for row in rows})
    e = {label: i for i, label in enumerate(entities)}
    r = {label: i for i, label in enumerate(relations)}
    table = np.array([(e[h], r[p], e[t]) for h, p, t in rows], np.int32).reshape(-1, 3)
    return table, entities, relations


# ---- pyarrow --------------------------------------------------------------------------

def arrow_read(path, threads, entities=None, relations=None):
    """pyarrow.csv.read_csv on `threads` threads (blocks of 16 MiB; no
    quoting, no nulls), the columns read as strings, then one vocabulary for
    the head and tail columns: both columns' chunks dictionary-encoded as
    one chunked array (one hash pass; all chunks share the one dictionary
    of distinct labels), the distinct labels sorted and the rows' indices
    mapped through their ranks.  With a given vocabulary (a pyarrow string
    array of the labels in id order) one index_in maps the labels instead.
    (Read as dictionary<int32, string>, each block of the file gets a
    dictionary of its own: small blocks repeat most labels across their
    dictionaries, large ones read slower; both came out slower than
    strings here.)"""
    import pyarrow as pa
    import pyarrow.csv as pacsv
    pa.set_cpu_count(threads)
    pa.set_io_thread_count(threads)
    frame = pacsv.read_csv(
        path,
        read_options=pacsv.ReadOptions(column_names=["h", "r", "t"], use_threads=threads > 1, block_size=1 << 24),
        parse_options=pacsv.ParseOptions(delimiter="\t", quote_char=False, double_quote=False, escape_char=False),
        convert_options=pacsv.ConvertOptions(column_types={"h": pa.string(), "r": pa.string(), "t": pa.string()},
                                             strings_can_be_null=False, quoted_strings_can_be_null=False))
    table = np.empty((frame.num_rows, 3), np.int32)
    entities = _arrow_ids([frame["h"], frame["t"]], table, (0, 2), entities)
    relations = _arrow_ids([frame["r"]], table, (1,), relations)
    return table, entities, relations


def _arrow_ids(columns, out, cols, labels):
    """Writes the ids of the labels of `columns` (chunked string arrays)
    into out[:, cols]; returns the vocabulary (the sorted distinct labels,
    or `labels` when given)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    places = [(col, lo) for column, col in zip(columns, cols)
              for lo in np.cumsum([0] + [len(chunk) for chunk in column.chunks])[:-1]]
    both = pa.chunked_array([chunk for column in columns for chunk in column.chunks], pa.string())
    if labels is None:
        encoded = both.dictionary_encode()
        distinct = encoded.chunk(0).dictionary if encoded.num_chunks else pa.array([], pa.string())
        order = pc.array_sort_indices(distinct).to_numpy()
        rank = np.empty(len(order), np.int32)
        rank[order] = np.arange(len(order), dtype=np.int32)
        for chunk, (col, lo) in zip(encoded.chunks, places):
            indices = chunk.indices.to_numpy()
            out[lo:lo + len(indices), col] = rank[indices]
        return pc.take(distinct, order)
    ids = pc.index_in(both, value_set=labels)
    if ids.null_count:
        raise KeyError("a label not in the given vocabulary")
    ids = ids.to_numpy()  # (its chunks need not be the input's)
    at = 0
    for chunk, (col, lo) in zip(both.chunks, places):
        out[lo:lo + len(chunk), col] = ids[at:at + len(chunk)]
        at += len(chunk)
    return labels


# ---- polars (in a child process: its thread count is fixed at import) -------------------

def _polars_frame(pl, path):
    return pl.read_csv(path, separator="\t", has_header=False, new_columns=["h", "r", "t"], quote_char=None,
                       schema_overrides={"h": pl.String, "r": pl.String, "t": pl.String})


def polars_read(pl, path):
    """pl.read_csv with string columns, then the sorted distinct labels of
    the head and tail columns (of the relation column) as an Enum, each
    column cast to it and its physical codes taken as the ids.  (A join of
    the columns against a frame of the sorted labels and their ids took as
    long as the cast.)"""
    frame = _polars_frame(pl, path)
    entities = pl.Enum(pl.concat([frame["h"], frame["t"]]).unique().sort())
    relations = pl.Enum(frame["r"].unique().sort())
    table = np.empty((frame.height, 3), np.int32)
    for j, (name, dtype) in enumerate((("h", entities), ("r", relations), ("t", entities))):
        table[:, j] = frame[name].cast(dtype).to_physical().to_numpy()
    return table, entities, relations


def polars_vocabulary(pl, labels):
    """A given vocabulary as polars takes it: a frame of the labels and
    their ids (made once, outside the timed calls)."""
    return pl.DataFrame({"label": pl.Series(labels, dtype=pl.String),
                         "id": pl.int_range(len(labels), dtype=pl.Int32, eager=True)})


def polars_map(pl, path, entities, relations):
    """pl.read_csv with string columns, then the head and tail columns end
    to end left-joined (order kept) on the frame of the given entity labels,
    the relation column on the relations'; a label not there (a null id)
    fails the call.  (Reading the columns as Enums of the given labels, or
    replace_strict, took two to three times as long.)"""
    frame = _polars_frame(pl, path)
    n = frame.height
    table = np.empty((n, 3), np.int32)
    for cols, column, vocabulary in (((0, 2), pl.concat([frame["h"], frame["t"]]), entities),
                                     ((1,), frame["r"], relations)):
        ids = column.to_frame("label").join(vocabulary, on="label", how="left", maintain_order="left")["id"]
        if ids.null_count():
            raise KeyError("a label not in the given vocabulary")
        ids = ids.to_numpy()
        for j, col in enumerate(cols):
            table[:, col] = ids[j * n:(j + 1) * n]
    return table


def _polars_child(threads, path, map_path, vocab_dir):
    """Child: one timed read of `path` and one timed mapping of `map_path`
    through the labels in vocab_dir; prints their wall-clock times and the
    digests of their outputs as JSON."""
    os.environ["POLARS_MAX_THREADS"] = str(threads)
    import polars as pl
    given = []
    for name in ("entities.txt", "relations.txt"):
        with open(os.path.join(vocab_dir, name), encoding="utf-8") as f:
            given.append(polars_vocabulary(pl, f.read().split("\n")))
    out = {"version": pl.__version__, "threads": pl.thread_pool_size()}
    for key, call in (("read", lambda: polars_read(pl, path)), ("map", lambda: polars_map(pl, map_path, *given))):
        gc.collect()
        t0 = time.perf_counter()
        result = call()
        out[key] = time.perf_counter() - t0
        if key == "read":
            table, entities, relations = result
            out[key + "_digest"] = digest(table, entities.categories.to_list(), relations.categories.to_list())
        else:
            out[key + "_digest"] = digest(result)
        del result
    print(json.dumps(out))


def _write_vocab(directory, entities, relations):
    for name, labels in (("entities.txt", entities), ("relations.txt", relations)):
        with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
            f.write("\n".join(labels))


def polars_run(threads, path, map_path, vocab_dir):
    """This file as a child process with POLARS_MAX_THREADS=threads; its
    JSON answer, or None (and why) when polars is missing or failed."""
    env = dict(os.environ, POLARS_MAX_THREADS=str(threads))
    done = subprocess.run([sys.executable, HERE, "polars", str(threads), path, map_path, vocab_dir], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if done.returncode != 0:
        return None, (done.stderr.strip().splitlines() or ["exit status %d" % done.returncode])[-1]
    return json.loads(done.stdout.strip().splitlines()[-1]), None


# ---- pandas ---------------------------------------------------------------------------

def pandas_read(path):
    """pd.read_csv (C parser, no quoting, no NA detection; pandas' default
    string dtype), then pd.factorize(sort=True) over the head and tail
    columns end to end, and over the relation column."""
    import csv
    import pandas as pd
    frame = pd.read_csv(path, sep="\t", header=None, names=["h", "r", "t"], quoting=csv.QUOTE_NONE,
                        na_filter=False, engine="c")
    n = len(frame)
    codes, entities = pd.factorize(pd.concat([frame["h"], frame["t"]], ignore_index=True), sort=True)
    rel_codes, relations = pd.factorize(frame["r"], sort=True)
    table = np.empty((n, 3), np.int32)
    table[:, 0], table[:, 1], table[:, 2] = codes[:n], rel_codes, codes[n:]
    return table, entities, relations


# ---- gzip -----------------------------------------------------------------------------

def zlib_inflate(path, chunk=1 << 20):
    """The gzip file inflated by zlib in chunks of 1 MiB, the output
    dropped; returns its size."""
    inflate = zlib.decompressobj(31)
    size = 0
    with open(path, "rb") as f:
        while True:
            data = f.read(chunk)
            if not data:
                break
            size += len(inflate.decompress(data))
    return size + len(inflate.flush())


def gzip_dc(path):
    """`gzip -dc FILE > /dev/null`, in a child process; its exit status."""
    with open(os.devnull, "wb") as sink:
        return subprocess.run(["gzip", "-dc", path], stdout=sink).returncode


# ---- peak memory (in a child process) ---------------------------------------------------

def _high_water():
    """This process's peak resident size, in bytes: VmHWM, which starts
    afresh at exec (ru_maxrss does not: after a fork it holds the parent's)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _peak_child(path):
    """Child: numpy and the module imported, the file read with the default
    threads; prints the peak resident size and the output's sizes."""
    from morvex.utils import triples
    before = _high_water()
    table, entities, relations = triples.read_labeled(path)
    peak = _high_water()
    vocab = sum(len(label.encode()) + 16 for v in (entities, relations) for label in v)
    print(json.dumps({"peak": peak, "before": before, "table": table.nbytes, "vocab": vocab}))


def peak_run(path):
    done = subprocess.run([sys.executable, HERE, "peak", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    if done.returncode != 0:
        return None, (done.stderr.strip().splitlines() or ["exit status %d" % done.returncode])[-1]
    return json.loads(done.stdout.strip().splitlines()[-1]), None


# ---- the section ------------------------------------------------------------------------

def _suite():
    """run.py's helpers (Table, _alternate, _best), from the run.py that runs
    the section: the program, or a module of that name."""
    for name in ("__main__", "run"):
        module = sys.modules.get(name)
        if module is not None and hasattr(module, "_alternate"):
            return module
    raise RuntimeError("the labels section runs from bench/suite/run.py")


def _goal_text(goal):
    if goal is None:
        return "-"
    return "<= 1/%g" % round(1 / goal, 2) if goal < 1 else "<= %g" % goal


def _versions():
    """{name: version or None} of the references' packages, and why each
    missing one is missing."""
    found, why = {}, {}
    for name in ("pyarrow", "polars", "pandas"):
        if name == "polars":
            # imported in the children only: found here without importing it
            import importlib.util
            try:
                spec = importlib.util.find_spec("polars")
            except (ImportError, ValueError):
                spec = None
            if spec is None:
                found[name], why[name] = None, "polars not usable (not installed)"
            else:
                try:
                    from importlib.metadata import version
                    found[name] = version("polars")
                except Exception:
                    found[name] = "?"
            continue
        try:
            found[name] = __import__(name).__version__
        except Exception as e:  # missing, or installed but broken
            found[name], why[name] = None, "%s not usable (%s: %s)" % (name, type(e).__name__, e)
    return found, why


def labels(bench, table, args):
    """triples.read_labeled on a Wikidata-like file of labeled triples
    against pyarrow's and polars' CSV readers with the sorted-vocabulary
    mapping on the same threads, pandas' read_csv + factorize, the mapping
    of a file through given vocabularies, `gzip -dc` and zlib on its gzip
    copy, and the reader's peak memory against its output's size."""
    from morvex.utils import triples
    suite = _suite()
    have = hasattr(triples, "read_labeled")
    found, why = _versions()
    if found["pyarrow"]:
        import pyarrow as pa
        pools = pa.cpu_count(), pa.io_thread_count()  # set back afterwards
    tmp = tempfile.mkdtemp(prefix="mx-labels-")
    try:
        _labels(triples, have, found, why, suite, table, args, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if found["pyarrow"]:
            pa.set_cpu_count(pools[0])
            pa.set_io_thread_count(pools[1])


def _labels(triples, have, found, why, suite, table, args, tmp):
    quick = args.quick
    n, n_map, entities = (10 ** 5, 10 ** 4, 20_000) if quick else (10 ** 7, 10 ** 6, 2_000_000)
    reps = 3
    exp = len(str(n)) - 1
    table.head("triples.read_labeled on a Wikidata-like file of 10^%d labeled triples vs pyarrow, polars, pandas, "
               "gzip -dc; wall-clock, best of %d, alternated (ms)" % (exp, reps))
    print("  references: %s" % ", ".join("%s %s" % (k, v or "missing") for k, v in found.items()))
    if not have:
        print("  triples.read_labeled: not in the installed module; its rows say not available")
    print("  pyarrow: read_csv, dictionary_encode, sort; map: index_in.  polars (a child\n"
          "  process a round, POLARS_MAX_THREADS): read_csv, unique().sort() as an Enum, cast; map: a join\n"
          "  on the labels.  pandas: read_csv + factorize(sort=True).  read_labeled's threads as the row says\n"
          "  (.gz: the default); every output equals the generator's own before its time counts")

    def row(label, mine, theirs, goal=None, fmt="%.1f"):
        if mine is None:
            # no figure of the module: not there yet, or its output differed
            # (reported above)
            print(table.line([label, "n/a", fmt % theirs, "-", _goal_text(goal),
                              "not available" if not have else "differs"]))
            sys.stdout.flush()
        else:
            table.row(label, mine, theirs, mine / theirs, goal, fmt)

    def missing(label, reason):
        print(table.line([label, reason]))
        sys.stdout.flush()

    broken = set()  # references whose output differed: no rows

    # -- the references (and the module) against a plain Python reader, on small files
    check = os.path.join(tmp, "check")
    os.mkdir(check)
    cpath, cmap = write_check_files(check)
    want_e, want_r = python_read(cpath)[1:]
    want = digest(*python_read(cpath))
    want_map = digest(python_read(cmap, want_e, want_r)[0])
    _write_vocab(check, want_e, want_r)
    checks = []
    if found["pyarrow"]:
        import pyarrow as pa
        t, e, r = arrow_read(cpath, 1)
        checks.append(("pyarrow", digest(t, e.to_pylist(), r.to_pylist()),
                       digest(arrow_read(cmap, 1, pa.array(want_e, pa.string()), pa.array(want_r, pa.string()))[0])))
    if found["polars"]:
        answer, reason = polars_run(1, cpath, cmap, check)
        if answer is None:
            why["polars"], found["polars"] = "polars failed: %s" % reason, None
        else:
            checks.append(("polars", answer["read_digest"], answer["map_digest"]))
    if found["pandas"]:
        t, e, r = pandas_read(cpath)
        checks.append(("pandas", digest(t, list(e), list(r)), want_map))
    if have:
        try:
            t, e, r = triples.read_labeled(cpath)
            checks.append(("read_labeled", digest(t, list(e), list(r)),
                           digest(triples.read_labeled(cmap, entities=e, relations=r)[0])))
        except Exception as error:  # the module's rows are aborted, not the run
            checks.append(("read_labeled", repr(error), None))
    for name, got, got_map in checks:
        if got != want or got_map != want_map:
            table.mismatch("small file: %s" % name, "the plain Python reader")
            broken.add(name)
    with open(cpath, "rb") as f:
        lines = sum(1 for _ in f)
    print("  small file (%d lines, non-ASCII labels among them): %s" % (
        lines, ", ".join("%s %s" % (name, "differs" if name in broken else "agrees")
                                                     for name, _, _ in checks) or "no reference to check"))

    # -- the data
    t0 = time.perf_counter()
    path, gz_path, map_path, truth, mapped = write_files(tmp, n, n_map, entities=entities)
    size = os.path.getsize(path)
    print("  data: %s lines, %.0f MB (gzip -6: %.0f MB), %s entities, %s relations; %s lines to map; made in %.0f s" % (
        format(n, ","), size / 1e6, os.path.getsize(gz_path) / 1e6, format(len(truth[1]), ","),
        format(len(truth[2]), ","), format(n_map, ","), time.perf_counter() - t0))
    sys.stdout.flush()
    want, want_map = digest(*truth), digest(mapped)
    truth_e, truth_r = truth[1], truth[2]
    _write_vocab(tmp, truth_e, truth_r)
    del truth, mapped
    given_pa = None
    if found["pyarrow"] and "pyarrow" not in broken:
        given_pa = (pa.array(truth_e, pa.string()), pa.array(truth_r, pa.string()))

    # -- untimed first calls: each output checked before any is timed
    mine_vocab = None
    if have and "read_labeled" not in broken:
        same = same_map = False
        try:
            t, e, r = triples.read_labeled(path, threads=1)
            same = digest(t, list(e), list(r)) == want
            del t
            same_map = same and digest(triples.read_labeled(map_path, entities=e, relations=r, threads=1)[0]) \
                == want_map
        except Exception as error:  # the module's rows are aborted, not the run
            print("  read_labeled failed: %r" % error)
        if not same:
            table.mismatch("read_labeled, 10^%d lines" % exp, "the generator's own answer")
        elif not same_map:
            table.mismatch("read_labeled with given vocabularies", "the generator's own answer")
        if same and same_map:
            mine_vocab = (e, r)
        else:
            broken.add("read_labeled")
    module_ok = have and "read_labeled" not in broken
    if given_pa is not None:
        t, e, r = arrow_read(path, 1)
        if digest(t, e.to_pylist(), r.to_pylist()) != want \
                or digest(arrow_read(map_path, 1, *given_pa)[0]) != want_map:
            table.mismatch("pyarrow, 10^%d lines" % exp, "the generator's own answer")
            broken.add("pyarrow")
            given_pa = None
        del t, e, r
    use_pandas = found["pandas"] and "pandas" not in broken
    if use_pandas:
        t, e, r = pandas_read(path)
        if digest(t, list(e), list(r)) != want:
            table.mismatch("pandas, 10^%d lines" % exp, "the generator's own answer")
            use_pandas = False
        del t, e, r
    use_polars = found["polars"] and "polars" not in broken

    # -- reading and mapping, one and two threads: the module and pyarrow
    # alternated in this process, polars in a child process a round
    module_read = {}
    for threads in (1, 2):
        calls = {}
        if module_ok:
            e, r = mine_vocab
            calls["module", "read"] = lambda _, t=threads: triples.read_labeled(path, threads=t)
            calls["module", "map"] = lambda _, t=threads, e=e, r=r: triples.read_labeled(
                map_path, entities=e, relations=r, threads=t)
        if given_pa is not None:
            calls["pyarrow", "read"] = lambda _, t=threads: arrow_read(path, t)
            calls["pyarrow", "map"] = lambda _, t=threads: arrow_read(map_path, t, *given_pa)
        best = {key: float("inf") for key in calls}
        differs = set()
        for _ in range(reps):
            if calls:
                times, results = suite._alternate(calls, 1)
                for key, spent in times.items():
                    best[key] = min(best[key], spent)
                for (name, what), result in results.items():
                    t, e, r = result
                    if what == "map":
                        same = digest(t) == want_map
                    elif name == "module":
                        same = digest(t, list(e), list(r)) == want
                    else:
                        same = digest(t, e.to_pylist(), r.to_pylist()) == want
                    if not same:
                        differs.add((name, what))
                del results, result, t, e, r
            if use_polars:
                answer, reason = polars_run(threads, path, map_path, tmp)
                if answer is None:
                    why["polars"], use_polars = "polars failed: %s" % reason, False
                elif answer["threads"] != threads:
                    why["polars"], use_polars = "polars ran %d threads, not %d" % (answer["threads"], threads), False
                    best.pop(("polars", "read"), None)
                    best.pop(("polars", "map"), None)
                else:
                    for what, digest_of in (("read", want), ("map", want_map)):
                        if answer[what + "_digest"] != digest_of:
                            differs.add(("polars", what))
                        best["polars", what] = min(best.get(("polars", what), float("inf")), answer[what])
        for what, tag, goal in (("read", "read 10^%d lines" % exp, 1.0),
                                ("map", "map 10^%d lines, given vocabs" % (exp - 1), 1.0)):
            mine = best.get(("module", what))
            if ("module", what) in differs:
                table.mismatch("%s, %d thr" % (tag, threads), "the generator's own answer")
                mine = None
            if mine is not None and what == "read":
                module_read[threads] = mine
            refs = {}
            for name in ("pyarrow", "polars"):
                label = "%s, %d thr vs %s" % (tag, threads, name)
                if (name, what) in differs:
                    table.mismatch(label, "the generator's own answer")
                elif (name, what) not in best:
                    missing(label, why.get(name, "%s: output differed on the small file" % name))
                else:
                    refs[name] = best[name, what]
                    row(label, None if mine is None else mine * 1e3, refs[name] * 1e3)
            if refs:
                name = min(refs, key=refs.get)
                row("%s, %d thr vs fastest (%s)" % (tag, threads, name),
                    None if mine is None else mine * 1e3, refs[name] * 1e3, goal)

    # -- pandas, one thread
    label = "read 10^%d lines, 1 thr vs pandas" % exp
    if use_pandas:
        if found["pyarrow"]:
            pa.set_cpu_count(1)  # pandas' default strings are pyarrow's
            pa.set_io_thread_count(1)
        theirs, result = suite._best(lambda: pandas_read(path), reps)
        result = None
        row(label, module_read[1] * 1e3 if 1 in module_read else None, theirs * 1e3, 1 / 10)
    else:
        missing(label, why.get("pandas", "pandas: output differed"))

    # -- gzip: the module on the gzip copy against gzip -dc and zlib
    calls = {"zlib": lambda _: zlib_inflate(gz_path)}
    gzip_tool = shutil.which("gzip")
    if gzip_tool:
        calls["gzip"] = lambda _: gzip_dc(gz_path)
    if module_ok:
        calls["module"] = lambda _: triples.read_labeled(gz_path)
    times, results = suite._alternate(calls, reps)
    if results["zlib"] != size or (gzip_tool and results["gzip"] != 0):
        table.mismatch("gzip references", "the file (size or exit status)")
    else:
        mine = None
        if module_ok:
            t, e, r = results["module"]
            if digest(t, list(e), list(r)) != want:
                table.mismatch("read .gz", "the generator's own answer")
            else:
                mine = times["module"] * 1e3
            del t, e, r
        results = None
        if gzip_tool:
            row("read .gz (%.0f MB) vs gzip -dc > /dev/null" % (os.path.getsize(gz_path) / 1e6),
                mine, times["gzip"] * 1e3, 1.3)
        else:
            missing("read .gz vs gzip -dc", "no gzip command on this machine")
        row("read .gz vs zlib in 1 MiB chunks", mine, times["zlib"] * 1e3)

    # -- peak memory of a child that imports numpy and the module and reads
    label = "peak RSS vs file+table+vocabs+64 MB (MB)"
    if module_ok:
        answer, reason = peak_run(path)
        if answer is None:
            missing(label, "the child failed: %s" % reason)
        else:
            budget = size + answer["table"] + answer["vocab"] + (64 << 20)
            row(label, answer["peak"] / 2 ** 20, budget / 2 ** 20, 1.0, "%.0f")
    else:
        vocab = sum(len(x.encode()) + 16 for x in truth_e) + sum(len(x.encode()) + 16 for x in truth_r)
        row(label, None, (size + 12 * n + vocab + (64 << 20)) / 2 ** 20, 1.0, "%.0f")


if __name__ == "__main__":
    if sys.argv[1] == "polars":
        _polars_child(int(sys.argv[2]), *sys.argv[3:6])
    elif sys.argv[1] == "peak":
        _peak_child(sys.argv[2])
    else:
        sys.exit("usage: labels.py polars THREADS FILE MAPFILE VOCABDIR | labels.py peak FILE")
