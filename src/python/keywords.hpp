// The keyword-only arguments run and stream take beside the design's positional ones: the
// threads of a pass and the text options of its input.
#pragma once

#include <cstddef>

#include "text/text_options.hpp"
#include "python/py_ref.hpp"

namespace lagstat::python {

struct pass_keywords {
    std::size_t threads = 1;
    text::text_options text;
};

/// The keyword arguments of a call, held (their conversions run Python code); empty handles
/// for those not given.
struct keyword_objects {
    py_ref threads, comments, skip_rows, usecols, delimiter, skip_blank;
};

/// Takes the keyword-only arguments from kwargs (may be null). false with TypeError set for an
/// unknown keyword; `function` names the function in messages.
bool parse_keyword_objects(PyObject* kwargs, const char* function, keyword_objects& kw);

/// Fills k from the keyword objects. threads: a positive count, -1 for
/// every core the process may use, None or absent for LAGSTAT_NUM_THREADS or else 1. comments:
/// a str of comment characters; skip_rows: an int >= 0; usecols: a sequence of distinct ints;
/// delimiter: None (whitespace and/or commas) or ","; skip_blank: a bool. false with TypeError or
/// ValueError set.
bool parse_pass_keywords(const keyword_objects& kw, pass_keywords& k);

}  // namespace lagstat::python
