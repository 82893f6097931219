"""The exported interface of morvex.utils.memory, written once.

Consumers take the module's variables and functions from capsules in its
`__pyx_capi__`, and each capsule is named with a signature string that the
consumer must match character for character.  The table below gives every
export, in publication order, as its Cython declaration (the spelling
memory.pxd needs: `const int`, `const_void *` and `int[:, :]` are what make
Cython generate the published strings) with its signature string; the C
types are derived from the declaration.  From it come:

- in morvex/utils/memory.h: the export rows (the MORVEX_MEMORY_* X-macros,
  from which the module publishes its capsules and against which it checks
  each definition's type), the consumer's struct of pointers
  (`morvex_memory_api`) and the fetch list of morvex_memory_import();
- in morvex/utils/memory.pxd: the declarations of the variables and
  functions;
- the tests' expectations (tests/model.py loads this file).

The generated text is committed, between marker comments, so that consumers
build from the header alone:

    python scripts/interface.py          # rewrites the generated text
    python scripts/interface.py --check  # exits 1 when any of it is stale

(tests/test_frame.py runs the same check.)
"""
import collections
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

POOL = "struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *"
TRIPLE = "__pyx_t_6morvex_5utils_6memory_Triple"
CMP = "int (%s, %s)" % (TRIPLE, TRIPLE)

# Strings the header names MORVEX_SIG_<name>, and writes its rows with.
SIG_MACROS = [("POOL", POOL), ("TRIPLE", TRIPLE), ("CMP", CMP)]

Export = collections.namedtuple("Export", "declaration signature note pxd_note")


def export(declaration, signature, note="", pxd_note=""):
    """One export: its declaration as memory.pxd writes it, its capsule's
    signature string, and what to say of it (`note` in memory.h and
    memory.pxd, `pxd_note` in memory.pxd only)."""
    return Export(declaration, signature, note.strip("\n"), pxd_note.strip("\n"))


VARIABLES = [
    export("int WARN_ZERO_ALLOC", "int", "never read by the module"),
    export("unsigned long long *next_random", "unsigned PY_LONG_LONG *",
           "one state per worker thread"),
    export("unsigned long long *id_random", "unsigned PY_LONG_LONG *", "20 id-keyed states"),
    export("MemoryPool global_random_memory_pool", POOL, "owns the two arrays"),
]

