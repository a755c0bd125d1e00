// glimet_curl: the object m_curl, whose parse reads a pasted curl command; the reading itself
// is curl_core's, this file turns its result into Python values.
#include "glimet_curl/curl_core.hpp"
#include "support/gc_slots.hpp"

#include <new>

namespace glimet::curl {
namespace {

// m_curl's layout: what parse needs, fixed at import.
struct Curl {
    PyObject_HEAD
    PyObject *json_loads;   // the standard json.loads
    PyObject *command_type; // the type of what parse returns
};
using CurlGc = GcSlots<Curl, &Curl::json_loads, &Curl::command_type>;

// A parsed command, held as the Python values that dict() hands out.
struct Command {
    PyObject_HEAD
    PyObject *url;        // str
    PyObject *method;     // str
    PyObject *headers;    // dict of str to str in command order; copied, never handed out
    PyObject *data;       // str or None
    PyObject *options;    // dict of str to str or True in the order read; copied, never handed out
    PyObject *json_loads; // decodes the body for dict()
};
using CommandGc = GcSlots<Command, &Command::url, &Command::method, &Command::headers,
                          &Command::data, &Command::options, &Command::json_loads>;

Ref text_object(std::string_view text) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// A new Command from `request`, whose strings the reader has checked to be UTF-8.
Ref command_new(Curl *curl, const Request &request) {
    Ref url = text_object(request.url);
    Ref method = text_object(request.method);
    Ref headers = Ref::steal(PyDict_New());
    Ref data = request.data ? text_object(*request.data) : Ref::borrow(Py_None);
    Ref options = Ref::steal(PyDict_New());
    if (!url || !method || !headers || !data || !options) return {};
    for (const Header &header : request.headers) {
        Ref name = text_object(header.name);
        Ref value = text_object(header.value);
        if (!name || !value || PyDict_SetItem(headers.get(), name.get(), value.get()) < 0)
            return {};
    }
    for (const Delivery &option : request.delivery) {
        Ref name = text_object(option.option);
        Ref value = option.argument ? text_object(*option.argument) : Ref::borrow(Py_True);
        if (!name || !value || PyDict_SetItem(options.get(), name.get(), value.get()) < 0)
            return {};
    }
    auto *command =
        PyObject_GC_New(Command, reinterpret_cast<PyTypeObject *>(curl->command_type));
    if (!command) return {};
    command->url = url.release();
    command->method = method.release();
    command->headers = headers.release();
    command->data = data.release();
    command->options = options.release();
    command->json_loads = Py_NewRef(curl->json_loads);
    PyObject_GC_Track(command);
    return Ref::steal(reinterpret_cast<PyObject *>(command));
}

// m_curl.parse(text): the request that the curl command `text` describes, as a Command.
// ValueError, saying why, when the text is not a curl command this reader can honour.
PyObject *curl_parse(PyObject *self, PyObject *text) noexcept {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "parse() argument must be str, not %T", text);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return nullptr;
    try {
        ParseResult parsed = parse_command(std::string_view(utf8, static_cast<size_t>(size)));
        if (!parsed.error.empty()) {
            Ref message = Ref::steal(PyUnicode_DecodeUTF8(
                parsed.error.data(), static_cast<Py_ssize_t>(parsed.error.size()), "replace"));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        return command_new(reinterpret_cast<Curl *>(self), parsed.request).release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "parse(): unexpected C++ exception");
        return nullptr;
    }
}

// Command.dict(): a new dict with "url", "method", "headers" (a new dict), "data", "json", the
// body decoded by json.loads afresh, or None when there is no body or it is not JSON, and
// "options" (a new dict). ValueError, with the RecursionError as its cause, for a body nested
// deeper than the decoder goes.
PyObject *command_dict(PyObject *self, PyObject *) noexcept {
    auto *command = reinterpret_cast<Command *>(self);

    // The body as JSON; only the decoder's own refusal (a ValueError) means "not JSON".
    Ref json_value;
    if (command->data == Py_None) {
        json_value = Ref::borrow(Py_None);
    } else {
        json_value = Ref::steal(PyObject_CallOneArg(command->json_loads, command->data));
        if (!json_value && PyErr_ExceptionMatches(PyExc_RecursionError)) {
            Ref cause = Ref::steal(PyErr_GetRaisedException());
            PyErr_SetString(PyExc_ValueError, "the body nests deeper than json.loads can decode");
            Ref error = Ref::steal(PyErr_GetRaisedException());
            PyException_SetCause(error.get(), cause.release());
            PyErr_SetRaisedException(error.release());
            return nullptr;
        }
        if (!json_value) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
            PyErr_Clear();
            json_value = Ref::borrow(Py_None);
        }
    }

