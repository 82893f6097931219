"""Start-up, the Python surface and the native export table."""
import copy
import ctypes
import gc
import importlib
import os
import pickle
import subprocess
import sys
import tempfile
import textwrap
import traceback

import pytest

import morvex.utils
import morvex.utils.memory as memory

from model import BASIC_SIZES, CLASSES, EXPORTS, ROOT, VARIABLES, capsule_name, interface

CAPI = getattr(memory, "__pyx_capi__")
UNPICKLE_ENUM = getattr(memory, "__pyx_unpickle_Enum")

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class TestStartUp:
    def test_reimport_returns_the_same_module_without_executing_again(self):
        before, default_malloc = memory, memory.Default_Malloc
        del sys.modules["morvex.utils.memory"]
        try:
            again = importlib.import_module("morvex.utils.memory")
        finally:
            sys.modules["morvex.utils.memory"] = before
        assert again is before
        assert again.Default_Malloc is default_malloc

    def test_executing_on_a_second_module_object_is_refused(self, consumer):
        with pytest.raises(RuntimeError) as info:
            consumer.exec_def_on_fresh(memory)
        assert str(info.value) == (
            "Module 'memory' has already been imported. Re-initialisation is not supported.")

    def test_a_sub_interpreter_cannot_import_it(self):
        _testcapi = pytest.importorskip("_testcapi")
        if not hasattr(_testcapi, "run_in_subinterp"):
            pytest.skip("no run_in_subinterp")
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "result")
            code = textwrap.dedent("""
                import sys
                sys.path[:0] = %r
                try:
                    import morvex.utils.memory
                    result = "imported"
                except ImportError as e:
                    result = "ImportError: " + str(e)
                with open(%r, "w") as f:
                    f.write(result)
            """ % (sys.path, out))
            _testcapi.run_in_subinterp(code)
            with open(out) as f:
                result = f.read()
        assert result == ("ImportError: Interpreter change detected - this module can only be "
                          "loaded into one interpreter per process.")

    def test_module_attributes(self):
        names = dir(memory)
        for name in ["Memory", "Data", "PyMalloc", "PyFree", "MemoryPool", "Default_Malloc",
                     "Default_Free", "warnings", "__test__", "__pyx_capi__", "__pyx_unpickle_Enum",
                     "__builtins__", "__file__", "__loader__", "__package__"]:
            assert name in names
        for hidden in ["array", "Enum", "memoryview", "_memoryviewslice"]:
            assert hidden not in names
        assert memory.__test__ == {}
        assert memory.__doc__ is None
        assert memory.__name__ == "morvex.utils.memory"
        assert memory.__package__ == "morvex.utils"
        assert memory.warnings is sys.modules["warnings"]
        assert UNPICKLE_ENUM.__module__ == "View.MemoryView"
        import builtins
        assert memory.__builtins__ is builtins

    def test_attribute_order_follows_execution(self):
        # in a fresh interpreter: other tests rebind module attributes
        out = subprocess.run([sys.executable, "-c", "import morvex.utils.memory as m; print(list(vars(m)))"],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
        keys = eval(out.stdout)
        order = ["__builtins__", "__pyx_capi__", "Memory", "Data", "PyMalloc", "PyFree",
                 "MemoryPool", "warnings", "Default_Malloc", "Default_Free", "__test__",
                 "__pyx_unpickle_Enum"]
        assert [k for k in keys if k in order] == order

    def test_classes_carry_the_package_path(self):
        for cls in [memory.Memory, memory.Data, memory.PyMalloc, memory.PyFree, memory.MemoryPool]:
            assert cls.__module__ == "morvex.utils.memory"
            assert getattr(memory, cls.__name__) is cls

    def test_view_classes_are_registered_but_not_bound(self):
        # (some heap types of CPython's own test modules have no __module__)
        ours = {c.__name__: c for c in object.__subclasses__()
                if getattr(c, "__module__", None) == "morvex.utils.memory"}
        for name in ["array", "Enum", "memoryview"]:
            assert name in ours and name not in vars(memory)
        view = ours["memoryview"]
        (slice_cls,) = view.__subclasses__()
        assert slice_cls.__name__ == "_memoryviewslice"
        for cls in (ours["array"], view, slice_cls):
            assert capsule_name(cls.__dict__["__pyx_vtable__"]) is None
        assert _get_pointer(view.__dict__["__pyx_vtable__"], None) != _get_pointer(
            slice_cls.__dict__["__pyx_vtable__"], None)
        enum = UNPICKLE_ENUM(ours["Enum"], 0, ("strided",))
        assert repr(enum) == "<strided>"
        with pytest.raises(TypeError):
            UNPICKLE_ENUM(int, 0, None)

    def test_builds_for_the_running_interpreter_without_a_version_warning(self):
        script = "import warnings; warnings.simplefilter('error'); import morvex.utils.memory"
        subprocess.run([sys.executable, "-c", script], check=True, cwd=os.getcwd(),
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))

    def test_get_include_points_at_the_header(self):
        assert os.path.isfile(os.path.join(morvex.utils.get_include(), "memory.h"))
        assert os.path.isfile(os.path.join(morvex.utils.get_package_root(), "morvex", "utils", "memory.h"))


