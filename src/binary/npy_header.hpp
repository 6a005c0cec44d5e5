// The header of a NumPy .npy file (format versions 1.0, 2.0 and 3.0): what its data are, read
// from the magic bytes, the version, the header's length and its dictionary literal. Plain
// C++ with no Python: the literal is parsed here, never evaluated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lagstat::binary {

/// The six bytes every .npy file starts with. 0x93 is no byte of text, so no text file that
/// lagstat reads starts with them.
constexpr char npy_magic[] = "\x93NUMPY";
constexpr std::size_t npy_magic_size = 6;

/// Whether the n bytes at p begin a .npy file: the magic, or (n < 6) its start.
bool could_be_npy(const char* p, std::size_t n) noexcept;
bool is_npy(const char* p, std::size_t n) noexcept;

enum class npy_kind : unsigned char { floating, signed_int, unsigned_int };

/// What the header says of the data after it.
struct npy_layout {
    npy_kind kind = npy_kind::floating;
    unsigned item_bytes = 8;        // 4 or 8 for floats; 1, 2, 4 or 8 for integers
    bool swap = false;              // stored in the other byte order than this machine's
    bool fortran = false;           // column after column (as the header says)
    int rank = 2;                   // 1 or 2
    std::uint64_t rows = 0;         // frames: the first dimension
    std::uint64_t columns = 0;      // the second dimension, 1 for a 1-d array
    std::uint64_t data_offset = 0;  // bytes before the data: magic, version, length, header

    std::uint64_t row_bytes() const noexcept { return columns * item_bytes; }
    std::uint64_t data_bytes() const noexcept { return rows * row_bytes(); }
    /// Stored by columns with more than one of each, so that a row is not contiguous.
    bool by_columns() const noexcept { return fortran && rows > 1 && columns > 1; }
    /// float64 in this machine's byte order: the bytes are the doubles.
    bool native_double() const noexcept {
        return kind == npy_kind::floating && item_bytes == 8 && !swap;
    }
};

/// Most header bytes (after the length field) held while it is parsed.
constexpr std::size_t max_npy_header_bytes = std::size_t{1} << 20;

struct npy_header_result {
    enum class status : unsigned char { ok, need_more, bad } what = status::need_more;
    /// need_more: bytes from the file's start the header takes (0: not known yet, at least the
    /// fixed part). bad: why, as a phrase for "not a readable .npy file: <why>".
    std::size_t need = 0;
    std::string why;
};

/// Parses the header from the first n bytes of a file that is_npy. On ok, out holds the layout.
npy_header_result parse_npy_header(const char* p, std::size_t n, npy_layout& out);

}  // namespace lagstat::binary
