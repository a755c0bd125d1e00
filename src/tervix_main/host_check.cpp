// The review's host check: hosts compared as cookies compare them, through the interpreter's
// IDNA codec, and any host that cannot be read or encoded refused.
#include "tervix_main/host_check.hpp"

#include "support/url_authority.hpp"
#include "tervix_main/names.hpp"

#include <string_view>

namespace glimet::tervix {
namespace {

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
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(ascii.get(), names.lower));
    if (!lowered) return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(lowered.get());
    if (length > 0 && PyUnicode_READ_CHAR(lowered.get(), length - 1) == '.') --length;
    return Ref::steal(PyUnicode_Substring(lowered.get(), 0, length));
}

} // namespace

int check_host(PyObject *get_list_curl) {
    Ref key = Ref::steal(PyUnicode_FromString("url"));
    if (!key) return -1;
    Ref url = Ref::steal(PyObject_CallMethodOneArg(get_list_curl, names.get, key.get()));
    if (!url) return -1;
    if (url.get() == Py_None) return 0;
    if (!PyUnicode_Check(url.get())) {
        PyErr_Format(PyExc_TypeError, "the parsed curl command's \"url\" must be str, not %T",
                     url.get());
        return -1;
    }

    // Both hosts in compared form. A URL without a readable host, or one the UTF-8 or IDNA codec
    // rejects, is refused: when the host is in doubt nothing is sent.
    UrlAuthority own_authority, authority;
    read_url_authority(GLIMET_METERSPHERE_BASE, own_authority);
    Ref own = comparable_host(own_authority.host);
    if (!own) return -1;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(url.get(), &size);
    bool readable = utf8 && read_url_authority({utf8, static_cast<size_t>(size)}, authority);
    Ref pasted = readable ? comparable_host(authority.host) : Ref();
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
    std::string_view port = authority.port;
    Ref written = utf8_text(authority.host);
    Ref port_text = utf8_text(port);
    if (!written || !port_text) return -1;
    // An IPv6 address goes back into brackets in the URL of the hint.
    bool literal = authority.host.find(':') != std::string_view::npos;
    PyErr_Format(PyExc_ValueError,
                 "the curl command was copied from %U, but this build of glimet-work talks to "
                 "%U, and the command's cookie and headers go only to the host they came from; "
                 "to review on %U, build for it: make install METERSPHERE_BASE=https://%s%U%s%s%U",
                 written.get(), own.get(), written.get(), literal ? "[" : "", pasted.get(),
                 literal ? "]" : "", port.empty() ? "" : ":", port_text.get());
    return -1;
}

} // namespace glimet::tervix
