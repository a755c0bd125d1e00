// TERVIXWorkMain._tervix_test_production_demand: the numbered production-demand notice.
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/operations.hpp"

#include <initializer_list>

namespace glimet::tervix {
namespace {

Name print_name{"print"};
Name strip_name{"strip"};
Name split_name{"split"};
Name replace_name{"replace"};
Name heading{"投产需求："};
Name line_feed{"\n"};
Name title_end{"】http"};
Name title_start{"【"};
Name empty{""};
Name number_separator{"、"};

// `obj.method(*args)`: a real attribute lookup, so str subclasses and non-str objects behave
// as they would in Python code (a missing method is AttributeError).
Ref call_method(PyObject *obj, Name &method, std::initializer_list<PyObject *> args) {
    PyObject *name = method.get();
    if (!name) return {};
    PyObject *call_args[4] = {obj};
    size_t n = 1;
    for (PyObject *arg : args) {
        if (!arg) return {}; // a constant that could not be made: MemoryError is set
        call_args[n++] = arg;
    }
    return Ref::steal(PyObject_VectorcallMethod(name, call_args, n, nullptr));
}

// print(text): one line on standard output.
[[nodiscard]] int print_line(PyObject *print, PyObject *text) {
    Ref result = Ref::steal(PyObject_CallOneArg(print, text));
    return result ? 0 : -1;
}

// The title of one demand line: trimmed, cut before the first "】http", first "【" removed.
Ref demand_title(PyObject *line) {
    Ref trimmed = call_method(line, strip_name, {});
    if (!trimmed) return {};
    Ref pieces = call_method(trimmed.get(), split_name, {title_end.get()});
    if (!pieces) return {};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    Ref first = Ref::steal(PyObject_GetItem(pieces.get(), zero.get()));
    if (!first) return {};
    Ref once = Ref::steal(PyLong_FromLong(1));
    if (!once) return {};
    return call_method(first.get(), replace_name, {title_start.get(), empty.get(), once.get()});
}

// f"{num}、{title}" for the line `i`, its title formatted as an f-string field would be: a str
// unchanged, anything else by format().
Ref numbered_title(PyObject *i, Py_ssize_t num) {
    Ref title = demand_title(i);
    if (!title) return {};
    Ref title_text = Ref::steal(PyObject_Format(title.get(), empty.get()));
    if (!title_text) return {};
    return Ref::steal(
        PyUnicode_FromFormat("%zd%U%U", num, number_separator.get(), title_text.get()));
}

// Prints the heading and one "<n>、<title>" line per line of the trimmed `content`.
// Returns None; nothing is printed when `content` cannot be trimmed and split.
PyObject *production_demand(Function *, PyObject *const *args) {
    PyObject *content = args[0];

    // t: the lines of the trimmed text, every "\n" starting a new one.
    Ref trimmed = call_method(content, strip_name, {});
    if (!trimmed) return nullptr;
    Ref t = call_method(trimmed.get(), split_name, {line_feed.get()});
    if (!t) return nullptr;

    // The heading.
    Ref print = lookup_builtin(print_name.get());
    if (!print || !heading.get() || print_line(print.get(), heading.get()) < 0) return nullptr;

    // One numbered line per input line, blank ones included.
    Ref lines = Ref::steal(PyObject_GetIter(t.get()));
    if (!lines || !number_separator.get()) return nullptr;
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

int notice_init() {
    return make_names({&print_name, &strip_name, &split_name, &replace_name, &heading, &line_feed,
                       &title_end, &title_start, &empty, &number_separator});
}

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
