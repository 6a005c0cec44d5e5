// lagstat_tica._native: a file opened once, its first lines looked at, then every lag's sums
// from one read of it (module_tica/source.hpp).
#include "module_tica/accumulator.hpp"
#include "module_tica/resample.hpp"
#include "module_tica/source.hpp"
#include "module_tica/weighted.hpp"
#include "passes/thread_team.hpp"

namespace lagstat::module_tica {
namespace {

const char open_doc[] =
    "open(path) -> source\n\n"
    "Opens a file of tabulated text (plain or gzip/bzip2/xz/zstd, a pipe or FIFO) for one read.";

const char cores_doc[] =
    "available_cores(root='') -> int\n\n"
    "The cores threads=-1 takes: the CPU affinity, bounded by the cgroup's CPU quota; >= 1.\n"
    "root: where the cgroup files are looked for (the system's by default; a fake tree in tests).";

PyObject* available_cores(PyObject*, PyObject* args) {
    const char* root = "";
    if (!PyArg_ParseTuple(args, "|s:available_cores", &root)) return nullptr;
    std::size_t cores = 0;
    Py_BEGIN_ALLOW_THREADS cores = passes::available_cores(root);
    Py_END_ALLOW_THREADS return PyLong_FromSize_t(cores);
}

PyMethodDef native_methods[] = {
    {"open", open_source, METH_VARARGS, open_doc},
    {"available_cores", available_cores, METH_VARARGS, cores_doc},
    {"replicate_moments",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(replicate_moments)),
     METH_VARARGS | METH_KEYWORDS, replicate_moments_doc},
    {"cholesky_exists", cholesky_exists, METH_VARARGS, cholesky_exists_doc},
    {"tridiagonal_eigenvalues", tridiagonal_eigenvalues, METH_VARARGS, tridiagonal_eigenvalues_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    nullptr,
    -1,
    native_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lagstat::module_tica

PyMODINIT_FUNC PyInit__native(void) {
    using namespace lagstat::module_tica;
    if (!ready_source_type()) return nullptr;
    PyObject* module = PyModule_Create(&native_module);
    if (module == nullptr || !add_accumulator_type(module) ||
        !add_weighted_accumulator_type(module)) {
        Py_XDECREF(module);
        return nullptr;
    }
    return module;
}
