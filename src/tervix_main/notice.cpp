// TERVIXWorkMain._tervix_test_production_demand: the numbered production-demand notice.
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/operations.hpp"

#include <initializer_list>

namespace glimet::tervix {
namespace {

// `obj.method(*args)`: a real attribute lookup, so str subclasses and non-str objects behave
// as they would in Python code (a missing method is AttributeError).
Ref call_method(PyObject *obj, PyObject *method, std::initializer_list<PyObject *> args) {
    PyObject *call_args[4] = {obj};
    size_t n = 1;
    for (PyObject *arg : args) call_args[n++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(method, call_args, n, nullptr));
}

// The title of one demand line: trimmed, cut before the first "】http", first "【" removed.
Ref demand_title(PyObject *line) {
    Ref trimmed = call_method(line, names.strip, {});
    if (!trimmed) return {};
    Ref pieces = call_method(trimmed.get(), names.split, {names.title_end});
    if (!pieces) return {};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    Ref first = Ref::steal(PyObject_GetItem(pieces.get(), zero.get()));
    if (!first) return {};
    Ref once = Ref::steal(PyLong_FromLong(1));
    if (!once) return {};
    return call_method(first.get(), names.replace, {names.title_start, names.empty, once.get()});
}

// f"{num}、{title}" for the line `i`, its title formatted as an f-string field would be: a str
// unchanged, anything else by format().
Ref numbered_title(PyObject *i, Py_ssize_t num) {
    Ref title = demand_title(i);
    if (!title) return {};
    Ref title_text = Ref::steal(PyObject_Format(title.get(), names.empty));
    if (!title_text) return {};
    return Ref::steal(
        PyUnicode_FromFormat("%zd%U%U", num, names.number_separator, title_text.get()));
}

// Prints the heading and one "<n>、<title>" line per line of the trimmed `content`.
// Returns None; nothing is printed when `content` cannot be trimmed and split.
PyObject *production_demand(Function *, PyObject *const *args) {
    PyObject *content = args[0];

    // t: the lines of the trimmed text, every "\n" starting a new one.
    Ref trimmed = call_method(content, names.strip, {});
    if (!trimmed) return nullptr;
    Ref t = call_method(trimmed.get(), names.split, {names.line_feed});
    if (!t) return nullptr;

    // The heading, by the built-in print as it is bound now.
    Ref print = lookup_builtin(names.print);
    if (!print || print_line(print.get(), names.heading) < 0) return nullptr;

    // One numbered line per input line, blank ones included.
    Ref lines = Ref::steal(PyObject_GetIter(t.get()));
    if (!lines) return nullptr;
    Py_ssize_t num = 1;
    while (Ref i = Ref::steal(PyIter_Next(lines.get()))) {
        Ref text;
        if (fast::notice_line(text, i.get(), num) == fast::Route::declined) {
            text = numbered_title(i.get(), num);
            if (!text) return nullptr;
        }
        if (print_line(print.get(), text.get()) < 0) return nullptr;
        ++num;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

} // namespace

const OperationSpec production_demand_spec = {
    .name = "_tervix_test_production_demand",
    .doc = "TERVIXWorkMain._tervix_test_production_demand(content)",
    .text_signature = "(content)",
    .params = {"content"},
    .n_required = 1,
    .impl = production_demand,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

} // namespace glimet::tervix
