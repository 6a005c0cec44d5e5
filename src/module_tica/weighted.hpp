// lagstat_tica._native.weighted_accumulator: weighted sums of lagged pairs handed over in blocks,
// the same bits for any blocking and any thread count (stats/weighted_moments.hpp).
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace lagstat::module_tica {

/// Makes the type once and adds it to the module; false with the Python error set.
bool add_weighted_accumulator_type(PyObject* module);

}  // namespace lagstat::module_tica
