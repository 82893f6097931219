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

int copy_spec_attr(PyObject *spec, PyObject *dict, PyObject *from, PyObject *to,
                   bool skip_none) {
    PyObject *value = PyObject_GetAttr(spec, from);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;  // a missing attribute is skipped silently
        }
        return -1;
    }
    int rc = 0;
    if (!(skip_none && value == Py_None))
        rc = PyDict_SetItem(dict, to, value);
    Py_DECREF(value);
    return rc;
}

PyObject *create_module(PyObject *spec, PyModuleDef *) {
    int64_t current = PyInterpreterState_GetID(compat::current_interpreter());
    if (owner_interpreter == -1) {
        owner_interpreter = current;
        if (current == -1)
            return nullptr;
    } else if (current != owner_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (g.module != nullptr)
        return compat::new_ref(g.module);

    // The names are created here on their own: the module strings of
    // execution do not exist yet.
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    static const struct {
        const char *from, *to;
        bool skip_none;
    } copies[] = {{"loader", "__loader__", false},
                  {"origin", "__file__", false},
                  {"parent", "__package__", false},
                  {"submodule_search_locations", "__path__", true}};
    for (const auto &c : copies) {
        Ref from = Ref::steal(PyUnicode_InternFromString(c.from));
        Ref to = Ref::steal(PyUnicode_InternFromString(c.to));
        if (!from || !to || copy_spec_attr(spec, dict, from.get(), to.get(), c.skip_none) < 0)
            return nullptr;
    }
    return module.release();
}

// ---- execution -----------------------------------------------------------------

// The minor version the module is built for: the headers' own, unless a
// test build says otherwise to see the check fire.
#ifndef MX_BUILT_FOR_MINOR
#define MX_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

// Step 2: the running interpreter's "major.minor" against the one the module
// was built for, compared in full.
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
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0)
            throw where;
    }
}

