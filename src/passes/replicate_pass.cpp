// Bootstrap replicates' pair moments on a team of threads (replicate_pass.hpp).
#include "passes/replicate_pass.hpp"

#include "passes/thread_team.hpp"

#include <algorithm>
#include <memory>

namespace lagstat::passes {

void replicate_moments(const stats::replicate_groups& groups, const stats::replicate_batch& batch,
                       std::size_t threads) {
    threads = std::max<std::size_t>(1, std::min(threads, groups.n));
    stats::replicate_workspace work(groups, batch, threads);
    auto share = [threads](std::size_t total, std::size_t t) { return total * t / threads; };
    auto steps = [&](std::size_t t) {
        // no step throws or allocates: the workspace holds every buffer
        stats::replicate_vectors(groups, batch, share(batch.replicates, t),
                                 share(batch.replicates, t + 1), work);
    };
    if (threads == 1) {
        stats::replicate_vectors(groups, batch, 0, batch.replicates, work);
        stats::replicate_rows(groups, batch, 0, groups.n, 0, work);
        stats::replicate_lagged(groups, batch, 0, batch.replicates, work);
        return;
    }
    thread_team team(threads);
    team.run(steps);
    team.run([&](std::size_t t) {
        stats::replicate_rows(groups, batch, share(groups.n, t), share(groups.n, t + 1), t, work);
    });
    team.run([&](std::size_t t) {
        stats::replicate_lagged(groups, batch, share(batch.replicates, t),
                                share(batch.replicates, t + 1), work);
    });
}

}  // namespace lagstat::passes
