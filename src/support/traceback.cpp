// Synthetic traceback entries: an empty code object and a frame for it, pushed on the traceback.
#include "support/traceback.hpp"

#include <frameobject.h>

namespace glimet {

void add_traceback(const char *name, const char *file, int line, PyObject *globals) noexcept {
    // The code and frame are made with no exception set, as frame creation requires.
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty(file, name, line);
    PyFrameObject *frame = nullptr;
    if (code) {
        Ref scratch_globals;
        if (!globals) {
            scratch_globals = Ref::steal(PyDict_New());
            globals = scratch_globals.get();
        }
        if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    PyErr_Clear(); // an entry that cannot be made is dropped; the original error stands
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

} // namespace glimet