FUNCTIONS = [
    export("PyMalloc WrapMalloc(malloc_t malloc_func)",
           "struct __pyx_obj_6morvex_5utils_6memory_PyMalloc "
           "*(__pyx_t_6morvex_5utils_6memory_malloc_t)",
           "allocator boxes: a new box holding the given function"),
    export("PyFree WrapFree(free_t free_func)",
           "struct __pyx_obj_6morvex_5utils_6memory_PyFree "
           "*(__pyx_t_6morvex_5utils_6memory_free_t)"),
    export("void initializeData(DataStruct *data) noexcept",
           "void (__pyx_t_6morvex_5utils_6memory_DataStruct *)",
           "clears the record's `arrays`, `tables` and `count`; `user` is left as it is"),
    export("void set_int_ptr(int **ptr, int count, int fill_minus_one, MemoryPool pool) noexcept",
           "void (int **, int, int, %s)" % POOL, """
typed array helpers: *ptr becomes a fresh block of `count` elements owned
by `pool` (zeroed; set_int_ptr fills -1 when fill_minus_one is non-zero,
set_pair_ptr stores second = -1); the old block goes back to the pool
"""),
    export("void set_float_ptr(float **ptr, int count, MemoryPool pool) noexcept",
           "void (float **, int, %s)" % POOL),
    export("void set_pair_ptr(Pair **ptr, int count, MemoryPool pool) noexcept",
           "void (__pyx_t_6morvex_5utils_6memory_Pair **, int, %s)" % POOL),
    export("void set_triple_ptr(Triple **ptr, int count, MemoryPool pool) noexcept",
           "void (%s **, int, %s)" % (TRIPLE, POOL)),
    export("void load_triple_from_numpy(Triple *ptr, int[:, :] table) noexcept",
           "void (%s *, __Pyx_memviewslice)" % TRIPLE, """
copies columns 0, 1, 2 of an (n, >=3) int32 table into ptr[0..n-1], reading
item (i, j) through both of the table's strides, so Fortran-ordered,
transposed and column-strided tables load as they read.
""", pxd_note="""
The view stays `int[:, :]`: Cython will not pass an `int[:, :]` view where
`int[:, ::1]` is declared.  It is not const either: Cython's code for const
views trips -Wextra's -Wignored-qualifiers; copy a read-only array first.
(C and C++ consumers build the slice from a Py_buffer with
morvex_memviewslice_from_buffer() in memory.h.)
"""),
    export("int cmp_head(Triple a, Triple b) noexcept nogil", CMP,
           "the five orders (the comparison type above lists their keys) and the sort"),
    export("int cmp_tail(Triple a, Triple b) noexcept nogil", CMP),
    export("int cmp_rel(Triple a, Triple b) noexcept nogil", CMP),
    export("int cmp_rel2(Triple a, Triple b) noexcept nogil", CMP),
    export("int cmp_rel3(Triple a, Triple b) noexcept nogil", CMP),
    export("void quick_sort(Triple *array, int count, cmp_type cmp) noexcept nogil",
           "void (%s *, int, __pyx_t_6morvex_5utils_6memory_cmp_type)" % TRIPLE),
    export("void setThreadNumberAndRandSeed(const int thread_number, const int seed) noexcept",
           "void (int const , int const )", """
The random streams are set up with the GIL held, in this order:
  1. setRandMemory(): a fresh pool for the state arrays (the previous pool,
     and with it both arrays, goes);
  2. setThreadNumberAndRandSeed(n, seed): seeds the C library's generator
     (setRandSeed), then fills n per-thread states from it (randReset(n));
     and reset_random_on_id(): re-seeds that generator with a fixed seed
     and fills the 20 id-keyed states, the same in every run;
  3. draws, from any thread and without the GIL: thread w uses its own slot
     through _rand64(w) or rand_max(w, bound, 1); random_for_prob(id) and
     rand_max(id, bound, other) use the id-keyed slot id % 20.
randReset(n) alone refills the per-thread states from wherever the
generator stands.  Only seeds above 1 are applied: a seed of 0 or 1 leaves
the generator unseeded, so the states go on from wherever it stands and a
second set-up with that seed gives other streams.  Use 2 or more to repeat
draws.
"""),
    export("void setRandMemory() noexcept", "void (void)"),
    export("void setRandSeed(int seed) noexcept nogil", "void (int)"),
    export("void randReset(int thread_number) noexcept", "void (int)"),
    export("unsigned long long _rand64(int id) noexcept nogil", "unsigned PY_LONG_LONG (int)"),
    export("long rand_max(const int id, const long bound, const int stream) noexcept nogil",
           "long (int const , long const , int const )"),
    export("long rand64(const long low, const long high) noexcept nogil",
           "long (long const , long const )"),
    export("int _compare(const_void *a, const_void *b) noexcept nogil",
           "int (const void *, const void *)",
           "qsort-style comparison of two records on their second 32-bit field, read as a float"),
    export("void reset_random_on_id() noexcept", "void (void)",
           "the id-keyed streams: their set-up and their draw (see the random streams above)"),
    export("unsigned long long random_for_prob(int id) noexcept nogil", "unsigned PY_LONG_LONG (int)"),
]

# The classes a consumer may use, in the order the import checks them, with
# the method table each publishes under __pyx_vtable__ (None: Memory has none).
CLASSES = [
    ("Memory", None),
    ("Data", "morvex_Data_vtable"),
    ("PyMalloc", "morvex_PyMalloc_vtable"),
    ("PyFree", "morvex_PyFree_vtable"),
    ("MemoryPool", "morvex_MemoryPool_vtable"),
]

# ---- the declarations, read ---------------------------------------------------

