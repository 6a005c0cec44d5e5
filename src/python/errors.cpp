#include "python/errors.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace lagstat::python {

namespace {

// Python 2 declares the format arguments of its call functions char* (it never writes to them).
char* call_format(const char* format) noexcept {
    return const_cast<char*>(format);
}

}  // namespace

// What differs between Python 2 and 3 in file names and file errors is kept here.
#if PY_MAJOR_VERSION >= 3

bool file_name::encode(PyObject* obj) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(obj, &bytes)) return false;
    given = py_ref::borrow(obj);
    encoded = py_ref::steal(bytes);
    return true;
}

namespace {
PyObject* file_error_type() noexcept {
    return PyExc_OSError;
}
}  // namespace

#else

// Python 2 has no os.PathLike and no converter: a str is the name's bytes, a unicode name is
// encoded as open() encodes it. A NUL would cut the name short, so it is refused as Python 3
// refuses it.
bool file_name::encode(PyObject* obj) {
    py_ref bytes;
    if (PyBytes_Check(obj)) {
        bytes = py_ref::borrow(obj);
    } else if (PyUnicode_Check(obj)) {
        bytes = py_ref::steal(
            Py_FileSystemDefaultEncoding != nullptr
                ? PyUnicode_AsEncodedString(obj, Py_FileSystemDefaultEncoding, "strict")
                : PyUnicode_AsUTF8String(obj));
        if (!bytes) return false;
    } else {
        PyErr_Format(PyExc_TypeError, "file name must be str or unicode, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    if (std::strlen(PyBytes_AS_STRING(bytes.get())) !=
        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    given = py_ref::borrow(obj);
    encoded = std::move(bytes);
    return true;
}

namespace {
// Python 2's file errors are IOError, distinct from OSError (which its os module raises).
PyObject* file_error_type() noexcept {
    return PyExc_IOError;
}
}  // namespace

#endif

const char* file_name::c_str() const noexcept {
    return PyBytes_AS_STRING(encoded.get());
}

PyObject* set_io_error(int err, const file_name& file, const char* what) {
    if (what == nullptr || *what == '\0') {
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObject(file_error_type(), file.given.get());
    }
    // OSError(errno, strerror, filename) picks the subclass for errno, as the C library's would
    // (Python 3; Python 2's IOError has none).
    py_ref exc = py_ref::steal(
        PyObject_CallFunction(file_error_type(), call_format("isO"), err, what, file.given.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

namespace {

// ValueError for a refused data line (MemoryError for a line longer than is held), with a note
// naming the file and the line: through add_note where exceptions have it (3.11+), else straight
// into __notes__, where tracebacks of those versions do not show it but callers (lagstat-tica)
// still find it.
PyObject* set_line_error(const file_name& file, std::uint64_t line, const char* why,
                         PyObject* type = PyExc_ValueError,
                         const char* message = "Unexpected line format or read error.") {
    py_ref exc = py_ref::steal(PyObject_CallFunction(type, call_format("s"), message));
    if (!exc) return nullptr;
    py_ref notes = py_ref::steal(PyList_New(0));
    if (!notes) return nullptr;
    // The number is printed here: Python 2's formatter knows no %llu.
    char number[24];
    std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(line));
    // Line 0: an error of the whole file (a .npy header), named without a line.
    py_ref where =
        py_ref::steal(line == 0 ? PyUnicode_FromFormat("in %R", file.given.get())
                                : PyUnicode_FromFormat("in %R, line %s", file.given.get(), number));
    if (!where || PyList_Append(notes.get(), where.get()) < 0) return nullptr;
    if (why != nullptr) {
        py_ref what = py_ref::steal(PyUnicode_FromString(why));
        if (!what || PyList_Append(notes.get(), what.get()) < 0) return nullptr;
    }
    if (PyObject_HasAttrString(exc.get(), "add_note")) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
            py_ref done = py_ref::steal(PyObject_CallMethod(exc.get(), call_format("add_note"),
                                                            call_format("O"),
                                                            PyList_GET_ITEM(notes.get(), i)));
            if (!done) return nullptr;
        }
    } else if (PyObject_SetAttrString(exc.get(), "__notes__", notes.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(type, exc.get());
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
                                  text_options && e.reason != text::error_kind::none
                                      ? text::describe(e.reason)
                                      : nullptr);
        case failure::bad_options:
            PyErr_SetString(PyExc_ValueError, text::describe(e.reason));
            return nullptr;
        case failure::bad_npy:
            return set_line_error(input, 0, nullptr, PyExc_ValueError, e.text);
        case failure::no_memory:
            // A line held up to the stated limit is named, as a refused line is.
            if (e.line != 0 && e.text != nullptr)
                return set_line_error(input, e.line, nullptr, PyExc_MemoryError, e.text);
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

}  // namespace lagstat::python
