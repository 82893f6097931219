// py_draw_key.h -- the key of Index.corrupt()'s counter-based generator,
// from its `rng` argument (None, an int or a numpy.random.Generator) or
// from `seed`, the older name, which keeps its contract (None or an int).
#pragma once

#include "py_edge.h"

#include <cstdint>
#include <random>

namespace mx {
namespace py_edge {

// numpy.random.Generator, fetched on first use and kept: the module is never
// unloaded.
inline PyObject *numpy_generator = nullptr;

// The key, checked when made and taken (a Generator drawn from) only once
// every other argument has been checked, so that a refused call leaves the
// Generator where it was.
class DrawKey {
public:
    // `rng` and `seed` are null when not given; giving both is a TypeError.
    DrawKey(PyObject *rng, PyObject *seed) {
        if (rng != nullptr && seed != nullptr)
            fail(PyExc_TypeError, "corrupt() takes rng or seed, not both (seed is the older name of rng)");
        PyObject *obj = rng != nullptr ? rng : seed;
        if (obj == nullptr || obj == Py_None)
            return;
        if (rng != nullptr && !PyIndex_Check(obj)) {
            if (numpy_generator == nullptr) {
                Ref random = MX_TAKE(PyImport_ImportModule("numpy.random"));
                numpy_generator = MX_TAKE(PyObject_GetAttrString(random.get(), "Generator")).steal();
            }
            const int is = PyObject_IsInstance(obj, numpy_generator);
            MX_CHECK(is >= 0);
            if (is) {
                generator_ = obj;
                return;
            }
        }
        const Ref value = rng != nullptr ? int_arg(obj, "rng", "None, an int or a numpy.random.Generator")
                                         : int_arg(obj, "seed", "None or an int");
        key_ = PyLong_AsUnsignedLongLongMask(value.get());  // any int, taken modulo 2**64
        MX_CHECK(!(key_ == static_cast<uint64_t>(-1) && PyErr_Occurred()));
        given_ = true;
    }

    // The key: the int itself; one uint64 drawn from the Generator, which so
    // moves on; or, for None, fresh entropy from the system.
    uint64_t take() {
        if (given_)
            return key_;
        if (generator_ == nullptr) {
            std::random_device device;
            return uint64_t(device()) << 32 ^ device();
        }
        Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
        Ref uint64 = MX_TAKE(PyObject_GetAttrString(numpy.get(), "uint64"));
        Ref integers = MX_TAKE(PyObject_GetAttrString(generator_, "integers"));
        Ref top = MX_TAKE(PyLong_FromString("18446744073709551616", nullptr, 10));  // 2**64
        Ref args = MX_TAKE(Py_BuildValue("(iO)", 0, top.get()));
        Ref kwargs = MX_TAKE(Py_BuildValue("{sO}", "dtype", uint64.get()));
        Ref drawn = MX_TAKE(PyObject_Call(integers.get(), args.get(), kwargs.get()));
        Ref value = MX_TAKE(PyNumber_Index(drawn.get()));
        const uint64_t key = PyLong_AsUnsignedLongLong(value.get());
        MX_CHECK(!(key == static_cast<uint64_t>(-1) && PyErr_Occurred()));
        return key;
    }

private:
    PyObject *generator_ = nullptr;  // borrowed: the call's argument outlives the key
    uint64_t key_ = 0;
    bool given_ = false;
};

}  // namespace py_edge
}  // namespace mx
