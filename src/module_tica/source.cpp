#include "module_tica/source.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "binary/npy_header.hpp"
#include "module_tica/arguments.hpp"
#include "module_tica/result.hpp"
#include "passes/lag_scan.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/keywords.hpp"
#include "python/py_ref.hpp"
#include "source/open_input.hpp"
#include "source/replay_source.hpp"
#include "stats/lag_moments.hpp"

namespace lagstat::module_tica {

using namespace lagstat::python;

namespace {

struct source_object {
    PyObject_HEAD file_name* file;  // the name as given, for messages
    source::replay_source* source;  // null once scanned
    bool rereadable;
    bool busy;  // a call is reading it (another thread must wait)
};

void source_dealloc(PyObject* self) {
    auto* s = reinterpret_cast<source_object*>(self);
    delete s->source;
    delete s->file;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);  // instances of heap types hold their type
}

// Claims the source for one call: refused when it is used up or another thread reads it.
bool claim(source_object* s) {
    if (s->source == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the source has been scanned: open the file again");
        return false;
    }
    if (s->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the source is being read by another thread");
        return false;
    }
    s->busy = true;
    return true;
}

PyObject* read_failure(const source_object* s, int err) {
    passes::pass_error e{passes::failure::read_error, err,
                         source::decoder_error_message(*s->source)};
    if (err == EINTR) e = {passes::failure::interrupted};
    return set_pass_error(e, *s->file);
}

// Keeps the input's first bytes, as many as tell a .npy file from text and no more: a pipe's
// bytes stay in the source for its scan. Call with the source claimed and the GIL released.
bool keep_magic(source_object* s, bool& npy) {
    bool ok = true;
    while (ok && s->source->kept().size() < binary::npy_magic_size &&
           binary::could_be_npy(s->source->kept().data(), s->source->kept().size()) &&
           !s->source->exhausted())
        ok = s->source->read_ahead(binary::npy_magic_size - s->source->kept().size()) ||
             s->source->error_number() == 0;
    npy = binary::is_npy(s->source->kept().data(), s->source->kept().size());
    return ok;
}

PyObject* source_is_npy(PyObject* self, PyObject*) {
    auto* s = reinterpret_cast<source_object*>(self);
    if (!claim(s)) return nullptr;
    bool ok, npy = false;
    try {
        gil_released unlocked;
        ok = keep_magic(s, npy);
    } catch (...) {
        s->busy = false;
        return set_from_cpp_exception();
    }
    s->busy = false;
    if (!ok) return read_failure(s, s->source->error_number());
    return PyBool_FromLong(npy);
}

PyObject* source_head(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"max_lines", "max_bytes", nullptr};
    Py_ssize_t max_lines = 256, max_bytes = Py_ssize_t{1} << 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|nn:head", const_cast<char**>(names),
                                     &max_lines, &max_bytes))
        return nullptr;
    if (max_lines < 0 || max_bytes < 0) {
        PyErr_SetString(PyExc_ValueError, "max_lines and max_bytes must be >= 0");
        return nullptr;
    }
    auto* s = reinterpret_cast<source_object*>(self);
    if (!claim(s)) return nullptr;
    bool ok, npy = false;
    try {
        gil_released unlocked;
        // A .npy file has no lines: told by its magic before anything more is kept of it.
        ok = keep_magic(s, npy);
        if (ok && !npy)
            ok = s->source->keep(static_cast<std::size_t>(max_lines),
                                 static_cast<std::size_t>(max_bytes));
    } catch (...) {
        s->busy = false;
        return set_from_cpp_exception();
    }
    s->busy = false;
    if (!ok) return read_failure(s, s->source->error_number());
    if (npy) {
        passes::pass_error e{passes::failure::bad_npy, 0,
                             "A NumPy .npy file has no lines to show: scan() reads its array"};
        return set_pass_error(e, *s->file);
    }

    // Whole lines only: a last line without its end is one only at the end of the input.
    const std::string_view kept = s->source->kept();
    const std::size_t limit = std::min(kept.size(), static_cast<std::size_t>(max_bytes));
    py_ref lines = py_ref::steal(PyList_New(0));
    if (!lines) return nullptr;
    std::size_t at = 0;
    while (at < limit && PyList_GET_SIZE(lines.get()) < max_lines) {
        std::size_t end = kept.find('\n', at);
        if (end == std::string_view::npos || end >= limit) {
            if (!(s->source->exhausted() && limit == kept.size())) break;
            end = limit;
        }
        std::size_t text_end = end;
        if (text_end > at && kept[text_end - 1] == '\r') --text_end;
        py_ref line = py_ref::steal(PyUnicode_DecodeUTF8(
            kept.data() + at, static_cast<Py_ssize_t>(text_end - at), "replace"));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
        at = end + 1;
    }
    return lines.release();
}

