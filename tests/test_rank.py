"""Index.rank_counts against a plain Python count on small graphs with many
ties, on both sides, filtered and not, for every score type; NaN and
infinities; chunks adding up to one call; any number of threads; ranks()
and rank_metrics() against their definitions; and the refusals of bad
input."""
import numpy as np
import pytest

from morvex.utils import triples

DTYPES = (np.float16, np.float32, np.float64)


def graph(rng, entities=23, relations=3, n=120):
    known = np.stack([rng.integers(0, entities, n), rng.integers(0, relations, n),
                      rng.integers(0, entities, n)], axis=1).astype(np.int32)
    batch = np.vstack([known[:10], np.stack([rng.integers(0, entities, 20), rng.integers(0, relations, 20),
                                             rng.integers(0, entities, 20)], axis=1)]).astype(np.int32)
    return known, batch


def reference(known, batch, scores, side, filtered, truth=None):
    """(higher, tied, candidates) of each row, by a loop over the candidates."""
    known = {tuple(t) for t in known.tolist()}
    out = []
    for i, (h, r, t) in enumerate(batch.tolist()):
        true = t if side == "tail" else h
        score = float(scores[i, true]) if truth is None else float(truth[i])
        higher = tied = candidates = 0
        for e in range(scores.shape[1]):
            triple = (h, r, e) if side == "tail" else (e, r, t)
            if e == true or (filtered and triple in known):
                continue
            candidates += 1
            higher += float(scores[i, e]) > score
            tied += float(scores[i, e]) == score
        out.append((higher, tied, candidates))
    return np.array(out, dtype=np.int64).reshape(-1, 3)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("side", ("tail", "head"))
def test_counts_match_a_plain_count(dtype, side):
    rng = np.random.default_rng(np.dtype(dtype).itemsize + len(side))
    known, batch = graph(rng)
    idx = triples.Index(known)
    values = np.array([-np.inf, -1.5, 0, 0.25, 1, np.inf, np.nan])
    for p in ([0.2, 0.2, 0.2, 0.2, 0.2, 0, 0], [0.05, 0.3, 0.3, 0.2, 0.05, 0.05, 0.05]):
        scores = rng.choice(values, size=(len(batch), idx.num_entities), p=p).astype(dtype)
        true = batch[:, 2] if side == "tail" else batch[:, 0]
        scores[np.arange(len(batch)), true] = rng.choice(values[:6], len(batch))  # never a NaN true score
        for filtered in (True, False):
            got = idx.rank_counts(batch, scores, side=side, filtered=filtered, threads=1)
            assert got.dtype == np.int64 and got.shape == (len(batch), 3)
            assert np.array_equal(got, reference(known, batch, scores, side, filtered)), filtered


@pytest.mark.parametrize("dtype", DTYPES)
def test_true_scores_the_type_cannot_hold_tie_with_nothing(dtype):
    rng = np.random.default_rng(5)
    known, batch = graph(rng)
    idx = triples.Index(known)
    scores = rng.choice([-1.0, 0.0, 1.0, np.nan, np.inf, 60000.0], size=(len(batch), idx.num_entities)).astype(dtype)
    truth = rng.choice([1 + 2.0 ** -30, 1.0, -2.0 ** -30, -1 - 2.0 ** -30, 0.0, 1e300, -1e300, np.inf, -np.inf],
                       len(batch))
    got = idx.rank_counts(batch, scores, true_scores=truth)
    assert np.array_equal(got, reference(known, batch, scores.astype(np.float64), "tail", True, truth))


def test_a_nan_true_score_names_its_row():
    known, batch = graph(np.random.default_rng(6))
    idx = triples.Index(known)
    scores = np.zeros((len(batch), idx.num_entities), np.float32)
    scores[3, batch[3, 0]] = np.nan
    assert idx.rank_counts(batch, scores).sum() > 0  # the tail side reads no NaN
    row = "batch row 3 (%d, %d, %d) has a NaN true score" % tuple(batch[3])
    with pytest.raises(ValueError, match=row.replace("(", r"\(").replace(")", r"\)")):
        idx.rank_counts(batch, scores, side="head")
    with pytest.raises(ValueError, match="batch row 1 .* has a NaN true score"):
        idx.rank_counts(batch, scores, true_scores=[0, np.nan] + [0] * (len(batch) - 2))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("side", ("tail", "head"))
