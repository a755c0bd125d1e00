// The review's safe points: pending signals taken, and a response released, with signals held
// and the clean-up's unraisable reports caught, so that the review raises what they carry.
#include "tervix_main/release.hpp"

#include "tervix_main/names.hpp"

#include <signal.h>

namespace glimet::tervix {
namespace {

// The signals held while a response is released: all but those the processor raises for the
// code being run, which must reach their handlers at once.
const sigset_t held_signals = [] {
    sigset_t held;
    sigfillset(&held);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&held, fault);
    return held;
}();

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
        Ref value = Ref::steal(PyObject_GetAttr(report, names.exc_value));
        if (!value) return nullptr;
        if (value.get() != Py_None) {
            release->caught = std::move(value);
            Py_RETURN_NONE;
        }
    }
    // Other threads' reports, and any after the first, go where they would have gone.
    PyObject *previous = release ? release->previous.get() : nullptr;
    if (!previous || previous == names.unraisable_hook)
        previous = PySys_GetObject("__unraisablehook__");
    if (!previous) Py_RETURN_NONE;
    Ref keep = Ref::borrow(previous); // the hook may replace what holds it
    return PyObject_CallOneArg(keep.get(), report);
}

} // namespace

PyMethodDef unraisable_hook_def = {
    .ml_name = "review_unraisablehook",
    .ml_meth = hook_unraisable,
    .ml_flags = METH_O,
    .ml_doc = "Keeps what a response's clean-up raises, for the review to raise.",
};

// A response's last reference usually goes here, and its clean-up (urllib3's and io's
// finalisers) runs Python code that would take a pending Ctrl-C as its own: the
// KeyboardInterrupt would then be printed as ignored, or silently cleared, and the review would
// go on. The check itself may run the collector first, and so other objects' finalisers. So the
// thread's signals are held while that code runs and taken just after, and an exception it
// reports as unraisable on this thread is raised from here.
int take_signals(Ref response) {
    // Catch unraisable reports, unless an outer release (a finaliser's own review) already does.
    // The hook goes in the interpreter's own sys namespace, where it looks, whatever sys.modules
    // holds now; replacing an entry there takes no memory, so putting it back cannot fail.
    PyObject *sys_dict = names.sys_namespace;
    PyObject *hook = nullptr;
    if (PyDict_GetItemRef(sys_dict, names.unraisablehook, &hook) < 0) return -1;
    Release release{PyThreadState_Get(), Ref::steal(hook), {}};
    bool hooked = active_release == nullptr;
    if (hooked) {
        if (PyDict_SetItem(sys_dict, names.unraisablehook, names.unraisable_hook) < 0) return -1;
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
    int restored = PyDict_GetItemRef(sys_dict, names.unraisablehook, &found);
    Ref now = Ref::steal(found);
    if (restored > 0 && now.get() == names.unraisable_hook)
        restored = release.previous
                       ? PyDict_SetItem(sys_dict, names.unraisablehook, release.previous.get())
                       : PyDict_DelItem(sys_dict, names.unraisablehook);
    if (restored < 0 && !failure) failure = Ref::steal(PyErr_GetRaisedException());
    if (failure && release.caught)
        PyException_SetContext(failure.get(), release.caught.release());
    else if (release.caught)
        failure = std::move(release.caught);
    if (!failure) return 0;
    PyErr_SetRaisedException(failure.release());
    return -1;
}

} // namespace glimet::tervix