PyObject* scan_source(source_object* s, const std::vector<std::size_t>& lags,
                      const std::vector<double>& shift, const pass_keywords& k,
                      const std::string& marker, PyObject* time_obj) {
    const bool user_options = !k.text.is_default();
    long long time_field = 0;
    const bool timed = time_obj != nullptr && time_obj != Py_None;
    if (timed) {
        time_field = PyLong_AsLongLong(time_obj);
        if (time_field == -1 && PyErr_Occurred()) return nullptr;
    }
    passes::scan_fields fields = passes::plan_scan_fields(k.text, timed ? &time_field : nullptr);
    std::unique_ptr<source::replay_source> source(s->source);
    s->source = nullptr;  // used up, whatever happens next
    passes::text_input in;
    passes::pass_error e;
    {
        gil_released unlocked;
        e = in.open_source(std::move(source), fields.options);
    }
    if (e) return set_pass_error(e, *s->file, nullptr, user_options);
    const long long line_fields = in.layout().fields();
    if (!passes::resolve_scan_fields(fields, in.columns(), line_fields)) {
        PyErr_Format(PyExc_ValueError, "time_field %lld: the first data line has %lld fields",
                     time_field, line_fields);
        return nullptr;
    }
    const std::size_t n = fields.columns;
    if (!shift.empty() && shift.size() != n) {
        PyErr_Format(PyExc_ValueError, "shift has %zu values for %zu columns", shift.size(), n);
        return nullptr;
    }
    passes::lag_scan_request request;
    request.lags = lags;
    request.columns = n;
    request.shift = shift;
    request.segment_marker = marker;
    request.time_slot = fields.time_slot;
    passes::lag_scan_result result;
    stats::lag_sums sums;
    {
        stats::lag_accumulator acc(n, lags, k.threads);
        {
            gil_released unlocked;
            passes::thread_team team(k.threads);
            e = passes::scan_lags(in, request, acc, team, signals_raised, result);
        }
        if (!e) sums = std::move(acc.sums());
    }  // the ring and the threads' work go before the sums are copied out
    if (e) return set_pass_error(e, *s->file, nullptr, user_options);
    return result_dict(sums, result).release();
}

PyObject* source_scan(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"lags",    "shift",      "comments",       "skip_rows",
                                  "usecols", "delimiter",  "segment_marker", "time_field",
                                  "threads", "skip_blank", nullptr};
    PyObject *lags_obj, *shift_obj = nullptr, *marker_obj = nullptr, *time_obj = nullptr;
    PyObject* found[6] = {};  // threads, comments, skip_rows, usecols, delimiter, skip_blank
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOO:scan", const_cast<char**>(names),
                                     &lags_obj, &shift_obj, &found[1], &found[2], &found[3],
                                     &found[4], &marker_obj, &time_obj, &found[0], &found[5]))
        return nullptr;
    auto* s = reinterpret_cast<source_object*>(self);
    std::vector<std::size_t> lags;
    std::vector<double> shift;
    if (!parse_lags(lags_obj, lags) || !parse_shift(shift_obj, shift)) return nullptr;
    std::string marker;
    if (!parse_marker(marker_obj, marker) || !check_time_field(time_obj)) return nullptr;
    keyword_objects kw;
    kw.threads = py_ref::borrow(found[0]);
    kw.comments = py_ref::borrow(found[1]);
    kw.skip_rows = py_ref::borrow(found[2] == Py_None ? nullptr : found[2]);
    kw.usecols = py_ref::borrow(found[3]);
    kw.delimiter = py_ref::borrow(found[4]);
    kw.skip_blank = py_ref::borrow(found[5]);
    pass_keywords k;
    if (!parse_pass_keywords(kw, k)) return nullptr;
    if (!claim(s)) return nullptr;
    PyObject* out;
    try {
        out = scan_source(s, lags, shift, k, marker, time_obj);
    } catch (...) {
        out = set_from_cpp_exception();
    }
    s->busy = false;
    return out;
}

