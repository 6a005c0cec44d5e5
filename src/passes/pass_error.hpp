// How a pass ends, as a plain value: the Python face turns it into an exception.
#pragma once

#include <cstdint>

#include "text/text_options.hpp"

namespace lagstat::passes {

enum class failure : unsigned char {
    none,
    open_input,      // the input cannot be opened: err
    no_data,         // the input is empty or its first line is blank
    bad_first_line,  // the first line yields no field count
    read_error,      // reading failed: err, and text where the decoder names the fault
    bad_line,        // a data line outside the format or of another width: line, reason
    bad_options,     // usecols do not fit the first data line: reason
    bad_npy,         // a .npy file lagstat does not read, or text options given for one: text
    interrupted,     // the interrupt check stopped the pass (its own exception stands)
    same_file,       // the output is the input or a file behind the pass's arrays: text
    open_output,     // the output cannot be created: err
    write_output,    // writing or closing the output failed: err
    no_memory,       // a buffer of the pass cannot be had
};

struct pass_error {
    failure kind = failure::none;
    int err = 0;                  // errno where one applies
    const char* text = nullptr;   // a fixed text replacing strerror(err), or null
    std::uint64_t line = 0;       // 1-based line of a bad_line (of others where known)
    text::error_kind reason = text::error_kind::none;  // why that line was refused

    explicit operator bool() const noexcept { return kind != failure::none; }
};

}  // namespace lagstat::passes
