// Accumulator arrays: creation, conversion with shape checks, and statistics-dictionary entries.
#pragma once

#include <initializer_list>

#include "python/py_ref.hpp"

namespace lagstat::module {

using python::py_ref;

/// Message of every length or shape mismatch.
inline constexpr const char* length_message =
    "Number of order parameters and length of mean/std/weights differ. Forgot time column?";

/// A zero-filled C-contiguous double array of the shape the request gives: 1 x 1 is a 0-d array,
/// rows x 1 a vector, any other request a rows x cols matrix. Empty with an exception set on
/// failure.
py_ref new_zeroed_array(int rows, int cols);

/// obj as a C-contiguous, aligned, writeable double array of the requested shape: the very same
/// object if it already is one, a converted copy otherwise. A 1 x 1 request accepts any shape with
/// at least one element; a vector request needs exactly rank 1 and length rows, a matrix request
/// exactly rank 2 and shape rows x cols. Empty with an exception set on failure.
py_ref as_double_array(PyObject* obj, int rows, int cols);

/// The dictionary's entry under key as an accumulator array (converted, or created as zeros when
/// absent), stored back under key. Empty with an exception set on failure; the dictionary is then
/// unchanged.
py_ref fetch_entry(PyObject* dict, const char* key, int rows, int cols);

/// Data of an array returned by the functions above.
double* array_data(const py_ref& array) noexcept;

/// True if the data of any two of the given arrays (empty handles skipped) share memory.
bool any_overlap(std::initializer_list<const py_ref*> arrays) noexcept;

}  // namespace lagstat::module
