// Module-level names looked up the way Python code looks up a global: the module namespace,
// then the built-ins.
#pragma once

#include "support/ref.hpp"

namespace glimet {

// The value bound to `name` (an interned str) in `globals`, else among the built-ins;
// NameError "name '...' is not defined" when neither has it.
Ref lookup_global(PyObject *globals, PyObject *name);

// An interned str made on first use and kept for the process; get() is null (with an
// exception) only if memory runs out.
class Name {
public:
    constexpr explicit Name(const char *text) noexcept : text_(text) {}
    PyObject *get() noexcept {
        if (!object_) object_ = PyUnicode_InternFromString(text_);
        return object_;
    }

private:
    const char *text_;
    PyObject *object_ = nullptr;
};

} // namespace glimet
