// stream(): one pass over a file that writes every frame's projection, centred, as a text line.
#include "module/array_bridge.hpp"
#include "python/errors.hpp"
#include "python/keywords.hpp"
#include "module/numpy_api.hpp"
#include "module/passes.hpp"
#include "python/gil.hpp"
#include "passes/projection_pass.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"

namespace lagstat::module {

using namespace lagstat::python;

namespace {

// Both conversions are always attempted; when both fail, the second one's exception stands.
bool convert_both(PyObject* mean_obj, PyObject* weights_obj, int n, py_ref& mean, py_ref& weights) {
    mean = as_double_array(mean_obj, n, 1);
    py_ref type, value, traceback;
    if (!mean) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        type = py_ref::steal(t);
        value = py_ref::steal(v);
        traceback = py_ref::steal(tb);
    }
    weights = as_double_array(weights_obj, n, n);
    if (!weights) return false;
    if (!mean) {
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return false;
    }
    return true;
}

// The bytes of an array's data that may lie in a mapped file, for the output check: none when
// NumPy allocated them (the array or the array it views owns its data), which spares reading
// the process's map list on every call; all of them otherwise (numpy.memmap, other buffers).
std::size_t mappable_bytes(const py_ref& array) {
    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    PyArrayObject* root = arr;
    for (PyObject* base = PyArray_BASE(root); base != nullptr && PyArray_Check(base);
         base = PyArray_BASE(root))
        root = reinterpret_cast<PyArrayObject*>(base);
    if (PyArray_CHKFLAGS(root, NPY_ARRAY_OWNDATA)) return 0;
    return static_cast<std::size_t>(PyArray_NBYTES(arr));
}

PyObject* stream_pass(const file_name& fin, const file_name& fout, PyObject* mean_obj,
                      PyObject* weights_obj, int max_proj, bool time_column,
                      const pass_keywords& k) {
    if (max_proj < 1) {
        PyErr_SetString(PyExc_ValueError, "max < 1");
        return nullptr;
    }
    pass_lock lock;
    if (!lock.acquire()) return nullptr;
    const bool options = !k.text.is_default();
    passes::text_input in;
    passes::pass_error e;
    {
        gil_released unlocked;
        e = in.open(fin.c_str(), signals_raised, k.text);
    }
    if (e) return set_pass_error(e, fin, nullptr, options);
    // The time column is the line's first field: dropped from the record, or, with usecols,
    // one that must not be selected (the selected fields are the frame).
    int tc = time_column ? 1 : 0;
    if (time_column && !k.text.usecols.empty()) {
        for (int field : in.layout().selected()) {
            if (field == 0) {
                PyErr_SetString(PyExc_ValueError,
                                "usecols selects field 0, the time column (time_column is set)");
                return nullptr;
            }
        }
        tc = 0;
    }
    const int n = in.columns() - tc;
    if (n < max_proj) {
        PyErr_SetString(PyExc_ValueError, "max > record length");
        return nullptr;
    }
    py_ref mean, weights;
    if (!convert_both(mean_obj, weights_obj, n, mean, weights)) return nullptr;

    passes::projection_job job;
    job.input_path = fin.c_str();
    job.output_path = fout.c_str();
    job.mean = array_data(mean);
    job.mean_bytes = mappable_bytes(mean);
    job.weights = array_data(weights);
    job.weights_bytes = mappable_bytes(weights);
    job.n = static_cast<std::size_t>(n);
    job.max_proj = static_cast<std::size_t>(max_proj);
    job.time_column = tc != 0;
    job.interrupted = signals_raised;
    {
        gil_released unlocked;
        passes::thread_team team(k.threads);
        e = passes::project_frames(in, job, team);
    }
    if (e) return set_pass_error(e, fin, &fout, options);
    Py_RETURN_NONE;
}

}  // namespace

PyObject* stream(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject *fin_obj, *fout_obj, *mean, *weights;
    int max_proj, time_column;
    if (!PyArg_ParseTuple(args, "OOOOii", &fin_obj, &fout_obj, &mean, &weights, &max_proj,
                          &time_column))
        return nullptr;
    keyword_objects kw;
    if (!parse_keyword_objects(kwargs, "stream", kw)) return nullptr;
    file_name fin, fout;
    if (!fin.encode(fin_obj) || !fout.encode(fout_obj)) return nullptr;
    py_ref mean_ref = py_ref::borrow(mean), weights_ref = py_ref::borrow(weights);
    try {
        pass_keywords k;
        if (!parse_pass_keywords(kw, k)) return nullptr;
        return stream_pass(fin, fout, mean_ref.get(), weights_ref.get(), max_proj,
                           time_column != 0, k);
    } catch (...) {
        return set_from_cpp_exception();
    }
}

}  // namespace lagstat::module
