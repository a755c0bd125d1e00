// TERVIXWorkMain._tervix_test_case_review: passes every case of a MeterSphere review.
#include "tervix_main/host_check.hpp"
#include "tervix_main/operations.hpp"
#include "tervix_main/release.hpp"
#include "tervix_main/review_urls.hpp"

namespace glimet::tervix {
namespace {

constexpr const char progress_text[] = "读取用例：";
constexpr const char passed_text[] = "评审通过";
constexpr const char failed_text[] = "【警告】评审失败";
constexpr const char separator[] = "：";

// print(f"读取用例：{len(cases)}"). Every line of the review is printed by the built-in print
// bound at load and followed by take_signals(): a Ctrl-C that comes right after it is raised
// there.
[[nodiscard]] int print_progress(PyObject *cases) {
    Py_ssize_t count = PyObject_Size(cases);
    if (count < 0) return -1;
    Ref line = Ref::steal(PyUnicode_FromFormat("%s%zd", progress_text, count));
    if (!line || print_line(names.builtin_print, line.get()) < 0) return -1;
    return take_signals();
}

// url.format(page=page)
Ref page_url(PyObject *url, PyObject *page) {
    PyObject *call_args[] = {url, page};
    return Ref::steal(PyObject_VectorcallMethod(names.format, call_args, 1, names.page_kwnames));
}

// Refuses an answer with a redirect status (3xx), which is never read as a result: followed,
// it would take the session's headers elsewhere, and read, it would be taken for the server's
// answer. A response without an int status_code (a stand-in of the caller's own) passes.
// 0, or -1 with RuntimeError naming the status and the Location.
[[nodiscard]] int refuse_redirect(PyObject *response, PyObject *url) {
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttr(response, names.status_code, &found) < 0) return -1;
    Ref status = Ref::steal(found);
    if (!status || !PyLong_Check(status.get()) || PyBool_Check(status.get())) return 0;
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(status.get(), &overflow);
    if (code == -1 && PyErr_Occurred()) return -1;
    if (overflow || code < 300 || code > 399) return 0;

    // Its Location, as the answer's headers give it (None when there is none).
    Ref location = Ref::borrow(Py_None);
    if (PyObject_GetOptionalAttr(response, names.headers, &found) < 0) return -1;
    if (Ref headers = Ref::steal(found); headers && headers.get() != Py_None) {
        Ref key = Ref::steal(PyUnicode_FromString("Location"));
        if (!key) return -1;
        location = Ref::steal(PyObject_CallMethodOneArg(headers.get(), names.get, key.get()));
        if (!location) return -1;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "HTTP %ld answered the request to %S with a redirect to %R, which the review "
                 "does not follow: "
                 "its cookie and headers stay with the server they were copied for",
                 code, url, location.get());
    return -1;
}

// requests.request(**keywords, allow_redirects=False), with `requests` looked up now and a copy
// of `keywords` passed, so the callee cannot change the caller's dict. A pending signal is
// raised first, so that no request starts after a Ctrl-C; a redirect is refused.
Ref send(Function *self, PyObject *keywords) {
    if (take_signals() < 0) return {};
    Ref requests = lookup_global(self->globals, names.requests);
    if (!requests) return {};
    Ref request = Ref::steal(PyObject_GetAttr(requests.get(), names.request));
    if (!request) return {};
    Ref keywords_copy = Ref::steal(PyDict_Copy(keywords));
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!keywords_copy || !no_args ||
        PyDict_SetItemString(keywords_copy.get(), "allow_redirects", Py_False) < 0)
        return {};
    PyObject *found = nullptr;
    if (PyDict_GetItemStringRef(keywords, "url", &found) < 0) return {};
    Ref url = Ref::steal(found);
    Ref response = Ref::steal(PyObject_Call(request.get(), no_args.get(), keywords_copy.get()));
    if (!response || refuse_redirect(response.get(), url.get()) < 0) return {};
    return response;
}

// mapping.get(key), with `key` a C string.
Ref get_item(PyObject *mapping, const char *key) {
    Ref key_object = Ref::steal(PyUnicode_FromString(key));
    if (!key_object) return {};
    return Ref::steal(PyObject_CallMethodOneArg(mapping, names.get, key_object.get()));
}

// response.json().get("data").get(key): the body decoded afresh for each value read.
Ref page_value(PyObject *response, const char *key) {
    Ref body = Ref::steal(PyObject_CallMethodNoArgs(response, names.json));
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
    Ref decoded = Ref::steal(PyObject_CallMethodNoArgs(response.get(), names.json));
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
    if (!line || print_line(names.builtin_print, line.get()) < 0 || take_signals() < 0)
        return -1;

    // A refusal: the raw body on a line of its own.
    if (!passed) {
        Ref text = Ref::steal(PyObject_GetAttr(response.get(), names.text));
        if (!text || print_line(names.builtin_print, text.get()) < 0 || take_signals() < 0)
            return -1;
    }
    return take_signals(std::move(response));
}

// Refuses a list body that names no review: without "reviewId" MeterSphere's case list is not
// limited to one review, and every case the session can see would be set to Pass. The body must
// be a JSON object whose "reviewId" is there and is not null, "" or a boolean. 0, or -1 with
// ValueError.
[[nodiscard]] int check_review_named(PyObject *the_json) {
    PyObject *review_id = nullptr;
    if (PyDict_Check(the_json) && PyDict_GetItemStringRef(the_json, "reviewId", &review_id) < 0)
        return -1;
    Ref named = Ref::steal(review_id);
    if (named && named.get() != Py_None && !PyBool_Check(named.get())) {
        int empty = PyUnicode_Check(named.get()) && PyUnicode_GET_LENGTH(named.get()) == 0;
        if (!empty) return 0;
    }
    PyErr_SetString(PyExc_ValueError,
                    "the pasted command's JSON body names no review (no \"reviewId\"), and "
                    "without one the case list holds the cases of every review: copy the case "
                    "list request from the review's own page");
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
        PyObject_CallFunctionObjArgs(names.builtin_range, start.get(), stop.get(), nullptr));
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
    Ref m_curl = lookup_global(self->globals, names.m_curl);
    if (!m_curl) return nullptr;
    Ref parse = Ref::steal(PyObject_GetAttr(m_curl.get(), names.parse));
    if (!parse) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallOneArg(parse.get(), content));
    if (!parsed) return nullptr;
    Ref get_list_curl = Ref::steal(PyObject_CallMethodNoArgs(parsed.get(), names.dict));
    if (!get_list_curl) return nullptr;

    // headers and the_json: sent as they come with every request.
    Ref headers = get_item(get_list_curl.get(), "headers");
    if (!headers) return nullptr;
    Ref the_json = get_item(get_list_curl.get(), "json");
    if (!the_json || check_host(get_list_curl.get()) < 0 || check_review_named(the_json.get()) < 0)
        return nullptr;

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

const OperationSpec case_review_spec = {
    .name = "_tervix_test_case_review",
    .doc = "TERVIXWorkMain._tervix_test_case_review(content)",
    .text_signature = "(content)",
    .params = {"content"},
    .n_required = 1,
    .impl = case_review,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

} // namespace glimet::tervix
