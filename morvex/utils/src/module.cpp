// module.cpp -- the module frame: the entry point, creation and execution of
// the module (one step after another, one error exit), the process-wide
// state, and the native export table (__pyx_capi__, __pyx_vtable__).
#include "internal.h"

#include <cstdio>
#include <cstring>

namespace mx {

static const char kSourceFile[] = "morvex\\utils\\src\\module.cpp";

State g;

// ---- exported variables ----------------------------------------------------
int WARN_ZERO_ALLOC = 0;  // published for consumers; never read here
unsigned long long *next_random = nullptr;
unsigned long long *id_random = nullptr;
morvex_MemoryPool *global_random_memory_pool = nullptr;

namespace {

// The interpreter that first created the module; -1 until then.
int64_t owner_interpreter = -1;

// Replaces an owned process-wide slot (a restart after a failed execution
// finds the old value there).
void reset_slot(PyObject *&slot, PyObject *value) {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

// ---- creation ----------------------------------------------------------------

// The ModuleSpec's attribute `from` as the module's `to`; a missing attribute is
// skipped silently.
void copy_spec_attr(PyObject *spec, Borrowed dict, const char *from, const char *to,
                    bool skip_none, PyErrOccurred where) {
    Ref from_name = take(PyUnicode_InternFromString(from), where);
    Ref to_name = take(PyUnicode_InternFromString(to), where);
    Ref value = Ref::take(PyObject_GetAttr(spec, from_name.get()));
    if (!value) {
        check(PyErr_ExceptionMatches(PyExc_AttributeError), where);
        PyErr_Clear();
        return;
    }
    if (!(skip_none && value.get() == Py_None))
        check(PyDict_SetItem(dict.get(), to_name.get(), value.get()) == 0, where);
}

// Creation adds no traceback entry: the module that would carry it does not
// exist yet.
PyObject *create_module(PyObject *spec, PyModuleDef *) {
    return edge(kModuleEdge, nullptr, kUntraced, [&] {
        int64_t current = PyInterpreterState_GetID(compat::current_interpreter());
        if (owner_interpreter == -1) {
            owner_interpreter = current;
            MX_CHECK(current != -1);
        } else if (current != owner_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded "
                            "into one interpreter per process.");
            MX_FAIL();
        }
        if (g.module != nullptr)
            return Ref::new_ref(g.module).steal();

        // The names are created here on their own: the module strings of
        // execution do not exist yet.
        Ref name = MX_TAKE(PyObject_GetAttrString(spec, "name"));
        Ref module = MX_TAKE(PyModule_NewObject(name.get()));
        Borrowed dict = PyModule_GetDict(module.get());
        copy_spec_attr(spec, dict, "loader", "__loader__", false, MX_HERE);
        copy_spec_attr(spec, dict, "origin", "__file__", false, MX_HERE);
        copy_spec_attr(spec, dict, "parent", "__package__", false, MX_HERE);
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true, MX_HERE);
        return module.steal();
    });
}

// ---- execution -----------------------------------------------------------------

// The minor version the module is built for: the headers' own, unless a
// test build says otherwise to see the check fire.
#ifndef MX_BUILT_FOR_MINOR
#define MX_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

// The running interpreter's "major.minor" against the one the module was
// built for, compared in full; a mismatch is a RuntimeWarning.
void check_version(PyErrOccurred where) {
    char built[16], running[16], message[200];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, MX_BUILT_FOR_MINOR);
    const char *version = Py_GetVersion();
    size_t n = 0;
    for (int dots = 0; version[n] != '\0' && n + 1 < sizeof running; ++n) {
        if (version[n] == '.' && ++dots == 2)
            break;
        if (version[n] != '.' && (version[n] < '0' || version[n] > '9'))
            break;
    }
    std::memcpy(running, version, n);
    running[n] = '\0';
    if (std::strcmp(built, running) != 0) {
        PyOS_snprintf(message, sizeof message,
                      "compiletime version %s of module '%.100s' does not match runtime version %s",
                      built, "morvex.utils.memory", running);
        check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0, where);
    }
}

