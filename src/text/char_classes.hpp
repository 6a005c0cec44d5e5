// What each byte is to the tabulated format: the table the line scan steps through, and the one
// text options start from before they mark their comment characters.
#pragma once

#include <array>

namespace lagstat::text::detail {

enum char_class : unsigned char {
    number_char,  // 0-9 . + - e E
    space_char,   // ' ' \t \v \f \r (the C locale's whitespace but '\n')
    comma_char,
    newline_char,
    comment_char,  // only in the tables of options with comment characters
    other_char,
};

using class_table = std::array<unsigned char, 256>;

constexpr class_table make_default_classes() {
    class_table classes{};
    for (auto& c : classes) c = other_char;
    for (int c = '0'; c <= '9'; ++c) classes[c] = number_char;
    for (unsigned char c : {'.', '+', '-', 'e', 'E'}) classes[c] = number_char;
    for (unsigned char c : {' ', '\t', '\v', '\f', '\r'}) classes[c] = space_char;
    classes[','] = comma_char;
    classes['\n'] = newline_char;
    return classes;
}

inline constexpr class_table default_classes = make_default_classes();
static_assert(default_classes[0] == other_char, "the sentinel must stop every scan loop");

}  // namespace lagstat::text::detail
