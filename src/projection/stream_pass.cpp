// stream(): one pass over a file that writes every frame's projection, centred, as a text line.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "module/array_bridge.hpp"
#include "module/passes.hpp"
#include "projection/format.hpp"
#include "projection/output_sink.hpp"
#include "projection/project.hpp"

namespace lagstat::module {

namespace {

bool same_regular_file(const file_name& a, const file_name& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && S_ISREG(sa.st_mode) && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Both conversions are always attempted; when both fail, the second one's exception stands.
bool convert_both(PyObject* mean_obj, PyObject* weights_obj, int n, py_ref& mean, py_ref& weights) {
    mean = as_double_array(mean_obj, n, 1);
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (!mean) PyErr_Fetch(&type, &value, &traceback);
    weights = as_double_array(weights_obj, n, n);
    if (!weights) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return false;
    }
    if (!mean) {
        PyErr_Restore(type, value, traceback);
        return false;
    }
    return true;
}

PyObject* stream_pass(const file_name& fin, const file_name& fout, PyObject* mean_obj,
                      PyObject* weights_obj, int max_proj, bool time_column) {
    const int tc = time_column ? 1 : 0;
    if (max_proj < 1) {
        PyErr_SetString(PyExc_ValueError, "max < 1");
        return nullptr;
    }
    counted_input in;
    if (!in.open(fin)) return nullptr;
    const int c = in.columns;
    const int n = c - tc;
    if (n < max_proj) {
        PyErr_SetString(PyExc_ValueError, "max > record length");
        return nullptr;
    }
    py_ref mean, weights;
    if (!convert_both(mean_obj, weights_obj, n, mean, weights)) return nullptr;
    const double* m = array_data(mean);
    const double* w = array_data(weights);

    const auto un = static_cast<std::size_t>(n);
    const auto uproj = static_cast<std::size_t>(max_proj);
    std::vector<double> record = std::move(in.first);  // holds the first line already
    record.resize(static_cast<std::size_t>(c));
    std::vector<double> y(uproj);

    // Opening the output truncates it: never when it is the input itself.
    if (same_regular_file(fin, fout))
        return set_io_error(EINVAL, fout, "Input and output are the same file");
    projection::output_sink out;
    if (int err = out.open(fout.c_str()); err != 0) return set_io_error(err, fout, "");

    for (;;) {
        double* x = record.data();
        for (std::size_t i = 0; i < un; ++i) x[i] = x[i + tc] - m[i];
        projection::project(x, w, un, uproj, y.data());
        for (std::size_t i = 0; i < uproj; ++i) {
            char* p = out.reserve(projection::max_fixed6_length + 1);
            if (p == nullptr) return set_io_error(out.error_number(), fout, "");
            p = projection::format_fixed6(y[i], p);
            *p++ = i + 1 < uproj ? ' ' : '\n';
            out.commit(p);
        }
        const int r = in.reader->read_record(record.data(), c);
        if (r != c) {
            if (r == 0) {
                if (!in.check_rest(fin)) return nullptr;
                break;
            }
            out.close();  // the lines before the failing record stay
            return in.set_line_error(fin);
        }
    }
    if (!out.close()) return set_io_error(out.error_number(), fout, "");
    Py_RETURN_NONE;
}

}  // namespace

PyObject* stream(PyObject*, PyObject* args) {
    PyObject *fin_obj, *fout_obj, *mean, *weights;
    int max_proj, time_column;
    if (!PyArg_ParseTuple(args, "OOOOii", &fin_obj, &fout_obj, &mean, &weights, &max_proj,
                          &time_column))
        return nullptr;
    file_name fin, fout;
    if (!fin.encode(fin_obj) || !fout.encode(fout_obj)) return nullptr;
    try {
        return stream_pass(fin, fout, mean, weights, max_proj, time_column != 0);
    } catch (...) {
        return set_from_cpp_exception();
    }
}

}  // namespace lagstat::module
