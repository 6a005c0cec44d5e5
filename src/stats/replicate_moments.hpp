// The pair moments of bootstrap replicates: each replicate's sums are those of the groups it
// drew, added in the order drawn, and its C00 and C0t are those sums moved to their pair mean
// in double-doubles and rounded once, the operations lagstat_tica's estimator makes in NumPy,
// one by one in the same order, so that every replicate gets the bits of a refit of its sums.
// C0t is given symmetrised, (C0t + C0tᵀ) / 2 as NumPy rounds it, which is all the reversible
// eigenproblem reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lagstat::stats {

/// One lag's sums of every group, as a scan folds the read into groups: pointers to each
/// group's contiguous arrays (all about the same shift).
struct replicate_groups {
    std::size_t n = 0;
    std::vector<const double*> total, tail_sum, head_sum;      ///< n values each
    std::vector<const double*> cov, tcov, tail_cov, head_cov;  ///< n x n each, rows first
    std::size_t size() const noexcept { return total.size(); }
};

/// The replicates of one call: draws[r * per_replicate + k] is the k-th group replicate r drew
/// (each < groups.size()), pairs[r] its pair count (> 0), and c00, c0t the (replicates, n, n)
/// outputs (c0t symmetrised).
struct replicate_batch {
    const std::int64_t* draws = nullptr;
    std::size_t per_replicate = 0;
    std::size_t replicates = 0;
    const double* pairs = nullptr;
    double* c00 = nullptr;
    double* c0t = nullptr;
};

/// Workspace of a batch: the centring vectors of every replicate, where each draw's piece lies
/// in a staged row, and for each of `threads` threads a buffer where the rows' step stages every
/// group's piece of a row.
class replicate_workspace {
public:
    /// Throws std::bad_alloc.
    replicate_workspace(const replicate_groups& g, const replicate_batch& b, std::size_t threads);
    double* vectors(std::size_t r) noexcept { return data_.data() + r * 4 * n_; }
    const double* vectors(std::size_t r) const noexcept { return data_.data() + r * 4 * n_; }
    const std::size_t* offsets(std::size_t r) const noexcept {
        return offsets_.data() + r * picks_;
    }
    double* stage(std::size_t thread) noexcept;
    std::size_t threads() const noexcept { return threads_; }

private:
    std::size_t n_, picks_, threads_;
    std::vector<double> data_, stage_;
    std::vector<std::size_t> offsets_;
};

/// The three steps of a batch. Each writes only its own replicates or rows, so threads may run
/// disjoint ranges of a step side by side; a step starts once the one before has ended.
/// 1. The centring vectors of replicates [first, last): their drawn vector sums moved to the
///    pair mean.
void replicate_vectors(const replicate_groups& g, const replicate_batch& b, std::size_t first,
                       std::size_t last, replicate_workspace& w);
/// 2. Rows [first, last) of every replicate: C00 in full, and the drawn lagged sums in c0t;
///    `thread` (< w.threads()) names the staging buffer it may use.
void replicate_rows(const replicate_groups& g, const replicate_batch& b, std::size_t first,
                    std::size_t last, std::size_t thread, replicate_workspace& w);
/// 3. (C0t + C0tᵀ) / 2 of replicates [first, last) from their drawn lagged sums, in place.
void replicate_lagged(const replicate_groups& g, const replicate_batch& b, std::size_t first,
                      std::size_t last, const replicate_workspace& w);

}  // namespace lagstat::stats

namespace lagstat::stats {

/// Whether a - shift I (n x n, rows first, its lower triangle read) has a Cholesky factor: every
/// pivot of the factorisation positive and finite. work: n * n doubles. The dot products are
/// summed in eight fixed lanes folded in a fixed order, so every build gives the same answer.
bool cholesky_exists(const double* a, std::size_t n, double shift, double* work) noexcept;

}  // namespace lagstat::stats
