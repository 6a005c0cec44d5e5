#include "module/array_bridge.hpp"

#include "module/numpy_api.hpp"

namespace lagstat::module {

using namespace lagstat::python;

namespace {

// The rank a request gives: rows are tested first, so 1 x c with c != 1 is a matrix.
int requested_rank(int rows, int cols) {
    if (cols != 1) return 2;
    return rows == 1 ? 0 : 1;
}

}  // namespace

py_ref new_zeroed_array(int rows, int cols) {
    npy_intp dims[2] = {rows, cols};
    return py_ref::steal(PyArray_ZEROS(requested_rank(rows, cols), dims, NPY_DOUBLE, 0));
}

py_ref as_double_array(PyObject* obj, int rows, int cols) {
    const int rank = requested_rank(rows, cols);
    // A rank bound of 0 means no bound to NumPy: a scalar request takes any shape.
    py_ref array = py_ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), rank, rank,
                                                 NPY_ARRAY_CARRAY, nullptr));
    if (!array) return array;
    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    bool fits;
    if (rank == 0) {
        fits = PyArray_SIZE(arr) >= 1;  // the passes use the first element
    } else if (rank == 1) {
        fits = PyArray_DIM(arr, 0) == rows;
    } else {
        fits = PyArray_DIM(arr, 0) == rows && PyArray_DIM(arr, 1) == cols;
    }
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, length_message);
        return py_ref();
    }
    return array;
}

py_ref fetch_entry(PyObject* dict, const char* key, int rows, int cols) {
    // The dictionary's reference is borrowed: hold one of our own, since the conversion runs
    // Python code (__array__, __len__, ...) that may remove or replace the entry.
    py_ref item = py_ref::borrow(PyDict_GetItemString(dict, key));  // null when absent
    py_ref array = item ? as_double_array(item.get(), rows, cols) : new_zeroed_array(rows, cols);
    if (!array) return array;
    if (PyDict_SetItemString(dict, key, array.get()) < 0) return py_ref();
    return array;
}

double* array_data(const py_ref& array) noexcept {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

bool any_overlap(std::initializer_list<const py_ref*> arrays) noexcept {
    for (auto a = arrays.begin(); a != arrays.end(); ++a) {
        if (!**a) continue;
        auto* x = reinterpret_cast<PyArrayObject*>((*a)->get());
        const char* x_begin = PyArray_BYTES(x);
        for (auto b = a + 1; b != arrays.end(); ++b) {
            if (!**b) continue;
            auto* y = reinterpret_cast<PyArrayObject*>((*b)->get());
            const char* y_begin = PyArray_BYTES(y);
            if (x_begin < y_begin + PyArray_NBYTES(y) && y_begin < x_begin + PyArray_NBYTES(x))
                return true;
        }
    }
    return false;
}

}  // namespace lagstat::module
