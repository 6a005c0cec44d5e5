// An input opened by a pass: its byte source, its reader, and its first line counted and kept as
// the first record, so that nothing is read twice and a pipe loses no line.
#pragma once

#include <memory>
#include <vector>

#include "input/byte_source.hpp"
#include "input/record_reader.hpp"
#include "passes/pass_error.hpp"

namespace lagstat::passes {

class text_input {
public:
    /// Opens path and counts its first line. `interrupted` is asked while reads wait (see
    /// input::interrupt_check); when it stops the pass the result is failure::interrupted.
    pass_error open(const char* path, input::interrupt_check interrupted);

    int columns() const noexcept { return columns_; }
    /// The first line's values (columns() of them); the caller may take them over.
    std::vector<double>& first() noexcept { return first_; }
    input::record_reader& reader() noexcept { return *reader_; }

    /// What a refused data line means: a read error (errno and, for compressed input, the
    /// decoder's text), or a line outside the format, with its 1-based line number.
    pass_error line_error() const;

    /// At the end of the data: compressed input is read to its end, so that a damaged stream
    /// (its check sums come last) is not taken for data that merely end early.
    pass_error check_rest() const;

private:
    bool damaged() const;
    pass_error read_error() const;

    std::unique_ptr<input::byte_source> source_;
    std::unique_ptr<input::record_reader> reader_;
    std::vector<double> first_;
    int columns_ = 0;
};

}  // namespace lagstat::passes