# Cython's names of the records and classes, as C spells them; any other
# type is spelt alike.
C_TYPES = {
    "Triple": "morvex_Triple", "Pair": "morvex_Pair", "DataStruct": "morvex_DataStruct",
    "cmp_type": "morvex_cmp_type", "malloc_t": "morvex_malloc_t", "free_t": "morvex_free_t",
    "const_void": "const void", "int[:, :]": "morvex_memviewslice",
    "MemoryPool": "struct morvex_MemoryPool *", "PyMalloc": "struct morvex_PyMalloc *",
    "PyFree": "struct morvex_PyFree *",
}

Declared = collections.namedtuple("Declared", "name type params")  # params: [(type, name)], or None


def c_type(cython_type):
    """The C type of a Cython one: `Triple *` is `morvex_Triple *`, and the
    const of a parameter passed by value (`const int`) is no part of it."""
    base, stars = re.match(r"^(?:const (?=\w+$|\w+ \w))?(.*?)\s*(\**)$", cython_type).groups()
    base = C_TYPES.get(base, base)
    if not stars:
        return base
    return base + stars if base.endswith("*") else base + " " + stars


def split_name(declarator):
    """('int **', 'ptr') from 'int **ptr'."""
    typ, name = re.match(r"^(.*?)\s*(\w+)$", declarator).groups()
    return typ, name


def declared(e):
    """An export's name, C type (a function's: its result type) and C
    parameters (None for a variable)."""
    m = re.match(r"^(.*?)\((.*)\)((?: noexcept)?(?: nogil)?)$", e.declaration)
    if m is None:
        typ, name = split_name(e.declaration)
        return Declared(name, c_type(typ), None)
    typ, name = split_name(m.group(1))
    params = [split_name(p) for p in re.split(r",\s*(?![^\[]*\])", m.group(2)) if p]
    return Declared(name, c_type(typ), [(c_type(t), n) for t, n in params])


def name(e):
    return declared(e).name


EXPORTS = VARIABLES + FUNCTIONS


# ---- writing C ------------------------------------------------------------------

WIDTH = 80  # the header's line continuations stand in the last column


def c_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def signature_tokens(signature):
    """The signature as C source tokens: ("macro", MORVEX_SIG_<name>) where
    a shorthand names part of it, else ("text", words of the literal, each
    with the blank that follows it)."""
    pieces = [signature]
    for macro, value in reversed(SIG_MACROS):  # the longest first
        out = []
        for piece in pieces:
            if not isinstance(piece, str) or value not in piece:
                out.append(piece)
                continue
            parts = piece.split(value)
            for i, part in enumerate(parts):
                if i:
                    out.append(("macro", "MORVEX_SIG_" + macro))
                out.append(part)
        pieces = [p for p in out if p]
    tokens = []
    for piece in pieces:
        tokens += [piece] if isinstance(piece, tuple) else text_tokens(piece)
    return tokens


def text_tokens(text):
    """The words of a literal, each with the blanks that follow it."""
    return [("text", word) for word in re.findall(r"[^ ]+ *| +", text)]


def render(tokens):
    """C source of tokens: adjacent text makes one literal."""
    out = []
    for kind, text in tokens:
        if kind == "text" and out and out[-1][0] == "text":
            out[-1] = ("text", out[-1][1] + text)
        else:
            out.append((kind, text))
    return " ".join(c_string(text) if kind == "text" else text for kind, text in out)


def continued_expression(head, tokens, tail, indent, room=WIDTH - 2):
    """`head`, the tokens and `tail` on one line if they fit, else the tokens
    on lines of their own after `head`, broken where the lines come out
    most even."""
    if len(head + " " + render(tokens) + tail) <= room:
        return [head + " " + render(tokens) + tail]

    def width(i, j):  # of a line holding tokens[i:j]
        return len(indent + render(tokens[i:j]) + (tail if j == len(tokens) else ""))

    # cost[j]: the least sum of squared slack of lines holding tokens[:j]
    cost, cut = [0] + [float("inf")] * len(tokens), [0] * (len(tokens) + 1)
    for j in range(1, len(tokens) + 1):
        for i in range(j):
            if (width(i, j) <= room or j == i + 1) and cost[i] + (room - width(i, j)) ** 2 < cost[j]:
                cost[j], cut[j] = cost[i] + (room - width(i, j)) ** 2, i
    lines, j = [], len(tokens)
    while j:
        lines.insert(0, indent + render(tokens[cut[j]:j]) + (tail if j == len(tokens) else ""))
        j = cut[j]
    return [head] + lines