def test_chunks_add_up_to_one_call(dtype, side):
    rng = np.random.default_rng(7)
    known, batch = graph(rng, entities=37)
    idx = triples.Index(known)
    big = rng.choice([0.0, 0.5, 1.0, np.nan], size=(len(batch) * 2, idx.num_entities + 9)).astype(dtype)
    scores = big[::2, 4:4 + idx.num_entities]  # a strided slice of a larger matrix, read in place
    true = batch[:, 2] if side == "tail" else batch[:, 0]
    scores[np.arange(len(batch)), true] = 0.5
    whole = idx.rank_counts(batch, scores, side=side)
    truth = scores[np.arange(len(batch)), true]
    for width in (1, 5, 8, 36, 37):
        total = np.zeros_like(whole)
        for start in range(0, idx.num_entities, width):
            chunk = scores[:, start:start + width]
            total += idx.rank_counts(batch, chunk, side=side, start=start, true_scores=truth)
        assert np.array_equal(total, whole), width
    assert np.array_equal(idx.rank_counts(batch[::-1], scores[::-1], side=side), whole[::-1])  # negative row step
    assert idx.rank_counts(batch[:0], scores[:0], side=side).shape == (0, 3)


@pytest.mark.parametrize("m, width, dtype", [(1, 300001, np.float16), (3, 100003, np.float32),
                                             (70, 9001, np.float64)])
def test_any_number_of_threads_gives_the_same_counts(m, width, dtype):
    rng = np.random.default_rng(m)
    known = np.stack([rng.integers(0, 50, 5000), rng.integers(0, 2, 5000), rng.integers(0, width, 5000)],
                     axis=1).astype(np.int32)
    idx = triples.Index(known, num_entities=width)
    batch = known[:m]
    scores = rng.integers(0, 50, size=(m, width)).astype(dtype)
    masked = scores.copy()
    offsets, values = idx.tails(batch[:, :2])
    masked[np.repeat(np.arange(m), np.diff(offsets)), values] = np.nan
    truth = scores[np.arange(m), batch[:, 2]]
    masked[np.arange(m), batch[:, 2]] = np.nan
    expected = np.stack([(masked > truth[:, None]).sum(1), (masked == truth[:, None]).sum(1),
                         width - np.isnan(masked).sum(1)], axis=1)
    for threads in (1, 2, 8):
        assert np.array_equal(idx.rank_counts(batch, scores, threads=threads), expected), threads


def test_ranks_and_metrics():
    counts = np.array([[0, 0, 9], [2, 3, 9], [0, 4, 9], [11, 0, 20]])
    optimistic, pessimistic = 1 + counts[:, 0], 1 + counts[:, 0] + counts[:, 1]
    expected = {"optimistic": optimistic, "pessimistic": pessimistic, "realistic": (optimistic + pessimistic) / 2}
    assert np.array_equal(triples.ranks(counts), expected["realistic"])
    metrics = triples.rank_metrics(counts, ks=(1, 3, 12))
    assert list(metrics) == list(expected)
    for kind, rank in expected.items():
        assert np.array_equal(triples.ranks(counts, kind), rank)
        assert metrics[kind] == pytest.approx({"mr": rank.mean(), "mrr": (1 / rank).mean(),
                                               "hits@1": (rank <= 1).mean(), "hits@3": (rank <= 3).mean(),
                                               "hits@12": (rank <= 12).mean()})
    assert np.isnan(triples.rank_metrics(np.zeros((0, 3), np.int64))["realistic"]["mrr"])


