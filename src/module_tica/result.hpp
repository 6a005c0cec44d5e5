// The one read's sums as a dictionary: "frames", "shift", "sum", "cov", "lags", "pairs", "tcov",
// the head and tail sums and covariances per lag, "segments" and "dt" (see _native.pyi).
#pragma once

#include "passes/lag_scan.hpp"
#include "python/py_ref.hpp"
#include "stats/lag_moments.hpp"

#include <cstddef>
#include <initializer_list>

namespace lagstat::module_tica {

/// A float64 NumPy array of the given shape holding a copy of data; null with the Python error
/// set when that fails.
python::py_ref float64_array(const double* data, std::initializer_list<std::size_t> shape);

/// Moves the sums' arrays into NumPy arrays one at a time (sums is left empty). Null with the
/// Python error set when an allocation fails.
python::py_ref result_dict(stats::lag_sums& sums, const passes::lag_scan_result& r);

}  // namespace lagstat::module_tica
