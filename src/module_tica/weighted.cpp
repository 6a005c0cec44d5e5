#include "module_tica/weighted.hpp"

#include <memory>
#include <optional>
#include <vector>

#include "module_tica/accumulator.hpp"
#include "module_tica/arguments.hpp"
#include "module_tica/result.hpp"
#include "passes/thread_team.hpp"
#include "passes/weighted_pair_scan.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/keywords.hpp"
#include "python/py_ref.hpp"

namespace lagstat::module_tica {

using namespace lagstat::python;

namespace {

// Below this many multiply-adds the pairs are added on the calling thread: starting the helpers
// would cost more than they save. The bits are the same.
constexpr double threaded_work = 4e6;

// The weighted pair sums (passes::weighted_pair_scan) or the pooled sums of a reversible
// estimate (passes::pooled_frame_scan).
template <class scan_type>
struct scan_object {
    PyObject_HEAD scan_type* scan;  // null after a failed add
    std::size_t threads;
    bool busy;  // a call is adding to it (another thread must wait)
};
using weighted_object = scan_object<passes::weighted_pair_scan>;
using pooled_object = scan_object<passes::pooled_frame_scan>;

template <class scan_type>
void scan_dealloc(PyObject* self) {
    auto* a = reinterpret_cast<scan_object<scan_type>*>(self);
    delete a->scan;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

template <class scan_type>
PyObject* scan_get_pairs(PyObject* self, void*) {
    const auto* a = reinterpret_cast<scan_object<scan_type>*>(self);
    return a->scan != nullptr ? PyLong_FromUnsignedLongLong(a->scan->pairs()) : PyLong_FromLong(-1);
}

// (columns, *, shift=None, threads=None), as both types take them; format names the type.
template <class scan_type>
PyObject* scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* format) {
    static const char* names[] = {"columns", "shift", "threads", nullptr};
    Py_ssize_t columns = 0;
    PyObject *shift_obj = nullptr, *threads_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &columns,
                                     &shift_obj, &threads_obj))
        return nullptr;
    if (columns < 1) {
        PyErr_SetString(PyExc_ValueError, "columns must be >= 1");
        return nullptr;
    }
    std::vector<double> shift;
    if (!parse_shift(shift_obj, columns, shift)) return nullptr;
    keyword_objects kw;
    kw.threads = py_ref::borrow(threads_obj);
    pass_keywords k;
    if (!parse_pass_keywords(kw, k)) return nullptr;
    std::unique_ptr<scan_type> scan;
    try {
        scan = std::make_unique<scan_type>(static_cast<std::size_t>(columns), std::move(shift),
                                           k.threads);
    } catch (...) {
        return set_from_cpp_exception();
    }
    auto* a = reinterpret_cast<scan_object<scan_type>*>(type->tp_alloc(type, 0));
    if (a == nullptr) return nullptr;
    a->scan = scan.release();
    a->threads = k.threads;
    a->busy = false;
    return reinterpret_cast<PyObject*>(a);
}

template <class object>
bool claim(object* a) {
    if (a->scan == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the weighted accumulator failed in an earlier add");
        return false;
    }
    if (a->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the weighted accumulator is being added to by another thread");
        return false;
    }
    a->busy = true;
    return true;
}

bool splits(const passes::weighted_pair_scan&) {
    return true;
}
bool splits(const passes::pooled_frame_scan& scan) {
    return scan.splits();
}

// A team for work of `pairs` pairs, or none where one thread does as well: little work, or
// frames so narrow that one part holds all the products (each block would wake the helpers
// for a few columns' sums).
template <class object>
std::optional<passes::thread_team> team_for(const object* a, std::size_t pairs) {
    const double n = static_cast<double>(a->scan->columns());
    if (a->threads > 1 && static_cast<double>(pairs) * 2.0 * n * n >= threaded_work &&
        splits(*a->scan))
        return std::optional<passes::thread_team>(std::in_place, a->threads);
    return std::nullopt;
}

