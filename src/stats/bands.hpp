// What the accumulators share to lay out their threads' work: cache-line aligned buffers and
// the split of rows or columns into bands of about equal cost; and the two-sum with which the
// compensated ones fold their blocks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace lagstat::stats::detail {

constexpr std::size_t line_doubles = 64 / sizeof(double);

/// a * b doubles' worth of elements, or std::bad_alloc where the bytes would overflow size_t.
inline std::size_t checked_product(std::size_t a, std::size_t b) {
    if (b != 0 && a > std::numeric_limits<std::size_t>::max() / sizeof(double) / b)
        throw std::bad_alloc();
    return a * b;
}

/// Knuth's two-sum of hi and b, its error added into lo; the caller keeps or discards the new
/// pair. Written out operation by operation: the build forbids contraction and reassociation.
inline void two_sum(double hi, double lo, double b, double& s, double& lo_out) noexcept {
    s = hi + b;
    const double bb = s - hi;
    const double err = (hi - (s - bb)) + (b - bb);
    lo_out = lo + err;
}

/// An uninitialised buffer of `doubles` plus slack; base is its first cache-line aligned double.
/// Throws std::bad_alloc.
inline std::unique_ptr<double[]> aligned_buffer(std::size_t doubles, double*& base) {
    if (doubles > std::numeric_limits<std::size_t>::max() / sizeof(double) - line_doubles)
        throw std::bad_alloc();
    std::unique_ptr<double[]> buffer(new (std::nothrow) double[doubles + line_doubles]);
    if (!buffer) throw std::bad_alloc();
    const std::size_t misalign =
        (reinterpret_cast<std::uintptr_t>(buffer.get()) % 64) / sizeof(double);
    base = buffer.get() + (misalign == 0 ? 0 : line_doubles - misalign);
    return buffer;
}

/// Splits [0, n) into `parts` bands, as equal in work as whole steps allow, where row i costs
/// cost(i); band boundaries fall on multiples of step (or n). bounds gets parts + 1 entries.
template <class Cost>
void balanced_bands(std::size_t n, std::size_t parts, std::size_t step, Cost cost,
                    std::vector<std::size_t>& bounds) {
    bounds.assign(parts + 1, n);
    bounds[0] = 0;
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += cost(i);
    double done = 0.0;
    std::size_t p = 1, i = 0;
    while (p < parts && i < n) {
        const std::size_t stop = std::min(n, i + step);
        for (; i < stop; ++i) done += cost(i);
        if (done >= total * static_cast<double>(p) / static_cast<double>(parts)) bounds[p++] = i;
    }
}

}  // namespace lagstat::stats::detail
