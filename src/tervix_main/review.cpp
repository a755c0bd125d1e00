// TERVIXWorkMain._tervix_test_case_review: passes every case of a MeterSphere review.
#include "tervix_main/operations.hpp"

#include <pthread.h>
#include <signal.h>

#include <string_view>

namespace glimet::tervix {
namespace {

constexpr const char list_url[] =
    GLIMET_METERSPHERE_BASE "/metersphere-api/track/test/review/case/list/{page}/50";
constexpr const char edit_url[] =
    GLIMET_METERSPHERE_BASE "/metersphere-api/track/test/review/case/edit";
constexpr const char progress_text[] = "读取用例：";
constexpr const char passed_text[] = "评审通过";
constexpr const char failed_text[] = "【警告】评审失败";
constexpr const char separator[] = "：";

Name m_curl_name{"m_curl"};
Name requests_name{"requests"};
Name parse_name{"parse"};
Name dict_name{"dict"};
Name get_name{"get"};
Name request_name{"request"};
Name json_name{"json"};
Name text_name{"text"};
Name format_name{"format"};
Name lower_name{"lower"};
Name exc_value_name{"exc_value"};
Name unraisablehook_name{"unraisablehook"};

// The built-ins print and range, bound when the module loads and kept for the process, so
// that rebinding either name in the module or in builtins later changes nothing. Also the
// keyword names of url.format(page=...).
PyObject *print_function = nullptr;
PyObject *range_type = nullptr;
PyObject *page_kwnames = nullptr;
PyObject *unraisable_hook = nullptr; // the function below, put in sys while a response goes
// The interpreter's own sys namespace, where it looks for the hook, whatever sys.modules holds
// later; replacing an entry there takes no memory, so putting the hook back cannot fail.
PyObject *sys_namespace = nullptr;

PyObject *hook_unraisable(PyObject *, PyObject *report) noexcept;
PyMethodDef hook_def = {"review_unraisablehook", hook_unraisable, METH_O,
                        "Keeps what a response's clean-up raises, for the review to raise."};

// The signals held while a response is released: all but those the processor raises for the
// code being run, which must reach their handlers at once.
sigset_t held_signals;

[[nodiscard]] int load_constants() {
    if (page_kwnames) return 0;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Ref print = Ref::steal(PyObject_GetAttrString(builtins.get(), "print"));
    Ref range = Ref::steal(PyObject_GetAttrString(builtins.get(), "range"));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "page"));
    Ref hook = Ref::steal(PyCFunction_New(&hook_def, nullptr));
    if (!print || !range || !kwnames || !hook) return -1;
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    PyObject *sys_dict = sys ? PyModule_GetDict(sys.get()) : nullptr; // a non-module fails
    if (!sys_dict) return -1;
    sigfillset(&held_signals);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&held_signals, fault);
    print_function = print.release();
    range_type = range.release();
    page_kwnames = kwnames.release();
    unraisable_hook = hook.release();
    sys_namespace = Py_NewRef(sys_dict);
    return 0;
}

// A release in progress on `thread`: what its clean-up reported as unraisable is kept in
// `caught` (the first exception only); `previous` is the hook it replaced in sys.
struct Release {
    PyThreadState *thread;
    Ref previous;
    Ref caught;
};
Release *active_release = nullptr;

// sys.unraisablehook while a response is released: keeps the exception when it comes from the
// releasing thread, and hands every other report to the hook it replaced.
PyObject *hook_unraisable(PyObject *, PyObject *report) noexcept {
    Release *release = active_release;
    if (release && release->thread == PyThreadState_Get() && !release->caught) {
        Ref value = Ref::steal(PyObject_GetAttr(report, exc_value_name.get()));
        if (!value) return nullptr;
        if (value.get() != Py_None) {
            release->caught = std::move(value);
            Py_RETURN_NONE;
        }
    }
    // Other threads' reports, and any after the first, go where they would have gone.
    PyObject *previous = release ? release->previous.get() : nullptr;
    if (!previous || previous == unraisable_hook) previous = PySys_GetObject("__unraisablehook__");
    if (!previous) Py_RETURN_NONE;
    Ref keep = Ref::borrow(previous); // the hook may replace what holds it
    return PyObject_CallOneArg(keep.get(), report);
}

