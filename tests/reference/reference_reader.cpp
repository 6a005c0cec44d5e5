// The record reader written literally, one character at a time through stdio.
#include "reference/reference_reader.hpp"

#include <cctype>
#include <climits>
#include <cstdlib>

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
