"""What the tests compare the module against, written once: the exported
interface (read from scripts/interface.py, the table the header and the
declarations are generated from), the frozen layout sizes, the five orders
as Python sort keys, the random streams' recurrence, and the messages and
limits that several test files check."""
import ctypes
import importlib.util
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _load_interface():
    spec = importlib.util.spec_from_file_location(
        "interface", os.path.join(ROOT, "scripts", "interface.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


interface = _load_interface()
# (name, signature string) of every export, in publication order
EXPORTS = [(interface.name(e), e.signature) for e in interface.EXPORTS]
VARIABLES = [interface.name(e) for e in interface.VARIABLES]
CLASSES = [cls for cls, _ in interface.CLASSES]
WITH_VTABLE = [cls for cls, vtable in interface.CLASSES if vtable]

# the classes' instance sizes and the records' sizes (frozen: consumers
# read members by offset)
BASIC_SIZES = {"Memory": 24, "Data": 96, "PyMalloc": 32, "PyFree": 32, "MemoryPool": 64}
RECORD_SIZES = {"Triple": 12, "Pair": 16, "DataStruct": 176}

MASK = 2 ** 64 - 1
INT_MIN, INT_MAX = -2 ** 31, 2 ** 31 - 1
MULTIPLIER = 25214903917
INCREMENT = 11

BUFFERS_SOURCE = "morvex\\utils\\src\\buffers.cpp"  # as traceback entries name it
DIV0 = "integer division or modulo by zero"
NOT_FREED = "Can not free some memory!\n"
OOB = "Out of bounds on buffer access (axis 1)"

# sort keys of the five orders, by the comparison's name without "cmp_"
KEYS = {
    "head": lambda t: (t[0], t[1], t[2]),
    "tail": lambda t: (t[2], t[1], t[0]),
    "rel": lambda t: (t[0], t[2], t[1]),
    "rel2": lambda t: (t[1], t[0], t[2]),
    "rel3": lambda t: (t[1], t[2], t[0]),
}
ORDERS = list(KEYS)
# the same, under the exported names
CMP_KEYS = {"cmp_" + name: key for name, key in KEYS.items()}
CMP_ORDERS = list(CMP_KEYS)


def step(s):
    """One step of a stream: the whole 64-bit word is the state."""
    return (s * MULTIPLIER + INCREMENT) & MASK


def next_states(start, n):
    """The next n states of a stream that stands at `start`."""
    out = []
    for _ in range(n):
        start = step(start)
        out.append(start)
    return out


def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    name = get_name(capsule)
    return None if name is None else name.decode()
