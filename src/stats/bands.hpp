// What the accumulators share to lay out their threads' work: cache-line aligned buffers and
// the split of rows or columns into bands of about equal cost.
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
