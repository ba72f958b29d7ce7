#include "kernels/factor_portfolio.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/multiversion.hpp"
#include "kernels/parallel.hpp"

namespace tarnfold::kern {

void demeaned_weights(const ConstView &factor, bool negate, double *weights, int threads) {
    const index_t n = factor.rows, m = factor.cols;
    std::fill(weights, weights + std::min<index_t>(n, 1) * m, kNaN);
    parallel_chunks(std::max<index_t>(n - 1, 0), threads, 16, [&](int, index_t lo, index_t hi) {
        for (index_t t = lo; t < hi; ++t) {
            double *row = weights + (t + 1) * m;
            double sum = 0.0;
            index_t count = 0;
            for (index_t j = 0; j < m; ++j) {
                const double v = factor(t, j);
                if (!std::isnan(v)) {
                    sum += v;
                    ++count;
                }
            }
            if (count == 0) {
                std::fill(row, row + m, kNaN);
                continue;
            }
            const double mean = sum / static_cast<double>(count);
            double scale = 0.0;
            for (index_t j = 0; j < m; ++j) {
                const double d = factor(t, j) - mean;
                if (!std::isnan(d)) scale += std::fabs(d);
            }
            for (index_t j = 0; j < m; ++j) {
                const double w = (factor(t, j) - mean) / scale;
                row[j] = negate ? -w : w;
            }
        }
    });
}

namespace {

// The sum over instruments of now * ratio - held where defined.  Four
// independent partial sums let the loop vectorise (the same sums with
// either instruction set).
TARNFOLD_AVX2_CLONES
double held_return(const double *now, const double *ratio, const double *held, index_t m) {
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    index_t j = 0;
    for (; j + 4 <= m; j += 4) {
        for (int l = 0; l < 4; ++l) {
            const double term = now[j + l] * ratio[j + l] - held[j + l];
            acc[l] += term == term ? term : 0.0;
        }
    }
    for (; j < m; ++j) {
        const double term = now[j] * ratio[j] - held[j];
        acc[0] += term == term ? term : 0.0;
    }
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

// Staggered schedules lv, lv + 1, ... (up to kGroup of them) run together
// row by row, so that each row of the growth table is read from memory once
// for the whole group: each schedule's one-row return on every row (NaN
// where it has none) goes to its own column of `change`.  Buffers are
// reused from one group to the next.
constexpr index_t kGroup = 4;

struct WeightedSchedules {
    // Per schedule and instrument while a window is held: its weight (kept
    // from an earlier rebalance where the rebalance row has none),
    // weight / base, and the weight again where the term is defined (NaN
    // otherwise), so that weight * (cum / base - 1) = cum * ratio - held.
    std::vector<double> w[kGroup], ratio[kGroup], held[kGroup];

    void run(const double *weights, const double *cum, const double *level, index_t n, index_t m,
             index_t period, index_t lv0, index_t g, double *change) {
        double wr_prev[kGroup] = {};
        for (index_t q = 0; q < g; ++q) {
            w[q].assign(static_cast<std::size_t>(m), kNaN);
            ratio[q].resize(static_cast<std::size_t>(m));
            held[q].resize(static_cast<std::size_t>(m));
            change[q * n] = kNaN;
        }
        for (index_t t = 1; t < n; ++t) {
            const double *now = cum + t * m;
            for (index_t q = 0; q < g; ++q) {
                const index_t lv = lv0 + q;
                double *out = change + q * n;
                if (t < lv) {
                    out[t] = 0.0;  // nothing held yet: wr is 0 on both rows
                    continue;
                }
                double *wq = w[q].data(), *rq = ratio[q].data(), *hq = held[q].data();
                const bool rebalance = (t - lv) % period == 0;
                if (rebalance) {
                    const double *wt = weights + t * m;
                    const double *lb = level + (t - 1) * m;
                    for (index_t j = 0; j < m; ++j) {
                        if (!std::isnan(wt[j])) wq[j] = wt[j];
                        rq[j] = wq[j] / lb[j];
                        hq[j] = std::isnan(rq[j]) ? kNaN : wq[j];
                    }
                }
                const double wr = held_return(now, rq, hq, m);
                out[t] = rebalance ? wr : (wr + 1.0) / (wr_prev[q] + 1.0) - 1.0;
                wr_prev[q] = wr;
            }
        }
    }
};

}  // namespace

void factor_weighted_returns(const double *weights, const double *cum, const double *level,
                             index_t n, index_t m, index_t period, double *daily, int threads) {
    if (n == 0) return;
    threads = std::max(threads, 1);
    std::vector<double> sum(static_cast<std::size_t>(n), 0.0);
    std::vector<index_t> count(static_cast<std::size_t>(n), 0);
    const index_t active = std::min(period, n - 1);  // schedules with a rebalance row
    // Schedules run a batch at a time, each into a column of its own, then
    // are added up in schedule order (the same rounding for every thread
    // count).
    const index_t batch = std::min<index_t>(2 * threads * kGroup, std::max<index_t>(active, 1));
    std::vector<double> change(static_cast<std::size_t>(batch * n));
    std::vector<WeightedSchedules> runs(static_cast<std::size_t>(threads));
    for (index_t b0 = 0; b0 < active; b0 += batch) {
        const index_t nb = std::min(batch, active - b0);
        const index_t groups = (nb + kGroup - 1) / kGroup;
        parallel_chunks(groups, threads, 1, [&](int thread, index_t lo, index_t hi) {
            for (index_t k = lo; k < hi; ++k) {
                const index_t first = k * kGroup, g = std::min(kGroup, nb - first);
                runs[static_cast<std::size_t>(thread)].run(weights, cum, level, n, m, period,
                                                           b0 + first + 1, g,
                                                           change.data() + first * n);
            }
        });
        for (index_t k = 0; k < nb; ++k) {
            const double *cr = change.data() + k * n;
            for (index_t t = 1; t < n; ++t) {
                if (!std::isnan(cr[t])) {
                    sum[t] += cr[t];
                    ++count[t];
                }
            }
        }
    }
    // Schedules whose first rebalance row lies past the last row hold
    // nothing: one-row return 0 on every row from row 1.
    const index_t idle = period - active;
    daily[0] = kNaN;
    for (index_t t = 1; t < n; ++t) {
        const index_t c = count[t] + idle;
        daily[t] = c ? sum[t] / static_cast<double>(c) : kNaN;
    }
}

}  // namespace tarnfold::kern
