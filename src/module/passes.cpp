#include "module/passes.hpp"

#include "input/compressed_source.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>

namespace lagstat::module {

bool file_name::encode(PyObject* obj) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(obj, &bytes)) return false;
    given = obj;
    encoded = py_ref::steal(bytes);
    return true;
}

const char* file_name::c_str() const noexcept {
    return PyBytes_AS_STRING(encoded.get());
}

PyObject* set_io_error(int err, const file_name& file, const char* what) {
    if (what == nullptr || *what == '\0') {
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.given);
    }
    // OSError(errno, strerror, filename) picks the subclass for errno, as the C library's would.
    py_ref exc = py_ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", err, what, file.given));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
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

namespace {

// Runs the interpreter's signal handlers (the pass holds the interpreter lock): a KeyboardInterrupt
// stops a read that waits on a pipe, or a long pass, and stays the pending exception.
bool signal_pending() noexcept {
    return PyErr_CheckSignals() != 0;
}

}  // namespace

bool counted_input::open(const file_name& file) {
    int err = 0;
    source = input::open_input(file.c_str(), err, signal_pending);
    if (!source) {
        if (!PyErr_Occurred()) set_io_error(err, file, "");  // else a signal handler's exception
        return false;
    }
    reader = std::make_unique<input::record_reader>(*source);
    columns = reader->read_record(first);
    if (columns > 0) return true;
    // A damaged compressed stream can decode to a malformed first line before its check sums fail.
    if (reader->failed() || damaged()) return set_read_error(file), false;
    // The C library leaves no errno here: say what is wrong instead of "[Errno 0] Error".
    if (columns == 0)
        set_io_error(ENODATA, file, "No data: the file is empty or its first line is blank");
    else
        set_io_error(EILSEQ, file, "Unexpected format of the first line: no field count");
    return false;
}

PyObject* counted_input::set_read_error(const file_name& file) const {
    if (PyErr_Occurred()) return nullptr;  // a signal handler's exception
    return set_io_error(reader->error_number(), file, input::decoder_error_message(*source));
}

bool counted_input::damaged() const {
    if (!input::is_compressed_source(*source)) return false;
    char scratch[1 << 14];
    long got;
    while ((got = source->read(scratch, sizeof scratch)) > 0) {
    }
    return got < 0;
}

bool counted_input::check_rest(const file_name& file) const {
    if (!damaged()) return true;
    set_read_error(file);
    return false;
}

PyObject* counted_input::set_line_error(const file_name& file) const {
    // A damaged compressed stream can decode to a malformed line before its check sums fail.
    if (reader->failed() || damaged()) return set_read_error(file);
    const std::uint64_t line = reader->line_number();
    py_ref exc = py_ref::steal(
        PyObject_CallFunction(PyExc_ValueError, "s", "Unexpected line format or read error."));
    if (!exc) return nullptr;
    if (PyObject_HasAttrString(exc.get(), "add_note")) {
        py_ref note = py_ref::steal(PyUnicode_FromFormat("in %R, line %llu", file.given,
                                                         static_cast<unsigned long long>(line)));
        if (!note) return nullptr;
        py_ref done = py_ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
        if (!done) return nullptr;
    }
    PyErr_SetObject(PyExc_ValueError, exc.get());
    return nullptr;
}

}  // namespace lagstat::module
