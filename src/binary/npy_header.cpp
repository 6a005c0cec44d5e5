#include "binary/npy_header.hpp"

#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace lagstat::binary {

namespace {

constexpr bool little_endian_machine = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

std::uint32_t little_u16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8;
}

std::uint32_t little_u32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

npy_header_result bad(std::string why) {
    npy_header_result r;
    r.what = npy_header_result::status::bad;
    r.why = std::move(why);
    return r;
}

/// The header's Python literal: a dict of str keys to str, bool or tuple-of-int values, the
/// only things NumPy writes there for an array of plain numbers. Anything else is refused
/// rather than guessed at (a list is a structured dtype's fields).
class literal_reader {
public:
    explicit literal_reader(std::string_view s) : s_(s) {}

    enum class type : unsigned char { string, boolean, tuple, list, other };
    struct value {
        type t = type::other;
        std::string text;                 // string
        bool flag = false;                // boolean
        std::vector<std::uint64_t> ints;  // tuple
    };

    bool dict(std::vector<std::pair<std::string, value>>& entries) {
        skip_space();
        if (!eat('{')) return false;
        for (;;) {
            skip_space();
            if (eat('}')) break;
            std::string key;
            if (!string(key)) return false;
            skip_space();
            if (!eat(':')) return false;
            skip_space();
            value v;
            if (!read_value(v)) return false;
            entries.emplace_back(std::move(key), std::move(v));
            skip_space();
            if (eat(',')) continue;
            skip_space();
            if (!eat('}')) return false;
            break;
        }
        skip_space();
        return at_ == s_.size();
    }

private:
    void skip_space() {
        while (at_ < s_.size() &&
               (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    bool eat(char c) {
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }
    bool string(std::string& out) {
        if (at_ >= s_.size() || (s_[at_] != '\'' && s_[at_] != '"')) return false;
        const char quote = s_[at_++];
        const std::size_t end = s_.find(quote, at_);
        if (end == std::string_view::npos) return false;
        out.assign(s_.substr(at_, end - at_));
        at_ = end + 1;
        // Escapes stand in no name or dtype NumPy writes: refused, not interpreted.
        return out.find('\\') == std::string::npos;
    }
    bool integer(std::uint64_t& out) {
        const std::size_t from = at_;
        out = 0;
        while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') {
            const auto digit = static_cast<std::uint64_t>(s_[at_] - '0');
            if (out > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            out = out * 10 + digit;
            ++at_;
        }
        if (at_ == from) return false;
        eat('L');  // Python 2's long, in headers NumPy wrote there
        return true;
    }
    bool read_value(value& v) {
        if (at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == '\'' || c == '"') {
            v.t = type::string;
            return string(v.text);
        }
        if (word("True")) {
            v.t = type::boolean;
            v.flag = true;
            return true;
        }
        if (word("False")) {
            v.t = type::boolean;
            return true;
        }
        if (c == '[') {
            v.t = type::list;  // not looked into
            return skip_nested();
        }
        if (c != '(') return false;
        ++at_;
        v.t = type::tuple;
        bool comma = false;
        for (;;) {
            skip_space();
            if (eat(')')) break;
            std::uint64_t n;
            if (!integer(n)) return false;
            v.ints.push_back(n);
            skip_space();
            comma = eat(',');
            if (comma) continue;
            skip_space();
            if (!eat(')')) return false;
            break;
        }
        // (3) is the number 3, not a shape: a 1-tuple needs its comma.
        return v.ints.size() != 1 || comma;
    }
    bool skip_nested() {
        int depth = 0;
        while (at_ < s_.size()) {
            const char c = s_[at_];
            if (c == '\'' || c == '"') {
                std::string ignored;
                if (!string(ignored)) return false;
                continue;
            }
            ++at_;
            if (c == '[' || c == '(') ++depth;
            if ((c == ']' || c == ')') && --depth == 0) return true;
        }
        return false;
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

std::string shape_text(const std::vector<std::uint64_t>& shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) s += ", ";
        s += std::to_string(shape[i]);
    }
    if (shape.size() == 1) s += ",";
    return s + ")";
}

// The element type of a descr string such as '<f8', or why it is none that lagstat reads.
bool read_descr(const std::string& d, npy_layout& out, std::string& why) {
    std::size_t at = 0;
    char order = '=';
    if (!d.empty() && (d[0] == '<' || d[0] == '>' || d[0] == '|' || d[0] == '=')) order = d[at++];
    const char code = at < d.size() ? d[at++] : '\0';
    unsigned size = 0;
    bool digits = at < d.size();
    for (; at < d.size(); ++at) {
        if (d[at] < '0' || d[at] > '9' || size > 1000) {
            digits = false;
            break;
        }
        size = size * 10 + static_cast<unsigned>(d[at] - '0');
    }
    if (code == 'O') {
        why = "an object dtype ('" + d + "'), which holds Python objects, not numbers";
        return false;
    }
    if (code == 'c') {
        why = "a complex dtype ('" + d + "')";
        return false;
    }
    if (code == 'V') {
        why = "a structured or void dtype ('" + d + "'), not one number per element";
        return false;
    }
    const bool ok_size =
        digits &&
        ((code == 'f' && (size == 4 || size == 8)) ||
         ((code == 'i' || code == 'u') && (size == 1 || size == 2 || size == 4 || size == 8)));
    if (!ok_size) {
        why = "dtype '" + d + "' is none of float64, float32 or an integer type";
        return false;
    }
    out.kind = code == 'f'   ? npy_kind::floating
               : code == 'i' ? npy_kind::signed_int
                             : npy_kind::unsigned_int;
    out.item_bytes = size;
    out.swap = size > 1 && ((order == '<' && !little_endian_machine) ||
                            (order == '>' && little_endian_machine));
    return true;
}

}  // namespace

bool could_be_npy(const char* p, std::size_t n) noexcept {
    return std::memcmp(p, npy_magic, n < npy_magic_size ? n : npy_magic_size) == 0;
}

bool is_npy(const char* p, std::size_t n) noexcept {
    return n >= npy_magic_size && std::memcmp(p, npy_magic, npy_magic_size) == 0;
}

npy_header_result parse_npy_header(const char* p, std::size_t n, npy_layout& out) {
    npy_header_result need;
    if (n < 8) {
        need.need = 8;
        return need;
    }
    const auto major = static_cast<unsigned char>(p[6]), minor = static_cast<unsigned char>(p[7]);
    if ((major != 1 && major != 2 && major != 3) || minor != 0)
        return bad("format version " + std::to_string(major) + "." + std::to_string(minor) +
                   ", not 1.0, 2.0 or 3.0");
    const std::size_t fixed = major == 1 ? 10 : 12;
    if (n < fixed) {
        need.need = fixed;
        return need;
    }
    const std::uint64_t header_bytes = major == 1 ? little_u16(p + 8) : little_u32(p + 8);
    if (header_bytes > max_npy_header_bytes)
        return bad("a header of " + std::to_string(header_bytes) +
                   " bytes, over the 1 MiB held while it is read");
    if (n < fixed + header_bytes) {
        need.need = fixed + static_cast<std::size_t>(header_bytes);
        return need;
    }
    // Version 3.0 differs from 2.0 only in that the header may be UTF-8, which the keys and
    // values read here never are.
    literal_reader reader(std::string_view(p + fixed, static_cast<std::size_t>(header_bytes)));
    std::vector<std::pair<std::string, literal_reader::value>> entries;
    if (!reader.dict(entries)) return bad("its header is not a NumPy header dictionary");
    const literal_reader::value *descr = nullptr, *fortran = nullptr, *shape = nullptr;
    for (const auto& [key, v] : entries) {
        const literal_reader::value** slot = key == "descr"           ? &descr
                                             : key == "fortran_order" ? &fortran
                                             : key == "shape"         ? &shape
                                                                      : nullptr;
        if (slot == nullptr || *slot != nullptr)
            return bad("its header has keys other than 'descr', 'fortran_order' and 'shape'");
        *slot = &v;
    }
    if (descr == nullptr || fortran == nullptr || shape == nullptr)
        return bad("its header lacks one of 'descr', 'fortran_order' and 'shape'");
    if (descr->t == literal_reader::type::list)
        return bad("a structured dtype (named fields), not one number per element");
    if (descr->t != literal_reader::type::string || fortran->t != literal_reader::type::boolean ||
        shape->t != literal_reader::type::tuple)
        return bad("its header's 'descr', 'fortran_order' or 'shape' is not of NumPy's types");
    npy_layout layout;
    std::string why;
    if (!read_descr(descr->text, layout, why)) return bad(why);
    const std::vector<std::uint64_t>& dims = shape->ints;
    if (dims.empty() || dims.size() > 2)
        return bad("a " + std::to_string(dims.size()) + "-d array, shape " + shape_text(dims) +
                   ": frames are the rows of a 1-d or 2-d array");
    layout.fortran = fortran->flag;
    layout.rank = static_cast<int>(dims.size());
    layout.rows = dims[0];
    layout.columns = dims.size() == 2 ? dims[1] : 1;
    // The data's bytes must fit a file offset, and a frame's values an int (as text's fields).
    constexpr std::uint64_t most = std::numeric_limits<std::int64_t>::max();
    if (layout.columns > static_cast<std::uint64_t>(std::numeric_limits<int>::max()) ||
        (layout.columns != 0 && layout.rows > most / layout.columns / layout.item_bytes))
        return bad("shape " + shape_text(dims) + " is larger than a file can hold");
    layout.data_offset = fixed + header_bytes;
    out = layout;
    npy_header_result ok;
    ok.what = npy_header_result::status::ok;
    return ok;
}

}  // namespace lagstat::binary