void create_strings(PyErrOccurred where) {
#define MX_X(n)                                                                \
    reset_slot(g.s_##n, PyUnicode_InternFromString(#n));                       \
    check(g.s_##n != nullptr && PyObject_Hash(g.s_##n) != -1, where);
    MX_INTERNED_NAMES(MX_X)
#undef MX_X
}

void cache_builtins(PyErrOccurred where) {
#define MX_X(n)                                                                \
    reset_slot(g.b_##n, PyObject_GetAttrString(g.builtins, #n));               \
    if (g.b_##n == nullptr) {                                                  \
        PyErr_Clear();                                                         \
        Ref name = MX_TAKE(PyUnicode_FromString(#n));                          \
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get()); \
        throw where;                                                           \
    }
    MX_CACHED_BUILTINS(MX_X)
#undef MX_X
}

void build_constants(PyErrOccurred where) {
#define MX_X(n, text)                                                          \
    reset_slot(g.t_##n, Py_BuildValue("(s)", text));                           \
    check(g.t_##n != nullptr, where);
    MX_FIXED_MESSAGES(MX_X)
#undef MX_X
}

// __pyx_capi__ as the variables find it: the dict entry, created and bound
// through attribute assignment when missing.
Borrowed capi_for_variables(PyObject *module, PyErrOccurred where) {
    Borrowed capi = PyDict_GetItemWithError(g.dict, g.s___pyx_capi__);
    if (capi)
        return capi;
    check(!PyErr_Occurred(), where);
    Ref fresh = MX_TAKE(PyDict_New());
    check(PyObject_SetAttr(module, g.s___pyx_capi__, fresh.get()) == 0, where);
    return fresh.get();  // the module holds it now
}

// __pyx_capi__ as the functions find it: the module attribute, created and
// added when reading it fails.
Borrowed capi_for_functions(PyObject *module, PyErrOccurred where) {
    Ref capi = Ref::take(PyObject_GetAttr(module, g.s___pyx_capi__));
    if (capi)
        return capi.get();  // the module keeps its own reference
    PyErr_Clear();
    Ref fresh = MX_TAKE(PyDict_New());
    // PyModule_AddObject steals the reference only when it succeeds.
    check(PyModule_AddObject(module, "__pyx_capi__", fresh.get()) == 0, where);
    return fresh.steal();  // borrowed: the module holds it now
}

void publish(Borrowed capi, const char *name, void *pointer, const char *sig,
             PyErrOccurred where) {
    Ref capsule = MX_TAKE(PyCapsule_New(pointer, sig, nullptr));
    check(PyDict_SetItemString(capi.get(), name, capsule.get()) == 0, where);
}

void publish_variables(PyObject *module, PyErrOccurred where) {
#define MX_X(name, type, sig)                                                  \
    publish(capi_for_variables(module, where), #name, (void *)&mx::name, sig, where);
    MORVEX_MEMORY_VARIABLES(MX_X)
#undef MX_X
}

void publish_functions(PyObject *module, PyErrOccurred where) {
#define MX_X(name, ret, params, sig)                                           \
    publish(capi_for_functions(module, where), #name, (void *)&mx::name, sig, where);
    MORVEX_MEMORY_FUNCTIONS(MX_X)
#undef MX_X
}

// Binds `value` as the module attribute `name`.
void bind(PyObject *module, Borrowed name, Ref value, PyErrOccurred where) {
    check(PyObject_SetAttr(module, name.get(), value.get()) == 0, where);
}

// The steps of execution, in order.  Until the module is recorded a failure
// carries no traceback entry (one that left no exception is reported as
// ImportError); from then on it carries the entry "init morvex.utils.memory"
// (at line 0 for a C++ exception, which has no statement to point at) and
// drops the record, so that a later import starts afresh.
void execute(PyObject *module) {
    try {
        check_version(MX_HERE);
        // the shared empty constants
        reset_slot(g.empty_tuple, PyTuple_New(0));
        reset_slot(g.empty_bytes, PyBytes_FromStringAndSize("", 0));
        reset_slot(g.empty_str, PyUnicode_FromStringAndSize("", 0));
        MX_CHECK(g.empty_tuple && g.empty_bytes && g.empty_str);
    } catch (const PyErrOccurred &) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "init morvex.utils.memory");
        throw kUntraced;
    }
    g.module = compat::new_ref(module);
    try {
        traced(kModuleEdge, "init morvex.utils.memory", PyErrOccurred{kSourceFile, 0}, [&] {
            // the module's dict and builtins
            reset_slot(g.dict, compat::new_ref(PyModule_GetDict(module)));
            PyObject *builtins = PyImport_AddModule("builtins");
            MX_CHECK(builtins != nullptr);
            reset_slot(g.builtins, compat::new_ref(builtins));
            MX_CHECK(PyObject_SetAttrString(module, "__builtins__", g.builtins) == 0);
            create_strings(MX_HERE);
            // the sys.modules entry under the full name
            PyObject *modules = PyImport_GetModuleDict();
            const char *full_name = "morvex.utils.memory";
            if (PyDict_GetItemString(modules, full_name) == nullptr)
                MX_CHECK(PyDict_SetItemString(modules, full_name, module) == 0);
            cache_builtins(MX_HERE);
            build_constants(MX_HERE);
            // the random pool starts as None
            PyObject *old_pool = reinterpret_cast<PyObject *>(global_random_memory_pool);
            global_random_memory_pool = reinterpret_cast<morvex_MemoryPool *>(compat::new_ref(Py_None));
            Py_XDECREF(old_pool);
            // the export table
            publish_variables(module, MX_HERE);
            publish_functions(module, MX_HERE);
            // the classes, in order
            ready_class(&MemoryType, nullptr, "Memory", MX_HERE);
            ready_class(&DataType, &data_vtable, "Data", MX_HERE);
            ready_class(&PyMallocType, &pymalloc_vtable, "PyMalloc", MX_HERE);
            ready_class(&PyFreeType, &pyfree_vtable, "PyFree", MX_HERE);
            ready_class(&MemoryPoolType, &pool_vtable, "MemoryPool", MX_HERE);
            ready_view_classes(MX_HERE);
            // the module attributes
            Ref fromlist = MX_TAKE(PyList_New(0));
            bind(module, g.s_warnings,
                 MX_TAKE(PyImport_ImportModuleLevelObject(g.s_warnings, g.dict, nullptr, fromlist.get(), 0)),
                 MX_HERE);
            bind(module, g.s_Default_Malloc, MX_TAKE(reinterpret_cast<PyObject *>(WrapMalloc(PyMem_Malloc))),
                 MX_HERE);
            bind(module, g.s_Default_Free, MX_TAKE(reinterpret_cast<PyObject *>(WrapFree(PyMem_Free))), MX_HERE);
            bind(module, g.s___test__, MX_TAKE(PyDict_New()), MX_HERE);
            bind(module, g.s___pyx_unpickle_Enum, make_unpickle_enum(MX_HERE), MX_HERE);
        });
    } catch (...) {
        reset_slot(g.module, nullptr);
        throw;
    }
}

int exec_module(PyObject *module) {
    return edge(kModuleEdge, nullptr, kUntraced, [&] {
        // an executed module is never executed again
        if (g.module != nullptr) {
            if (g.module == module)
                return 0;
            PyErr_SetString(PyExc_RuntimeError,
                            "Module 'memory' has already been imported. Re-initialisation is not supported.");
            MX_FAIL();
        }
        execute(module);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    MX_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "memory",      // m_name
    nullptr,       // m_doc
    0,             // m_size: all state is process-wide
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

void ready_class(PyTypeObject *type, void *vtable, const char *attr, PyErrOccurred where) {
    check(PyType_Ready(type) == 0, where);
    if (vtable != nullptr) {
        Ref capsule = MX_TAKE(PyCapsule_New(vtable, nullptr, nullptr));
        check(PyDict_SetItem(type->tp_dict, g.s___pyx_vtable__, capsule.get()) == 0, where);
        PyType_Modified(type);
    }
    if (attr != nullptr)
        check(PyObject_SetAttrString(g.module, attr, reinterpret_cast<PyObject *>(type)) == 0, where);
}

PyObject *refuse_pickling(Borrowed message_args, const char *qualname, PyErrOccurred where) {
    return edge(kModuleEdge, qualname, where,
                [&]() -> PyObject * { raise_args(g.b_TypeError, message_args.get(), where); });
}

}  // namespace mx

MX_MODINIT_FUNC PyInit_memory(void) {
    return PyModuleDef_Init(&mx::module_def);
}
