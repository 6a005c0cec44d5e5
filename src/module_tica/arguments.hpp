// The arguments of source.scan that are the one read's own (the reader's options are parsed by
// python/keywords like lagstat's). Each returns false with the Python error set.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

namespace lagstat::module_tica {

/// lags: a sequence of ints >= 1 (any index value but bool).
bool parse_lags(PyObject* obj, std::vector<std::size_t>& lags);
/// shift: None (empty) or a sequence of numbers.
bool parse_shift(PyObject* obj, std::vector<double>& shift);
/// The same for an accumulator of `columns` columns: a shift given has one value per column.
bool parse_shift(PyObject* obj, Py_ssize_t columns, std::vector<double>& shift);
/// segment_marker: None (empty) or a non-empty str.
bool parse_marker(PyObject* obj, std::string& marker);
/// time_field: None or an int (not bool).
bool check_time_field(PyObject* obj);

}  // namespace lagstat::module_tica
