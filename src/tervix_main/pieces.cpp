// The general route's pieces of the signed texts.
#include "tervix_main/pieces.hpp"

#include "support/globals.hpp"
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/names.hpp"

namespace glimet::tervix {
namespace {

// sorted(mapping): its keys, by iteration, in a new list in ascending order.
Ref sorted_keys(PyObject *mapping) {
    Ref keys =
        Ref::steal(PyDict_CheckExact(mapping) ? PyDict_Keys(mapping) : PySequence_List(mapping));
    if (!keys || PyList_Sort(keys.get()) < 0) return {};
    return keys;
}

// Appends format(value, "").
[[nodiscard]] int write_formatted(TextBuilder &out, PyObject *value) {
    Ref text = Ref::steal(PyObject_Format(value, names.empty));
    if (!text) return -1;
    out.str(text.get());
    return 0;
}

// Appends "key=value": format(key, ""), "=", and format(value, "") after a dict or list value
// has been replaced by instance._json_dumps(value).
[[nodiscard]] int write_piece(TextBuilder &out, PyObject *instance, PyObject *key,
                              PyObject *value) {
    if (write_formatted(out, key) < 0) return -1;
    out.character('=');
    int structured = PyObject_IsInstance(value, names.dict_or_list);
    if (structured < 0) return -1;
    if (!structured) return write_formatted(out, value);
    Ref json_dumps = Ref::steal(PyObject_GetAttr(instance, names.json_dumps));
    if (!json_dumps) return -1;
    Ref shown = Ref::steal(PyObject_CallOneArg(json_dumps.get(), value));
    if (!shown) return -1;
    return write_formatted(out, shown.get());
}

// json.dumps([text], ensure_ascii=False), with `json` looked up in the module namespace now.
Ref json_array(PyObject *globals, PyObject *text) {
    Ref json = lookup_global(globals, names.json);
    if (!json) return {};
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), names.dumps));
    if (!dumps) return {};
    Ref array = Ref::steal(PyList_New(1));
    if (!array) return {};
    PyList_SET_ITEM(array.get(), 0, Py_NewRef(text));
    PyObject *call_args[] = {array.get(), Py_False};
    return Ref::steal(
        PyObject_Vectorcall(dumps.get(), call_args, 1, names.ensure_ascii_kwnames));
}

} // namespace

int copy_sorted(PyObject *data, PyObject *source) {
    Ref keys = sorted_keys(source);
    if (!keys) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject *key = PyList_GET_ITEM(keys.get(), i); // the list holds it
        Ref value = Ref::steal(PyObject_GetItem(source, key));
        if (!value || PyDict_SetItem(data, key, value.get()) < 0) return -1;
    }
    return 0;
}

int write_pieces(Function *self, TextBuilder &out, PyObject *data, PyObject *instance) {
    // Iterated as data.items() is: user code run by a piece may change the dict, which the
    // iterator then reports as Python code would see it.
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(data, names.items));
    if (!items) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return -1;
    bool first = true;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!first) out.character('&');
        first = false;
        // The (key, value) pair holds both while user code runs; a piece the fast route
        // writes runs none.
        PyObject *key = PyTuple_GET_ITEM(item.get(), 0), *value = PyTuple_GET_ITEM(item.get(), 1);
        if (fast::write_piece(out, key, value, instance, self->globals) == fast::Route::written)
            continue;
        if (write_piece(out, instance, key, value) < 0) {
            add_genexpr_traceback(self);
            return -1;
        }
    }
    if (PyErr_Occurred()) {
        add_genexpr_traceback(self);
        return -1;
    }
    return 0;
}

int write_parameter_pieces(Function *self, TextBuilder &out, PyObject *params, PyObject *instance) {
    Ref keys = sorted_keys(params);
    if (!keys) return -1;
    Ref data = Ref::steal(PyDict_New());
    if (!data) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject *key = PyList_GET_ITEM(keys.get(), i); // the list holds it
        Ref value = Ref::steal(PyObject_GetItem(params, key));
        if (!value) return -1;
        // The value's array: written by the fast route while the standard encoder is in place,
        // from the value itself when its str() runs no Python code, else from its text.
        Ref array;
        if (fast::parameter_array(array, value.get(), self->globals) == fast::Route::declined) {
            Ref text = PyUnicode_CheckExact(value.get()) ? std::move(value)
                                                         : Ref::steal(PyObject_Str(value.get()));
            if (!text) return -1;
            if (fast::parameter_array(array, text.get(), self->globals) == fast::Route::declined)
                array = json_array(self->globals, text.get());
        }
        if (!array || PyDict_SetItem(data.get(), key, array.get()) < 0) return -1;
    }
    // The pieces of our own dict of arrays, by the fast route when its keys are all str.
    if (fast::write_pieces(out, data.get(), instance, self->globals) == fast::Route::written)
        return 0;
    return write_pieces(self, out, data.get(), instance);
}

} // namespace glimet::tervix
