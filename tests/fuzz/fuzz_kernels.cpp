// Fuzz target: the moment accumulator (frames gathered into blocks for the block kernels of every
// instruction set this CPU runs) and every projection path against naive per-frame loops, bit for
// bit, accumulators and untouched elements alike.
//
// Input: parameter bytes, then the values.
//   byte 0: n = 1..24 (covers every vector tail and tile edge of the widest kernels);
//   byte 1: lag = 1..12;
//   byte 2: block = 1..20 frames;
//   byte 3: flags: bit 0 add the frames to mean (else centre them by it), bit 1 var, bit 2 cov,
//           bit 3 tcov, bit 4 values as raw 8-byte doubles (else one byte each, k/4 - 32);
//   byte 4: max_proj = 1..n for the projection.
// Then the starting accumulators (mean, var, cov, tcov, pair count) and the frames, each frame
// preceded by one byte whose bit 0 asks for a flush after it, an extra block split.
// The first frame and the n frames after it are also a projection x and weight matrix W.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness/exact_text.hpp"
#include "projection/project.hpp"
#include "reference/reference_kernels.hpp"
#include "stats/kernel_dispatch.hpp"
#include "stats/moments.hpp"
#include "support/frame_store.hpp"

namespace {

namespace ref = lagstat::reference;
using lagstat::harness::frame_store;
using lagstat::stats::moment_targets;

class byte_reader {
public:
    byte_reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ == size_; }
    std::size_t left() const { return size_ - pos_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    double value(bool raw) {
        if (!raw) return byte() / 4.0 - 32.0;
        double v = 0.0;
        std::uint8_t bits[8] = {};
        for (auto& b : bits) b = byte();
        std::memcpy(&v, bits, sizeof v);
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Bit for bit, except that any NaN equals any NaN: which operand's payload an operation passes
// on is not something the arithmetic defines, and the text reader cannot make payloads anyway.
bool same(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void expect_same(const char* what, const char* isa, const std::vector<double>& got,
                 const std::vector<double>& want) {
    bool equal = got.size() == want.size();
    for (std::size_t i = 0; equal && i < got.size(); ++i) equal = same(got[i], want[i]);
    if (equal) return;
    for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) {
        if (!same(got[i], want[i])) {
            std::fprintf(stderr, "%s (%s) differs at %zu: got %a, naive loop %a\n", what, isa, i,
                         got[i], want[i]);
            break;
        }
    }
    std::abort();
}

struct sums {
    std::vector<double> mean, var, cov, tcov, pairs;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    byte_reader in(data, size);
    const std::size_t n = 1 + in.byte() % 24;
    const std::size_t lag = 1 + in.byte() % 12;
    const std::size_t block = 1 + in.byte() % 20;
    const std::uint8_t flags = in.byte();
    const std::size_t max_proj = 1 + in.byte() % n;
    const bool add_mean = flags & 1, var_on = flags & 2, cov_on = flags & 4, tcov_on = flags & 8;
    const bool raw = flags & 16;

    sums start;
    lagstat::harness::differences formatted;
    auto fill = [&](std::vector<double>& v, std::size_t count) {
        v.resize(count);
        std::vector<double> near_ties;
        for (auto& x : v) {
            x = in.value(raw);
            lagstat::harness::check_format(x, formatted);
            // The same bits brought below 10^4 and moved by half a unit of the sixth decimal:
            // the short path's digits, at the values whose rounding is closest to a tie.
            near_ties.push_back(std::fmod(x, 1e4) + std::copysign(0.5e-6, x));
            lagstat::harness::check_format(near_ties.back(), formatted);
        }
        // Both as lines of max_proj values, as stream writes them (eight at a time on AVX-512).
        lagstat::harness::check_format_lines(v, max_proj, formatted);
        lagstat::harness::check_format_lines(near_ties, max_proj, formatted);
        if (formatted.count != 0) {
            std::fprintf(stderr, "%s\n", formatted.first[0].c_str());
            std::abort();
        }
    };
    fill(start.mean, n);
    fill(start.var, n);
    fill(start.cov, n * n);
    fill(start.tcov, n * n);
    start.pairs = {static_cast<double>(in.byte())};

    std::vector<std::vector<double>> frames;
    std::vector<bool> flush_after;
    const std::size_t frame_bytes = 1 + n * (raw ? 8 : 1);
    while (in.left() >= frame_bytes) {
        flush_after.push_back(in.byte() & 1);
        frames.emplace_back();
        fill(frames.back(), n);
    }

    // The naive loops, one frame at a time.
    sums want = start;
    {
        std::vector<double> ring(n * lag, 0.0);
        std::vector<double> x(n);
        for (std::size_t t = 0; t < frames.size(); ++t) {
            x = frames[t];
            if (add_mean) {
                ref::add_sum(x.data(), want.mean.data(), n);
            } else {
                for (std::size_t i = 0; i < n; ++i) x[i] = x[i] - want.mean[i];
            }
            if (var_on) ref::add_squares(x.data(), want.var.data(), n);
            if (cov_on) ref::add_outer_upper(x.data(), want.cov.data(), n);
            if (tcov_on)
                ref::add_lagged_outer(x.data(), want.tcov.data(), want.pairs.data(), n, t,
                                      ring.data(), lag);
        }
    }

    const lagstat::cpu::isa saved = lagstat::cpu::active_isa();
    for (lagstat::cpu::isa set : lagstat::cpu::all_isas) {
        if (!lagstat::cpu::select_isa(set)) continue;
        const char* isa = lagstat::cpu::isa_name(set);
        sums got = start;
        moment_targets targets;
        targets.mean = got.mean.data();
        targets.add_mean = add_mean;
        if (var_on) targets.var = got.var.data();
        if (cov_on) targets.cov = got.cov.data();
        if (tcov_on) {
            targets.tcov = got.tcov.data();
            targets.tcov_pairs = got.pairs.data();
            targets.lag = lag;
        }
        frame_store acc(n, targets, block);
        for (std::size_t t = 0; t < frames.size(); ++t) {
            std::memcpy(acc.next_frame(), frames[t].data(), n * sizeof(double));
            acc.commit_frame();
            if (flush_after[t]) acc.flush();
        }
        acc.flush();
        if (acc.frames() != frames.size()) std::abort();
        expect_same("mean", isa, got.mean, want.mean);
        expect_same("var", isa, got.var, want.var);
        expect_same("cov", isa, got.cov, want.cov);
        expect_same("tcov", isa, got.tcov, want.tcov);
        expect_same("tcov pairs", isa, got.pairs, want.pairs);
    }
    lagstat::cpu::select_isa(saved);

    // Projection of the first frame on the weight matrix made of the next n frames.
    if (frames.size() >= n + 1) {
        const std::vector<double>& x = frames[0];
        std::vector<double> w(n * n);
        for (std::size_t k = 0; k < n; ++k)
            std::memcpy(&w[k * n], frames[k + 1].data(), n * sizeof(double));
        std::vector<double> want_y(max_proj);
        for (std::size_t i = 0; i < max_proj; ++i) {
            double y = 0.0;
            for (std::size_t k = 0; k < n; ++k) y = y + x[k] * w[k * n + i];
            want_y[i] = y;
        }
        for (lagstat::cpu::isa set : lagstat::cpu::all_isas) {
            if (!lagstat::cpu::isa_supported(set)) continue;
            // One guard element past max_proj: nothing beyond the requested columns is written.
            std::vector<double> y(max_proj + 1, 12345.0);
            lagstat::projection::detail::project_for(set)(x.data(), w.data(), n, max_proj,
                                                          y.data());
            if (y[max_proj] != 12345.0) std::abort();
            y.pop_back();
            expect_same("projection", lagstat::cpu::isa_name(set), y, want_y);
        }
    }
    return 0;
}
