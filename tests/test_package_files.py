"""The files a consumer builds or type-checks against are installed with the
module, and the type stubs describe exactly the Python surface it has."""
import ast
import os
import re

import pytest

import morvex.utils
import morvex.utils.memory as memory

PACKAGE = os.path.dirname(memory.__file__)


def stub():
    with open(os.path.join(PACKAGE, "memory.pyi")) as f:
        return ast.parse(f.read())


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_consumer_files_are_installed_beside_the_module():
    for name in ("memory.h", "triple.h", "memory.pxd", "memory.pyi", "triples.pyi", "py.typed"):
        assert os.path.isfile(os.path.join(PACKAGE, name)), name
    assert morvex.utils.get_include() == PACKAGE
    header = os.path.join(morvex.utils.get_package_root(), "morvex", "utils", "memory.h")
    assert os.path.isfile(header)


def test_numpy_is_a_declared_dependency():
    """morvex.utils.triples returns numpy arrays: installing the package
    installs numpy."""
    metadata = pytest.importorskip("importlib.metadata")  # CPython 3.8 and newer
    requires = metadata.requires("morvex-utils-memory") or []
    assert [r for r in requires if re.match(r"numpy\b", r)] == ["numpy"], requires


def test_stub_module_names_are_the_runtime_ones():
    tree = stub()
    declared = set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
        elif isinstance(node, ast.Import):
            declared.update(a.asname for a in node.names if a.asname == a.name)
    runtime = public(dir(memory)) | {"__pyx_capi__", "__test__"}
    assert declared == runtime


def test_stub_classes_have_the_runtime_methods_and_properties():
    for node in stub().body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(memory, node.name)
        declared = {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
        props = {f.name for f in node.body if isinstance(f, ast.FunctionDef)
                 and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)}
        assert public(declared) == public(dir(cls)), node.name
        assert props == {n for n in public(dir(cls)) if isinstance(getattr(cls, n), property)
                         or type(getattr(cls, n)).__name__ == "getset_descriptor"}, node.name
        assert {"__new__", "__reduce__", "__setstate__"} <= declared, node.name


def test_stub_property_types():
    pool = memory.MemoryPool()
    pool.own_pyref("kept")
    values = {"size": pool.size, "addresses": pool.addresses, "refs": pool.refs,
              "pymalloc": pool.pymalloc, "pyfree": pool.pyfree}
    cls = next(n for n in stub().body if isinstance(n, ast.ClassDef) and n.name == "MemoryPool")
    annotations = {f.name: ast.unparse(f.returns) if hasattr(ast, "unparse") else None
                   for f in cls.body if isinstance(f, ast.FunctionDef) and f.name in values}
    expected = {"size": "int", "addresses": "Dict[int, int]", "refs": "List[object]",
                "pymalloc": "PyMalloc", "pyfree": "PyFree"}
    if all(a is not None for a in annotations.values()):
        assert annotations == expected
    types = {"int": int, "Dict[int, int]": dict, "List[object]": list,
             "PyMalloc": memory.PyMalloc, "PyFree": memory.PyFree}
    for name, value in values.items():
        assert type(value) is types[expected[name]], name