// Takes the signals that are pending, and drops `response` (when given) meanwhile. Its last
// reference usually goes here, and its clean-up (urllib3's and io's finalisers) runs Python code
// that would take a pending Ctrl-C as its own: the KeyboardInterrupt would then be printed as
// ignored, or silently cleared, and the review would go on. The check itself may run the
// collector first, and so other objects' finalisers. So the thread's signals are held while
// that code runs and taken just after, and an exception it reports as unraisable on this thread
// is raised from here. 0, or -1 with the exception.
[[nodiscard]] int take_signals(Ref response = {}) {
    // Catch unraisable reports, unless an outer release (a finaliser's own review) already does.
    PyObject *sys_dict = sys_namespace;
    PyObject *hook = nullptr;
    if (PyDict_GetItemRef(sys_dict, unraisablehook_name.get(), &hook) < 0) return -1;
    Release release{PyThreadState_Get(), Ref::steal(hook), {}};
    bool hooked = active_release == nullptr;
    if (hooked) {
        if (PyDict_SetItem(sys_dict, unraisablehook_name.get(), unraisable_hook) < 0) return -1;
        active_release = &release;
    }

    // Signals that came before are taken first; those that come during the clean-up wait for
    // the second check. (Finalisers set aside an exception already raised, and put it back.)
    sigset_t previous_mask;
    pthread_sigmask(SIG_BLOCK, &held_signals, &previous_mask);
    int status = PyErr_CheckSignals();
    response = Ref();
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    if (status == 0) status = PyErr_CheckSignals();

    // The previous hook back in place, unless the clean-up installed one of its own.
    if (!hooked) return status;
    active_release = nullptr;
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    PyObject *found = nullptr;
    int restored = PyDict_GetItemRef(sys_dict, unraisablehook_name.get(), &found);
    Ref now = Ref::steal(found);
    if (restored > 0 && now.get() == unraisable_hook)
        restored = release.previous ? PyDict_SetItem(sys_dict, unraisablehook_name.get(),
                                                     release.previous.get())
                                    : PyDict_DelItem(sys_dict, unraisablehook_name.get());
    if (restored < 0 && !failure) failure = Ref::steal(PyErr_GetRaisedException());
    if (failure && release.caught)
        PyException_SetContext(failure.get(), release.caught.release());
    else if (release.caught)
        failure = std::move(release.caught);
    if (!failure) return 0;
    PyErr_SetRaisedException(failure.release());
    return -1;
}

// print(line): one call of the built-in print, one line of output; then a signal that came
// meanwhile (Ctrl-C right after the line) is raised.
[[nodiscard]] int print_line(PyObject *line) {
    Ref result = Ref::steal(PyObject_CallOneArg(print_function, line));
    return result ? take_signals() : -1;
}

// print(f"读取用例：{len(cases)}")
[[nodiscard]] int print_progress(PyObject *cases) {
    Py_ssize_t count = PyObject_Size(cases);
    if (count < 0) return -1;
    Ref line = Ref::steal(PyUnicode_FromFormat("%s%zd", progress_text, count));
    return line ? print_line(line.get()) : -1;
}

// url.format(page=page)
Ref page_url(PyObject *url, PyObject *page) {
    PyObject *call_args[] = {url, page};
    return Ref::steal(PyObject_VectorcallMethod(format_name.get(), call_args, 1, page_kwnames));
}

// requests.request(**keywords), with `requests` looked up now and a copy of `keywords` passed,
// so the callee cannot change the caller's dict. A pending signal is raised first, so that no
// request starts after a Ctrl-C.
Ref send(Function *self, PyObject *keywords) {
    if (take_signals() < 0) return {};
    Ref requests = lookup_global(self->globals, requests_name.get());
    if (!requests) return {};
    Ref request = Ref::steal(PyObject_GetAttr(requests.get(), request_name.get()));
    if (!request) return {};
    Ref keywords_copy = Ref::steal(PyDict_Copy(keywords));
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!keywords_copy || !no_args) return {};
    return Ref::steal(PyObject_Call(request.get(), no_args.get(), keywords_copy.get()));
}

// mapping.get(key), with `key` a C string.
Ref get_item(PyObject *mapping, const char *key) {
    Ref key_object = Ref::steal(PyUnicode_FromString(key));
    if (!key_object) return {};
    return Ref::steal(PyObject_CallMethodOneArg(mapping, get_name.get(), key_object.get()));
}

// response.json().get("data").get(key): the body decoded afresh for each value read.
Ref page_value(PyObject *response, const char *key) {
    Ref body = Ref::steal(PyObject_CallMethodNoArgs(response, json_name.get()));
    if (!body) return {};
    Ref data = get_item(body.get(), "data");
    if (!data) return {};
    return get_item(data.get(), key);
}

