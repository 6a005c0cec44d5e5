// The one read's sums as the dictionary lagstat_tica._native hands Python.
#include "module_tica/result.hpp"

#include <initializer_list>

namespace lagstat::module_tica {

using python::py_ref;

namespace {

PyObject* numpy_module() {
    static PyObject* numpy = nullptr;  // held for the process's life
    if (numpy == nullptr) numpy = PyImport_ImportModule("numpy");
    return numpy;
}

// A float64 array of the given shape holding a copy of data.
py_ref make_array(const double* data, std::initializer_list<std::size_t> shape) {
    std::size_t count = 1;
    for (std::size_t d : shape) count *= d;
    PyObject* np = numpy_module();
    if (np == nullptr) return {};
    py_ref buffer = py_ref::steal(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(count * sizeof(double))));
    if (!buffer) return {};
    py_ref flat =
        py_ref::steal(PyObject_CallMethod(np, "frombuffer", "Os", buffer.get(), "float64"));
    if (!flat) return {};
    py_ref dims = py_ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return {};
    Py_ssize_t i = 0;
    for (std::size_t d : shape) {
        PyObject* v = PyLong_FromSize_t(d);
        if (v == nullptr) return {};
        PyTuple_SET_ITEM(dims.get(), i++, v);
    }
    return py_ref::steal(PyObject_CallMethod(flat.get(), "reshape", "O", dims.get()));
}

bool set_item(PyObject* d, const char* key, py_ref value) {
    return value && PyDict_SetItemString(d, key, value.get()) == 0;
}

// Takes the sums' arrays over one by one, each freed once NumPy holds its copy: a wide scan's
// lagged products are lags x n^2 doubles per key, so holding both at once would double its peak.
py_ref take_array(std::vector<double>& data, std::initializer_list<std::size_t> shape) {
    py_ref array = make_array(data.data(), shape);
    std::vector<double>().swap(data);
    return array;
}

}  // namespace

py_ref float64_array(const double* data, std::initializer_list<std::size_t> shape) {
    return make_array(data, shape);
}

py_ref result_dict(stats::lag_sums& sums, const passes::lag_scan_result& r) {
    const std::size_t n = sums.n, lags = sums.lags.size();
    py_ref d = py_ref::steal(PyDict_New());
    if (!d) return {};
    py_ref lag_list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(lags)));
    py_ref pair_list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(lags)));
    if (!lag_list || !pair_list) return {};
    for (std::size_t l = 0; l < lags; ++l) {
        PyObject* lag = PyLong_FromSize_t(sums.lags[l]);
        PyObject* pairs = PyLong_FromUnsignedLongLong(sums.pairs[l]);
        if (lag == nullptr || pairs == nullptr) {
            Py_XDECREF(lag);
            Py_XDECREF(pairs);
            return {};
        }
        PyList_SET_ITEM(lag_list.get(), static_cast<Py_ssize_t>(l), lag);
        PyList_SET_ITEM(pair_list.get(), static_cast<Py_ssize_t>(l), pairs);
    }
    py_ref segments = py_ref::steal(PyList_New(0));
    if (!segments) return {};
    for (const passes::segment_info& s : r.segments) {
        py_ref marker;
        if (s.after_marker)
            marker = py_ref::steal(PyUnicode_DecodeUTF8(
                s.marker.data(), static_cast<Py_ssize_t>(s.marker.size()), "replace"));
        else
            marker = py_ref::borrow(Py_None);
        if (!marker) return {};
        py_ref item = py_ref::steal(Py_BuildValue(
            "(KKOdd)", static_cast<unsigned long long>(s.first_line),
            static_cast<unsigned long long>(s.frames), marker.get(), s.first_time, s.last_time));
        if (!item || PyList_Append(segments.get(), item.get()) < 0) return {};
    }
    PyObject* out = d.get();
    if (!set_item(out, "frames", py_ref::steal(PyLong_FromUnsignedLongLong(sums.frames))) ||
        !set_item(out, "shift", make_array(r.shift.data(), {n})) ||
        !set_item(out, "sum", take_array(sums.sum, {n})) ||
        !set_item(out, "cov", take_array(sums.cov, {n, n})) ||
        !set_item(out, "lags", std::move(lag_list)) ||
        !set_item(out, "pairs", std::move(pair_list)) ||
        !set_item(out, "tcov", take_array(sums.tcov, {lags, n, n})) ||
        !set_item(out, "head_sum", take_array(sums.head_sum, {lags, n})) ||
        !set_item(out, "tail_sum", take_array(sums.tail_sum, {lags, n})) ||
        !set_item(out, "head_cov", take_array(sums.head_cov, {lags, n, n})) ||
        !set_item(out, "tail_cov", take_array(sums.tail_cov, {lags, n, n})) ||
        !set_item(out, "segments", std::move(segments)) ||
        !set_item(out, "dt", py_ref::steal(PyFloat_FromDouble(r.dt))) ||
        !set_item(out, "blank_lines", py_ref::steal(PyLong_FromUnsignedLongLong(r.blank_lines))) ||
        !set_item(out, "blank_end", py_ref::steal(PyLong_FromUnsignedLongLong(r.blank_end))))
        return {};
    return d;
}

}  // namespace lagstat::module_tica