class TestExportTable:
    def test_capi_rows_in_order_with_their_signatures(self):
        capi = CAPI
        assert len(capi) == 28
        assert [(name, capsule_name(cap)) for name, cap in capi.items()] == EXPORTS

    def test_a_capsule_opens_only_with_its_exact_signature(self):
        cap = CAPI["quick_sort"]
        assert _get_pointer(cap, dict(EXPORTS)["quick_sort"].encode())
        with pytest.raises(ValueError):
            _get_pointer(cap, dict(EXPORTS)["quick_sort"].replace(" *", "*").encode())

    def test_variable_capsules_hold_the_variables_addresses(self, consumer):
        addresses = consumer.variable_addresses()
        for name, addr in zip(VARIABLES, addresses):
            cap = CAPI[name]
            assert _get_pointer(cap, capsule_name(cap).encode()) == addr
        assert ctypes.c_int.from_address(addresses[0]).value == 0

    def test_method_tables_are_published_unnamed(self):
        for cls in [memory.Data, memory.PyMalloc, memory.PyFree, memory.MemoryPool]:
            cap = cls.__dict__["__pyx_vtable__"]
            assert capsule_name(cap) is None
            assert _get_pointer(cap, None)
        assert "__pyx_vtable__" not in memory.Memory.__dict__

    def test_boxes_share_their_class_table(self, consumer):
        made = consumer.wrap_malloc()
        called = memory.PyMalloc()
        assert consumer.vtable_of(made) == consumer.vtable_of(called) == consumer.vtable_of(memory.Default_Malloc)
        assert consumer.box_function(made) == consumer.pymem_malloc_address()
        assert consumer.box_function(called) == 0
        assert consumer.wrap_malloc() is not made

    def test_basic_sizes_match_the_header(self):
        assert {name: getattr(memory, name).__basicsize__ for name in CLASSES} == BASIC_SIZES

    def test_the_generated_text_is_what_the_table_makes(self):
        """memory.h and memory.pxd hold, between their markers, exactly what
        scripts/interface.py makes from its table."""
        assert interface.stale(ROOT) == []


class TestPythonSurface:
    @pytest.mark.parametrize("make, message", [
        (lambda: memory.MemoryPool(), "no default __reduce__ due to non-trivial __cinit__"),
        (lambda: memory.Memory(1), "no default __reduce__ due to non-trivial __cinit__"),
        (lambda: memory.Data(1), "no default __reduce__ due to non-trivial __cinit__"),
        (lambda: memory.Default_Malloc, "self.malloc_func cannot be converted to a Python object for pickling"),
        (lambda: memory.Default_Free, "self.free_func cannot be converted to a Python object for pickling"),
    ])
    def test_pickling_is_refused(self, make, message):
        obj = make()
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__(None)):
            with pytest.raises(TypeError) as info:
                attempt(obj)
            assert str(info.value) == message

    def test_refusal_adds_its_traceback_entry(self):
        with pytest.raises(TypeError) as info:
            memory.MemoryPool().__reduce__()
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert last.name == "morvex.utils.memory.MemoryPool.__reduce__"
        assert last.filename == "morvex\\utils\\src\\pool.cpp"
        assert last.lineno > 0

    def test_subclasses_are_refused_too(self):
        class Sub(memory.MemoryPool):
            pass
        with pytest.raises(TypeError, match="non-trivial __cinit__"):
            pickle.dumps(Sub())

    @pytest.mark.parametrize("cls, args", [(memory.Memory, (2,)), (memory.Data, (2,)), (memory.PyMalloc, ()),
                                           (memory.PyFree, ()), (memory.MemoryPool, ())])
    def test_a_slotless_subclass_finaliser_runs_once(self, cls, args):
        calls = []  # a second call would revive the object under a dealloc that goes on
        Sub = type("Sub", (cls,), {"__slots__": (), "__del__": lambda self: calls.append(self if calls else 0)})
        before = sys.getrefcount(Sub)
        Sub(*args)
        gc.collect()
        assert calls == [0] and sys.getrefcount(Sub) == before

    def test_constructors_that_ignore_arguments(self):
        assert isinstance(memory.MemoryPool(1, 2, key=3), memory.MemoryPool)
        assert isinstance(memory.PyMalloc(7), memory.PyMalloc)
        assert isinstance(memory.PyFree(x=1), memory.PyFree)
        assert isinstance(memory.PyMalloc(1, k=2), memory.PyMalloc)

    def test_pool_attributes_are_read_only(self):
        pool = memory.MemoryPool()
        for name, value in [("size", 1), ("refs", []), ("addresses", {}), ("pymalloc", None), ("pyfree", None)]:
            with pytest.raises(AttributeError):
                setattr(pool, name, value)
            with pytest.raises(AttributeError):
                delattr(pool, name)

    def test_new_pool_state(self):
        pool = memory.MemoryPool()
        assert pool.size == 0 and pool.addresses == {} and pool.refs == []
        assert isinstance(pool.pymalloc, memory.PyMalloc) and isinstance(pool.pyfree, memory.PyFree)
        assert pool.pymalloc is not memory.Default_Malloc and pool.pyfree is not memory.Default_Free
        assert pool.addresses is pool.addresses  # the pool's own objects, not copies

    def test_own_pyref_keeps_objects_in_order(self):
        pool, a, b = memory.MemoryPool(), object(), object()
        assert pool.own_pyref(a) is None
        pool.own_pyref(b)
        pool.own_pyref(a)
        assert pool.refs == [a, b, a]
        with pytest.raises(TypeError):
            pool.own_pyref()
        with pytest.raises(TypeError):
            pool.own_pyref(obj=a)
