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

// An object made once and kept for the process: an interned str given by its text, or what a
// maker returns. get() is null, with an exception set, only if making it failed; a module makes
// its kept objects while it loads (make_kept), after which get() never fails.
class Kept {
public:
    using Maker = PyObject *(*)();
    constexpr explicit Kept(const char *text) noexcept : text_(text) {}
    constexpr explicit Kept(Maker make) noexcept : make_(make) {}
    PyObject *get() noexcept {
        if (!object_) object_ = make_ ? make_() : PyUnicode_InternFromString(text_);
        return object_;
    }

private:
    const char *text_ = nullptr;
    Maker make_ = nullptr;
    PyObject *object_ = nullptr; // never released: it lives as long as the process
};

// The common case, an interned name.
using Name = Kept;

// Makes every object given, in order (a maker may use those before it); 0, or -1 with the
// exception of the one that failed.
[[nodiscard]] inline int make_kept(std::initializer_list<Kept *> kept) {
    for (Kept *object : kept)
        if (!object->get()) return -1;
    return 0;
}

// The same, for names.
[[nodiscard]] inline int make_names(std::initializer_list<Kept *> names) {
    return make_kept(names);
}

} // namespace glimet
