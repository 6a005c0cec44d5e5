#include "python/keywords.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "passes/thread_team.hpp"

namespace lagstat::python {

namespace {

// More would not speed a pass up and would only cost their buffers.
constexpr long max_threads = 1024;

const char threads_message[] =
    "threads must be a positive count, or -1 for every core this process may use";

bool threads_from(long value, pass_keywords& k, const char* what) {
    if (value == -1) {
        k.threads = passes::available_cores();
        return true;
    }
    if (value < 1 || value > max_threads) {
        PyErr_Format(PyExc_ValueError, "%s: %ld (at most %ld)", what, value, max_threads);
        return false;
    }
    k.threads = static_cast<std::size_t>(value);
    return true;
}

// An int or whatever operator.index takes (a NumPy integer), but not a bool, which counts
// nothing. Null with TypeError(message) otherwise.
py_ref index_of(PyObject* obj, const char* message) {
    if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, message);
        return {};
    }
    return py_ref::steal(PyNumber_Index(obj));
}

bool parse_threads(PyObject* obj, pass_keywords& k) {
    if (obj == nullptr || obj == Py_None) {
        // The process-wide default, for callers that cannot pass the keyword (code that calls
        // run as the design has it): the same bits whatever it says.
        const char* env = std::getenv("LAGSTAT_NUM_THREADS");
        if (env == nullptr || *env == '\0') {
            k.threads = 1;
            return true;
        }
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(env, &end, 10);
        if (*end != '\0' || errno != 0) {
            PyErr_Format(PyExc_ValueError, "LAGSTAT_NUM_THREADS=%s: %s", env, threads_message);
            return false;
        }
        return threads_from(value, k, "LAGSTAT_NUM_THREADS must be a positive count or -1");
    }
    py_ref index = index_of(obj, threads_message);
    if (!index) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        PyErr_SetString(PyExc_ValueError, threads_message);
        return false;
    }
    return threads_from(value, k, threads_message);
}

// The text options exist as keywords only, which the Python 2 module does not take.
#if PY_MAJOR_VERSION >= 3

bool parse_comments(PyObject* obj, pass_keywords& k) {
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "comments must be a str of comment characters");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) {
            PyErr_SetString(PyExc_ValueError, "comments must be ASCII characters");
            return false;
        }
    }
    k.text.comments.assign(text, static_cast<std::size_t>(size));
    if (const char* why = text::validate(k.text)) {
        PyErr_SetString(PyExc_ValueError, why);
        return false;
    }
    return true;
}

bool parse_skip_rows(PyObject* obj, pass_keywords& k) {
    if (obj == nullptr) return true;
    py_ref index = index_of(obj, "skip_rows must be an int");
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "skip_rows must be >= 0");
        return false;
    }
    k.text.skip_rows = value;
    return true;
}

bool parse_skip_blank(PyObject* obj, pass_keywords& k) {
    if (obj == nullptr) return true;
    if (!PyBool_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "skip_blank must be True or False");
        return false;
    }
    k.text.skip_blank = obj == Py_True;
    return true;
}

bool parse_usecols(PyObject* obj, pass_keywords& k) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "usecols must be a sequence of ints");
        return false;
    }
    py_ref items = py_ref::steal(PySequence_Fast(obj, "usecols must be a sequence of ints"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "usecols must select at least one column");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);  // held by `items`
        if (!PyIndex_Check(item) || PyBool_Check(item) || PyFloat_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "usecols must be a sequence of ints");
            return false;
        }
        py_ref index = py_ref::steal(PyNumber_Index(item));
        if (!index) return false;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || value > INT_MAX || value < -static_cast<long long>(INT_MAX)) {
            // Beyond any line's field count: the message the first data line would give.
            PyErr_SetString(PyExc_ValueError, text::describe(text::error_kind::column_out_of_range));
            return false;
        }
        k.text.usecols.push_back(value);
    }
    return true;
}

bool parse_delimiter(PyObject* obj, pass_keywords& k) {
    if (obj == nullptr || obj == Py_None) return true;
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
    if (text == nullptr || std::strcmp(text, ",") != 0) {
        if (PyErr_Occurred()) return false;
        PyErr_SetString(PyExc_ValueError,
                        "delimiter must be None (whitespace and/or commas) or \",\" (commas only)");
        return false;
    }
    k.text.delimiter = text::delimiter::comma;
    return true;
}

#endif

}  // namespace

#if PY_MAJOR_VERSION >= 3

bool parse_keyword_objects(PyObject* kwargs, const char* function, keyword_objects& kw) {
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) return true;
    static const char* names[] = {"threads",   "comments",   "skip_rows", "usecols",
                                  "delimiter", "skip_blank", nullptr};
    py_ref no_args = py_ref::steal(PyTuple_New(0));
    if (!no_args) return false;
    char format[64];
    std::snprintf(format, sizeof format, "|$OOOOOO:%s", function);
    PyObject* found[6] = {};
    if (!PyArg_ParseTupleAndKeywords(no_args.get(), kwargs, format, const_cast<char**>(names),
                                     &found[0], &found[1], &found[2], &found[3], &found[4],
                                     &found[5]))
        return false;
    kw.threads = py_ref::borrow(found[0]);
    kw.comments = py_ref::borrow(found[1]);
    kw.skip_rows = py_ref::borrow(found[2]);
    kw.usecols = py_ref::borrow(found[3]);
    kw.delimiter = py_ref::borrow(found[4]);
    kw.skip_blank = py_ref::borrow(found[5]);
    return true;
}

bool parse_pass_keywords(const keyword_objects& kw, pass_keywords& k) {
    return parse_threads(kw.threads.get(), k) && parse_comments(kw.comments.get(), k) &&
           parse_skip_rows(kw.skip_rows.get(), k) && parse_usecols(kw.usecols.get(), k) &&
           parse_delimiter(kw.delimiter.get(), k) && parse_skip_blank(kw.skip_blank.get(), k);
}

#else

// Python 2's functions take their positional arguments only (registered METH_VARARGS, they are
// called without keywords); a pass's threads come from LAGSTAT_NUM_THREADS.
bool parse_keyword_objects(PyObject* kwargs, const char* function, keyword_objects&) {
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
    return false;
}

bool parse_pass_keywords(const keyword_objects& kw, pass_keywords& k) {
    return parse_threads(kw.threads.get(), k);
}

#endif

}  // namespace lagstat::python
