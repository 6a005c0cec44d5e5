// The two passes Python calls, and what they share: file names, inputs and exceptions.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "input/record_reader.hpp"
#include "module/py_ref.hpp"

namespace lagstat::module {

/// run(fname, d, mean, var, cov, tcov, lag): the moment accumulation pass.
PyObject* run(PyObject* self, PyObject* args);
/// stream(fin, fout, mean, weights, max_proj, time_column): the centre-and-project pass.
PyObject* stream(PyObject* self, PyObject* args);

/// A file name argument: the caller's object (kept for exception messages and the `filename`
/// attribute) and its file-system encoding as bytes.
struct file_name {
    PyObject* given = nullptr;  // borrowed from the argument tuple
    py_ref encoded;             // bytes

    /// Encodes given (str, bytes or os.PathLike). false with TypeError/ValueError set on failure.
    bool encode(PyObject* obj);
    const char* c_str() const noexcept;
};

/// Sets OSError for errno err and the file, with what as its text instead of strerror(err) unless
/// what is null or empty. Returns null.
PyObject* set_io_error(int err, const file_name& file, const char* what);

/// Sets the Python exception for a C++ exception that reached a pass's boundary. Returns null.
PyObject* set_from_cpp_exception() noexcept;

/// An input opened by a pass, with its first line counted and kept as the first record, so that
/// nothing is read twice and a pipe loses no line.
struct counted_input {
    std::unique_ptr<input::byte_source> source;
    std::unique_ptr<input::record_reader> reader;
    std::vector<double> first;  // the first line's values
    int columns = 0;            // their count

    /// Opens file and counts its first line. false with OSError set when the file cannot be
    /// opened or its first line yields no field count.
    bool open(const file_name& file);

    /// Sets the exception for a data line the reader refused: OSError when reading failed (errno
    /// and, for compressed input, the decoder's message), otherwise ValueError "Unexpected line
    /// format or read error." with, where exceptions take notes (3.11+), one naming the file and
    /// the 1-based line. Returns null.
    PyObject* set_line_error(const file_name& file) const;

    /// At the end of the data: compressed input is read to its end, so that a damaged stream (its
    /// check sums come last) is not taken for data that merely end early. false with OSError set
    /// when the stream is damaged.
    bool check_rest(const file_name& file) const;

private:
    bool damaged() const;
    PyObject* set_read_error(const file_name& file) const;
};

}  // namespace lagstat::module
