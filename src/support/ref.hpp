// Ref: the owning PyObject* handle every module uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace glimet {

// Owns one strong reference or nothing; move-only, so every extra owner is visible.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *o) noexcept { return Ref(o); } // o: new reference or null
    static Ref borrow(PyObject *o) noexcept { return Ref(Py_XNewRef(o)); }
    Ref(Ref &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old); // last: a finaliser may run Python code that reads *this
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(ptr_); }
    PyObject *get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject *o) noexcept : ptr_(o) {}
    PyObject *ptr_ = nullptr;
};

} // namespace glimet
