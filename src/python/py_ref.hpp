// An owning reference to a Python object.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <utility>

namespace lagstat::python {

/// Holds one strong reference and releases it when it goes out of scope, so that every exit path
/// of a pass gives back what the pass took. Ownership is chosen by name at construction:
/// steal() takes over a new reference, borrow() adds one to a borrowed reference.
class py_ref {
public:
    py_ref() noexcept = default;
    py_ref(const py_ref&) = delete;
    py_ref& operator=(const py_ref&) = delete;
    py_ref(py_ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    py_ref& operator=(py_ref&& other) noexcept {
        py_ref moved(std::move(other));
        std::swap(obj_, moved.obj_);  // the old object goes with `moved`, released last
        return *this;
    }
    ~py_ref() { Py_XDECREF(obj_); }

    /// Takes over a new reference (null allowed: an empty handle).
    static py_ref steal(PyObject* obj) noexcept { return py_ref(obj); }
    /// Adds a reference to a borrowed one.
    static py_ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return py_ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    /// Gives the reference up to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit py_ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace lagstat::python
