// The bootstrap's resampled pair moments (resample.hpp): the groups' arrays viewed in place,
// the replicates' matrices written into the caller's arrays while other Python threads run.
#include "module_tica/resample.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "module_tica/accumulator.hpp"
#include "passes/replicate_pass.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"
#include "stats/replicate_moments.hpp"

namespace lagstat::module_tica {

using namespace lagstat::python;

const char replicate_moments_doc[] =
    "replicate_moments(groups, lag, draws, pairs, c00, c0t, threads=1)\n\n"
    "C00 and (C0t + C0t^T) / 2 at the lag-th lag of every replicate, written into c00 and c0t\n"
    "((R, n, n) float64, C-contiguous): replicate r's sums are those of groups draws[r, 0],\n"
    "draws[r, 1], ... (int64, (R, G')) added in that order, moved to their pair mean in\n"
    "double-doubles with pairs[r] (> 0) pairs, as the estimator's centred_moments does, to the\n"
    "bit. groups: the scan's group dicts (sum, cov, and per lag tcov, head_sum, tail_sum,\n"
    "head_cov, tail_cov), C-contiguous float64.";

namespace {

// Views obj as a C-contiguous buffer of native float64 (or int64) values; its count in items.
bool view_of(PyObject* obj, bool writable, bool integers, block_view& b, const char* what,
             std::size_t& items) {
    const int flags =
        PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &b.view, flags) < 0) return false;
    b.held = true;
    const char* f = b.view.format != nullptr ? b.view.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    const bool ok =
        b.view.itemsize == 8 && (integers ? std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0
                                          : std::strcmp(f, "d") == 0);
    if (!ok) {
        PyErr_Format(PyExc_TypeError, "%s must hold native %s values", what,
                     integers ? "int64" : "float64");
        return false;
    }
    items = static_cast<std::size_t>(b.view.len) / 8;
    return true;
}

PyObject* wrong_size(const char* what, std::size_t got, std::size_t want) {
    return PyErr_Format(PyExc_ValueError, "%s holds %zu values, expected %zu", what, got, want);
}

}  // namespace

