// lagstat_tica._native.replicate_moments and tridiagonal_eigenvalues: the bootstrap's resampled
// pair moments, and the last step of its eigenproblems, computed without the interpreter lock.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::module_tica {

extern const char replicate_moments_doc[];

/// replicate_moments(groups, lag, draws, pairs, c00, c0t, threads=1) -> None
PyObject* replicate_moments(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char cholesky_exists_doc[];

/// cholesky_exists(a, shifts) -> list of bool
PyObject* cholesky_exists(PyObject* self, PyObject* args);

extern const char tridiagonal_eigenvalues_doc[];

/// tridiagonal_eigenvalues(d, e, dsterf) -> info array
PyObject* tridiagonal_eigenvalues(PyObject* self, PyObject* args);

}  // namespace lagstat::module_tica
