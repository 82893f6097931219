"""Data.add_row, initializeData and load_triple_from_numpy, driven through the
compiled test consumer, which reaches them only through the public header."""
import array
import ctypes
import hashlib
import os
import struct
import sys
import traceback

import numpy as np
import pytest

import morvex.utils.memory as memory
from model import BUFFERS_SOURCE as SOURCE, OOB, RECORD_SIZES
from conftest import Exported

LOADER = "morvex.utils.memory.load_triple_from_numpy"


def rows_of(data):
    with memoryview(data) as mv:
        return mv.tolist()


# ---- Data.add_row -------------------------------------------------------------------


class TestAddRow:
    def test_two_rows(self, consumer):
        d = memory.Data(3)
        assert consumer.data_add_row(d, [1, 2, 3]) is None
        assert consumer.data_add_row(d, [4, 5, 6]) is None
        with memoryview(d) as mv:
            assert mv.shape == (2, 3)
            assert mv.strides == (12, 4)
            assert mv.nbytes == 24
            assert mv.tolist() == [[1, 2, 3], [4, 5, 6]]
        assert consumer.data_cells(d) == [1, 2, 3, 4, 5, 6]
        # members as consumers read them: ncols, shape, strides as last
        # exported, and no view outstanding
        assert consumer.data_members(d) == (3, (2, 3), (12, 4), 0)

    def test_many_rows_in_order(self, consumer):
        d = memory.Data(4)
        expected = np.arange(4 * 1000, dtype=np.int32).reshape(1000, 4) - 2000
        for row in expected.tolist():
            consumer.data_add_row(d, row)
        a = np.asarray(d)
        assert a.dtype == np.int32 and a.shape == (1000, 4) and a.strides == (16, 4)
        np.testing.assert_array_equal(a, expected)

    def test_extreme_values_copied_unchanged(self, consumer):
        d = memory.Data(2)
        consumer.data_add_row(d, [-2 ** 31, 2 ** 31 - 1])
        consumer.data_add_row(d, [-1, 0])
        assert rows_of(d) == [[-2 ** 31, 2 ** 31 - 1], [-1, 0]]

    def test_single_column(self, consumer):
        d = memory.Data(1)
        for v in (7, 8, 9):
            consumer.data_add_row(d, [v])
        assert rows_of(d) == [[7], [8], [9]]

    def test_only_ncols_cells_are_taken(self, consumer):
        d = memory.Data(2)
        consumer.data_add_row(d, [1, 2, 3, 4])
        assert consumer.data_cells(d) == [1, 2]

    def test_store_pointers_are_begin_end_capacity(self, consumer):
        d = memory.Data(3)
        for i in range(5):
            consumer.data_add_row(d, [i, i, i])
        # the store sits after header, table, ncols, shape and strides
        offset = object.__basicsize__ + 8 + 8 + 16 + 16
        begin, end, cap = (ctypes.c_void_p.from_address(id(d) + offset + 8 * k).value for k in range(3))
        a = np.asarray(d)
        assert begin == a.__array_interface__["data"][0]
        assert end - begin == a.nbytes == 60
        assert cap >= end

    def test_writing_through_a_view_changes_the_table(self, consumer):
        d = memory.Data(3)
        consumer.data_add_row(d, [1, 2, 3])
        consumer.data_add_row(d, [4, 5, 6])
        a = np.asarray(d)
        a[1, 2] = 99
        a[0] *= -1
        del a
        with memoryview(d) as mv:
            mv[0, 1] = 42
        assert consumer.data_cells(d) == [-1, 42, -3, 4, 5, 99]

    def test_refused_while_viewed(self, consumer):
        d = memory.Data(3)
        consumer.data_add_row(d, [1, 2, 3])
        mv = memoryview(d)
        assert consumer.data_members(d)[3] == 1
        with pytest.raises(ValueError) as info:
            consumer.data_add_row(d, [4, 5, 6])
        assert str(info.value) == "can't add row while being viewed"
        entry = traceback.extract_tb(info.value.__traceback__)[-1]
        assert (entry.name, entry.filename) == ("morvex.utils.memory.Data.add_row", SOURCE)
        assert consumer.data_cells(d) == [1, 2, 3]
        assert mv.shape == (1, 3)
        mv.release()
        assert consumer.data_members(d)[3] == 0
        assert consumer.data_add_row(d, [4, 5, 6]) is None
        assert rows_of(d) == [[1, 2, 3], [4, 5, 6]]

    def test_each_request_gets_what_its_flags_ask(self, consumer):
        d, view = memory.Data(2), ctypes.create_string_buffer(80)  # room for a Py_buffer
        consumer.data_add_row(d, [1, -2])
        ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(d), view, 0x58)  # one row: Fortran order is row order
        ctypes.pythonapi.PyBuffer_Release(view)
        consumer.data_add_row(d, [3, 4])
        with pytest.raises(BufferError, match="^a Data table of more than one row and column is not Fortran contiguous$"):
            ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(d), view, 0x58)
        cells = array.array("i")
        cells.frombytes(d)  # plain-bytes requests: one dimension of 1-byte items
        assert cells.tolist() == [1, -2, 3, 4] and hashlib.md5(d).digest() == hashlib.md5(cells).digest()
        assert consumer.data_members(d)[3] == 0

    def test_numpy_array_holds_its_view(self, consumer):
        d = memory.Data(2)
        a = np.asarray(d)
        with pytest.raises(ValueError, match="^can't add row while being viewed$"):
            consumer.data_add_row(d, [1, 2])
        del a
        assert consumer.data_add_row(d, [1, 2]) is None

    def test_two_views(self, consumer):
        d = memory.Data(2)
        first, second = memoryview(d), memoryview(d)
        assert consumer.data_members(d)[3] == 2
        first.release()
        with pytest.raises(ValueError, match="^can't add row while being viewed$"):
            consumer.data_add_row(d, [1, 2])
        second.release()
        assert consumer.data_members(d)[3] == 0
        consumer.data_add_row(d, [1, 2])
        assert rows_of(d) == [[1, 2]]

    def test_export_rewrites_shape_and_strides(self, consumer):
        d = memory.Data(2)
        with memoryview(d):
            pass
        assert consumer.data_members(d) == (2, (0, 2), (8, 4), 0)
        consumer.data_add_row(d, [5, 6])
        # appends leave the last exported description alone
        assert consumer.data_members(d)[1] == (0, 2)
        with memoryview(d) as mv:
            assert consumer.data_members(d) == (2, (1, 2), (8, 4), 1)
            assert mv.tolist() == [[5, 6]]

    def test_zero_columns(self, consumer):
        d = memory.Data(0)
        for _ in range(3):
            assert consumer.data_add_row(d, []) is None
        assert consumer.data_cells(d) == []
        for _ in range(2):
            with pytest.raises(ZeroDivisionError, match="^float division$"):
                memoryview(d)
        assert consumer.data_members(d)[3] == 0
        assert consumer.data_add_row(d, [1]) is None
        assert consumer.data_cells(d) == []

    def test_subclass_rows(self, consumer):
        class Rows(memory.Data):
            pass

        r = Rows(2)
        consumer.data_add_row(r, [3, 4])
        assert rows_of(r) == [[3, 4]]