// Runs work(team) on the scan with the GIL released; a failure that may have added part of the
// frames leaves the accumulator unusable.
template <class object, class work_fn>
bool run_unlocked(object* a, std::size_t rows, work_fn&& work) {
    if (!claim(a)) return false;
    try {
        gil_released unlocked;
        std::optional<passes::thread_team> team = team_for(a, rows);
        work(team ? &*team : nullptr);
    } catch (const std::invalid_argument&) {
        // Weights are checked before anything is staged: the sums are as they were.
        a->busy = false;
        set_from_cpp_exception();
        return false;
    } catch (...) {
        delete a->scan;
        a->scan = nullptr;
        a->busy = false;
        set_from_cpp_exception();
        return false;
    }
    a->busy = false;
    return true;
}

PyObject* weighted_add(PyObject* self, PyObject* args) {
    auto* a = reinterpret_cast<weighted_object*>(self);
    PyObject *x_obj, *y_obj, *w_obj;
    if (!PyArg_ParseTuple(args, "OOO:add", &x_obj, &y_obj, &w_obj)) return nullptr;
    if (a->scan == nullptr) return claim(a), nullptr;
    const std::size_t n = a->scan->columns();
    block_view xb, yb, wb;  // hold the exporters (and their memory) until the pairs are added
    std::size_t rows = 0, y_rows = 0, w_rows = 0, xs = 0, xt = 0, ys = 0, yt = 0, ws = 0, wt = 0;
    if (!get_block(x_obj, n, xb, rows, xs, xt) || !get_block(y_obj, n, yb, y_rows, ys, yt) ||
        !get_block(w_obj, 1, wb, w_rows, ws, wt))
        return nullptr;
    if (y_rows != rows || w_rows != rows) {
        PyErr_Format(PyExc_ValueError, "add: %zu earlier frames, %zu later frames, %zu weights",
                     rows, y_rows, w_rows);
        return nullptr;
    }
    const passes::strided_rows x{static_cast<const double*>(xb.view.buf), xs, xt};
    const passes::strided_rows y{static_cast<const double*>(yb.view.buf), ys, yt};
    const auto* w = static_cast<const double*>(wb.view.buf);
    if (!run_unlocked(a, rows,
                      [&](passes::thread_team* team) { a->scan->add(x, y, w, ws, rows, team); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* weighted_totals(PyObject* self, PyObject*) {
    auto* a = reinterpret_cast<weighted_object*>(self);
    if (!claim(a)) return nullptr;
    const stats::weighted_sums* sums = nullptr;
    try {
        gil_released unlocked;
        std::optional<passes::thread_team> team =
            team_for(a, static_cast<std::size_t>(stats::weighted_block_pairs));
        sums = &a->scan->totals(team ? &*team : nullptr);
    } catch (...) {
        a->busy = false;
        return set_from_cpp_exception();
    }
    a->busy = false;
    const std::size_t n = sums->n;
    py_ref d = py_ref::steal(PyDict_New());
    if (!d) return nullptr;
    auto put = [&](const char* key, py_ref value) {
        return value && PyDict_SetItemString(d.get(), key, value.get()) == 0;
    };
    if (!put("pairs", py_ref::steal(PyLong_FromUnsignedLongLong(sums->pairs))) ||
        !put("w", py_ref::steal(PyFloat_FromDouble(sums->w))) ||
        !put("sx", float64_array(sums->sx.data(), {n})) ||
        !put("sy", float64_array(sums->sy.data(), {n})) ||
        !put("sxx", float64_array(sums->sxx.data(), {n, n})) ||
        !put("syy", float64_array(sums->syy.data(), {n, n})) ||
        !put("sxy", float64_array(sums->sxy.data(), {n, n})))
        return nullptr;
    return d.release();
}

PyObject* weighted_get_shift(PyObject* self, void*) {
    const auto* a = reinterpret_cast<weighted_object*>(self);
    if (a->scan == nullptr || a->scan->shift().empty()) Py_RETURN_NONE;
    return float64_array(a->scan->shift().data(), {a->scan->shift().size()}).release();
}

PyObject* weighted_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return scan_new<passes::weighted_pair_scan>(type, args, kwargs, "n|$OO:weighted_accumulator");
}

const char add_doc[] =
    "add(x, y, w)\n\n"
    "Adds the pairs (x[k], y[k]) with weights w[k], in order: x and y float64 buffers of shape\n"
    "(pairs, columns) (any strides; 1-D for one column), w of shape (pairs,).";
const char totals_doc[] =
    "totals() -> dict\n\nThe compensated sums so far (pairs, w, sx, sy, sxx, syy, sxy); adding "
    "goes on.";

PyMethodDef weighted_methods[] = {
    {"add", weighted_add, METH_VARARGS, add_doc},
    {"totals", weighted_totals, METH_NOARGS, totals_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef weighted_getset[] = {
    {"pairs", scan_get_pairs<passes::weighted_pair_scan>, nullptr,
     "pairs added so far (-1 after a failed add)", nullptr},
    {"shift", weighted_get_shift, nullptr, "the shift (None before the first pair)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot weighted_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(weighted_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc<passes::weighted_pair_scan>)},
    {Py_tp_methods, weighted_methods},
    {Py_tp_getset, weighted_getset},
    {Py_tp_doc, const_cast<char*>("weighted_accumulator(columns, *, shift=None, threads=None)\n\n"
                                  "Weighted sums of lagged pairs added in blocks.")},
    {0, nullptr},
};

PyType_Spec weighted_spec = {"lagstat_tica._native.weighted_accumulator", sizeof(weighted_object),
                             0, Py_TPFLAGS_DEFAULT, weighted_slots};

// Frames (rows, n) and their weights (rows,), held until the call ends.
struct frames_arg {
    block_view xb, wb;
    std::size_t rows = 0;
    passes::strided_rows x{nullptr, 0, 0};
    const double* w = nullptr;
    std::size_t w_stride = 0;
};

bool get_frames(PyObject* x_obj, PyObject* w_obj, std::size_t n, frames_arg& f, const char* what) {
    std::size_t xs = 0, xt = 0, w_rows = 0, ws = 0, wt = 0;
    if (!get_block(x_obj, n, f.xb, f.rows, xs, xt) || !get_block(w_obj, 1, f.wb, w_rows, ws, wt))
        return false;
    if (w_rows != f.rows) {
        PyErr_Format(PyExc_ValueError, "%s: %zu frames, %zu weights", what, f.rows, w_rows);
        return false;
    }
    f.x = {static_cast<const double*>(f.xb.view.buf), xs, xt};
    f.w = static_cast<const double*>(f.wb.view.buf);
    f.w_stride = ws;
    return true;
}

PyObject* pooled_add(PyObject* self, PyObject* args) {
    auto* a = reinterpret_cast<pooled_object*>(self);
    PyObject *x_obj, *w_obj, *e_obj, *we_obj;
    if (!PyArg_ParseTuple(args, "OOOO:add", &x_obj, &w_obj, &e_obj, &we_obj)) return nullptr;
    if (a->scan == nullptr) return claim(a), nullptr;
    const std::size_t n = a->scan->columns();
    frames_arg x, e;
    if (!get_frames(x_obj, w_obj, n, x, "add") || !get_frames(e_obj, we_obj, n, e, "add"))
        return nullptr;
    if (e.rows > x.rows) {
        PyErr_Format(PyExc_ValueError, "add: %zu pairs among %zu frames", e.rows, x.rows);
        return nullptr;
    }
    if (!run_unlocked(a, x.rows, [&](passes::thread_team* team) {
            a->scan->add(x.x, x.w, x.w_stride, x.rows, e.x, e.w, e.w_stride, e.rows, team);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// The tail's frames, their pairs' earlier frames and weights, all optional together.
bool get_tail(pooled_object* a, PyObject* x_obj, PyObject* e_obj, PyObject* w_obj, frames_arg& x,
              frames_arg& e, const char* what) {
    const std::size_t n = a->scan->columns();
    if (!get_frames(x_obj, w_obj, n, x, what) || !get_frames(e_obj, w_obj, n, e, what))
        return false;
    if (e.rows != x.rows) {
        PyErr_Format(PyExc_ValueError, "%s: %zu frames, %zu earlier frames", what, x.rows, e.rows);
        return false;
    }
    return true;
}

PyObject* pooled_end(PyObject* self, PyObject* args) {
    auto* a = reinterpret_cast<pooled_object*>(self);
    PyObject *x_obj, *e_obj, *w_obj;
    if (!PyArg_ParseTuple(args, "OOO:end", &x_obj, &e_obj, &w_obj)) return nullptr;
    if (a->scan == nullptr) return claim(a), nullptr;
    frames_arg x, e;
    if (!get_tail(a, x_obj, e_obj, w_obj, x, e, "end")) return nullptr;
    if (!run_unlocked(a, x.rows, [&](passes::thread_team* team) {
            a->scan->end(x.x, e.x, x.w, x.w_stride, x.rows, team);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* pooled_totals(PyObject* self, PyObject* args) {
    auto* a = reinterpret_cast<pooled_object*>(self);
    PyObject *x_obj = nullptr, *e_obj = nullptr, *w_obj = nullptr;
    if (!PyArg_ParseTuple(args, "|OOO:totals", &x_obj, &e_obj, &w_obj)) return nullptr;
    if (a->scan == nullptr) return claim(a), nullptr;
    frames_arg x, e;
    if (x_obj != nullptr) {
        if (e_obj == nullptr || w_obj == nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "totals: a tail is frames, earlier frames and weights");
            return nullptr;
        }
        if (!get_tail(a, x_obj, e_obj, w_obj, x, e, "totals")) return nullptr;
    }
    const stats::pooled_sums* sums = nullptr;
    if (!run_unlocked(a, static_cast<std::size_t>(stats::weighted_block_pairs) + x.rows,
                      [&](passes::thread_team* team) {
                          sums = &a->scan->totals(x.x, e.x, x.w, x.w_stride, x.rows, team);
                      }))
        return nullptr;
    const std::size_t n = sums->n;
    py_ref d = py_ref::steal(PyDict_New());
    if (!d) return nullptr;
    auto put = [&](const char* key, py_ref value) {
        return value && PyDict_SetItemString(d.get(), key, value.get()) == 0;
    };
    if (!put("pairs", py_ref::steal(PyLong_FromUnsignedLongLong(sums->pairs))) ||
        !put("w", py_ref::steal(PyFloat_FromDouble(sums->w))) ||
        !put("s", float64_array(sums->s.data(), {n})) ||
        !put("c", float64_array(sums->c.data(), {n, n})) ||
        !put("tc", float64_array(sums->tc.data(), {n, n})))
        return nullptr;
    return d.release();
}

PyObject* pooled_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return scan_new<passes::pooled_frame_scan>(type, args, kwargs, "n|$OO:pooled_accumulator");
}

const char pooled_add_doc[] =
    "add(x, w, e, we)\n\n"
    "Adds the frames x[k] with weights w[k] of a trajectory but its tail, in order; the last\n"
    "len(e) of them have pairs, their earlier frames e[j] weighing we[j] (a frame's weight in\n"
    "the sums: w[k] + we[j]).";
const char pooled_end_doc[] =
    "end(x, e, w)\n\nAdds a trajectory's tail: frames x[k], the earlier frames e[k] of their\n"
    "pairs and the pairs' weights w[k].";
const char pooled_totals_doc[] =
    "totals(x=None, e=None, w=None) -> dict\n\nThe compensated sums (pairs, w, s, c, tc) were "
    "the tail given to end the trajectory now; adding goes on.";

PyMethodDef pooled_methods[] = {
    {"add", pooled_add, METH_VARARGS, pooled_add_doc},
    {"end", pooled_end, METH_VARARGS, pooled_end_doc},
    {"totals", pooled_totals, METH_VARARGS, pooled_totals_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pooled_getset[] = {
    {"pairs", scan_get_pairs<passes::pooled_frame_scan>, nullptr,
     "pairs added so far (-1 after a failed add)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pooled_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pooled_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc<passes::pooled_frame_scan>)},
    {Py_tp_methods, pooled_methods},
    {Py_tp_getset, pooled_getset},
    {Py_tp_doc, const_cast<char*>("pooled_accumulator(columns, *, shift=None, threads=None)\n\n"
                                  "Weighted sums of a reversible estimate pooled by frame.")},
    {0, nullptr},
};

PyType_Spec pooled_spec = {"lagstat_tica._native.pooled_accumulator", sizeof(pooled_object), 0,
                           Py_TPFLAGS_DEFAULT, pooled_slots};

bool add_type(PyObject* module, PyType_Spec* spec, const char* name) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) return false;
    if (PyModule_AddObject(module, name, type) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace

bool add_weighted_accumulator_type(PyObject* module) {
    return add_type(module, &weighted_spec, "weighted_accumulator") &&
           add_type(module, &pooled_spec, "pooled_accumulator");
}

}  // namespace lagstat::module_tica
