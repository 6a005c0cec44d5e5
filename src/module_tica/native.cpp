// lagstat_tica._native: a file opened once, its first lines looked at, then every lag's sums
// from one read of it (module_tica/source.hpp).
#include "module_tica/accumulator.hpp"
#include "module_tica/source.hpp"
#include "passes/thread_team.hpp"

namespace lagstat::module_tica {
namespace {

const char open_doc[] =
    "open(path) -> source\n\n"
    "Opens a file of tabulated text (plain or gzip/bzip2/xz/zstd, a pipe or FIFO) for one read.";

const char cores_doc[] =
    "available_cores() -> int\n\n"
    "The cores threads=-1 takes: the CPU affinity, bounded by the cgroup's CPU quota; >= 1.";

PyObject* available_cores(PyObject*, PyObject*) {
    return PyLong_FromSize_t(passes::available_cores());
}

PyMethodDef native_methods[] = {
    {"open", open_source, METH_VARARGS, open_doc},
    {"available_cores", available_cores, METH_NOARGS, cores_doc},
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
    if (module == nullptr || !add_accumulator_type(module)) {
        Py_XDECREF(module);
        return nullptr;
    }
    return module;
}
