// Helpers for the modules' import-time work: the frame of a module that exists once per
// process, the objects a module keeps from its load on, and the from-import step.
#pragma once

#include "support/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace glimet {

// A module that exists once per process. The first interpreter to load it owns it, any other
// gets ImportError; `build` fills its namespace, and after it has succeeded every later import
// gets the same module object, whose namespace is not built again. A failure adds the
// traceback entry `entry` ("init tervix_main") at `file`:`line` and leaves the module
// unexecuted, so that the next import tries again.
struct OnceModule {
    const char *entry;
    const char *file;
    int line;
    int (*build)(PyObject *module); // 0, or -1 with an exception set
    PyObject *module = nullptr;     // the executed module, kept for the process
    std::atomic<int64_t> owner{-1}; // the interpreter that loaded it first

    // The module's Py_mod_create and Py_mod_exec.
    PyObject *create(PyObject *spec, PyModuleDef *def) noexcept;
    int exec(PyObject *module) noexcept;
};

// One row of a module's table of kept objects: the member of its struct of them (`State`, all
// PyObject *) and how it is made, as the interned str of `text` or as what `make` returns.
template <typename State> struct KeptRow {
    using Maker = PyObject *(*)();
    constexpr KeptRow(PyObject *State::*member, const char *text) : member(member), text(text) {}
    constexpr KeptRow(PyObject *State::*member, Maker make) : member(member), make(make) {}
    PyObject *State::*member;
    const char *text = nullptr;
    Maker make = nullptr;
};

// Makes the object of every row in `state`, in table order (a maker may use those before it),
// keeping those an earlier attempt made; 0, or -1 with the exception of the one that failed.
// Run while the module loads: after it has succeeded, the objects are read with no check.
template <typename State, size_t n>
[[nodiscard]] int make_kept(State &state, const KeptRow<State> (&table)[n]) {
    for (const KeptRow<State> &row : table) {
        PyObject *&object = state.*row.member;
        if (!object) object = row.make ? row.make() : PyUnicode_InternFromString(row.text);
        if (!object) return -1;
    }
    return 0;
}

// `from <module_name> import <name>` run in the module whose namespace is `globals`, with
// `level` leading dots (0 for an absolute import): the attribute, else the sys.modules entry
// "<module>.<name>", else ImportError "cannot import name <name>".
Ref from_import(const char *module_name, const char *name, PyObject *globals, int level);

} // namespace glimet