// One case: its edit request setting status "Pass", then its result line, followed by the
// response body when the server did not answer success true. `request_dict` gets the body.
[[nodiscard]] int review_case(Function *self, PyObject *record, PyObject *request_dict) {
    // The edit body, a fresh dict whose key order the server sees.
    Ref id = get_item(record, "id");
    if (!id) return -1;
    Ref case_id = get_item(record, "caseId");
    if (!case_id) return -1;
    Ref review_id = get_item(record, "reviewId");
    if (!review_id) return -1;
    Ref body = Ref::steal(PyDict_New());
    Ref comment = Ref::steal(PyUnicode_FromString(""));
    Ref status = Ref::steal(PyUnicode_FromString("Pass"));
    if (!body || !comment || !status || PyDict_SetItemString(body.get(), "id", id.get()) < 0 ||
        PyDict_SetItemString(body.get(), "caseId", case_id.get()) < 0 ||
        PyDict_SetItemString(body.get(), "reviewId", review_id.get()) < 0 ||
        PyDict_SetItemString(body.get(), "comment", comment.get()) < 0 ||
        PyDict_SetItemString(body.get(), "status", status.get()) < 0 ||
        PyDict_SetItemString(request_dict, "json", body.get()) < 0)
        return -1;

    // response: the server's answer; only the True object itself counts as passed.
    Ref response = send(self, request_dict);
    if (!response) return -1;
    Ref decoded = Ref::steal(PyObject_CallMethodNoArgs(response.get(), json_name.get()));
    if (!decoded) return -1;
    Ref success = get_item(decoded.get(), "success");
    if (!success) return -1;
    bool passed = success.get() == Py_True;

    // The result line: result, separator and the name as format(name, "") shows it.
    Ref name = get_item(record, "name");
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!name || !empty) return -1;
    Ref name_text = Ref::steal(PyObject_Format(name.get(), empty.get()));
    if (!name_text) return -1;
    Ref line = Ref::steal(PyUnicode_FromFormat("%s%s%U", passed ? passed_text : failed_text,
                                               separator, name_text.get()));
    if (!line || print_line(line.get()) < 0) return -1;

    // A refusal: the raw body on a line of its own.
    if (!passed) {
        Ref text = Ref::steal(PyObject_GetAttr(response.get(), text_name.get()));
        if (!text || print_line(text.get()) < 0) return -1;
    }
    return take_signals(std::move(response));
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The host of `url` as written (an IP literal's brackets removed) and the port text after it,
// empty when none; both view `url`. Without a scheme the whole text is host and path, as curl
// reads it. False when there is no host to read: none at all, an unclosed "[", or a port that
// is not digits.
bool split_host(std::string_view url, std::string_view &host, std::string_view &port) {
    size_t scheme_end = url.find("://");
    bool has_scheme = scheme_end != std::string_view::npos && scheme_end > 0 &&
                      is_ascii_letter(url[0]);
    for (size_t n = 1; has_scheme && n < scheme_end; ++n) {
        char c = url[n];
        has_scheme = is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
                     c == '.';
    }
    std::string_view authority = has_scheme ? url.substr(scheme_end + 3) : url;
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (authority.starts_with('[')) {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(1, close - 1);
        authority.remove_prefix(close + 1);
        if (!authority.empty() && authority[0] != ':') return false;
    } else {
        host = authority.substr(0, authority.find(':'));
        authority.remove_prefix(host.size());
    }
    port = authority.empty() ? authority : authority.substr(1);
    return !host.empty() && port.find_first_not_of("0123456789") == std::string_view::npos;
}

Ref utf8_text(std::string_view text) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// `host` as cookies compare hosts: its IDNA form (the interpreter's "idna" codec), in lower
// case, one trailing dot dropped; it may come out empty. UnicodeError when IDNA cannot encode it.
Ref comparable_host(std::string_view host) {
    // The codec follows IDNA 2003, which maps ß, ς and the zero-width joiners away; browsers,
    // curl and requests keep them (maß.example is not mass.example), so such a host is in doubt.
    for (std::string_view deviation : {"\u00DF", "\u03C2", "\u200C", "\u200D"}) {
        if (host.find(deviation) != std::string_view::npos) {
            PyErr_SetString(PyExc_UnicodeError, "IDNA 2003 and 2008 encode this host apart");
            return {};
        }
    }
    Ref text = utf8_text(host);
    if (!text) return {};
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text.get(), "idna", nullptr));
    if (!encoded) return {};
    Ref ascii = Ref::steal(PyUnicode_DecodeASCII(PyBytes_AS_STRING(encoded.get()),
                                                 PyBytes_GET_SIZE(encoded.get()), nullptr));
    if (!ascii) return {};
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(ascii.get(), lower_name.get()));
    if (!lowered) return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(lowered.get());
    if (length > 0 && PyUnicode_READ_CHAR(lowered.get(), length - 1) == '.') --length;
    return Ref::steal(PyUnicode_Substring(lowered.get(), 0, length));
}