    // The dict, in a fixed key order.
    Ref headers = Ref::steal(PyDict_Copy(command->headers));
    Ref options = Ref::steal(PyDict_Copy(command->options));
    Ref result = Ref::steal(PyDict_New());
    if (!headers || !options || !result ||
        PyDict_SetItemString(result.get(), "url", command->url) < 0 ||
        PyDict_SetItemString(result.get(), "method", command->method) < 0 ||
        PyDict_SetItemString(result.get(), "headers", headers.get()) < 0 ||
        PyDict_SetItemString(result.get(), "data", command->data) < 0 ||
        PyDict_SetItemString(result.get(), "json", json_value.get()) < 0 ||
        PyDict_SetItemString(result.get(), "options", options.get()) < 0)
        return nullptr;
    return result.release();
}

// Command.options: a new dict of the delivery options the command set (see dict()).
PyObject *command_options(PyObject *self, void *) noexcept {
    return PyDict_Copy(reinterpret_cast<Command *>(self)->options);
}

// repr(command): its method and URL, as in <glimet_curl.Command POST 'https://h/p'>.
PyObject *command_repr(PyObject *self) noexcept {
    auto *command = reinterpret_cast<Command *>(self);
    if (!command->method || !command->url) return PyUnicode_FromString("<glimet_curl.Command>");
    return PyUnicode_FromFormat("<glimet_curl.Command %U %R>", command->method, command->url);
}

PyMethodDef command_methods[] = {
    {"dict", command_dict, METH_NOARGS,
     "dict($self, /)\n--\n\n"
     "A new dict of the request, in this key order:\n"
     "url (str), method (str), headers (dict of str to str, in the order curl sends them),\n"
     "data (the body as str, or None), json (data decoded by json.loads, or None when there\n"
     "is no body or it is not JSON) and options: the options read that change how curl\n"
     "delivers the request but go into no header and no body, in the order first read, by\n"
     "long name (-k as --insecure): --insecure, --location: True; --cacert, --capath,\n"
     "--proxy, --noproxy, --max-time, --connect-timeout, --request: their argument (str).\n"
     "A --no- form removes a switch; --location-trusted counts as --location.\n"
     "ValueError (its cause the RecursionError) for a body nested deeper than json.loads\n"
     "goes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef command_getset[] = {
    {"options", command_options, nullptr,
     "A new dict of the delivery options the command set, as dict() gives them.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot command_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(CommandGc::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(CommandGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(CommandGc::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(command_repr)},
    {Py_tp_methods, command_methods},
    {Py_tp_getset, command_getset},
    {Py_tp_doc, const_cast<char *>("A curl command read by m_curl.parse.")},
    {0, nullptr},
};

PyType_Spec command_spec = {
    .name = "glimet_curl.Command",
    .basicsize = sizeof(Command),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = command_slots,
};

PyMethodDef curl_methods[] = {
    {"parse", curl_parse, METH_O,
     "parse($self, text, /)\n--\n\n"
     "Read a curl command, as browsers and API clients copy it, into a Command.\n"
     "bash (quoting, continuations, here-documents), PowerShell and Windows cmd syntax\n"
     "are understood; shell expansions such as $TOKEN are refused, not guessed.\n"
     "ValueError when the text is not a curl command this reader can honour."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot curl_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(CurlGc::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(CurlGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(CurlGc::clear)},
    {Py_tp_methods, curl_methods},
    {Py_tp_doc, const_cast<char *>("The curl command reader of glimet-work.")},
    {0, nullptr},
};

PyType_Spec curl_spec = {
    .name = "glimet_curl.Curl",
    .basicsize = sizeof(Curl),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = curl_slots,
};

int module_exec(PyObject *module) noexcept {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return -1;
    Ref loads = Ref::steal(PyObject_GetAttrString(json.get(), "loads"));
    if (!loads) return -1;
    Ref command_type = Ref::steal(PyType_FromModuleAndSpec(module, &command_spec, nullptr));
    Ref curl_type = Ref::steal(PyType_FromModuleAndSpec(module, &curl_spec, nullptr));
    if (!command_type || !curl_type) return -1;
    auto *curl = PyObject_GC_New(Curl, reinterpret_cast<PyTypeObject *>(curl_type.get()));
    if (!curl) return -1;
    curl->json_loads = loads.release();
    curl->command_type = Py_NewRef(command_type.get());
    PyObject_GC_Track(curl);
    Ref m_curl = Ref::steal(reinterpret_cast<PyObject *>(curl));
    if (PyModule_Add(module, "Curl", curl_type.release()) < 0 ||
        PyModule_Add(module, "Command", command_type.release()) < 0)
        return -1;
    return PyModule_Add(module, "m_curl", m_curl.release());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "glimet_curl",
    .m_doc = "Curl command reader for glimet-work: m_curl.parse(text).dict().",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace
} // namespace glimet::curl

PyMODINIT_FUNC PyInit_glimet_curl(void) { return PyModuleDef_Init(&glimet::curl::module_def); }
