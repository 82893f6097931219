"""Memory and Data as Python code sees them: construction, argument errors,
resizing, buffer export and the pickling refusal."""
import copy
import gc
import pickle
import sys
import traceback

import numpy as np
import pytest

import morvex.utils.memory as memory
from model import BUFFERS_SOURCE as SOURCE
CINIT_COUNT = "__cinit__() takes exactly 1 positional argument (%d given)"


def last_entry(excinfo):
    """The innermost traceback entry of a caught exception."""
    return traceback.extract_tb(excinfo.value.__traceback__)[-1]


def assert_entry(excinfo, name):
    entry = last_entry(excinfo)
    assert entry.name == name
    assert entry.filename == SOURCE
    assert entry.lineno > 0


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---- construction arguments ------------------------------------------------------


class TestConstructorArguments:
    @pytest.mark.parametrize("cls, kw", [(memory.Memory, "number"), (memory.Data, "ncols")])
    def test_positional_count(self, cls, kw):
        with pytest.raises(TypeError) as info:
            cls()
        assert str(info.value) == CINIT_COUNT % 0
        assert_entry(info, "morvex.utils.memory.%s.__cinit__" % cls.__name__)
        with pytest.raises(TypeError) as info:
            cls(1, 2)
        assert str(info.value) == CINIT_COUNT % 2
        with pytest.raises(TypeError) as info:
            cls(1, 2, **{kw: 3})
        assert str(info.value) == CINIT_COUNT % 2

    @pytest.mark.parametrize("cls, kw", [(memory.Memory, "number"), (memory.Data, "ncols")])
    def test_keyword_errors(self, cls, kw):
        with pytest.raises(TypeError) as info:
            cls(1, **{kw: 2})
        assert str(info.value) == "__cinit__() got multiple values for keyword argument '%s'" % kw
        assert_entry(info, "morvex.utils.memory.%s.__cinit__" % cls.__name__)
        with pytest.raises(TypeError) as info:
            cls(**{kw: 2, "rows": 3})
        assert str(info.value) == "__cinit__() got an unexpected keyword argument 'rows'"
        with pytest.raises(TypeError) as info:
            cls(1, rows=3)
        assert str(info.value) == "__cinit__() got an unexpected keyword argument 'rows'"
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"):
            cls(rows=3)  # without the parameter, the count is what is wrong

    def test_exact_messages_from_the_brief_cases(self):
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"):
            memory.Memory()
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got multiple values for keyword argument 'number'$"):
            memory.Memory(1, number=2)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'rows'$"):
            memory.Data(ncols=2, rows=3)

    def test_keyword_alone_is_accepted(self):
        assert isinstance(memory.Memory(number=4), memory.Memory)
        d = memory.Data(ncols=2)
        assert memoryview(d).shape == (0, 2)

    @pytest.mark.parametrize("cls", [memory.Memory, memory.Data])
    def test_index_protocol(self, cls):
        assert isinstance(cls(Index(3)), cls)
        assert isinstance(cls(True), cls)
        with pytest.raises(TypeError) as info:
            cls(1.5)
        assert str(info.value) == "'float' object cannot be interpreted as an integer"
        assert_entry(info, "morvex.utils.memory.%s.__cinit__" % cls.__name__)
        with pytest.raises(TypeError, match="'str' object cannot be interpreted as an integer"):
            cls("3")
        with pytest.raises(OverflowError):
            cls(2 ** 64)
        with pytest.raises(OverflowError):
            cls(-2 ** 63 - 1)


# ---- Memory -----------------------------------------------------------------------


class TestMemory:
    def test_zero_cells(self):
        m = memory.Memory(0)
        assert m.resize(0) is None
        assert m.resize(5) is None

    @pytest.mark.parametrize("number", [-1, -2 ** 61, -2 ** 63, 2 ** 61, 2 ** 62, 2 ** 63 - 1])
    def test_refused_counts_raise_memory_error(self, number):
        # negative counts and counts whose byte size passes 2^63 - 1
        with pytest.raises(MemoryError) as info:
            memory.Memory(number)
        assert info.value.args == ()
        assert_entry(info, "morvex.utils.memory.Memory.__cinit__")

    @pytest.mark.parametrize("number", [-1, -2 ** 63, 2 ** 62, 2 ** 63 - 1])
    def test_refused_resize_keeps_the_object_usable(self, number):
        m = memory.Memory(2)
        with pytest.raises(MemoryError) as info:
            m.resize(number)
        assert info.value.args == ()
        assert_entry(info, "morvex.utils.memory.Memory.resize")
        assert m.resize(4) is None
        assert m.resize(1) is None

    def test_resize_argument_conversion(self):
        m = memory.Memory(1)
        assert m.resize(Index(6)) is None
        with pytest.raises(TypeError) as info:
            m.resize(2.0)
        assert str(info.value) == "'float' object cannot be interpreted as an integer"
        assert_entry(info, "morvex.utils.memory.Memory.resize")
        with pytest.raises(OverflowError) as info:
            m.resize(2 ** 63)
        assert_entry(info, "morvex.utils.memory.Memory.resize")
        assert m.resize(3) is None

    def test_resize_takes_exactly_one_positional_argument(self):
        m = memory.Memory(1)
        with pytest.raises(TypeError, match=r"resize\(\) takes no keyword arguments"):
            m.resize(number=4)
        with pytest.raises(TypeError, match=r"resize\(\) takes exactly one argument \(2 given\)"):
            m.resize(1, 2)
        with pytest.raises(TypeError, match=r"resize\(\) takes exactly one argument \(0 given\)"):
            m.resize()

    def test_no_python_visible_contents(self):
        m = memory.Memory(4)
        assert [n for n in dir(m) if not n.startswith("__")] == ["resize"]
        with pytest.raises(TypeError):
            memoryview(m)

    def test_subclass_with_finaliser(self):
        seen = []

        class Tracked(memory.Memory):
            def __del__(self):
                seen.append(type(self).__name__)

        t = Tracked(number=3)
        assert t.resize(9) is None
        del t
        gc.collect()
        assert seen == ["Tracked"]

    def test_release_keeps_a_pending_exception(self):
        try:
            raise KeyError("in flight")
        except KeyError:
            m = memory.Memory(8)
            del m
            gc.collect()
            assert sys.exc_info()[1].args == ("in flight",)


