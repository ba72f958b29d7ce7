#include "kernels/cross_section.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/parallel.hpp"

namespace tarnfold::kern {

namespace {

constexpr index_t kBlock = 32;

// Copies rows [r0, r1) into a row-major buffer.  Reading a block of rows
// column by column keeps a column-major source in cache.
void load_rows(const ConstView &in, index_t r0, index_t r1, std::vector<double> &buf) {
    const index_t n = in.cols;
    buf.resize(static_cast<std::size_t>((r1 - r0) * n));
    for (index_t j = 0; j < n; ++j)
        for (index_t i = r0; i < r1; ++i) buf[(i - r0) * n + j] = in(i, j);
}

void store_rows(const MutView &out, index_t r0, index_t r1, const std::vector<double> &buf) {
    const index_t n = out.cols;
    for (index_t j = 0; j < n; ++j)
        for (index_t i = r0; i < r1; ++i) out(i, j) = buf[(i - r0) * n + j];
}

// Mean and sample variance the way the data-frame library computes them:
// NaN skipped, sum then divide, squared deviations from that mean.
void mean_sd(const double *x, index_t n, double &mean, double &sd) {
    index_t count = 0;
    double sum = 0.0;
    double first = kNaN;
    bool constant = true;
    for (index_t j = 0; j < n; ++j) {
        const double v = x[j];
        if (std::isnan(v)) continue;
        if (count == 0) first = v;
        else if (v != first) constant = false;
        sum += v;
        ++count;
    }
    if (count == 0) {
        mean = kNaN;
        sd = kNaN;
        return;
    }
    // A row of one repeated value has that value as its exact mean; the
    // summed form can be off by an ulp and would turn 0/0 into noise.
    mean = (constant && std::isfinite(first)) ? first : sum / count;
    if (count < 2) {
        sd = kNaN;
        return;
    }
    double ss = 0.0;
    for (index_t j = 0; j < n; ++j) {
        const double v = x[j];
        if (std::isnan(v)) continue;
        const double d = mean - v;
        ss += d * d;
    }
    sd = std::sqrt(ss / static_cast<double>(count - 1));
}

double clip_value(double v, double lo, double hi) {
    if (std::isnan(v)) return v;
    if (!std::isnan(hi) && v > hi) v = hi;
    if (!std::isnan(lo) && v < lo) v = lo;
    return v;
}

}  // namespace

namespace {

// The order statistics k-1 and k (0-based; k-1 only when `lower` is set) of
// n non-NaN values, by sampling: a small sorted sample brackets rank k, one
// branch-free pass counts the values below the bracket and copies those
// inside it, and only that narrow band is partially sorted.  When the
// bracket misses (unlucky sample, heavy ties at its edge) the whole input is
// selected instead, so the answer is always exact.
void select_pair(const double *x, std::size_t n, std::size_t k, bool lower,
                 std::vector<double> &band, double &kth, double &before) {
    constexpr std::size_t kSample = 128;
    constexpr std::size_t kMargin = 12;
    if (n > 4 * kSample) {
        double sample[kSample];
        for (std::size_t i = 0; i < kSample; ++i)
            sample[i] = x[(i * n) / kSample + n / (2 * kSample)];
        std::sort(sample, sample + kSample);
        const std::size_t centre = (k * kSample) / n;
        const double lo = sample[centre > kMargin ? centre - kMargin : 0];
        const double hi = sample[std::min(kSample - 1, centre + kMargin)];
        band.resize(n);
        std::size_t below = 0, inside = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = x[i];
            below += v < lo;
            band[inside] = v;
            inside += (v >= lo) & (v <= hi);
        }
        const std::size_t first = lower ? k - 1 : k;
        if (below <= first && k < below + inside) {
            auto begin = band.begin();
            auto end = band.begin() + static_cast<std::ptrdiff_t>(inside);
            auto at = begin + static_cast<std::ptrdiff_t>(k - below);
            std::nth_element(begin, at, end);
            kth = *at;
            if (lower) before = (at == begin) ? kth : *std::max_element(begin, at);
            return;
        }
    }
    band.assign(x, x + n);
    auto at = band.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(band.begin(), at, band.end());
    kth = *at;
    if (lower) before = (k == 0) ? kth : *std::max_element(band.begin(), at);
}

}  // namespace

double median_inplace(std::vector<double> &v) {
    const std::size_t n = v.size();
    if (n == 0) return kNaN;
    thread_local std::vector<double> band;
    double hi = kNaN, lo = kNaN;
    select_pair(v.data(), n, n / 2, n % 2 == 0, band, hi, lo);
    if (n % 2 == 1) return hi;
    return (lo + hi) / 2.0;
}

