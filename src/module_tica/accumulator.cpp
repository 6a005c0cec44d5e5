#include "module_tica/accumulator.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "module_tica/arguments.hpp"
#include "module_tica/result.hpp"
#include "passes/array_scan.hpp"
#include "passes/thread_team.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/keywords.hpp"
#include "python/py_ref.hpp"

namespace lagstat::module_tica {

using namespace lagstat::python;

namespace {

bool is_float64(const char* format) {
    if (format == nullptr) return false;  // PyBUF_FORMAT asked for: an exporter gives one
    if (*format == '@' || *format == '=') ++format;
#if PY_BIG_ENDIAN
    else if (*format == '>')
        ++format;
#else
    else if (*format == '<')
        ++format;
#endif
    return std::strcmp(format, "d") == 0;
}

}  // namespace

bool get_block(PyObject* obj, std::size_t n, block_view& b, std::size_t& rows, std::size_t& stride,
               std::size_t& step) {
    if (PyObject_GetBuffer(obj, &b.view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
    b.held = true;
    const Py_buffer& v = b.view;
    if (v.itemsize != sizeof(double) || !is_float64(v.format)) {
        PyErr_Format(PyExc_TypeError, "a block must hold native float64 values, got format '%s'",
                     v.format != nullptr ? v.format : "B");
        return false;
    }
    if (v.ndim != 2 && !(v.ndim == 1 && n == 1)) {
        PyErr_Format(PyExc_ValueError, "a block must be (frames, %zu), got %d dimensions", n,
                     v.ndim);
        return false;
    }
    rows = static_cast<std::size_t>(v.shape[0]);
    const std::size_t width = v.ndim == 2 ? static_cast<std::size_t>(v.shape[1]) : 1;
    if (width != n) {
        PyErr_Format(PyExc_ValueError, "a block must be (frames, %zu), got %zu columns", n, width);
        return false;
    }
    const Py_ssize_t row_bytes = v.strides[0];
    const Py_ssize_t col_bytes =
        v.ndim == 2 ? v.strides[1] : static_cast<Py_ssize_t>(sizeof(double));
    constexpr Py_ssize_t d = sizeof(double);
    if ((rows > 1 && (row_bytes <= 0 || row_bytes % d != 0)) ||
        (n > 1 && (col_bytes <= 0 || col_bytes % d != 0))) {
        PyErr_SetString(PyExc_ValueError,
                        "a block's rows and columns must step forward by whole float64 values");
        return false;
    }
    stride = rows > 1 ? static_cast<std::size_t>(row_bytes / d) : 0;
    step = n > 1 ? static_cast<std::size_t>(col_bytes / d) : 0;
    return true;
}

namespace {

// Below this many multiply-adds a block is added on the calling thread: starting the helpers
// would cost more than they save (a chunk of one frame, say). The bits are the same.
constexpr double threaded_work = 4e6;

struct accumulator_object {
    PyObject_HEAD passes::array_scan* scan;  // null once finished
    std::size_t threads;
    bool busy;  // a call is adding to it (another thread must wait)
};

void accumulator_dealloc(PyObject* self) {
    auto* a = reinterpret_cast<accumulator_object*>(self);
    delete a->scan;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

bool claim(accumulator_object* a) {
    if (a->scan == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the accumulator has been finished");
        return false;
    }
    if (a->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the accumulator is being added to by another thread");
        return false;
    }
    a->busy = true;
    return true;
}

PyObject* accumulator_add(PyObject* self, PyObject* block) {
    auto* a = reinterpret_cast<accumulator_object*>(self);
    if (a->scan == nullptr) return claim(a), nullptr;
    block_view b;  // holds the exporter (and its memory) until the frames are added
    std::size_t rows = 0, stride = 0, step = 0;
    if (!get_block(block, a->scan->columns(), b, rows, stride, step)) return nullptr;
    if (!claim(a)) return nullptr;
    const auto* data = static_cast<const double*>(b.view.buf);
    const double n = static_cast<double>(a->scan->columns());
    const bool threaded = a->threads > 1 && static_cast<double>(rows) * n * n >= threaded_work;
    try {
        gil_released unlocked;
        if (threaded) {
            passes::thread_team team(a->threads);
            a->scan->add(data, rows, stride, step, &team);
        } else {
            a->scan->add(data, rows, stride, step, nullptr);
        }
    } catch (...) {
        // Part of the block may be in the sums: the accumulator cannot go on.
        delete a->scan;
        a->scan = nullptr;
        a->busy = false;
        return set_from_cpp_exception();
    }
    a->busy = false;
    Py_RETURN_NONE;
}

PyObject* accumulator_end_trajectory(PyObject* self, PyObject*) {
    auto* a = reinterpret_cast<accumulator_object*>(self);
    if (!claim(a)) return nullptr;
    try {
        gil_released unlocked;
        a->scan->end_trajectory(nullptr);
    } catch (...) {
        a->busy = false;
        return set_from_cpp_exception();
    }
    a->busy = false;
    Py_RETURN_NONE;
}

PyObject* accumulator_sums(PyObject* self, bool finish) {
    auto* a = reinterpret_cast<accumulator_object*>(self);
    if (!claim(a)) return nullptr;
    passes::lag_scan_result result;
    stats::lag_sums sums;
    try {
        gil_released unlocked;
        sums = finish ? a->scan->finish(result) : a->scan->snapshot(result);
    } catch (...) {
        a->busy = false;
        return set_from_cpp_exception();
    }
    if (finish) {
        delete a->scan;
        a->scan = nullptr;
    }
    a->busy = false;
    try {
        return result_dict(sums, result).release();
    } catch (...) {
        return set_from_cpp_exception();
    }
}

PyObject* accumulator_snapshot(PyObject* self, PyObject*) {
    return accumulator_sums(self, false);
}
PyObject* accumulator_finish(PyObject* self, PyObject*) {
    return accumulator_sums(self, true);
}

PyObject* accumulator_get_frames(PyObject* self, void*) {
    const auto* a = reinterpret_cast<accumulator_object*>(self);
    return a->scan != nullptr ? PyLong_FromUnsignedLongLong(a->scan->frames())
                              : PyLong_FromLong(-1);
}

PyObject* accumulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"columns", "lags", "shift", "threads", nullptr};
    Py_ssize_t columns = 0;
    PyObject *lags_obj, *shift_obj = nullptr, *threads_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nO|$OO:accumulator", const_cast<char**>(names),
                                     &columns, &lags_obj, &shift_obj, &threads_obj))
        return nullptr;
    if (columns < 1) {
        PyErr_SetString(PyExc_ValueError, "columns must be >= 1");
        return nullptr;
    }
    std::vector<std::size_t> lags;
    std::vector<double> shift;
    if (!parse_lags(lags_obj, lags) || !parse_shift(shift_obj, columns, shift)) return nullptr;
    keyword_objects kw;
    kw.threads = py_ref::borrow(threads_obj);
    pass_keywords k;
    if (!parse_pass_keywords(kw, k)) return nullptr;
    std::unique_ptr<passes::array_scan> scan;
    try {
        scan = std::make_unique<passes::array_scan>(static_cast<std::size_t>(columns), lags,
                                                    std::move(shift), k.threads);
    } catch (...) {
        return set_from_cpp_exception();
    }
    auto* a = reinterpret_cast<accumulator_object*>(type->tp_alloc(type, 0));
    if (a == nullptr) return nullptr;
    a->scan = scan.release();
    a->threads = k.threads;
    a->busy = false;
    return reinterpret_cast<PyObject*>(a);
}

const char add_doc[] =
    "add(block)\n\n"
    "Adds the next frames of the current trajectory: a float64 buffer of shape (frames, columns)\n"
    "(any strides; 1-D for one column).";
const char end_doc[] = "end_trajectory()\n\nEnds the current trajectory: no pair spans it.";
const char snapshot_doc[] =
    "snapshot() -> dict\n\nThe sums as if the current trajectory ended now; adding goes on.";
const char finish_doc[] =
    "finish() -> dict\n\nEnds the current trajectory and returns the sums (as source.scan's).";

PyMethodDef accumulator_methods[] = {
    {"add", accumulator_add, METH_O, add_doc},
    {"end_trajectory", accumulator_end_trajectory, METH_NOARGS, end_doc},
    {"snapshot", accumulator_snapshot, METH_NOARGS, snapshot_doc},
    {"finish", accumulator_finish, METH_NOARGS, finish_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef accumulator_getset[] = {
    {"frames", accumulator_get_frames, nullptr, "frames added so far (-1 once finished)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot accumulator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(accumulator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(accumulator_dealloc)},
    {Py_tp_methods, accumulator_methods},
    {Py_tp_getset, accumulator_getset},
    {Py_tp_doc, const_cast<char*>("accumulator(columns, lags, *, shift=None, threads=None)\n\n"
                                  "Every lag's sums of frames added in blocks, as source.scan's.")},
    {0, nullptr},
};

PyType_Spec accumulator_spec = {"lagstat_tica._native.accumulator", sizeof(accumulator_object), 0,
                                Py_TPFLAGS_DEFAULT, accumulator_slots};

}  // namespace

bool add_accumulator_type(PyObject* module) {
    PyObject* type = PyType_FromSpec(&accumulator_spec);
    if (type == nullptr) return false;
    if (PyModule_AddObject(module, "accumulator", type) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace lagstat::module_tica
