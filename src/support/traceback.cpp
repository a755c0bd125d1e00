// Synthetic traceback entries: an empty code object and a frame for it, pushed on the traceback.
#include "support/traceback.hpp"

#include <frameobject.h>

namespace glimet {
namespace {

// Code objects of the entries already made, kept for the process: a failing call then costs
// one frame, and the interpreter's table of names is not churned by each failure.
struct CachedCode {
    const char *name;
    const char *file;
    int line;
    PyCodeObject *code;
};
constexpr int cache_size = 64;
CachedCode cache[cache_size];
int cache_count = 0;

PyCodeObject *code_for(const char *name, const char *file, int line) {
    for (int i = 0; i < cache_count; ++i)
        if (cache[i].name == name && cache[i].file == file && cache[i].line == line)
            return reinterpret_cast<PyCodeObject *>(Py_NewRef(cache[i].code));
    PyCodeObject *code = PyCode_NewEmpty(file, name, line);
    if (code && cache_count < cache_size)
        cache[cache_count++] = {name, file, line,
                                reinterpret_cast<PyCodeObject *>(Py_NewRef(code))};
    return code;
}

} // namespace

void add_traceback(PyObject *code, PyObject *globals) noexcept {
    // The frame is made with no exception set, as frame creation requires.
    PyObject *exc = PyErr_GetRaisedException();
    PyFrameObject *frame = nullptr;
    Ref scratch_globals;
    if (!globals) {
        scratch_globals = Ref::steal(PyDict_New());
        globals = scratch_globals.get();
    }
    if (globals)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals,
                            nullptr);
    PyErr_Clear(); // an entry that cannot be made is dropped; the original error stands
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
}

void add_traceback(const char *name, const char *file, int line, PyObject *globals) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = code_for(name, file, line);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (code) add_traceback(reinterpret_cast<PyObject *>(code), globals);
    Py_XDECREF(code);
}

} // namespace glimet