void create_strings(PyErrOccurred where) {
#define MX_X(n)                                                                \
    reset_slot(g.s_##n, PyUnicode_InternFromString(#n));                       \
    if (g.s_##n == nullptr || PyObject_Hash(g.s_##n) == -1)                    \
        throw where;
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
    if (g.t_##n == nullptr)                                                    \
        throw where;
    MX_FIXED_MESSAGES(MX_X)
#undef MX_X
}

// __pyx_capi__ as the variables find it: the dict entry, created and bound
// through attribute assignment when missing.
PyObject *capi_for_variables(PyObject *module, PyErrOccurred where) {
    PyObject *capi = PyDict_GetItemWithError(g.dict, g.s___pyx_capi__);
    if (capi != nullptr)
        return capi;
    if (PyErr_Occurred())
        throw where;
    Ref fresh = MX_TAKE(PyDict_New());
    if (PyObject_SetAttr(module, g.s___pyx_capi__, fresh.get()) < 0)
        throw where;
    return fresh.get();  // the module holds it now
}

// __pyx_capi__ as the functions find it: the module attribute, created and
// added when reading it fails.
PyObject *capi_for_functions(PyObject *module, PyErrOccurred where) {
    Ref capi = Ref::steal(PyObject_GetAttr(module, g.s___pyx_capi__));
    if (capi)
        return capi.get();  // the module keeps its own reference
    PyErr_Clear();
    PyObject *fresh = MX_TAKE(PyDict_New()).release();
    if (PyModule_AddObject(module, "__pyx_capi__", fresh) < 0) {
        Py_DECREF(fresh);
        throw where;
    }
    return fresh;
}

void publish(PyObject *capi, const char *name, void *pointer, const char *sig,
             PyErrOccurred where) {
    Ref capsule = MX_TAKE(PyCapsule_New(pointer, sig, nullptr));
    if (PyDict_SetItemString(capi, name, capsule.get()) < 0)
        throw where;
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

// Binds `value` (a new reference, null on failure) as a module attribute.
void bind(PyObject *module, PyObject *name, PyObject *value, PyErrOccurred where) {
    Ref owned = MX_TAKE(value);
    if (PyObject_SetAttr(module, name, owned.get()) < 0)
        throw where;
}

void execute(PyObject *module) {
    // 2. version check
    check_version(MX_HERE);
    // 3. shared empty constants
    reset_slot(g.empty_tuple, PyTuple_New(0));
    reset_slot(g.empty_bytes, PyBytes_FromStringAndSize("", 0));
    reset_slot(g.empty_str, PyUnicode_FromStringAndSize("", 0));
    MX_CHECK(g.empty_tuple && g.empty_bytes && g.empty_str);
    // 4. record the module, its dict and builtins
    g.module = compat::new_ref(module);
    reset_slot(g.dict, compat::new_ref(PyModule_GetDict(module)));
    PyObject *builtins = PyImport_AddModule("builtins");
    MX_CHECK(builtins != nullptr);
    reset_slot(g.builtins, compat::new_ref(builtins));
    // 5. __builtins__
    MX_CHECK(PyObject_SetAttrString(module, "__builtins__", g.builtins) == 0);
    // 6. module strings
    create_strings(MX_HERE);
    // 7. sys.modules entry under the full name
    PyObject *modules = PyImport_GetModuleDict();
    const char *full_name = "morvex.utils.memory";
    PyObject *entry = PyDict_GetItemString(modules, full_name);
    if (entry == nullptr)
        MX_CHECK(PyDict_SetItemString(modules, full_name, module) == 0);
    // 8. cached builtins
    cache_builtins(MX_HERE);
    // 9. fixed-message argument tuples
    build_constants(MX_HERE);
    // 10. the random pool starts as None
    PyObject *old_pool = reinterpret_cast<PyObject *>(global_random_memory_pool);
    global_random_memory_pool = reinterpret_cast<morvex_MemoryPool *>(compat::new_ref(Py_None));
    Py_XDECREF(old_pool);
    // 11, 12. the export table
    publish_variables(module, MX_HERE);
    publish_functions(module, MX_HERE);
    // 13. classes, in order
    ready_class(&MemoryType, nullptr, "Memory", MX_HERE);
    ready_class(&DataType, &data_vtable, "Data", MX_HERE);
    ready_class(&PyMallocType, &pymalloc_vtable, "PyMalloc", MX_HERE);
    ready_class(&PyFreeType, &pyfree_vtable, "PyFree", MX_HERE);
    ready_class(&MemoryPoolType, &pool_vtable, "MemoryPool", MX_HERE);
    MX_CHECK(ready_view_classes() == 0);
    // 14. warnings
    Ref fromlist = MX_TAKE(PyList_New(0));
    bind(module, g.s_warnings,
         PyImport_ImportModuleLevelObject(g.s_warnings, g.dict, nullptr, fromlist.get(), 0),
         MX_HERE);
    // 15, 16. the default allocator boxes
    bind(module, g.s_Default_Malloc, reinterpret_cast<PyObject *>(WrapMalloc(PyMem_Malloc)), MX_HERE);
    bind(module, g.s_Default_Free, reinterpret_cast<PyObject *>(WrapFree(PyMem_Free)), MX_HERE);
    // 17. __test__
    bind(module, g.s___test__, PyDict_New(), MX_HERE);
    // 18, 19. the view machinery's unpickling helper
    bind(module, g.s___pyx_unpickle_Enum, make_unpickle_enum(), MX_HERE);
}

int exec_module(PyObject *module) {
    // 1. re-entry: an executed module is never executed again
    if (g.module != nullptr) {
        if (g.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'memory' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    try {
        execute(module);
        return 0;
    } catch (...) {
        int line = 0;
        const char *file = kSourceFile;
        try {
            throw;
        } catch (const PyErrOccurred &e) {
            file = e.file;
            line = e.line;
        } catch (...) {
            exception_to_python(nullptr, nullptr, 0);
        }
        if (g.module != nullptr) {
            if (g.dict != nullptr)
                add_traceback("init morvex.utils.memory", file, line);
            reset_slot(g.module, nullptr);  // a later import starts afresh
        } else if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "init morvex.utils.memory");
        }
        return -1;
    }
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
    if (PyType_Ready(type) < 0)
        throw where;
    if (vtable != nullptr) {
        Ref capsule = MX_TAKE(PyCapsule_New(vtable, nullptr, nullptr));
        if (PyDict_SetItem(type->tp_dict, g.s___pyx_vtable__, capsule.get()) < 0)
            throw where;
        PyType_Modified(type);
    }
    if (attr != nullptr &&
        PyObject_SetAttrString(g.module, attr, reinterpret_cast<PyObject *>(type)) < 0)
        throw where;
}

PyObject *refuse_pickling(PyObject *message_args, const char *qualname, const char *file,
                          int line) {
    PyErr_SetObject(g.b_TypeError, message_args);
    add_traceback(qualname, file, line);
    return nullptr;
}

}  // namespace mx

MX_MODINIT_FUNC PyInit_memory(void) {
    return PyModuleDef_Init(&mx::module_def);
}
