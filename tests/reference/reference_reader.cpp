// The record reader written literally, one character at a time through stdio.
#include "reference/reference_reader.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>

namespace lagstat::reference {
namespace {

constexpr int max_field_length = 256;

bool is_number_char(int c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
}

enum class state { in_field, between };

}  // namespace

int read_record(std::FILE* stream, double* out, int capacity) {
    if (std::ferror(stream)) return -1;
    if (std::feof(stream)) return 0;

    char field[max_field_length + 1];
    int length = 0;
    int count = 0;

    // Converts the field buffer and adds its value to the record; false if it does not fit.
    auto end_field = [&]() -> bool {
        field[length] = '\0';
        const double value = std::atof(field);
        if (capacity > 0) {
            if (count == capacity) return false;
            out[count] = value;
        }
        if (count == INT_MAX) return false;
        ++count;
        return true;
    };

    int c = std::getc(stream);
    if (c == '\n' || c == EOF) return std::ferror(stream) ? -1 : 0;

    state s = std::isspace(c) ? state::between : state::in_field;
    for (;;) {
        if (s == state::in_field) {
            if (is_number_char(c)) {
                if (length == max_field_length) return -1;
                field[length++] = static_cast<char>(c);
            } else if (std::isspace(c) || c == ',') {
                if (!end_field()) return -1;
                length = 0;
                s = state::between;
            } else {
                return -1;
            }
        } else if (!std::isspace(c)) {
            std::ungetc(c, stream);
            s = state::in_field;
        }
        c = std::getc(stream);
        if (c == '\n' || c == EOF) {
            if (length > 0 && !end_field()) return -1;
            break;
        }
    }
    return std::ferror(stream) ? -1 : count;
}

}  // namespace lagstat::reference

namespace lagstat::reference {

using text::error_kind;

option_reader::option_reader(std::FILE* stream, text::text_options options)
    : stream_(stream), options_(std::move(options)), rows_left_(options_.skip_rows) {}

int option_reader::fail(error_kind why) {
    error_ = why;
    return -1;
}

int option_reader::read(std::vector<double>& record) {
    record.clear();
    error_ = error_kind::none;
    if (std::ferror(stream_)) return fail(error_kind::read_error);
    if (std::feof(stream_)) return 0;
    for (; rows_left_ > 0; --rows_left_) {
        ++line_;
        int c;
        while ((c = std::getc(stream_)) != '\n' && c != EOF) {
        }
        if (c == EOF) return std::ferror(stream_) ? fail(error_kind::read_error) : 0;
    }
    std::vector<double> fields;
    for (;;) {
        ++line_;
        fields.clear();
        const outcome o = read_line(fields);
        if (o == outcome::fault) return -1;
        if (o == outcome::blank) return 0;
        if (o == outcome::record) break;
    }
    if (fields_ == 0) {
        fields_ = fields.size();
        const long long c = static_cast<long long>(fields_);
        for (long long index : options_.usecols) {
            if (index < 0) index += c;
            if (index < 0 || index >= c) return fail(error_kind::column_out_of_range);
            if (std::find(selected_.begin(), selected_.end(), index) != selected_.end())
                return fail(error_kind::duplicate_column);
            selected_.push_back(static_cast<std::size_t>(index));
        }
        if (options_.usecols.empty())
            for (std::size_t i = 0; i < fields_; ++i) selected_.push_back(i);
    } else if (fields.size() != fields_) {
        return fail(error_kind::wrong_field_count);
    }
    for (const std::size_t i : selected_) record.push_back(fields[i]);
    return static_cast<int>(record.size());
}

option_reader::outcome option_reader::read_line(std::vector<double>& fields) {
    const bool comma = options_.delimiter == text::delimiter::comma;
    enum class where { start, in_field, between, after_field, after_comma };
    where s = where::start;
    std::string text;
    const auto fault = [this](error_kind why) {
        error_ = why;
        return outcome::fault;
    };
    // Room for one more field: the first data line takes any number, later ones its count.
    const auto room = [&] {
        return fields_ == 0 ? fields.size() < INT_MAX : fields.size() < fields_;
    };

    for (;;) {
        const int c = std::getc(stream_);
        if (c == EOF && std::ferror(stream_)) return fault(error_kind::read_error);
        const bool ends_field = s == where::in_field && !is_number_char(c);
        if (ends_field) {
            fields.push_back(std::atof(text.c_str()));
            s = where::after_field;
        }
        if (c == '\n' || c == EOF) {
            if (s == where::after_comma) return fault(error_kind::empty_field);
            if (fields.empty() && c == '\n' && options_.skip_blank) return outcome::comment;
            return fields.empty() ? outcome::blank : outcome::record;
        }
        if (is_number_char(c)) {
            if (s == where::in_field) {
                if (text.size() == static_cast<std::size_t>(max_field_length))
                    return fault(error_kind::field_too_long);
                text += static_cast<char>(c);
                continue;
            }
            if (comma && s == where::after_field) return fault(error_kind::missing_delimiter);
            if (!room()) return fault(error_kind::wrong_field_count);
            text.assign(1, static_cast<char>(c));
            s = where::in_field;
        } else if (std::isspace(c)) {
            if (!comma && s != where::start) s = where::between;
        } else if (c == ',') {
            if (comma) {
                if (s != where::after_field) return fault(error_kind::empty_field);
                s = where::after_comma;
            } else if (ends_field) {
                s = where::between;  // the comma that ends a field is that field's
            } else {
                if (!room()) return fault(error_kind::wrong_field_count);
                fields.push_back(0.0);  // an empty field
                s = where::between;
            }
        } else if (options_.comments.find(static_cast<char>(c)) != std::string::npos) {
            if (s == where::after_comma) return fault(error_kind::empty_field);
            int d;
            while ((d = std::getc(stream_)) != '\n' && d != EOF) {
            }
            if (d == EOF && std::ferror(stream_)) return fault(error_kind::read_error);
            if (!fields.empty()) return outcome::record;
            // A comment line, unless the input's end cuts it: then it is the last line read.
            return d == EOF ? outcome::blank : outcome::comment;
        } else {
            return fault(error_kind::bad_character);
        }
    }
}

}  // namespace lagstat::reference
