// The garbage collector's slots of the small types: heap types whose instances hold owned
// references and nothing else to release.
#pragma once

#include "support/ref.hpp"

#include <initializer_list>

namespace glimet {

// The slots of T, whose layout starts with PyObject_HEAD and whose `members` (each owned or
// null) are all it holds: tp_traverse visits them and the type, which its instances own;
// tp_clear drops them; tp_dealloc untracks the object, clears it and frees it.
template <typename T, PyObject *T::*...members> struct GcSlots {
    static_assert(sizeof...(members) > 0);

    static int traverse(PyObject *self, visitproc visit, void *arg) noexcept {
        Py_VISIT(Py_TYPE(self));
        for (PyObject *T::*member : {members...}) Py_VISIT(reinterpret_cast<T *>(self)->*member);
        return 0;
    }

    static int clear(PyObject *self) noexcept {
        for (PyObject *T::*member : {members...}) Py_CLEAR(reinterpret_cast<T *>(self)->*member);
        return 0;
    }

    static void dealloc(PyObject *self) noexcept {
        PyTypeObject *type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        clear(self);
        PyObject_GC_Del(self);
        Py_DECREF(type);
    }
};

} // namespace glimet