# ---- Data: construction and buffer export -----------------------------------------


class TestDataExport:
    def test_new_table_through_memoryview(self):
        d = memory.Data(3)
        with memoryview(d) as mv:
            assert mv.shape == (0, 3)
            assert mv.strides == (12, 4)
            assert mv.nbytes == 0
            assert mv.format == "i"
            assert mv.itemsize == 4
            assert mv.ndim == 2
            assert mv.readonly is False
            assert mv.suboffsets == ()
            assert mv.obj is d
            assert mv.tolist() == []

    def test_new_table_through_numpy(self):
        d = memory.Data(3)
        a = np.asarray(d)
        # numpy normalises the strides of an empty array; the exported ones
        # are checked through memoryview above
        assert a.shape == (0, 3)
        assert a.dtype == np.int32
        assert a.nbytes == 0
        assert a.flags.writeable

    def test_a_read_only_request_gets_the_full_description(self):
        d = memory.Data(2)
        mv = memoryview(d).toreadonly() if hasattr(memoryview, "toreadonly") else memoryview(d)
        assert mv.shape == (0, 2)
        assert mv.strides == (8, 4)
        mv.release()

    def test_widest_accepted_row(self):
        widest = 2 ** 31 - 1
        with memoryview(memory.Data(widest)) as mv:
            assert mv.shape == (0, widest)
            assert mv.strides == (widest * 4, 4)

    @pytest.mark.parametrize("request_view", [
        memoryview, bytes, lambda d: np.frombuffer(d, dtype=np.int32)])
    def test_zero_columns_cannot_be_viewed(self, request_view):
        d = memory.Data(0)
        for _ in range(3):
            with pytest.raises(ZeroDivisionError) as info:
                request_view(d)
            assert str(info.value) == "float division"
            assert_entry(info, "morvex.utils.memory.Data.__getbuffer__")

    def test_a_view_keeps_the_table_alive(self):
        d = memory.Data(4)
        before = sys.getrefcount(d)
        mv = memoryview(d)
        assert sys.getrefcount(d) == before + 1
        del d
        gc.collect()
        assert mv.shape == (0, 4)
        assert isinstance(mv.obj, memory.Data)
        mv.release()

    def test_views_can_be_taken_and_released_in_any_order(self):
        d = memory.Data(5)
        views = [memoryview(d) for _ in range(4)]
        for i in (2, 0, 3, 1):
            views[i].release()
        with memoryview(d) as mv:
            assert mv.shape == (0, 5)


class TestDataWidth:
    @pytest.mark.parametrize("ncols", [-1, -3, -2 ** 63])
    def test_negative_width_is_refused(self, ncols):
        with pytest.raises(ValueError) as info:
            memory.Data(ncols)
        assert str(info.value) == "ncols must not be negative"
        assert_entry(info, "morvex.utils.memory.Data.__cinit__")

    @pytest.mark.parametrize("ncols", [2 ** 31, 2 ** 40, 2 ** 63 - 1])
    def test_width_beyond_32_bits_is_refused(self, ncols):
        with pytest.raises(OverflowError) as info:
            memory.Data(ncols=ncols)
        assert str(info.value) == "ncols must not exceed 2147483647"
        assert_entry(info, "morvex.utils.memory.Data.__cinit__")

    def test_subclass_with_finaliser(self):
        seen = []

        class Rows(memory.Data):
            def __del__(self):
                seen.append(memoryview(self).shape)

        r = Rows(ncols=2)
        assert memoryview(r).shape == (0, 2)
        del r
        gc.collect()
        assert seen == [(0, 2)]


# ---- pickling -------------------------------------------------------------------------


class TestPickling:
    @pytest.mark.parametrize("make", [lambda: memory.Memory(2), lambda: memory.Data(3)])
    def test_refused(self, make):
        obj = make()
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError) as info:
                attempt(obj)
            assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"

    @pytest.mark.parametrize("cls, arg", [(memory.Memory, 2), (memory.Data, 3)])
    def test_hooks_add_their_entries(self, cls, arg):
        obj = cls(arg)
        with pytest.raises(TypeError) as info:
            obj.__reduce__()
        assert_entry(info, "morvex.utils.memory.%s.__reduce__" % cls.__name__)
        with pytest.raises(TypeError) as info:
            obj.__setstate__({})
        assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"
        assert_entry(info, "morvex.utils.memory.%s.__setstate__" % cls.__name__)
