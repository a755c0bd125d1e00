// Module-level names looked up the way Python code looks up a global: the module namespace,
// then the built-ins.
#pragma once

#include "support/ref.hpp"

#include <initializer_list>

namespace glimet {

// The value bound to `name` (an interned str) in `globals`, else among the built-ins;
// NameError "name '...' is not defined" when neither has it.
Ref lookup_global(PyObject *globals, PyObject *name);

// The interpreter's built-in bound to `name` now (the builtins module's, not the calling
// frame's); NameError as above when there is none.
Ref lookup_builtin(PyObject *name);

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

// Makes every name given; 0, or -1 with MemoryError. After it succeeds their get() never fails,
// so a module runs it for its names while it loads.
[[nodiscard]] inline int make_names(std::initializer_list<Name *> names) {
    for (Name *name : names)
        if (!name->get()) return -1;
    return 0;
}

} // namespace glimet