KNOWN = np.array([[0, 0, 1], [1, 0, 2], [0, 1, 2]], np.int32)
IDX = triples.Index(KNOWN, num_entities=4)
S = np.zeros((3, 4), np.float32)
RANK_BAD = [  # (call, exception, message)
    (lambda: IDX.rank_counts(KNOWN, S[:2]), ValueError,
     "scores has 2 rows, but batch has 3: row i holds the scores of batch row i"),
    (lambda: IDX.rank_counts(KNOWN, S[0]), ValueError, "scores must be two-dimensional (a row per batch row, "
     "a column per entity of the chunk), got 1 dimension"),
    (lambda: IDX.rank_counts(KNOWN, S, start=1), ValueError,
     "the scores' 4 columns from start=1 reach outside the index's entities [0, 4)"),
    (lambda: IDX.rank_counts(KNOWN, S[:, :2], start=-1), ValueError,
     "the scores' 2 columns from start=-1 reach outside the index's entities [0, 4)"),
    (lambda: IDX.rank_counts(KNOWN, np.zeros((3, 5), np.float32)), ValueError,
     "the scores' 5 columns from start=0 reach outside the index's entities [0, 4)"),
    (lambda: IDX.rank_counts(np.int32([[0, 0, 1], [0, 2, 1], [4, 0, 1]]), S), ValueError,
     "batch row 1 (0, 2, 1) is outside the index: entities are in [0, 4), relations in [0, 2)"),
    (lambda: IDX.rank_counts(KNOWN, S.astype(np.int32)), TypeError,
     "scores must hold float16, float32 or float64 values, got buffer format 'i' (4-byte items)"),
    (lambda: IDX.rank_counts(KNOWN, S.astype(">f8")), TypeError,
     "scores must be in native byte order, got buffer format '>d'"),
    (lambda: IDX.rank_counts(KNOWN, S.tolist()), TypeError, "scores must export a two-dimensional float buffer, "
     "such as a numpy array (a torch tensor: tensor.numpy() or np.from_dlpack(tensor)); got 'list'"),
    (lambda: IDX.rank_counts(KNOWN, S.T[:3, :3]), ValueError, "scores must have contiguous rows (a column step "
     "of 4 bytes), got a column step of 16 bytes; np.ascontiguousarray(scores) makes a copy that works"),
    (lambda: IDX.rank_counts(KNOWN, S[:, 2:], start=2), ValueError, "batch row 0 (0, 0, 1): its tail 1 is outside "
     "the scores' entities [2, 4) and no true_scores are given"),
    (lambda: IDX.rank_counts(KNOWN, S[:, :1], side="head"), ValueError, "batch row 1 (1, 0, 2): its head 1 is "
     "outside the scores' entities [0, 1) and no true_scores are given"),
    (lambda: IDX.rank_counts(KNOWN, S, true_scores=[1.0, 2.0]), ValueError,
     "true_scores must be one-dimensional with a score per batch row (3), got shape (2,)"),
    (lambda: IDX.rank_counts(KNOWN, S, side="both"), ValueError, "side must be 'tail' or 'head', not 'both'"),
    (lambda: IDX.rank_counts(KNOWN, S, filtered="yes"), TypeError, "filtered must be True or False, not 'str'"),
    (lambda: triples.ranks(np.zeros((2, 2), np.int64)), ValueError,
     "counts must have shape (m, 3), (higher, tied, candidates) per row, got (2, 2)"),
    (lambda: triples.ranks(np.int64([[0, 0, 1], [0, -1, 1]])), ValueError,
     "counts row 1 (0, -1, 1) has a negative count"),
    (lambda: triples.ranks(np.zeros((2, 3)), "best"), ValueError,
     "kind must be 'optimistic', 'pessimistic' or 'realistic', not 'best'"),
    (lambda: triples.ranks(np.zeros((2, 3))), TypeError,
     "counts must hold integers (from Index.rank_counts), got dtype float64"),
    (lambda: triples.rank_metrics(np.zeros((2, 3), np.int64), ks=(1, 0)), ValueError,
     "each of ks must be in [1, 2**63), got 0"),
]
