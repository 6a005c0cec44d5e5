// The module's entry point, method table and docstrings.
#define LAGSTAT_IMPORTS_NUMPY
#include "module/numpy_api.hpp"
#include "module/passes.hpp"

namespace {

const char run_doc[] =
    "Calculate mean, variance, correlation and time-lagged correlation.\n"
    "run(fname, d, mean, var, cov, tcov, lag)\n"
    "\n"
    "fname: name of file that contains tabulated data\n"
    "d:     a dictionary that holds the statistical quantities.\n"
    "       Can be empty at first or can contain partial results from parts\n"
    "       of the trajectory computed in a previous run.\n"
    "mean: (bool) if true, calculate mean\n"
    "             if false, subtract dictionary entry 'mean' from every\n"
    "             frame before calculation of other statistical quantities\n"
    "             Simultaneous calculation of mean and other quantities of\n"
    "             uncentered data is *not* possible.\n"
    "var:  (bool) calculate varaince?\n"
    "cov:  (bool) calculate covariance matrix?\n"
    "tcov: (bool) calculate time-lagged covariance matrix?\n"
    "The statistical quantities can then be accessed using the dictionary\n"
    "keys 'mean', 'var', 'cov', 'tcov', 'samples' and\n"
    " 'tcov_samples'.\n"
    "Note that statistical estimates are not normalized. To calculate \n"
    "the actual mean, you need to compute d['mean']/d['samples'] and so on.";

const char stream_doc[] =
    "Open file with tabulated data. Center and project each line.\n"
    "stream(fin, fout, mean, weights, max_proj, time_column)\n"
    "\n"
    "fin:  name of input file\n"
    "fout: name of output file (for projected data)\n"
    "mean: list of means; is subtracted from every line\n"
    "weights: n x n square matrix of weights W; the ith entry of each new\n"
    "         line is y_i = Sum_k W_ki x_k, where x_k are the entries of\n"
    "         the input line after centering.\n"
    "max_proj: only write y_0 through y_{max_proj-1} to the output file\n"
    "time_colum: (bool) input data contains time column?";

// NumPy's table, bound once per process; false with ImportError set when NumPy is missing.
bool import_numpy() {
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return false;
    }
    return true;
}

}  // namespace

// The frame is the one place that knows which Python the module is built for.
#if PY_MAJOR_VERSION >= 3

namespace {

// The design's positional arguments, and keyword-only extensions beside them (threads, text
// options), which calls without keywords never meet.
PyMethodDef lagstat_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lagstat::module::run)),
     METH_VARARGS | METH_KEYWORDS, run_doc},
    {"stream",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lagstat::module::stream)),
     METH_VARARGS | METH_KEYWORDS, stream_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef lagstat_module = {
    PyModuleDef_HEAD_INIT,
    "lagstat",  // m_name
    nullptr,    // m_doc: the module has none
    -1,         // m_size: no per-module state; NumPy's table is the only global
    lagstat_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_lagstat(void) {
    PyObject* module = PyModule_Create(&lagstat_module);
    if (module == nullptr) return nullptr;
    // pyproject.toml's version, passed in by the build (CMakeLists.txt).
    if (PyModule_AddStringConstant(module, "__version__", LAGSTAT_VERSION) < 0 || !import_numpy()) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

#else

namespace {

// Python 2's module has the design's positional arguments only. METH_VARARGS functions take two
// arguments: calling the three-argument ones through that type would be undefined, so these call
// them without keywords.
PyObject* run_positional(PyObject* self, PyObject* args) {
    return lagstat::module::run(self, args, nullptr);
}

PyObject* stream_positional(PyObject* self, PyObject* args) {
    return lagstat::module::stream(self, args, nullptr);
}

PyMethodDef lagstat_methods[] = {
    {"run", run_positional, METH_VARARGS, run_doc},
    {"stream", stream_positional, METH_VARARGS, stream_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// Python 2's PyMODINIT_FUNC leaves the symbol's visibility to the build, which hides it. The
// interpreter drops the module (Py_InitModule's reference is borrowed) from sys.modules when
// initialisation returns with an exception set.
PyMODINIT_FUNC initlagstat(void) __attribute__((visibility("default")));
PyMODINIT_FUNC initlagstat(void) {
    PyObject* module =
        Py_InitModule4("lagstat", lagstat_methods, nullptr, nullptr, PYTHON_API_VERSION);
    if (module == nullptr) return;
    // pyproject.toml's version, passed in by the build (CMakeLists.txt).
    if (PyModule_AddStringConstant(module, "__version__", LAGSTAT_VERSION) < 0) return;
    import_numpy();
}

#endif