PyObject* replicate_moments(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"groups", "lag", "draws",   "pairs",
                                  "c00",    "c0t", "threads", nullptr};
    PyObject *groups_obj, *draws_obj, *pairs_obj, *c00_obj, *c0t_obj;
    Py_ssize_t lag = 0, threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOOOO|n:replicate_moments",
                                     const_cast<char**>(names), &groups_obj, &lag, &draws_obj,
                                     &pairs_obj, &c00_obj, &c0t_obj, &threads))
        return nullptr;
    py_ref groups = py_ref::steal(PySequence_Fast(groups_obj, "groups must be a sequence"));
    if (!groups) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(groups.get());
    // The outputs give the shapes: (R, n, n); draws is (R, G').
    block_view c00_buf, c0t_buf, draws_buf, pairs_buf;
    std::size_t items = 0, c0t_items = 0, pair_items = 0, draw_items = 0;
    if (!view_of(c00_obj, true, false, c00_buf, "c00", items) ||
        !view_of(c0t_obj, true, false, c0t_buf, "c0t", c0t_items) ||
        !view_of(pairs_obj, false, false, pairs_buf, "pairs", pair_items) ||
        !view_of(draws_obj, false, true, draws_buf, "draws", draw_items))
        return nullptr;
    const Py_buffer& shape = c00_buf.view;
    if (shape.ndim != 3 || shape.shape[1] != shape.shape[2] || shape.shape[1] < 1 || count < 1 ||
        lag < 0 || threads < 1) {
        PyErr_SetString(PyExc_ValueError,
                        "replicate_moments needs groups, a lag index >= 0, threads >= 1 and "
                        "(replicates, n, n) outputs");
        return nullptr;
    }
    const auto replicates = static_cast<std::size_t>(shape.shape[0]);
    const auto n = static_cast<std::size_t>(shape.shape[1]);
    const std::size_t nn = n * n;
    if (c0t_items != items) return wrong_size("c0t", c0t_items, items);
    if (pair_items != replicates) return wrong_size("pairs", pair_items, replicates);
    if (replicates == 0) Py_RETURN_NONE;
    const std::size_t picks = draw_items / replicates;
    if (picks == 0 || draw_items != picks * replicates)
        return wrong_size("draws", draw_items, replicates * (picks ? picks : 1));
    const auto* draws = static_cast<const std::int64_t*>(draws_buf.view.buf);
    for (std::size_t k = 0; k < draw_items; ++k) {
        if (draws[k] < 0 || draws[k] >= count) {
            PyErr_Format(PyExc_ValueError, "draws[%zu] = %lld names no group", k,
                         static_cast<long long>(draws[k]));
            return nullptr;
        }
    }
    const auto* pairs = static_cast<const double*>(pairs_buf.view.buf);
    for (std::size_t r = 0; r < replicates; ++r) {
        if (!(pairs[r] > 0)) {
            PyErr_SetString(PyExc_ValueError, "every replicate needs pairs > 0");
            return nullptr;
        }
    }
    stats::replicate_groups g;
    g.n = n;
    // Every group's seven arrays, viewed for the call; `lag` picks the lagged ones' slice.
    std::vector<std::unique_ptr<block_view>> held;
    struct key_info {
        const char* key;
        bool per_lag;
        std::size_t size;
        std::vector<const double*>* into;
    };
    const key_info keys[] = {
        {"sum", false, n, &g.total},         {"cov", false, nn, &g.cov},
        {"tcov", true, nn, &g.tcov},         {"head_sum", true, n, &g.head_sum},
        {"tail_sum", true, n, &g.tail_sum},  {"head_cov", true, nn, &g.head_cov},
        {"tail_cov", true, nn, &g.tail_cov},
    };
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* group = PySequence_Fast_GET_ITEM(groups.get(), i);
        for (const key_info& k : keys) {
            PyObject* item = PyMapping_GetItemString(group, k.key);
            if (item == nullptr) return nullptr;
            py_ref array = py_ref::steal(item);
            auto view = std::make_unique<block_view>();
            std::size_t size = 0;
            if (!view_of(array.get(), false, false, *view, k.key, size)) return nullptr;
            const std::size_t lags = k.per_lag ? size / k.size : 1;
            if (size != lags * k.size || (k.per_lag && static_cast<std::size_t>(lag) >= lags)) {
                PyErr_Format(PyExc_ValueError,
                             "group %zd's %s (%zu values) has no lag index %zd of %zu", i, k.key,
                             size, lag, k.size);
                return nullptr;
            }
            k.into->push_back(static_cast<const double*>(view->view.buf) +
                              (k.per_lag ? static_cast<std::size_t>(lag) * k.size : 0));
            held.push_back(std::move(view));
        }
    }
    stats::replicate_batch b;
    b.draws = draws;
    b.per_replicate = picks;
    b.replicates = replicates;
    b.pairs = pairs;
    b.c00 = static_cast<double*>(c00_buf.view.buf);
    b.c0t = static_cast<double*>(c0t_buf.view.buf);
    try {
        gil_released unlocked;
        passes::replicate_moments(g, b, static_cast<std::size_t>(threads));
    } catch (...) {
        return set_from_cpp_exception();
    }
    Py_RETURN_NONE;
}

const char cholesky_exists_doc[] =
    "cholesky_exists(a, shifts) -> list of bool\n\n"
    "Whether a[r] - shifts[r] I has a Cholesky factor, for each matrix of the stack a ((R, n, n)\n"
    "float64, C-contiguous, the lower triangles read): the same answer on every machine.";

PyObject* cholesky_exists(PyObject*, PyObject* args) {
    PyObject *a_obj, *shift_obj;
    if (!PyArg_ParseTuple(args, "OO:cholesky_exists", &a_obj, &shift_obj)) return nullptr;
    block_view a_buf, shift_buf;
    std::size_t items = 0, shifts = 0;
    if (!view_of(a_obj, false, false, a_buf, "a", items) ||
        !view_of(shift_obj, false, false, shift_buf, "shifts", shifts))
        return nullptr;
    const Py_buffer& v = a_buf.view;
    if (v.ndim != 3 || v.shape[1] != v.shape[2]) {
        PyErr_SetString(PyExc_ValueError, "a must be a stack of square matrices (R, n, n)");
        return nullptr;
    }
    const auto rows = static_cast<std::size_t>(v.shape[0]);
    const auto n = static_cast<std::size_t>(v.shape[1]);
    if (shifts != rows) return wrong_size("shifts", shifts, rows);
    std::vector<unsigned char> exists(rows);
    try {
        std::vector<double> work(n * n);
        gil_released unlocked;
        const auto* a = static_cast<const double*>(v.buf);
        const auto* shift = static_cast<const double*>(shift_buf.view.buf);
        for (std::size_t r = 0; r < rows; ++r)
            exists[r] = stats::cholesky_exists(a + r * n * n, n, shift[r], work.data());
    } catch (...) {
        return set_from_cpp_exception();
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows));
    if (list == nullptr) return nullptr;
    for (std::size_t r = 0; r < rows; ++r)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(r), PyBool_FromLong(exists[r]));
    return list;
}

