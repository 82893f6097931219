"""Labeled files: read_labeled against a plain Python reader, with given
vocabularies, gzip streams, the write round trip, the refusals, and the
Vocabulary type."""
import gzip
import os
import pickle
import random
import threading
import zlib

import numpy as np
import pytest

from morvex.utils import triples


def python_read(data, sep="\t", columns=(0, 1, 2)):
    """The reader's rules, in plain Python: rows of labels."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    rows = []
    for line in data.split(b"\n"):
        line = line[:-1] if line.endswith(b"\r") else line
        if line:
            fields = line.split(sep.encode())
            rows.append([fields[c].decode() for c in columns])
    return rows


def python_ids(rows):
    entities = sorted({r[0] for r in rows} | {r[2] for r in rows})
    relations = sorted({r[1] for r in rows})
    e = {x: i for i, x in enumerate(entities)}
    r = {x: i for i, x in enumerate(relations)}
    table = np.array([[e[h], r[m], e[t]] for h, m, t in rows], np.int32).reshape(-1, 3)
    return table, entities, relations


def labeled_file(seed, lines=600):
    """Lines over every rule: CRLF, empty lines, extra columns, a last line
    with or without its end, a byte-order mark, labels of 1 to 40 bytes,
    non-ASCII ones."""
    rng = random.Random(seed)

    def label():
        k = rng.random()
        return ("é%d" % rng.randrange(40) if k < 0.1 else "x" * rng.randrange(1, 40) if k < 0.2
                else "Q%d" % rng.randrange(500))
    out = []
    for _ in range(lines):
        k = rng.random()
        fields = [label(), "P%d" % rng.randrange(20), label()] + ["extra"] * (k < 0.2)
        out.append(b"" if k > 0.95 else "\t".join(fields).encode() + b"\r" * (rng.random() < 0.3))
    data = b"\n".join(out) + b"\n" * (seed % 2)
    return b"\xef\xbb\xbf" + data if seed % 3 == 0 else data


@pytest.fixture
def small_pieces():
    """Mapped files cut into pieces of 64 bytes, so that small files spread
    over every thread."""
    before = triples._set_label_limits(2 ** 31, 64)
    yield
    triples._set_label_limits(*before)


@pytest.mark.parametrize("compress", [False, True])
def test_reader_matches_python(tmp_path, small_pieces, compress):
    for seed in range(6):
        data = labeled_file(seed)
        path = tmp_path / ("f.gz" if compress else "f.txt")
        path.write_bytes(gzip.compress(data) if compress else data)
        table, entities, relations = python_ids(python_read(data))
        for threads in (1, 2, 8):
            got = triples.read_labeled(str(path), threads=threads)
            assert np.array_equal(got.table, table) and got.skipped == 0
            assert (list(got.entities), list(got.relations)) == (entities, relations)
    # another separator and columns, extra columns left out
    data = b"x,Q1,P1,Q2\ny,Q2,P2,Q1\n"
    (tmp_path / "c.csv").write_bytes(data)
    got = triples.read_labeled(tmp_path / "c.csv", sep=",", columns=(3, 2, 1))
    assert got.table.tolist() == [[1, 0, 0], [0, 1, 1]] and list(got.entities) == ["Q1", "Q2"]
    # an empty file, and one of empty lines only
    for data in (b"", b"\n\r\n\n"):
        (tmp_path / "e.txt").write_bytes(data)
        got = triples.read_labeled(tmp_path / "e.txt")
        assert got.table.shape == (0, 3) and len(got.entities) == len(got.relations) == 0


def test_pipes_and_gzip_members_are_streams(tmp_path):
    data = labeled_file(1, lines=3000)
    rows = python_read(data)
    # two gzip members, one after the other, as `cat a.gz b.gz` makes
    half = data.index(b"\n", len(data) // 2) + 1
    (tmp_path / "two.gz").write_bytes(gzip.compress(data[:half]) + gzip.compress(data[half:]))
    got = triples.read_labeled(tmp_path / "two.gz", threads=2)
    assert np.array_equal(got.table, python_ids(rows)[0])
    # labels enough for their sort to be split over the threads
    many = b"".join(b"e%d\tr\tQ%d\n" % (i * 7919 % 150001, i) for i in range(150000))
    (tmp_path / "many.gz").write_bytes(gzip.compress(many, 1))
    got = triples.read_labeled(tmp_path / "many.gz", threads=3)
    table, entities, _ = python_ids(python_read(many))
    assert np.array_equal(got.table, table) and list(got.entities) == entities
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    def write():
        with open(fifo, "wb") as f:
            f.write(data)
    writer = threading.Thread(target=write)
    writer.start()
    got = triples.read_labeled(fifo)
    writer.join()
    assert np.array_equal(got.table, python_ids(rows)[0])


def test_given_vocabularies(tmp_path, small_pieces):
    train = triples.Vocabulary(["Q1", "Q2"]), triples.Vocabulary(["P1"])
    data = b"Q1\tP1\tQ2\nQ9\tP1\tQ1\nQ2\tP7\tQ8\nQ2\tP1\tQ1\n"
    (tmp_path / "test.txt").write_bytes(data)
    read = lambda unknown, threads: triples.read_labeled(  # noqa: E731
        tmp_path / "test.txt", entities=train[0], relations=train[1], unknown=unknown, threads=threads)
    for threads in (1, 3):
        with pytest.raises(ValueError) as info:
            read("error", threads)
        assert str(info.value).startswith(
            "%s, line 2: entity label 'Q9' (column 0) is not in the given vocabulary" % (tmp_path / "test.txt"))
        got = read("skip", threads)
        assert got.table.tolist() == [[0, 0, 1], [1, 0, 0]] and got.skipped == 2
        assert got.entities is train[0] and got.relations is train[1]
        got = read("add", threads)
        assert got.table.tolist() == [[0, 0, 1], [3, 0, 0], [1, 1, 2], [1, 0, 0]] and got.skipped == 0
        assert list(got.entities) == ["Q1", "Q2", "Q8", "Q9"] and list(got.relations) == ["P1", "P7"]


def test_write_round_trip(tmp_path):
    data = labeled_file(4)
    (tmp_path / "a.txt").write_bytes(data)
    first = triples.read_labeled(tmp_path / "a.txt")
    for sep in ("\t", " "):
        triples.write_labeled(tmp_path / "b.txt", first.table[::-1], first.entities, first.relations, sep=sep)
        again = triples.read_labeled(tmp_path / "b.txt", entities=first.entities, relations=first.relations,
                                     sep=sep)
        assert np.array_equal(again.table, first.table[::-1])
    text = (tmp_path / "b.txt").read_bytes().split(b"\n")[0].decode()
    row = first.table[-1]
    assert text == " ".join([first.entities.label(row[0]), first.relations.label(row[1]),
                             first.entities.label(row[2])])


def read_bad(tmp_path, data, **kwargs):
    path = tmp_path / "bad.txt"
    path.write_bytes(data)
    return triples.read_labeled(path, **kwargs)


def truncated_gzip(tmp_path):
    cut = gzip.compress(labeled_file(2, lines=3000))[:-30]
    (tmp_path / "t.gz").write_bytes(cut)
    # the line cut short: the one after the last whole line
    assert zlib.decompressobj(31).decompress(cut).count(b"\n") + 1 == 2996
    return triples.read_labeled(tmp_path / "t.gz")


def many_labels(tmp_path, piece=2 ** 20, threads=1):
    before = triples._set_label_limits(3, piece)
    try:  # the fourth entity label first shows on line 42, after pieces of three
        return read_bad(tmp_path, b"a\tr\tb\n" * 20 + b"\n" + b"b\tr\tc\n" * 20 + b"c\tr\td\n" + b"a\tr\tc\n" * 20,
                        threads=threads)
    finally:
        triples._set_label_limits(*before)


BAD = [  # (call, exception, message: {bad}, {gz}, {absent}, {dir} for the files)
    (lambda p: read_bad(p, b"a\tb\tc\na\tb\n"), ValueError, "{bad}, line 2: 2 columns, but columns (0, 1, 2) need 3"),
    (lambda p: read_bad(p, b"a\tb\tc\n\n\xff\tb\tc\n"), ValueError, "{bad}, line 3: column 0 is not valid UTF-8"),
    (lambda p: read_bad(p, b"a\tb\t\xed\xa0\x80\n"), ValueError, "{bad}, line 1: column 2 is not valid UTF-8"),
    (lambda p: read_bad(p, b"a\t\tc\n"), ValueError, "{bad}, line 1: column 1 is empty"),
    (lambda p: read_bad(p, b"a\tb\t" + b"c" * 65536), ValueError,
     "{bad}, line 1: the label in column 2 has 65536 bytes; labels have at most 65535"),
    (lambda p: read_bad(p, b"a,b,c\n", columns=(0, 2, 4)), ValueError,
     "{bad}, line 1: 1 column, but columns (0, 2, 4) need 5"),
    (many_labels, ValueError, "{bad}, line 42: more than 3 distinct entity labels; ids are int32"),
    (lambda p: many_labels(p, 60, 4), ValueError, "{bad}, line 42: more than 3 distinct entity labels; ids are int32"),
    (truncated_gzip, ValueError, "{gz}, line 2996: the gzip stream ends early (the file is truncated)"),
    (lambda p: triples.read_labeled(p / "absent.txt"), FileNotFoundError, "[Errno 2] No such file or directory: {absent}"),
    (lambda p: triples.read_labeled(p), IsADirectoryError, "[Errno 21] Is a directory: {dir}"),
    (lambda p: read_bad(p, b"", sep="ab"), ValueError,
     "sep must be one ASCII character other than a line end, got 'ab'"),
    (lambda p: read_bad(p, b"", columns=(0, 1, 1)), ValueError,
     "columns must be three different columns, got (0, 1, 1)"),
    (lambda p: read_bad(p, b"", unknown="drop"), ValueError, "unknown must be 'error', 'skip' or 'add', got 'drop'"),
    (lambda p: read_bad(p, b"", entities=["a"]), TypeError, "entities must be None or a Vocabulary, not 'list'"),
    (lambda p: triples.write_labeled(p / "w.txt", np.zeros((1, 3), np.int32), triples.Vocabulary(["a\tb"]),
                                     triples.Vocabulary(["r"])), ValueError,
     "entity label 0 ('a\\tb') holds the separator, so it could not be read back"),
    (lambda p: triples.write_labeled(p / "w.txt", np.array([[0, 1, 0]], np.int32), triples.Vocabulary(["a"]),
                                     triples.Vocabulary(["r"])), ValueError,
     "table row 0 (0, 1, 0) has an id outside the vocabularies (1 entities, 1 relations)"),
    (lambda p: triples.Vocabulary(["a", "b", "a"]), ValueError,
     "labels[2] repeats labels[0] ('a'); labels must be distinct"),
    (lambda p: triples._vocabulary_from_bytes(b"ab", np.array([1, 3], np.int64).tobytes()), ValueError,
     "the end of label 1 (3) is out of order or past the bytes"),
    (lambda p: triples.Vocabulary(["a"]).label(1), IndexError, "id 1 is not in [0, 1)"),
    (lambda p: triples.Vocabulary(["a"]).ids(["a", "b"]), KeyError, "'b'"),
]


@pytest.mark.parametrize("call, exc, message", BAD)
def test_bad_input_is_refused(tmp_path, call, exc, message):
    with pytest.raises(exc) as info:
        call(tmp_path)
    assert str(info.value) == message.format(bad=tmp_path / "bad.txt", gz=tmp_path / "t.gz", dir=repr(str(tmp_path)),
                                             absent=repr(str(tmp_path / "absent.txt")))


def test_vocabulary():
    v = triples.Vocabulary(["Q5", "é", "P31", "x" * 30])
    assert (len(v), list(v), v.id("é"), v.label(2)) == (4, ["Q5", "é", "P31", "x" * 30], 1, "P31")
    assert v.ids(["P31", "Q5", "nope"], default=-1).tolist() == [2, 0, -1] and v.ids([]).dtype == np.int32
    assert v.labels(np.array([3, 0], np.int64)) == ["x" * 30, "Q5"] == v.labels([3, 0])
    assert "Q5" in v and "Q6" not in v and 5 not in v
    copy = pickle.loads(pickle.dumps(v))
    assert copy == v and list(copy) == list(v) and v != triples.Vocabulary(["Q5"])
    assert len(pickle.dumps(triples.Vocabulary(str(i) for i in range(10000)))) < 150000
    assert v.nbytes >= sum(len(x.encode()) for x in v) + 8 * len(v)
