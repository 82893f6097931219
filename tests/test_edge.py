"""The error edge of the header-only CPython helpers (morvex/utils/pyhelpers)
in a probe extension built from them alone: it imports without a symbol of
either extension, and each kind of failure becomes its Python exception,
with the traceback entry at the failing statement, at the edge for a C++
exception, or none where none is asked for."""
import importlib
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PROBE = r"""
#include "mx_py.h"
#include <stdexcept>
#include <string>
namespace {
const char kSourceFile[] = "probe.cpp";
PyObject *entries;  // (name, file, line) of every entry the edge adds
void record(const char *name, const char *file, int line) {
    mx::SavedError pending;
    mx::Ref entry = mx::Ref::take(Py_BuildValue("(ssi)", name, file, line));
    if (entry) PyList_Append(entries, entry.get());
}
constexpr mx::EdgeRules kRules{record, "probe: unknown C++ exception"};
PyObject *fail(PyObject *, PyObject *arg) {
    std::string kind = PyUnicode_AsUTF8(arg);
    return mx::edge(kRules, "probe.fail", MX_HERE, [&]() -> PyObject * {  // edge
        if (kind == "python") { PyErr_SetString(PyExc_ValueError, "set"); MX_FAIL(); }  // python
        if (kind == "silent") MX_FAIL();  // silent
        if (kind == "untraced") mx::take(PyLong_FromString("x", nullptr, 10), mx::kUntraced);
        if (kind == "inner") mx::traced(kRules, "probe.inner", MX_HERE, [] { MX_TAKE(PyNumber_Index(Py_None)); });  // inner
        if (kind == "bad_alloc") throw std::bad_alloc();
        if (kind == "std") throw std::length_error("too long");
        if (kind == "unknown") throw 42;
        return mx::Ref::new_ref(Py_None).steal();
    });
}
PyMethodDef methods[] = {{"fail", fail, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "_mx_edge_probe", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};
}
MX_MODINIT_FUNC PyInit__mx_edge_probe(void) {
    entries = PyList_New(0);
    PyObject *m = PyModule_Create(&def);
    if (m && PyModule_AddObject(m, "entries", entries) == 0) return m;
    Py_XDECREF(m);
    return nullptr;
}
"""

BUILD = """from setuptools import Extension, setup
setup(name="probe", script_args=["-q", "build_ext", "--inplace"], ext_modules=[Extension(
    "_mx_edge_probe", ["probe.cpp"], include_dirs=[%r], language="c++",
    extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-Werror", "-fvisibility=hidden"])])
"""


def line_of(mark):
    return next(i for i, text in enumerate(PROBE.splitlines(), 1) if text.endswith("// " + mark))


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    tree = tmp_path_factory.mktemp("edge")
    (tree / "probe.cpp").write_text(PROBE)
    (tree / "build.py").write_text(BUILD % os.path.join(ROOT, "morvex", "utils", "pyhelpers"))
    subprocess.run([sys.executable, "build.py"], cwd=str(tree), check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(tree))
    try:
        return importlib.import_module("_mx_edge_probe")
    finally:
        sys.path.remove(str(tree))


@pytest.mark.parametrize("kind, error, message, entries", [
    ("python", ValueError, "set", [("probe.fail", "python")]),
    ("silent", SystemError, "error return without exception set", [("probe.fail", "silent")]),
    ("untraced", ValueError, "invalid literal for int() with base 10: 'x'", []),
    ("inner", TypeError, "'NoneType' object cannot be interpreted as an integer", [("probe.inner", "inner")]),
    ("bad_alloc", MemoryError, "", [("probe.fail", "edge")]),
    ("std", RuntimeError, "too long", [("probe.fail", "edge")]),
    ("unknown", RuntimeError, "probe: unknown C++ exception", [("probe.fail", "edge")]),
])
def test_each_failure_becomes_its_exception_and_entry(probe, kind, error, message, entries):
    del probe.entries[:]
    with pytest.raises(error) as info:
        probe.fail(kind)
    assert str(info.value) == message
    assert probe.entries == [(name, "probe.cpp", line_of(mark)) for name, mark in entries]
    assert probe.fail("none") is None
    assert len(probe.entries) == len(entries)
