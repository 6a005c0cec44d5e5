// Opt-in departures from the default tabulated format, why a line was refused, and the layout a
// scan works from once the options are resolved against the first data line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace lagstat::text {

/// How the fields of a line are separated.
enum class delimiter : unsigned char {
    /// Whitespace, commas, or both; a comma always ends a field, even an empty one (which reads
    /// 0.0), so "1 ,2" is 1, 0, 2. The default format.
    whitespace_or_comma,
    /// Commas only, as in CSV: whitespace around a field is ignored, whitespace inside one ("1
    /// 2,3")
    /// is refused, and so is an empty field (",,", or a comma at either end of the line), which
    /// is how CSV writers leave a value missing.
    comma,
};

/// Options of the tabulated format. Default constructed, they are the default format.
struct text_options {
    /// Comment characters. A line whose first non-blank character is one of them is skipped
    /// wherever it stands (it is not a frame, nor the end of the data); one after data ends that
    /// line's data, as with numpy.loadtxt ("1 2 # x" holds two fields).
    std::string comments;
    /// Physical lines skipped before anything else, whatever they hold (a header of names).
    std::uint64_t skip_rows = 0;
    /// Indices of the fields that form the record, in this order, 0-based as the fields stand in
    /// the line, negative ones counted from the line's end. Empty: every field, in order.
    std::vector<long long> usecols;
    text::delimiter delimiter = text::delimiter::whitespace_or_comma;
    /// Blank lines are skipped like comment lines (numpy.loadtxt's rule) instead of ending the
    /// data: for formats whose writers leave them between pieces (two runs joined by hand).
    bool skip_blank = false;

    /// True when every option has its default value: the default format.
    bool is_default() const noexcept;
};

/// Null when the options can be used; otherwise why not, as an English sentence.
/// Checks what does not depend on the data: the comment characters.
const char* validate(const text_options& options) noexcept;

/// Why a line (or the options, against the first data line) was refused.
enum class error_kind : unsigned char {
    none,
    bad_character,        // a byte that can stand neither in a field nor between fields
    field_too_long,       // more than max_field_length characters
    wrong_field_count,    // more or fewer fields than the first data line (or than the capacity)
    empty_field,          // comma delimiter: nothing between two commas or at a line's end
    missing_delimiter,    // comma delimiter: a field follows another without a comma between
    read_error,           // the byte source failed
    column_out_of_range,  // usecols: no such field in the first data line
    duplicate_column,     // usecols: a field selected twice
};

/// An English sentence for the kind, for error messages.
const char* describe(error_kind kind) noexcept;

/// The options as a scan uses them: the character classes (comment characters included), the
/// delimiter, and, once the first data line's field count is known, which fields form the
/// record and where each one goes.
class parse_layout {
public:
    explicit parse_layout(const text_options& options = {});

    /// Fixes the field count every data line must have and resolves usecols against it: on
    /// success returns error_kind::none and the layout is resolved; otherwise the first fault
    /// of usecols in their order (column_out_of_range or duplicate_column).
    error_kind resolve(int fields);

    bool resolved() const noexcept { return fields_ > 0; }
    /// Neither comment characters nor the comma delimiter: scans take the default format's fast
    /// path (a selection of fields is the sink's business, not the scan's).
    bool plain() const noexcept { return plain_; }
    bool comma_only() const noexcept { return comma_only_; }
    bool skip_blank() const noexcept { return skip_blank_; }
    /// Fields of every data line (0 until resolved).
    int fields() const noexcept { return fields_; }
    /// Values of a record: the selected fields (all of them without usecols).
    int width() const noexcept { return width_; }
    /// The field index of each record position with usecols (width of them); empty without.
    const std::vector<int>& selected() const noexcept { return selected_; }
    /// Each field's position in the record, or -1 when it is only checked; null when every field
    /// goes to its own position.
    const int* slots() const noexcept { return slots_.empty() ? nullptr : slots_.data(); }
    /// Character class of every byte (see line_scan.hpp).
    const unsigned char* classes() const noexcept { return classes_.data(); }

private:
    std::array<unsigned char, 256> classes_;
    std::vector<long long> usecols_;
    std::vector<int> selected_;
    std::vector<int> slots_;
    int fields_ = 0;
    int width_ = 0;
    bool plain_;
    bool comma_only_;
    bool skip_blank_;
};

}  // namespace lagstat::text