# ---- initializeData -----------------------------------------------------------------------


class TestInitializeData:
    def test_clears_pointers_and_count_only(self, consumer):
        size = RECORD_SIZES["DataStruct"]
        before = bytes((i * 37 + 11) % 251 + 1 for i in range(size))  # no zero byte
        after = consumer.initialize_data_struct(before)
        assert len(after) == size
        assert after[0:120] == bytes(120)       # fifteen pointers
        assert after[120:152] == before[120:152]  # the caller's 32 bytes
        assert after[152:168] == bytes(16)      # two pointers
        assert after[168:172] == bytes(4)       # count
        assert after[172:176] == before[172:176]  # trailing padding untouched

    def test_user_bytes_survive_any_pattern(self, consumer):
        for fill in (b"\x00", b"\xff", os.urandom(1)):
            record = bytearray(fill * 176)
            record[120:152] = os.urandom(32)
            after = consumer.initialize_data_struct(bytes(record))
            assert after[120:152] == bytes(record[120:152])
            assert struct.unpack_from("<15Q", after, 0) == (0,) * 15
            assert struct.unpack_from("<2Qi", after, 152) == (0, 0, 0)


# ---- load_triple_from_numpy --------------------------------------------------------------


class Reports:
    """Unraisable reports as (type, message, context) plus what went to the
    error stream.  On 3.8+ the reports come from sys.unraisablehook; 3.7 has
    no hook, so there they are read back from the error stream."""

    def __init__(self, capfd, hooked):
        self.capfd = capfd
        self.hooked = hooked

    def take(self):
        err = self.capfd.readouterr().err
        if self.hooked is not None:
            got = list(self.hooked)
            del self.hooked[:]
        else:
            marker = "Exception ignored in: %r" % LOADER
            got = [(IndexError, OOB, LOADER)] * err.count(marker)
        return got, err


