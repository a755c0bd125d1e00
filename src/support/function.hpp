// The introspectable function type that carries every operation of the toolkit's classes,
// and the argument binding it performs before an operation runs.
#pragma once

#include "support/ref.hpp"

#include <string_view>

namespace glimet {

struct Function;

// An operation's body. `args` holds the bound arguments in parameter order (borrowed, never
// null). Returns a new reference, or null with an exception set.
using OperationImpl = PyObject *(*)(Function *self, PyObject *const *args);

inline constexpr int max_params = 4;

// Everything about an operation that is fixed when the module is compiled. Its qualified name
// and the names of its traceback entries are derived from `name` and its class when the
// function is made.
struct OperationSpec {
    const char *name;           // "_json_dumps"
    const char *doc;            // __doc__, UTF-8
    const char *text_signature; // "(data)", what inspect.signature reads
    const char *params[max_params];
    int n_params;
    int n_required; // the rest take the defaults given to function_new, in order
    OperationImpl impl;
    const char *file; // source file and line named by the traceback entries
    int line;
    // The last parameters that can be given by keyword only (each with a default): they are
    // named after a "*" in the text signature and read their defaults from __kwdefaults__.
    int n_keyword_only = 0;
};

// The object layout; operations read `globals` for their module-level names.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const OperationSpec *spec;
    PyObject *name;
    PyObject *qualname; // "<class>.<name>"
    PyObject *module;
    PyObject *doc;
    PyObject *text_signature;
    PyObject *defaults;     // tuple of n_params - n_required values, or null when there are none
    PyObject *globals;      // namespace of the defining module
    PyObject *param_names;  // tuple of interned parameter names
    PyObject *trace_code;   // the traceback entry "<module>.<qualname>"
    PyObject *genexpr_code; // "<module>.<qualname>.genexpr", made when first needed
    PyObject *dict;
    PyObject *weakreflist;
};

// Creates the function for `spec` in class `class_name` (null for a module-level function) of
// the module whose name is given; `globals` is the namespace its operation looks names up in.
// `defaults` (borrowed) is a tuple or null.
Ref function_new(const OperationSpec &spec, const char *class_name, PyObject *module_name,
                 PyObject *globals, PyObject *defaults);

// For an operation whose Python rendering forms a text in a generator expression: adds the
// expression's own traceback entry, "<module>.<qualname>.genexpr", to the exception being
// raised, as a failure inside the expression would.
void add_genexpr_traceback(Function *f) noexcept;

// The path of a source file relative to the source tree, for traceback entries.
constexpr const char *source_name(const char *path) {
    const char *result = path;
    for (const char *p = path; *p; ++p) {
        if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/') result = p + 4;
    }
    return result;
}

} // namespace glimet

#define GLIMET_SOURCE source_name(__FILE__)
