// lagstat_tica._native.source: an input opened once, its first lines looked at (head), then
// every lag's sums from one read of it (scan).
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::module_tica {

/// Makes the source type once; false with the Python error set.
bool ready_source_type();
/// _native.open(path): the input opened for one read.
PyObject* open_source(PyObject* self, PyObject* args);

}  // namespace lagstat::module_tica