def continued(lines):
    """A macro's lines, each but the last ending in a line continuation."""
    return [line.ljust(WIDTH - 2) + " \\" for line in lines[:-1]] + lines[-1:]


def x_row(fields, signature):
    """An X-macro row: the fields, then the signature's expression."""
    head = "    X(" + ", ".join(fields) + ","
    if len(head) > WIDTH - 2:  # the parameter list on a line of its own
        return ["    X(" + ", ".join(fields[:-1]) + ","] + \
            continued_expression("      " + fields[-1] + ",", signature_tokens(signature), ")", "      ")
    return continued_expression(head, signature_tokens(signature), ")", "      ")


def c_params(params, names=True):
    if not params:
        return "(void)"
    parts = []
    for typ, pname in params:
        if not names:
            parts.append(typ)
        else:
            parts.append(typ + pname if typ.endswith("*") else typ + " " + pname)
    return "(" + ", ".join(parts) + ")"


def comment(lines, indent):
    """A C block comment of the given lines."""
    if len(lines) == 1:
        return [indent + "/* " + lines[0] + " */"]
    out = [indent + "/* " + lines[0]]
    out += [(indent + " * " + line).rstrip() for line in lines[1:]]
    out[-1] += " */"
    return out


def header_rows():
    """The export rows: the signature shorthands and the three X-macros."""
    out = comment(["Every published name, in publication order, with the exact capsule name a",
                   "consumer must pass to PyCapsule_GetPointer.  The module publishes its",
                   "capsules from these rows and checks each definition against its row; the",
                   "consumer's table below spells each entry out."], "")
    for macro, value in SIG_MACROS:
        out += continued(continued_expression("#define MORVEX_SIG_" + macro,
                                              text_tokens(value), "", "    "))
    lines = ["#define MORVEX_MEMORY_VARIABLES(X)"]
    for e in VARIABLES:
        d = declared(e)
        lines += x_row([d.name, d.type], e.signature)
    out += ["", "/* X(name, C type of the variable, capsule name) */"] + continued(lines)
    lines = ["#define MORVEX_MEMORY_FUNCTIONS(X)"]
    for e in FUNCTIONS:
        d = declared(e)
        lines += x_row([d.name, d.type, c_params(d.params, names=False)], e.signature)
    out += ["", "/* X(name, result type, parameter list, capsule name) */"] + continued(lines)
    lines = ["#define MORVEX_MEMORY_CLASSES(X)"]
    lines += ["    X(%s, morvex_%s, %s)" % (cls, cls, vtable or "void") for cls, vtable in CLASSES]
    out += ["", "/* X(class name, instance layout, method table or void) */"] + continued(lines)
    return out


def header_table():
    """The consumer's struct of pointers, spelt out."""
    out = ["/* What morvex_memory_import() fills: the address of each exported variable",
           " * (so that its current value is always read), each exported function, and",
           " * each class with its method table.  Above each entry stands the signature",
           " * string its capsule carries. */",
           "typedef struct morvex_memory_api {"]
    for e in VARIABLES:
        d = declared(e)
        out += comment(['"%s": %s' % (e.signature, e.note)], "    ")
        out.append("    %s%s;" % (d.type + "*" if d.type.endswith("*") else d.type + " *", d.name))
    for e in FUNCTIONS:
        d = declared(e)
        out.append("")
        if e.note:
            out += comment(e.note.split("\n"), "    ")
        out += comment(['"%s"' % e.signature], "    ")
        ret = d.type if d.type.endswith("*") else d.type + " "
        out.append("    %s(*%s)%s;" % (ret, d.name, c_params(d.params)))
    out += [""] + comment(["the classes (their sizes are checked against the layouts above) and",
                           "their method tables"], "    ")
    for cls, vtable in CLASSES:
        out.append("    PyTypeObject *%s_type;" % cls)
        if vtable:
            out.append("    %s *%s_vtable;" % (vtable, cls))
        else:
            out.append("    void *%s_vtable; /* %s has no method table: stays NULL */" % (cls, cls))
    out.append("} morvex_memory_api;")
    return out


