// The introspectable function type that carries every operation of the toolkit's classes,
// and the argument binding it performs before an operation runs.
#pragma once

#include "support/ref.hpp"
#include "support/traceback.hpp"

#include <type_traits>

namespace glimet {

struct Function;

// An operation's body. `args` holds the bound arguments in parameter order (borrowed, never
// null). Returns a new reference, or null with an exception set.
using OperationImpl = PyObject *(*)(Function *self, PyObject *const *args);

inline constexpr int max_params = 4;

// An operation's parameter names, in order, and how many there are: as many as are given.
struct Params {
    const char *names[max_params] = {};
    int count = 0;
    template <typename... Names>
        requires(sizeof...(Names) <= max_params && (std::is_same_v<Names, const char *> && ...))
    constexpr Params(Names... given) : names{given...}, count(sizeof...(Names)) {}
};

// Everything about an operation that is fixed when the module is compiled. Its qualified name
// and the names of its traceback entries are derived from `name` and its class when the
// function is made.
struct OperationSpec {
    const char *name;           // "_json_dumps"
    const char *doc;            // __doc__, UTF-8
    const char *text_signature; // "(data)", what inspect.signature reads
    Params params;              // {"self", "data"}
    int n_required; // the rest take the defaults given to function_new, in order
    OperationImpl impl;
    const char *file; // source file and line named by the traceback entries
    int line;
    // The last parameters that can be given by keyword only (each with a default): they are
    // named after a "*" in the text signature and read their defaults from __kwdefaults__.
    int n_keyword_only = 0;
    // The first parameters, that can be given by position only: named before a "/" in the
    // text signature.
    int n_positional_only = 0;
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
    PyObject *defaults;     // the values of the parameters after n_required, or null if none
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

} // namespace glimet
