// A .npy element read literally, byte by byte, as NumPy's dtype strings define it: the oracle the
// pass tests and the .npy fuzzer hold the decoder to.
#pragma once

#include <cstdint>
#include <cstring>

namespace lagstat::reference {

/// The element's bits as an unsigned integer of `size` bytes, stored big- or little-endian.
inline std::uint64_t npy_element_bits(unsigned size, bool big_endian, const unsigned char* p) {
    std::uint64_t bits = 0;
    for (unsigned b = 0; b < size; ++b) bits = bits << 8 | p[big_endian ? b : size - 1 - b];
    return bits;
}

/// The integer an 'i' element of `size` bytes holds (sign-extended from its top bit).
inline std::int64_t npy_signed(std::uint64_t bits, unsigned size) {
    const unsigned shift = 64 - 8 * size;
    return static_cast<std::int64_t>(bits << shift) >> shift;
}

/// The value of an element of kind 'f' (4 or 8 bytes), 'i' or 'u'.
inline double npy_element(char kind, unsigned size, bool big_endian, const unsigned char* p) {
    const std::uint64_t bits = npy_element_bits(size, big_endian, p);
    if (kind == 'f') {
        if (size == 8) {
            double v;
            std::memcpy(&v, &bits, 8);
            return v;
        }
        const auto b32 = static_cast<std::uint32_t>(bits);
        float v;
        std::memcpy(&v, &b32, 4);
        return double(v);
    }
    if (kind == 'u') return double(bits);
    return double(npy_signed(bits, size));
}

}  // namespace lagstat::reference
