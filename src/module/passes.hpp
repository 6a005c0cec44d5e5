// The two functions Python calls.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::module {

/// run(fname, d, mean, var, cov, tcov, lag): the moment accumulation pass.
PyObject* run(PyObject* self, PyObject* args);
/// stream(fin, fout, mean, weights, max_proj, time_column): the centre-and-project pass.
PyObject* stream(PyObject* self, PyObject* args);

}  // namespace lagstat::module
