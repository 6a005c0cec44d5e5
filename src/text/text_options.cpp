// Options of the tabulated format: their checks, and their resolution into a scan's layout.
#include "text/text_options.hpp"

#include <utility>

#include "text/char_classes.hpp"
#include "text/line_scan.hpp"

namespace lagstat::text {

bool text_options::is_default() const noexcept {
    return comments.empty() && skip_rows == 0 && usecols.empty() &&
           delimiter == text::delimiter::whitespace_or_comma && !skip_blank;
}

const char* validate(const text_options& options) noexcept {
    for (const char c : options.comments) {
        switch (detail::default_classes[static_cast<unsigned char>(c)]) {
            case detail::number_char:
                return "A comment character cannot be a number character (0-9 . + - e E).";
            case detail::space_char:
                return "A comment character cannot be whitespace.";
            case detail::comma_char:
                return "A comment character cannot be a comma, which separates fields.";
            case detail::newline_char:
                return "A comment character cannot be the line end.";
            default:
                // NUL ends no line in a text file, but it is the scan's sentinel.
                if (c == '\0') return "A comment character cannot be NUL.";
        }
    }
    return nullptr;
}

const char* describe(error_kind kind) noexcept {
    switch (kind) {
        case error_kind::none:
            return "No error.";
        case error_kind::bad_character:
            return "A character that is neither part of a number nor a field separator.";
        case error_kind::field_too_long:
            return "A field longer than 256 characters.";
        case error_kind::wrong_field_count:
            return "A line with a different number of fields than the first data line.";
        case error_kind::empty_field:
            return "An empty field: no value between two delimiters or at the end of the line.";
        case error_kind::missing_delimiter:
            return "Whitespace inside a field: fields must be separated by the delimiter.";
        case error_kind::read_error:
            return "The input could not be read.";
        case error_kind::column_out_of_range:
            return "usecols selects a column that the first data line does not have.";
        case error_kind::duplicate_column:
            return "usecols selects the same column twice.";
    }
    return "Unknown error.";
}

parse_layout::parse_layout(const text_options& options)
    : classes_(detail::default_classes),
      usecols_(options.usecols),
      plain_(options.comments.empty() && options.delimiter == delimiter::whitespace_or_comma &&
             !options.skip_blank),
      comma_only_(options.delimiter == delimiter::comma),
      skip_blank_(options.skip_blank) {
    // Characters validate() refuses keep their class, so that a layout built from options that
    // were not checked still reads them as the default format does.
    for (const char c : options.comments) {
        unsigned char& cls = classes_[static_cast<unsigned char>(c)];
        if (cls == detail::other_char && c != '\0') cls = detail::comment_char;
    }
}

error_kind parse_layout::resolve(int fields) {
    std::vector<int> selected;
    std::vector<int> slots;
    if (!usecols_.empty()) {
        slots.assign(static_cast<std::size_t>(fields), detail::skip_slot);
        for (const long long index : usecols_) {
            const long long field = index < 0 ? index + fields : index;
            if (field < 0 || field >= fields) return error_kind::column_out_of_range;
            int& slot = slots[static_cast<std::size_t>(field)];
            if (slot != detail::skip_slot) return error_kind::duplicate_column;
            slot = static_cast<int>(selected.size());
            selected.push_back(static_cast<int>(field));
        }
    }
    selected_ = std::move(selected);
    slots_ = std::move(slots);
    fields_ = fields;
    width_ = usecols_.empty() ? fields : static_cast<int>(selected_.size());
    return error_kind::none;
}

}  // namespace lagstat::text
