// File name arguments and the exceptions the passes raise.
#pragma once

#include "python/py_ref.hpp"
#include "passes/pass_error.hpp"

namespace lagstat::python {

/// A file name argument: the caller's object (kept for exception messages and the `filename`
/// attribute) and its file-system encoding as bytes.
struct file_name {
    py_ref given;    // str, bytes or os.PathLike
    py_ref encoded;  // bytes

    /// Encodes obj. false with TypeError/ValueError set on failure.
    bool encode(PyObject* obj);
    const char* c_str() const noexcept;
};

/// Sets OSError for errno err and the file, with what as its text instead of strerror(err) unless
/// what is null or empty. Returns null.
PyObject* set_io_error(int err, const file_name& file, const char* what);

/// Sets the exception for a failed pass: OSError naming `input` or, for failures of the output,
/// `output`; ValueError "Unexpected line format or read error." with the note "in 'FILE', line N"
/// for a refused line (and, when the pass read with text options, a second note saying why);
/// ValueError for usecols that do not fit the first data line; MemoryError; or nothing for an
/// interrupted pass, whose signal handler's exception already stands. Returns null.
PyObject* set_pass_error(const passes::pass_error& e, const file_name& input,
                         const file_name* output = nullptr, bool text_options = false);

/// Sets the Python exception for a C++ exception that reached a pass's boundary. Returns null.
PyObject* set_from_cpp_exception() noexcept;

}  // namespace lagstat::python
