// lagstat_tica._native.accumulator: the lag scan's sums of frames handed over in blocks (arrays,
// binary files), the same bits as a scan of the same numbers as text.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstddef>

namespace lagstat::module_tica {

/// The view of a block: float64 frames of a given width, rows at any stride.
struct block_view {
    Py_buffer view{};
    bool held = false;
    block_view() = default;
    block_view(const block_view&) = delete;
    block_view& operator=(const block_view&) = delete;
    ~block_view() {
        if (held) PyBuffer_Release(&view);
    }
};

/// Views obj as (rows, n) native float64 values (1-D for n == 1), value i of row k at
/// k * stride + i * step doubles from the start; false with the Python error set.
bool get_block(PyObject* obj, std::size_t n, block_view& b, std::size_t& rows, std::size_t& stride,
               std::size_t& step);

/// Makes the accumulator type once and adds it to the module; false with the Python error set.
bool add_accumulator_type(PyObject* module);

}  // namespace lagstat::module_tica
