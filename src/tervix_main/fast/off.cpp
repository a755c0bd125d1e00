// Every fast route declining, for builds with GLIMET_FAST_ROUTES=OFF: the toolkit then runs
// on its general routes alone, which the test suite checks the fast routes against.
#include "tervix_main/fast/routes.hpp"

namespace glimet::tervix::fast {

int init(PyObject *, PyObject *) { return 0; }

Route write_compact_json(Ref &, PyObject *, PyObject *) { return Route::declined; }

Route copy_sorted(PyObject *, PyObject *) { return Route::declined; }

Route write_pieces(TextBuilder &, PyObject *, PyObject *, PyObject *) { return Route::declined; }

Route write_piece(TextBuilder &, PyObject *, PyObject *, PyObject *, PyObject *) {
    return Route::declined;
}

Route write_parameter_pieces(TextBuilder &, PyObject *, PyObject *) { return Route::declined; }

Route parameter_array(Ref &, PyObject *, PyObject *) { return Route::declined; }

Route milliseconds_now(Ref &, PyObject *) { return Route::declined; }

Route notice_line(Ref &, PyObject *, Py_ssize_t) { return Route::declined; }

Route sign(Ref &, PyObject *, PyObject *) { return Route::declined; }

} // namespace glimet::tervix::fast