const char tridiagonal_eigenvalues_doc[] =
    "tridiagonal_eigenvalues(d, e, dsterf) -> info\n\n"
    "The eigenvalues of each symmetric tridiagonal matrix of a stack, in place: row r of d\n"
    "((R, n) float64, C-contiguous) holds its diagonal and becomes its eigenvalues in ascending\n"
    "order, row r of e ((R, n - 1)) its off-diagonal, overwritten. dsterf: LAPACK's routine as\n"
    "scipy.linalg.cython_lapack.__pyx_capi__ exports it (a capsule). info: a list of LAPACK's\n"
    "info for each row (0: converged).";

namespace {

// LAPACK's dsterf(n, d, e, info), as SciPy's Cython interface to LAPACK exports it.
using dsterf_fn = void (*)(int*, double*, double*, int*);

// Whether a Cython capsule's signature reads "void (int *, D *, D *, int *)" with D double:
// spelt "double", or a typedef of SciPy's ending in "_d"
// ("__pyx_t_5scipy_6linalg_13cython_lapack_d").
bool dsterf_signature(const char* name) {
    if (name == nullptr) return false;
    const std::string s = name;
    const std::string head = "void (int *, ", tail = " *, int *)";
    if (s.size() < head.size() + tail.size() || s.compare(0, head.size(), head) != 0 ||
        s.compare(s.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = s.substr(head.size(), s.size() - head.size() - tail.size());
    const std::size_t comma = middle.find(" *, ");
    if (comma == std::string::npos) return false;
    const std::string first = middle.substr(0, comma), second = middle.substr(comma + 4);
    auto is_double = [](const std::string& t) {
        return t == "double" || (t.size() > 2 && t.compare(t.size() - 2, 2, "_d") == 0 &&
                                 t.find_first_of(" *,()") == std::string::npos);
    };
    return first == second && is_double(first);
}

// The routine behind the capsule, if its signature is dsterf's.
dsterf_fn dsterf_of(PyObject* capsule) {
    const char* name = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
    if (!dsterf_signature(name)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "dsterf must be the capsule scipy.linalg.cython_lapack exports for dsterf");
        return nullptr;
    }
    return reinterpret_cast<dsterf_fn>(PyCapsule_GetPointer(capsule, name));
}

}  // namespace

PyObject* tridiagonal_eigenvalues(PyObject*, PyObject* args) {
    PyObject *d_obj, *e_obj, *capsule;
    if (!PyArg_ParseTuple(args, "OOO:tridiagonal_eigenvalues", &d_obj, &e_obj, &capsule))
        return nullptr;
    const dsterf_fn dsterf = dsterf_of(capsule);
    if (dsterf == nullptr) return nullptr;
    block_view d_buf, e_buf;
    std::size_t d_items = 0, e_items = 0;
    if (!view_of(d_obj, true, false, d_buf, "d", d_items) ||
        !view_of(e_obj, true, false, e_buf, "e", e_items))
        return nullptr;
    if (d_buf.view.ndim != 2 || d_buf.view.shape[1] < 1 || d_buf.view.shape[1] > 1 << 30) {
        PyErr_SetString(PyExc_ValueError, "d must be (matrices, n) with n >= 1");
        return nullptr;
    }
    const auto rows = static_cast<std::size_t>(d_buf.view.shape[0]);
    const auto n = static_cast<std::size_t>(d_buf.view.shape[1]);
    const std::size_t off = n - 1;
    if (e_items != rows * off && !(off == 0 && e_items == rows))
        return wrong_size("e", e_items, rows * off);
    const std::size_t e_step = off == 0 ? 1 : off;
    std::vector<std::int64_t> info(rows);
    {
        gil_released unlocked;
        auto* d = static_cast<double*>(d_buf.view.buf);
        auto* e = static_cast<double*>(e_buf.view.buf);
        int size = static_cast<int>(n);
        for (std::size_t r = 0; r < rows; ++r) {
            int status = 0;
            dsterf(&size, d + r * n, e + r * e_step, &status);
            info[r] = status;
        }
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows));
    if (list == nullptr) return nullptr;
    for (std::size_t r = 0; r < rows; ++r) {
        PyObject* v = PyLong_FromLongLong(info[r]);
        if (v == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(r), v);
    }
    return list;
}

}  // namespace lagstat::module_tica
