// The values of a .npy file's data as doubles: rows of raw bytes (or one column's run of them)
// decoded into frames, in the elements' own type and byte order.
#pragma once

#include <cstddef>

#include "binary/npy_header.hpp"

namespace lagstat::binary {

/// Decodes `count` rows of C-order data at raw (layout.row_bytes() apart): value j of frame k,
/// out[k * stride + j], is the row's element pick[j] (j < width). Every element converts exactly
/// (float32 and integers up to 2^53 in magnitude; larger integers round to the nearest double,
/// as the text of their digits reads), so the same numbers as text give the same doubles.
void decode_rows(const npy_layout& layout, const char* raw, std::size_t count, const int* pick,
                 std::size_t width, double* out, std::size_t stride) noexcept;

/// Decodes `count` consecutive elements of one column (Fortran order) into out[k * stride].
void decode_column(const npy_layout& layout, const char* raw, std::size_t count, double* out,
                   std::size_t stride) noexcept;

}  // namespace lagstat::binary
