#include "binary/npy_decode.hpp"

#include <cstdint>
#include <cstring>

namespace lagstat::binary {

namespace {

template <class T>
T byte_swapped(T v) noexcept {
    if constexpr (sizeof(T) == 1) {
        return v;
    } else {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
            const unsigned char t = b[i];
            b[i] = b[sizeof(T) - 1 - i];
            b[sizeof(T) - 1 - i] = t;
        }
        std::memcpy(&v, b, sizeof(T));
        return v;
    }
}

// The stored element at p (unaligned: a header's length need not keep the data aligned).
template <class T, bool Swap>
double load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    if constexpr (Swap) v = byte_swapped(v);
    return static_cast<double>(v);
}

template <class T, bool Swap>
void rows_of(const char* raw, std::size_t count, std::size_t row_bytes, const int* pick,
             std::size_t width, double* out, std::size_t stride) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        const char* row = raw + k * row_bytes;
        double* frame = out + k * stride;
        if (pick == nullptr) {
            for (std::size_t j = 0; j < width; ++j) frame[j] = load<T, Swap>(row + j * sizeof(T));
        } else {
            for (std::size_t j = 0; j < width; ++j)
                frame[j] = load<T, Swap>(row + static_cast<std::size_t>(pick[j]) * sizeof(T));
        }
    }
}

template <class T, bool Swap>
void column_of(const char* raw, std::size_t count, double* out, std::size_t stride) noexcept {
    for (std::size_t k = 0; k < count; ++k) out[k * stride] = load<T, Swap>(raw + k * sizeof(T));
}

// Calls f.template operator()<T, Swap>() for the layout's element type.
template <class F>
void with_type(const npy_layout& l, F&& f) noexcept {
    const bool s = l.swap;
    switch (l.kind) {
        case npy_kind::floating:
            if (l.item_bytes == 4) {
                s ? f.template operator()<float, true>() : f.template operator()<float, false>();
            } else {
                s ? f.template operator()<double, true>() : f.template operator()<double, false>();
            }
            return;
        case npy_kind::signed_int:
            switch (l.item_bytes) {
                case 1:
                    return f.template operator()<std::int8_t, false>();
                case 2:
                    return s ? f.template operator()<std::int16_t, true>()
                             : f.template operator()<std::int16_t, false>();
                case 4:
                    return s ? f.template operator()<std::int32_t, true>()
                             : f.template operator()<std::int32_t, false>();
                default:
                    return s ? f.template operator()<std::int64_t, true>()
                             : f.template operator()<std::int64_t, false>();
            }
        case npy_kind::unsigned_int:
            switch (l.item_bytes) {
                case 1:
                    return f.template operator()<std::uint8_t, false>();
                case 2:
                    return s ? f.template operator()<std::uint16_t, true>()
                             : f.template operator()<std::uint16_t, false>();
                case 4:
                    return s ? f.template operator()<std::uint32_t, true>()
                             : f.template operator()<std::uint32_t, false>();
                default:
                    return s ? f.template operator()<std::uint64_t, true>()
                             : f.template operator()<std::uint64_t, false>();
            }
    }
}

// The loops' arguments, handed to the loop of the layout's element type (member templates
// cannot be local classes).
struct rows_call {
    const char* raw;
    std::size_t count, row_bytes;
    const int* pick;
    std::size_t width;
    double* out;
    std::size_t stride;
    template <class T, bool Swap>
    void operator()() const noexcept {
        rows_of<T, Swap>(raw, count, row_bytes, pick, width, out, stride);
    }
};

struct column_call {
    const char* raw;
    std::size_t count;
    double* out;
    std::size_t stride;
    template <class T, bool Swap>
    void operator()() const noexcept {
        column_of<T, Swap>(raw, count, out, stride);
    }
};

}  // namespace

void decode_rows(const npy_layout& layout, const char* raw, std::size_t count, const int* pick,
                 std::size_t width, double* out, std::size_t stride) noexcept {
    with_type(layout, rows_call{raw, count, static_cast<std::size_t>(layout.row_bytes()), pick,
                                width, out, stride});
}

void decode_column(const npy_layout& layout, const char* raw, std::size_t count, double* out,
                   std::size_t stride) noexcept {
    with_type(layout, column_call{raw, count, out, stride});
}

}  // namespace lagstat::binary