PyObject* source_get_path(PyObject* self, void*) {
    auto* s = reinterpret_cast<source_object*>(self);
    return py_ref::borrow(s->file->given.get()).release();
}

PyObject* source_get_rereadable(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<source_object*>(self)->rereadable);
}

// Whether head() has seen the input's end: the lines it returns are then all there is, and a
// caller looking for a header need not ask for more.
PyObject* source_get_ended(PyObject* self, void*) {
    const auto* s = reinterpret_cast<source_object*>(self);
    return PyBool_FromLong(s->source != nullptr && !s->busy && s->source->exhausted());
}

const char head_doc[] =
    "head(max_lines=256, max_bytes=1048576) -> list of str\n\n"
    "The first lines of the input (without their ends), kept so that scan reads them again.";
const char is_npy_doc[] =
    "is_npy() -> bool\n\n"
    "Whether the input starts with a .npy file's magic; the bytes read stay for scan.";
const char scan_doc[] =
    "scan(lags, *, shift=None, comments=None, skip_rows=0, usecols=None, delimiter=None,\n"
    "     segment_marker=None, time_field=None, threads=None, skip_blank=False) -> dict\n\n"
    "Every lag's sums from one read of the input; the source is used up.";

PyMethodDef source_methods[] = {
    {"head", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(source_head)),
     METH_VARARGS | METH_KEYWORDS, head_doc},
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(source_scan)),
     METH_VARARGS | METH_KEYWORDS, scan_doc},
    {"is_npy", source_is_npy, METH_NOARGS, is_npy_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef source_getset[] = {
    {"path", source_get_path, nullptr, "the file name as given", nullptr},
    {"rereadable", source_get_rereadable, nullptr,
     "whether the input can be opened and read again (a regular file)", nullptr},
    {"ended", source_get_ended, nullptr,
     "whether head() has kept the whole input (its end, or a read error, came within it)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot source_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(source_dealloc)},
    {Py_tp_methods, source_methods},
    {Py_tp_getset, source_getset},
    {Py_tp_doc, const_cast<char*>("An input opened for one read (lagstat_tica._native.open).")},
    {0, nullptr},
};

PyTypeObject* source_type = nullptr;  // made once, held for the process's life

PyType_Spec source_spec = {"lagstat_tica._native.source", sizeof(source_object), 0,
                           Py_TPFLAGS_DEFAULT, source_slots};

PyObject* open_unchecked(PyObject* args) {
    PyObject* path;
    if (!PyArg_ParseTuple(args, "O:open", &path)) return nullptr;
    auto file = std::make_unique<file_name>();
    if (!file->encode(path)) return nullptr;
    int err = 0;
    std::unique_ptr<source::byte_source> raw;
    bool regular = false;
    {
        gil_released unlocked;  // a FIFO without a writer waits here
        struct stat st;
        regular = ::stat(file->c_str(), &st) == 0 && S_ISREG(st.st_mode);
        raw = source::open_input(file->c_str(), err, signals_raised);
    }
    if (!raw) {
        passes::pass_error e{passes::failure::open_input, err};
        if (err == EINTR) e = {passes::failure::interrupted};
        return set_pass_error(e, *file);
    }
    // The look at the first bytes (is it compressed?) waits on a silent writer, and a signal
    // stops it: the source would only report that later, and the handler's exception is set now.
    if (PyErr_Occurred()) return set_pass_error({passes::failure::interrupted}, *file);
    auto source = std::make_unique<source::replay_source>(std::move(raw));
    auto* s = PyObject_New(source_object, source_type);
    if (s == nullptr) return nullptr;
    s->file = file.release();
    s->source = source.release();
    s->rereadable = regular;
    s->busy = false;
    return reinterpret_cast<PyObject*>(s);
}

}  // namespace

bool ready_source_type() {
    if (source_type == nullptr)
        source_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&source_spec));
    return source_type != nullptr;
}

PyObject* open_source(PyObject*, PyObject* args) {
    try {
        return open_unchecked(args);
    } catch (...) {
        return set_from_cpp_exception();
    }
}

}  // namespace lagstat::module_tica