// Refuses a command copied from another host than the built-in server's, whose cookie and
// headers must not go there. Scheme and port are not compared; a parsed command without "url"
// (an m_curl of the caller's own) passes. 0, or -1 with TypeError for a "url" that is not a
// str, ValueError for another host or a "url" whose host cannot be read (so nothing is sent
// when the host is in doubt).
[[nodiscard]] int check_host(PyObject *get_list_curl) {
    Ref url = get_item(get_list_curl, "url");
    if (!url) return -1;
    if (url.get() == Py_None) return 0;
    if (!PyUnicode_Check(url.get())) {
        PyErr_Format(PyExc_TypeError, "the parsed curl command's \"url\" must be str, not %T",
                     url.get());
        return -1;
    }

    // Both hosts in compared form. A URL without a readable host, or one the UTF-8 or IDNA codec
    // rejects, is refused: when the host is in doubt nothing is sent.
    std::string_view own_host, own_port, host, port;
    split_host(GLIMET_METERSPHERE_BASE, own_host, own_port);
    Ref own = comparable_host(own_host);
    if (!own) return -1;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(url.get(), &size);
    bool readable = utf8 && split_host({utf8, static_cast<size_t>(size)}, host, port);
    Ref pasted = readable ? comparable_host(host) : Ref();
    if (pasted && PyUnicode_GET_LENGTH(pasted.get()) == 0) pasted = Ref();
    if (!pasted) {
        Ref cause;
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return -1;
            cause = Ref::steal(PyErr_GetRaisedException());
        }
        PyErr_Format(PyExc_ValueError,
                     "cannot tell which host the curl command was copied from (url %R); its "
                     "cookie and headers go only to this build's server, %U",
                     url.get(), own.get());
        if (cause) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            PyException_SetCause(error.get(), cause.release());
            PyErr_SetRaisedException(error.release());
        }
        return -1;
    }

    if (PyUnicode_Compare(pasted.get(), own.get()) == 0) return 0;
    Ref written = utf8_text(host);
    Ref port_text = utf8_text(port);
    if (!written || !port_text) return -1;
    // An IPv6 address goes back into brackets in the URL of the hint.
    bool literal = host.find(':') != std::string_view::npos;
    PyErr_Format(PyExc_ValueError,
                 "the curl command was copied from %U, but this build of glimet-work talks to "
                 "%U, and the command's cookie and headers go only to the host they came from; "
                 "to review on %U, build for it: make install METERSPHERE_BASE=https://%s%U%s%s%U",
                 written.get(), own.get(), written.get(), literal ? "[" : "", pasted.get(),
                 literal ? "]" : "", port.empty() ? "" : ":", port_text.get());
    return -1;
}

// get_list_data: every case record of the review, read page by page with `get_list_dict`,
// whose "url" is moved on from page 1; prints the running total after each page.
Ref read_cases(Function *self, PyObject *url, PyObject *get_list_dict) {
    // Page 1, decoded once for page_count and once more for its cases.
    Ref get_list = send(self, get_list_dict);
    if (!get_list) return {};
    Ref page_count = page_value(get_list.get(), "pageCount");
    if (!page_count) return {};
    Ref get_list_data = page_value(get_list.get(), "listObject");
    if (!get_list_data || print_progress(get_list_data.get()) < 0 ||
        take_signals(std::move(get_list)) < 0)
        return {};

    // Pages 2 to page_count as range(2, page_count + 1) yields them, each added in place.
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return {};
    Ref stop = Ref::steal(PyNumber_Add(page_count.get(), one.get()));
    if (!stop) return {};
    Ref start = Ref::steal(PyLong_FromLong(2));
    if (!start) return {};
    Ref pages = Ref::steal(
        PyObject_CallFunctionObjArgs(range_type, start.get(), stop.get(), nullptr));
    if (!pages) return {};
    Ref pages_iter = Ref::steal(PyObject_GetIter(pages.get()));
    if (!pages_iter) return {};
    while (Ref i = Ref::steal(PyIter_Next(pages_iter.get()))) {
        Ref next_url = page_url(url, i.get());
        if (!next_url || PyDict_SetItemString(get_list_dict, "url", next_url.get()) < 0) return {};
        Ref case_response = send(self, get_list_dict);
        if (!case_response) return {};
        Ref more = page_value(case_response.get(), "listObject");
        if (!more) return {};
        get_list_data = Ref::steal(PyNumber_InPlaceAdd(get_list_data.get(), more.get()));
        if (!get_list_data || print_progress(get_list_data.get()) < 0 ||
            take_signals(std::move(case_response)) < 0)
            return {};
    }
    if (PyErr_Occurred()) return {};
    return get_list_data;
}

