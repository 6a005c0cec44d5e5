// run(): one pass over a file that adds its moments to the caller's statistics dictionary.
#include "module/array_bridge.hpp"
#include "python/errors.hpp"
#include "python/keywords.hpp"
#include "module/passes.hpp"
#include "python/gil.hpp"
#include "passes/moment_pass.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"
#include "stats/mirror.hpp"
#include "stats/moments.hpp"

namespace lagstat::module {

using namespace lagstat::python;

namespace {

PyObject* run_pass(const file_name& file, PyObject* d, bool mean_on, bool var_on, bool cov_on,
                   bool tcov_on, int lag, const pass_keywords& k) {
    pass_lock lock;
    if (!lock.acquire()) return nullptr;
    const bool options = !k.text.is_default();
    passes::text_input in;
    passes::pass_error e;
    {
        gil_released unlocked;  // opening a FIFO and reading its first line may wait
        e = in.open(file.c_str(), signals_raised, k.text);
    }
    if (e) return set_pass_error(e, file, nullptr, options);
    const int n = in.columns();
    const auto un = static_cast<std::size_t>(n);

    // The entries, in this order: which of them stand in the dictionary when a later step fails
    // depends on it. Each is held here: conversions run Python code that may drop the
    // dictionary's own references.
    py_ref mean = fetch_entry(d, "mean", n, 1);
    if (!mean) return nullptr;
    py_ref var, cov, tcov, tcov_samples;
    if (var_on && !(var = fetch_entry(d, "var", n, 1))) return nullptr;
    if (cov_on && !(cov = fetch_entry(d, "cov", n, n))) return nullptr;

    stats::moment_targets targets;
    targets.mean = array_data(mean);
    targets.add_mean = mean_on;
    if (var) targets.var = array_data(var);
    if (cov) targets.cov = array_data(cov);
    if (tcov_on) {
        if (lag < 1) {
            PyErr_SetString(PyExc_ValueError, "lag < 1 not allowed.");
            return nullptr;
        }
        if (!(tcov = fetch_entry(d, "tcov", n, n))) return nullptr;
        if (!(tcov_samples = fetch_entry(d, "tcov_samples", 1, 1))) return nullptr;
        targets.tcov = array_data(tcov);
        targets.tcov_pairs = array_data(tcov_samples);
        targets.lag = static_cast<std::size_t>(lag);
    }
    // Accumulators that share memory (one array under two keys, or views of one array) see each
    // other's updates frame by frame: keep that order by adding one frame at a time, on one
    // thread. Otherwise the threads split the accumulators' elements between them.
    const bool shared = any_overlap({&mean, &var, &cov, &tcov, &tcov_samples});
    // The lag ring and the kernels' workspaces: std::bad_alloc (MemoryError) when they cannot be
    // had.
    stats::moment_accumulator acc(un, targets, shared ? 1 : k.threads);

    py_ref samples = fetch_entry(d, "samples", 1, 1);
    if (!samples) return nullptr;

    {
        gil_released unlocked;
        passes::thread_team team(k.threads);
        e = passes::accumulate_moments(in, acc, team, signals_raised, shared);
    }
    if (e) return set_pass_error(e, file, nullptr, options);
    array_data(samples)[0] += static_cast<double>(acc.frames());
    if (cov) stats::mirror_upper(array_data(cov), un);
    Py_RETURN_NONE;
}

}  // namespace

PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    // The design's seven positional arguments, parsed as they always were (so are their errors),
    // then the keyword-only extensions.
    PyObject *fname_obj, *d;
    int mean, var, cov, tcov, lag;
    if (!PyArg_ParseTuple(args, "OO!iiiii", &fname_obj, &PyDict_Type, &d, &mean, &var, &cov, &tcov,
                          &lag))
        return nullptr;
    keyword_objects kw;
    if (!parse_keyword_objects(kwargs, "run", kw)) return nullptr;
    file_name file;
    if (!file.encode(fname_obj)) return nullptr;
    py_ref dict = py_ref::borrow(d);
    try {
        pass_keywords k;
        if (!parse_pass_keywords(kw, k)) return nullptr;
        return run_pass(file, dict.get(), mean != 0, var != 0, cov != 0, tcov != 0, lag, k);
    } catch (...) {
        return set_from_cpp_exception();
    }
}

}  // namespace lagstat::module
