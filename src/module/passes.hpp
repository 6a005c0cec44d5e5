// The two functions Python calls.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::module {

/// run(fname, d, mean, var, cov, tcov, lag, *, threads, comments, skip_rows, usecols,
/// delimiter, skip_blank): the moment accumulation pass. kwargs may be null.
PyObject* run(PyObject* self, PyObject* args, PyObject* kwargs);
/// stream(fin, fout, mean, weights, max_proj, time_column, *, threads, comments, skip_rows,
/// usecols, delimiter, skip_blank): the centre-and-project pass. kwargs may be null.
PyObject* stream(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace lagstat::module
