// What the toolkit's operations keep for the process: the names they look up, read and call,
// and the objects they pass, all made while the module loads (names.cpp has each one's value).
#pragma once

#include "support/ref.hpp"

namespace glimet::tervix {

struct Names {
    // Module globals, looked up at each use; and print, looked up among the built-ins.
    PyObject *json, *time, *requests, *m_crypt, *m_curl, *print;
    // Attributes and methods.
    PyObject *dumps, *sha256, *json_dumps, *get, *pop, *update, *items, *parse, *dict, *request,
        *text, *format, *status_code, *headers, *strip, *split, *replace, *lower, *exc_value,
        *unraisablehook;
    // Keys of the signed mappings, and texts the operations pass on.
    PyObject *timespan_key, *sign_key, *upper, *empty, *prod, *heading, *line_feed, *title_end,
        *title_start, *number_separator;
    // The int 1000; the keyword-name tuples (saas_sign_timespan,), (saas_sign,),
    // (ensure_ascii,), (separators, ensure_ascii) and (page,); (",", ":"); (dict, list).
    PyObject *thousand, *timespan_kwnames, *sign_kwnames, *ensure_ascii_kwnames, *dumps_kwnames,
        *page_kwnames, *separators, *dict_or_list;
    // Bound at load, so that rebinding a name later changes nothing for the review: the
    // built-in print and range, the interpreter's own sys namespace, and the function the
    // review puts in sys.unraisablehook while a response is released (release.cpp).
    PyObject *builtin_print, *builtin_range, *sys_namespace, *unraisable_hook;
};

// Every member set once make_names() has succeeded.
extern Names names;

// Makes the members; 0, or -1 with the error (MemoryError, as a rule).
[[nodiscard]] int make_names();

} // namespace glimet::tervix
