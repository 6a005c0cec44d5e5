#include "module_tica/arguments.hpp"

#include <climits>

#include "python/py_ref.hpp"

namespace lagstat::module_tica {

using python::py_ref;

// A sequence of ints >= 1.
bool parse_lags(PyObject* obj, std::vector<std::size_t>& lags) {
    py_ref items = py_ref::steal(PySequence_Fast(obj, "lags must be a sequence of ints"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "lags must hold at least one lag");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyIndex_Check(item) || PyBool_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "lags must be a sequence of ints");
            return false;
        }
        py_ref index = py_ref::steal(PyNumber_Index(item));
        if (!index) return false;
        int overflow = 0;
        const long long lag = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (lag == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || lag < 1 || lag > LLONG_MAX / 2) {
            PyErr_SetString(PyExc_ValueError, "lag < 1 not allowed.");
            return false;
        }
        lags.push_back(static_cast<std::size_t>(lag));
    }
    return true;
}

bool parse_shift(PyObject* obj, std::vector<double>& shift) {
    if (obj == nullptr || obj == Py_None) return true;
    py_ref items = py_ref::steal(PySequence_Fast(obj, "shift must be a sequence of numbers"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items.get(), i));
        if (v == -1.0 && PyErr_Occurred()) return false;
        shift.push_back(v);
    }
    return true;
}

bool parse_shift(PyObject* obj, Py_ssize_t columns, std::vector<double>& shift) {
    if (!parse_shift(obj, shift)) return false;
    if (!shift.empty() && shift.size() != static_cast<std::size_t>(columns)) {
        PyErr_Format(PyExc_ValueError, "shift has %zu values for %zd columns", shift.size(),
                     columns);
        return false;
    }
    return true;
}

bool parse_marker(PyObject* obj, std::string& marker) {
    if (obj == nullptr || obj == Py_None) return true;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (text == nullptr || size == 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "segment_marker must be a non-empty str or None");
        return false;
    }
    marker.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool check_time_field(PyObject* obj) {
    if (obj != nullptr && obj != Py_None && (!PyLong_Check(obj) || PyBool_Check(obj))) {
        PyErr_SetString(PyExc_TypeError, "time_field must be an int or None");
        return false;
    }
    return true;
}

}  // namespace lagstat::module_tica
