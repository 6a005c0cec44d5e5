#include "module/errors.hpp"

#include <cerrno>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace lagstat::module {

bool file_name::encode(PyObject* obj) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(obj, &bytes)) return false;
    given = py_ref::borrow(obj);
    encoded = py_ref::steal(bytes);
    return true;
}

const char* file_name::c_str() const noexcept {
    return PyBytes_AS_STRING(encoded.get());
}

PyObject* set_io_error(int err, const file_name& file, const char* what) {
    if (what == nullptr || *what == '\0') {
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.given.get());
    }
    // OSError(errno, strerror, filename) picks the subclass for errno, as the C library's would.
    py_ref exc = py_ref::steal(
        PyObject_CallFunction(PyExc_OSError, "isO", err, what, file.given.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

namespace {

// ValueError for a refused data line, with a note naming the file and the line: through
// add_note where exceptions have it (3.11+), else straight into __notes__, where tracebacks of
// those versions do not show it but callers (lagstat-tica) still find it.
PyObject* set_line_error(const file_name& file, std::uint64_t line, const char* why) {
    py_ref exc = py_ref::steal(
        PyObject_CallFunction(PyExc_ValueError, "s", "Unexpected line format or read error."));
    if (!exc) return nullptr;
    py_ref notes = py_ref::steal(PyList_New(0));
    if (!notes) return nullptr;
    py_ref where = py_ref::steal(PyUnicode_FromFormat("in %R, line %llu", file.given.get(),
                                                      static_cast<unsigned long long>(line)));
    if (!where || PyList_Append(notes.get(), where.get()) < 0) return nullptr;
    if (why != nullptr) {
        py_ref what = py_ref::steal(PyUnicode_FromString(why));
        if (!what || PyList_Append(notes.get(), what.get()) < 0) return nullptr;
    }
    if (PyObject_HasAttrString(exc.get(), "add_note")) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
            py_ref done = py_ref::steal(
                PyObject_CallMethod(exc.get(), "add_note", "O", PyList_GET_ITEM(notes.get(), i)));
            if (!done) return nullptr;
        }
    } else if (PyObject_SetAttrString(exc.get(), "__notes__", notes.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(PyExc_ValueError, exc.get());
    return nullptr;
}

}  // namespace

PyObject* set_pass_error(const passes::pass_error& e, const file_name& input,
                         const file_name* output, bool text_options) {
    using passes::failure;
    switch (e.kind) {
        case failure::none:
            break;
        case failure::interrupted:
            // The signal handler's exception (KeyboardInterrupt) stands; should a handler have
            // stopped the pass without raising, say so rather than return null without one.
            if (!PyErr_Occurred()) set_io_error(EINTR, input, "");
            return nullptr;
        case failure::bad_line:
            // With text options a second note says why (an empty field, say); the default
            // format's error stays as it always was.
            return set_line_error(input, e.line,
                                  text_options && e.reason != input::error_kind::none
                                      ? input::describe(e.reason)
                                      : nullptr);
        case failure::bad_options:
            PyErr_SetString(PyExc_ValueError, input::describe(e.reason));
            return nullptr;
        case failure::no_memory:
            return PyErr_NoMemory();
        case failure::same_file:
        case failure::open_output:
        case failure::write_output:
            return set_io_error(e.err, output != nullptr ? *output : input, e.text);
        case failure::open_input:
        case failure::no_data:
        case failure::bad_first_line:
        case failure::read_error:
            return set_io_error(e.err, input, e.text);
    }
    PyErr_SetString(PyExc_SystemError, "lagstat: pass failed without a reason");
    return nullptr;
}

PyObject* set_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace lagstat::module