// Reads every page of the review's case list with the headers and JSON body of the pasted
// curl command `content`, then sets each case to "Pass" with one edit request per case.
// Prints a progress line per page and a result line per case; returns None.
PyObject *case_review(Function *self, PyObject *const *args) {
    PyObject *content = args[0];

    // get_list_curl: the pasted command as m_curl reads it.
    Ref m_curl = lookup_global(self->globals, m_curl_name.get());
    if (!m_curl) return nullptr;
    Ref parse = Ref::steal(PyObject_GetAttr(m_curl.get(), parse_name.get()));
    if (!parse) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallOneArg(parse.get(), content));
    if (!parsed) return nullptr;
    Ref get_list_curl = Ref::steal(PyObject_CallMethodNoArgs(parsed.get(), dict_name.get()));
    if (!get_list_curl) return nullptr;

    // headers and the_json: sent as they come with every request.
    Ref headers = get_item(get_list_curl.get(), "headers");
    if (!headers) return nullptr;
    Ref the_json = get_item(get_list_curl.get(), "json");
    if (!the_json || check_host(get_list_curl.get()) < 0) return nullptr;

    // get_list_dict: the keywords of the list requests, for page 1 first.
    Ref url = Ref::steal(PyUnicode_FromString(list_url));
    Ref first_page = Ref::steal(PyLong_FromLong(1));
    if (!url || !first_page) return nullptr;
    Ref first_url = page_url(url.get(), first_page.get());
    Ref get_list_dict = Ref::steal(PyDict_New());
    Ref post = Ref::steal(PyUnicode_FromString("POST"));
    if (!first_url || !get_list_dict || !post ||
        PyDict_SetItemString(get_list_dict.get(), "url", first_url.get()) < 0 ||
        PyDict_SetItemString(get_list_dict.get(), "method", post.get()) < 0 ||
        PyDict_SetItemString(get_list_dict.get(), "headers", headers.get()) < 0 ||
        PyDict_SetItemString(get_list_dict.get(), "json", the_json.get()) < 0)
        return nullptr;
    Ref get_list_data = read_cases(self, url.get(), get_list_dict.get());
    if (!get_list_data) return nullptr;

    // request_dict: the keywords of the edit requests; each case adds its body as "json".
    Ref edit = Ref::steal(PyUnicode_FromString(edit_url));
    Ref request_dict = Ref::steal(PyDict_New());
    if (!edit || !request_dict ||
        PyDict_SetItemString(request_dict.get(), "url", edit.get()) < 0 ||
        PyDict_SetItemString(request_dict.get(), "method", post.get()) < 0 ||
        PyDict_SetItemString(request_dict.get(), "headers", headers.get()) < 0)
        return nullptr;

    // Every case in list order, whatever the earlier ones answered.
    Ref cases = Ref::steal(PyObject_GetIter(get_list_data.get()));
    if (!cases) return nullptr;
    while (Ref i = Ref::steal(PyIter_Next(cases.get()))) {
        if (review_case(self, i.get(), request_dict.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

} // namespace

int review_init() {
    if (load_constants() < 0) return -1;
    return make_names({&m_curl_name, &requests_name, &parse_name, &dict_name, &get_name,
                       &request_name, &json_name, &text_name, &format_name, &lower_name,
                       &exc_value_name, &unraisablehook_name});
}

const OperationSpec case_review_spec = {
    .name = "_tervix_test_case_review",
    .doc = "TERVIXWorkMain._tervix_test_case_review(content)",
    .text_signature = "(content)",
    .params = {"content"},
    .n_params = 1,
    .n_required = 1,
    .impl = case_review,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

} // namespace glimet::tervix