double quantile_linear_sorted(const std::vector<double> &sorted, double q) {
    const std::size_t n = sorted.size();
    if (n == 0) return kNaN;
    // Virtual index and interpolation written with the same floating-point
    // steps as numpy's "linear" method.
    const double nd = static_cast<double>(n);
    const double virt = nd * q + (1.0 + q * (1.0 - 1.0 - 1.0)) - 1.0;
    double prev = std::floor(virt);
    const double gamma = virt - prev;
    const double last = nd - 1.0;
    double next = prev + 1.0;
    if (prev < 0) prev = 0;
    if (prev > last) prev = last;
    if (next < 0) next = 0;
    if (next > last) next = last;
    const double a = sorted[static_cast<std::size_t>(prev)];
    const double b = sorted[static_cast<std::size_t>(next)];
    const double diff = b - a;
    if (gamma >= 0.5) return b - diff * (1.0 - gamma);
    return a + diff * gamma;
}

// Runs body(thread, buf, r0, r1) over the blocks of kBlock rows of `in`,
// with rows r0 .. r1 loaded row-major into `buf` and stored back into `out`
// afterwards; blocks are shared out over the threads (`thread` numbers the
// one running the body, for scratch of its own).
template <typename Body>
void over_row_blocks(const ConstView &in, const MutView &out, int threads, Body &&body) {
    const index_t blocks = (in.rows + kBlock - 1) / kBlock;
    std::vector<std::vector<double>> bufs(static_cast<std::size_t>(std::max(threads, 1)));
    parallel_chunks(blocks, threads, 1, [&](int thread, index_t lo, index_t hi) {
        std::vector<double> &buf = bufs[static_cast<std::size_t>(thread)];
        for (index_t b = lo; b < hi; ++b) {
            const index_t r0 = b * kBlock, r1 = std::min(in.rows, r0 + kBlock);
            load_rows(in, r0, r1, buf);
            body(thread, buf, r0, r1);
            store_rows(out, r0, r1, buf);
        }
    });
}

void zscore_rows(const ConstView &in, const MutView &out, int threads) {
    over_row_blocks(in, out, threads, [&](int, std::vector<double> &buf, index_t r0, index_t r1) {
        for (index_t i = r0; i < r1; ++i) {
            double *x = buf.data() + (i - r0) * in.cols;
            double mean, sd;
            mean_sd(x, in.cols, mean, sd);
            for (index_t j = 0; j < in.cols; ++j) {
                const double z = (x[j] - mean) / sd;
                x[j] = std::isinf(z) ? 0.0 : z;
            }
        }
    });
}

void clip_rows(const ConstView &in, const MutView &out, ClipRule rule, int threads) {
    std::vector<std::vector<double>> valids(static_cast<std::size_t>(std::max(threads, 1)));
    over_row_blocks(in, out, threads,
                    [&](int thread, std::vector<double> &buf, index_t r0, index_t r1) {
                        std::vector<double> &valid = valids[static_cast<std::size_t>(thread)];
                        valid.reserve(static_cast<std::size_t>(in.cols));
                        for (index_t i = r0; i < r1; ++i) {
                            double *x = buf.data() + (i - r0) * in.cols;
                            double lo = kNaN, hi = kNaN;
                            if (rule == ClipRule::Std) {
                                double mean, sd;
                                mean_sd(x, in.cols, mean, sd);
                                lo = mean - kStdWidth * sd;
                                hi = mean + kStdWidth * sd;
                            } else {
                                valid.clear();
                                for (index_t j = 0; j < in.cols; ++j)
                                    if (!std::isnan(x[j])) valid.push_back(x[j]);
                                if (rule == ClipRule::Mad) {
                                    const double med = median_inplace(valid);
                                    // Absolute deviations; a NaN one (inf - inf) is skipped
                                    // like any missing value.
                                    std::size_t k = 0;
                                    for (double v : valid) {
                                        const double d = std::fabs(v - med);
                                        if (!std::isnan(d)) valid[k++] = d;
                                    }
                                    valid.resize(k);
                                    const double mad = median_inplace(valid);
                                    const double width = kMadWidth * kMadScale * mad;
                                    lo = med - width;
                                    hi = med + width;
                                } else {
                                    std::sort(valid.begin(), valid.end());
                                    lo = quantile_linear_sorted(valid, kLowerQuantile);
                                    hi = quantile_linear_sorted(valid, kUpperQuantile);
                                }
                            }
                            for (index_t j = 0; j < in.cols; ++j) x[j] = clip_value(x[j], lo, hi);
                        }
                    });
}

}  // namespace tarnfold::kern