@pytest.fixture
def reports(request, capfd):
    hooked = request.getfixturevalue("unraisable") if hasattr(sys, "unraisablehook") else None
    return Reports(capfd, hooked)


class TestLoader:
    def test_three_columns(self, consumer, reports):
        table = np.array([[1, 2, 3], [4, 5, 6], [7, 8, 9], [10, 11, 12]], dtype=np.int32)
        assert consumer.load_triples(table) == [(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12)]
        assert reports.take()[0] == []

    def test_extra_columns_are_ignored(self, consumer):
        table = np.arange(20, dtype=np.int32).reshape(4, 5)
        assert consumer.load_triples(table) == [tuple(r[:3]) for r in table.tolist()]

    def test_only_as_many_records_as_rows(self, consumer):
        table = np.array([[1, 2, 3], [4, 5, 6]], dtype=np.int32)
        assert consumer.load_triples(table, 4) == [(1, 2, 3), (4, 5, 6), (-7, -7, -7), (-7, -7, -7)]

    @pytest.mark.parametrize("rows", [1, 2, 3, 7])
    @pytest.mark.parametrize("ncols", [3, 4, 5, 8])
    def test_records_past_the_rows_are_untouched(self, consumer, rows, ncols):
        table = np.arange(rows * ncols, dtype=np.int32).reshape(rows, ncols) + 100
        for view in (table, table[::-1]):
            loaded = consumer.load_triples(view, rows + 2)
            assert loaded[:rows] == [tuple(r[:3]) for r in view.tolist()]
            assert loaded[rows:] == [(-7, -7, -7)] * 2

    def test_strided_rows(self, consumer):
        base = np.arange(8 * 3, dtype=np.int32).reshape(8, 3)
        every_other = base[::2]
        assert every_other.strides == (24, 4)
        assert consumer.load_triples(every_other) == [tuple(r) for r in every_other.tolist()]
        backwards = base[::-1]
        assert backwards.strides == (-12, 4)
        assert consumer.load_triples(backwards) == [tuple(r) for r in backwards.tolist()]
        wide = np.arange(6 * 7, dtype=np.int32).reshape(6, 7)[1:, 2:]
        assert consumer.load_triples(wide) == [tuple(r[:3]) for r in wide.tolist()]
        # any column step: Fortran order, transposed, every other or reversed columns, ctypes' "<i"
        cols = np.arange(5 * 6, dtype=np.int32).reshape(6, 5) * 7 - 50
        views = [np.asfortranarray(cols), np.ascontiguousarray(cols.T).T[::-1], cols[:, ::2],
                 cols[::-2, ::-1], np.ctypeslib.as_ctypes(cols)]
        assert [np.asarray(v).strides[1] for v in views] == [24, 24, 8, -4, 4]
        for view in views:
            assert consumer.load_triples(view) == [tuple(r[:3]) for r in np.asarray(view).tolist()]
        # a slice made by hand with the column step left at 0 reads 4
        assert consumer.load_triples(cols[:, 1:], 6, 0) == [tuple(r[1:4]) for r in cols.tolist()]
        assert consumer.load_triples(cols[:, :2], 1, 0) == [(-50, -43, -7)]

    @pytest.mark.parametrize("table, message", [
        (np.zeros((2, 3, 1), np.int32), "expected a two-dimensional buffer, got 3 dimension(s)"),
        (np.zeros((2, 3), np.int64), "buffer items are 8 bytes, expected 4 (32-bit signed integers)"),
        (np.zeros((2, 3), np.uint32), "buffer format 'I' is not a native 32-bit signed integer"),
        (np.zeros((2, 3), ">i4" if sys.byteorder == "little" else "<i4"),
         "buffer format '%si' is not a native 32-bit signed integer" % ("><"[sys.byteorder == "big"])),
        (np.broadcast_to(np.int32(1), (2, 3)),
         "buffer columns share one item (column step 0); copy the table first"),
        (Exported(np.zeros((2, 3), np.int32), shape=(-1, 3)), "buffer has a negative row count (-1)"),
        (Exported(np.zeros((2, 3), np.int32), shape=(2, -3)), "buffer has a negative column count (-3)"),
    ])
    def test_slice_helper_refuses(self, consumer, resolve, table, message):
        with pytest.raises(ValueError) as info:
            consumer.load_triples(resolve(table), 2)
        assert str(info.value) == message

    def test_negative_and_extreme_values(self, consumer):
        table = np.array([[-1, -2, -3], [-2 ** 31, 2 ** 31 - 1, 0]], dtype=np.int32)
        assert consumer.load_triples(table) == [(-1, -2, -3), (-2 ** 31, 2 ** 31 - 1, 0)]

    def test_large_contiguous_table(self, consumer):
        rng = np.random.default_rng(5)
        table = rng.integers(-2 ** 31, 2 ** 31, size=(20000, 3), dtype=np.int32)
        assert consumer.load_triples(table) == [tuple(r) for r in table.tolist()]

    def test_large_strided_table(self, consumer):
        rng = np.random.default_rng(6)
        table = rng.integers(-1000, 1000, size=(20000, 5), dtype=np.int32)
        assert consumer.load_triples(table) == [tuple(r[:3]) for r in table.tolist()]

    @pytest.mark.parametrize("ncols", [0, 1, 2, 3, 5])
    def test_zero_rows_write_and_report_nothing(self, consumer, reports, ncols):
        table = np.zeros((0, ncols), dtype=np.int32)
        assert consumer.load_triples(table, 2) == [(-7, -7, -7)] * 2
        assert reports.take()[0] == []

    @pytest.mark.parametrize("ncols, first", [
        (2, (10, 11, -7)),
        (1, (10, -7, -7)),
        (0, (-7, -7, -7)),
    ])
    def test_too_few_columns(self, consumer, reports, ncols, first):
        table = np.array([[10, 11], [12, 13]], dtype=np.int32)[:, :ncols]
        assert table.shape == (2, ncols)
        # the caller sees no exception; record 0 holds what its columns gave
        assert consumer.load_triples(table, 3) == [first, (-7, -7, -7), (-7, -7, -7)]
        got, err = reports.take()
        assert got == [(IndexError, OOB, LOADER)]
        # the exception was also printed, with its traceback, before the report
        assert ("IndexError: " + OOB) in err

    def test_null_destination(self, consumer, reports, capfd_text):
        capfd_text(consumer)
        table = np.arange(6, dtype=np.int32).reshape(2, 3)
        reports.take()
        assert consumer.load_into_null(table) is None
        assert capfd_text(consumer).out == "ptr is NULL!\n"
        assert consumer.load_into_null(table[:0]) is None
        assert capfd_text(consumer).out == "ptr is NULL!\n"
        assert reports.take()[0] == []
