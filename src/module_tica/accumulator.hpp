// lagstat_tica._native.accumulator: the lag scan's sums of frames handed over in blocks (arrays,
// binary files), the same bits as a scan of the same numbers as text.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::module_tica {

/// Makes the accumulator type once and adds it to the module; false with the Python error set.
bool add_accumulator_type(PyObject* module);

}  // namespace lagstat::module_tica
