// The toolkit module's shared names and constant objects.
#include "tervix_main/names.hpp"

namespace glimet::tervix::names {

Name json{"json"}, time{"time"}, m_crypt{"m_crypt"}, print{"print"}, dumps{"dumps"},
    sha256{"sha256"}, get{"get"}, pop{"pop"}, update{"update"}, items{"items"},
    json_dumps{"_json_dumps"};
Name timespan_key{"saas_sign_timespan"}, sign_key{"saas_sign"}, upper{"upper"}, empty{""},
    prod{"prod"};

Kept thousand{[] { return PyLong_FromLong(1000); }};
Kept timespan_kwnames{[] { return PyTuple_Pack(1, timespan_key.get()); }};
Kept sign_kwnames{[] { return PyTuple_Pack(1, sign_key.get()); }};
Kept ensure_ascii_kwnames{[] { return Py_BuildValue("(s)", "ensure_ascii"); }};
Kept dumps_kwnames{[] { return Py_BuildValue("(ss)", "separators", "ensure_ascii"); }};
Kept separators{[] { return Py_BuildValue("(ss)", ",", ":"); }};
Kept dict_or_list{[] {
    return PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyDict_Type),
                        reinterpret_cast<PyObject *>(&PyList_Type));
}};

int make() {
    // The names first: the tuples are made of them.
    return make_kept({&json,          &time,
                      &m_crypt,       &print,
                      &dumps,         &sha256,
                      &get,           &pop,
                      &update,        &items,
                      &json_dumps,    &timespan_key,
                      &sign_key,      &upper,
                      &empty,         &prod,
                      &thousand,      &timespan_kwnames,
                      &sign_kwnames,  &ensure_ascii_kwnames,
                      &dumps_kwnames, &separators,
                      &dict_or_list});
}

} // namespace glimet::tervix::names
