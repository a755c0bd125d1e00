// The signers' stamp. The caller's mapping is used through its own methods; an exact dict's
// methods cannot be replaced, so for one the functions those methods call are called directly.
#include "tervix_main/stamp.hpp"

#include "support/globals.hpp"
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/names.hpp"

namespace glimet::tervix {
namespace {

// mapping.get(key)
Ref mapping_get(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(mapping, key, &value) < 0) return {};
        return Ref::steal(value ? value : Py_NewRef(Py_None));
    }
    return Ref::steal(PyObject_CallMethodOneArg(mapping, names.get, key));
}

// mapping.pop(key, None), result dropped.
[[nodiscard]] int mapping_pop(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value = nullptr;
        int found = PyDict_Pop(mapping, key, &value);
        Py_XDECREF(value);
        return found < 0 ? -1 : 0;
    }
    PyObject *args[] = {mapping, key, Py_None};
    Ref result = Ref::steal(PyObject_VectorcallMethod(names.pop, args,
                                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

// int(time.time() * 1000), with `time` looked up in the module namespace now.
Ref now_in_milliseconds(PyObject *globals) {
    Ref time_module = lookup_global(globals, names.time);
    if (!time_module) return {};
    Ref time_function = Ref::steal(PyObject_GetAttr(time_module.get(), names.time));
    if (!time_function) return {};
    Ref milliseconds;
    if (fast::milliseconds_now(milliseconds, time_function.get()) == fast::Route::written)
        return milliseconds;
    Ref seconds = Ref::steal(PyObject_CallNoArgs(time_function.get()));
    if (!seconds) return {};
    Ref product = Ref::steal(PyNumber_Multiply(seconds.get(), names.thousand));
    if (!product) return {};
    return Ref::steal(PyNumber_Long(product.get()));
}

} // namespace

int mapping_update(PyObject *mapping, PyObject *kwnames, PyObject *value) {
    if (PyDict_CheckExact(mapping))
        return PyDict_SetItem(mapping, PyTuple_GET_ITEM(kwnames, 0), value);
    PyObject *args[] = {mapping, value};
    Ref result = Ref::steal(PyObject_VectorcallMethod(names.update, args,
                                                      1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return result ? 0 : -1;
}

int stamp(PyObject *globals, PyObject *mapping, PyObject *update_time) {
    // Whether to set the time: always when asked to, else only where none is set.
    int refresh = PyObject_IsTrue(update_time);
    if (refresh < 0) return -1;
    if (!refresh) {
        Ref current = mapping_get(mapping, names.timespan_key);
        if (!current) return -1;
        int present = PyObject_IsTrue(current.get());
        if (present < 0) return -1;
        refresh = !present;
    }

    // The time, then the old signature gone.
    if (refresh) {
        Ref milliseconds = now_in_milliseconds(globals);
        if (!milliseconds ||
            mapping_update(mapping, names.timespan_kwnames, milliseconds.get()) < 0)
            return -1;
    }
    return mapping_pop(mapping, names.sign_key);
}

} // namespace glimet::tervix
