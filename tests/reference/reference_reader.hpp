// The record reader written literally: a character state machine over a stdio stream.
// It is the oracle that the fast reader is checked against, and the baseline it is timed against.
#pragma once

#include <cstdio>

namespace lagstat::reference {

/// Reads one line of stream with getc/ungetc and converts its fields with atof. capacity <= 0
/// counts the fields without storing them. Returns the field count, 0 at the end of the data
/// (an empty or blank line, or the end of the file) or -1 (a malformed line, a field of more than
/// 256 characters, more fields than capacity, or a stream error). Whitespace and the decimal
/// point are those of the current locale: call it under the C locale.
int read_record(std::FILE* stream, double* out, int capacity);

}  // namespace lagstat::reference