def header_fetch_list(room=100):
    """morvex_memory_import()'s fetches: every export, then every class, in
    one condition that stops at the first failure."""
    calls = []
    lead = "        "
    align = " " * len(lead + "morvex_memory__fetch(")
    for e in EXPORTS:
        head = '%smorvex_memory__fetch(capi, "%s",' % (lead, name(e))
        calls.append(continued_expression(head, text_tokens(e.signature), ",", align, room) +
                     [align + "(void **)&morvex_memory.%s) < 0" % name(e)])
    for cls, vtable in CLASSES:
        calls.append(['%smorvex_memory__class(module, "%s", (Py_ssize_t)sizeof(morvex_%s), %d,'
                      % (lead, cls, cls, 1 if vtable else 0),
                      "%s&morvex_memory.%s_type, (void **)&morvex_memory.%s_vtable) < 0"
                      % (align, cls, cls)])
    calls[0][0] = "    if (" + calls[0][0][len(lead):]
    for call in calls[:-1]:
        call[-1] += " ||"
    calls[-1][-1] += ")"
    return [line for call in calls for line in call] + [lead + "goto done;"]


# ---- writing memory.pxd -----------------------------------------------------------

NOTE_COLUMN = 46


def pxd_declarations():
    """memory.pxd's variables and functions."""
    out = ["# ---- variables -----------------------------------------------------------", ""]
    for e in VARIABLES:
        line = "cdef " + e.declaration
        out.append(line.ljust(NOTE_COLUMN) + "# " + e.note if e.note else line)
    out += ["", "# ---- functions -----------------------------------------------------------"]
    for e in FUNCTIONS:
        if e.note or e.pxd_note:
            out.append("")
            for part in (e.note, e.pxd_note):
                out += [("# " + line).rstrip() for line in part.split("\n") if part]
        out.append("cdef " + e.declaration)
    return out


# ---- the generated regions ---------------------------------------------------------

# file: [(region, what makes its lines, the markers' indent, or "#" in memory.pxd)]
REGIONS = {
    "morvex/utils/memory.h": [
        ("export rows", header_rows, ""),
        ("consumer table", header_table, ""),
        ("fetch list", header_fetch_list, "    "),
    ],
    "morvex/utils/memory.pxd": [
        ("declarations", pxd_declarations, "#"),
    ],
}


def markers(region, style):
    what = "generated by scripts/interface.py (%s): edit its table and run it" % region
    if style == "#":
        return "# ==== %s ====" % what, "# ==== end of generated text ===="
    return ("%s/* ==== %s ==== */" % (style, what),
            "%s/* ==== end of generated text ==== */" % style)


def generated(path, text):
    """`text` (the file at `path`) with every generated region made anew."""
    for region, make, style in REGIONS[path]:
        begin, end = markers(region, style)
        pattern = re.compile(r"^%s\n.*?^%s$" % (re.escape(begin), re.escape(end)), re.S | re.M)
        if len(pattern.findall(text)) != 1:
            raise ValueError("%s: the markers of the region '%s' are missing or repeated"
                             % (path, region))
        body = "\n".join([begin] + make() + [end])
        text = pattern.sub(lambda _: body, text)
    return text


def stale(root=ROOT, write=False):
    """The files whose generated text differs from what the table makes
    (rewritten when `write`)."""
    out = []
    for path in REGIONS:
        full = os.path.join(root, path)
        with open(full, encoding="utf-8") as f:
            text = f.read()
        new = generated(path, text)
        if new != text:
            out.append(path)
            if write:
                with open(full, "w", encoding="utf-8") as f:
                    f.write(new)
    return out


def main(argv):
    check = argv[1:] == ["--check"]
    if argv[1:] and not check:
        sys.stderr.write("usage: python scripts/interface.py [--check]\n")
        return 2
    paths = stale(write=not check)
    for path in paths:
        print(("%s is out of date: run python scripts/interface.py" if check else "wrote %s") % path)
    return 1 if check and paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
