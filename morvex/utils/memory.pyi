"""Type stubs for the Python surface of morvex.utils.memory.

The module's main interface is native (the capsules in ``__pyx_capi__`` and
the method tables under ``__pyx_vtable__``, declared in memory.h and
memory.pxd); these stubs cover what Python code sees.  Constructors take
their arguments in ``__new__`` (the classes are native); an ``int`` argument
accepts any object with ``__index__``; a parameter whose name starts with
two underscores is positional-only.  No class can be pickled:
``__reduce__`` and ``__setstate__`` always raise TypeError.
"""
import warnings as warnings
from typing import Any, Dict, List, NoReturn, TypeVar

_T = TypeVar("_T")

class PyMalloc:
    """Box of a native allocation function (set natively through set_func)."""
    def __new__(cls: type[_T], *args: Any, **kwargs: Any) -> _T: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

class PyFree:
    """Box of a native release function (set natively through set_func)."""
    def __new__(cls: type[_T], *args: Any, **kwargs: Any) -> _T: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

class MemoryPool:
    """Owns raw blocks handed out natively (alloc / realloc / free through
    its method table) and Python objects given to own_pyref; releases them
    all when it goes."""
    def __new__(cls: type[_T], *args: Any, **kwargs: Any) -> _T: ...
    @property
    def size(self) -> int:
        """Bytes of the blocks currently recorded."""
    @property
    def addresses(self) -> Dict[int, int]:
        """The pool's own dict: block address -> byte count."""
    @property
    def refs(self) -> List[object]:
        """The pool's own list of objects kept alive, in order given."""
    @property
    def pymalloc(self) -> PyMalloc:
        """The box of the function every block comes from."""
    @property
    def pyfree(self) -> PyFree:
        """The box of the function every block goes back through."""
    def own_pyref(self, __obj: object) -> None:
        """Keeps ``obj`` alive for as long as the pool lives."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

class Data:
    """A growable table of int32 rows, ``ncols`` wide, appended to natively
    (add_row) and exported as a writable (rows, ncols) buffer of format "i";
    it refuses to grow while a view is alive."""
    def __new__(cls: type[_T], ncols: int) -> _T: ...
    # the buffer protocol (the interpreter shows these names from 3.12 on)
    def __buffer__(self, __flags: int) -> memoryview: ...
    def __release_buffer__(self, __buffer: memoryview) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

class Memory:
    """A block of ``number`` four-byte cells, reachable natively only."""
    def __new__(cls: type[_T], number: int) -> _T: ...
    def resize(self, __number: int) -> None:
        """Reallocates the block to ``number`` cells (it may move)."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

Default_Malloc: PyMalloc
"""A PyMalloc boxing the interpreter's PyMem_Malloc."""
Default_Free: PyFree
"""A PyFree boxing the interpreter's PyMem_Free."""

__pyx_capi__: Dict[str, Any]
"""Name -> capsule named by the export's exact C signature string."""
__test__: Dict[str, Any]
