// Literal per-frame accumulation kernels: one frame at a time, rows outer, columns inner, every
// product rounded to double and added into its accumulator at once. The oracle the tuned kernels
// and the moment accumulator are compared against, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lagstat::reference {

inline void add_sum(const double* x, double* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) s[i] = s[i] + x[i];
}

inline void add_squares(const double* x, double* q, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) q[i] = q[i] + x[i] * x[i];
}

inline void add_outer_upper(const double* x, double* c, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) c[i * n + j] = c[i * n + j] + x[i] * x[j];
    }
}

/// t is the frame's index within the pass; ring holds lag slots of n doubles, all 0.0 at the
/// start of the pass, slot t % lag holding frame t - lag until frame t replaces it.
inline void add_lagged_outer(const double* x, double* tc, double* pairs, std::size_t n,
                             std::uint64_t t, double* ring, std::size_t lag) {
    double* slot = ring + static_cast<std::size_t>(t % lag) * n;
    if (t >= lag) {
        *pairs = *pairs + 1.0;
        const double* y = slot;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) tc[i * n + j] = tc[i * n + j] + y[i] * x[j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) slot[i] = x[i];
}

inline void mirror_upper(double* c, std::size_t n) {
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) c[j * n + i] = c[i * n + j];
    }
}

}  // namespace lagstat::reference
