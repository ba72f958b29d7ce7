#include "kernels/factor_portfolio.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

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

// One staggered schedule lv: its one-row return on every row (NaN where it
// has none), with buffers reused from one schedule to the next.
struct WeightedSchedule {
    // Per instrument while a window is held: its weight (kept from an
    // earlier rebalance where the rebalance row has none), weight / base,
    // and the weight again where the term is defined (NaN otherwise), so
    // that weight * (cum / base - 1) = cum * ratio - held.
    std::vector<double> w, ratio, held;

    void run(const double *weights, const double *cum, const double *level, index_t n, index_t m,
             index_t period, index_t lv, double *change) {
        w.assign(static_cast<std::size_t>(m), kNaN);
        ratio.resize(static_cast<std::size_t>(m));
        held.resize(static_cast<std::size_t>(m));
        change[0] = kNaN;
        double wr_prev = 0.0;
        for (index_t t = 1; t < n; ++t) {
            if (t < lv) {
                change[t] = 0.0;  // nothing held yet: wr is 0 on both rows
                continue;
            }
            const bool rebalance = (t - lv) % period == 0;
            if (rebalance) {
                const double *wt = weights + t * m;
                const double *lb = level + (t - 1) * m;
                for (index_t j = 0; j < m; ++j) {
                    if (!std::isnan(wt[j])) w[j] = wt[j];
                    ratio[j] = w[j] / lb[j];
                    held[j] = std::isnan(ratio[j]) ? kNaN : w[j];
                }
            }
            // Four independent partial sums let the loop vectorise.
            const double *now = cum + t * m;
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
            const double wr = (acc[0] + acc[1]) + (acc[2] + acc[3]);
            change[t] = rebalance ? wr : (wr + 1.0) / (wr_prev + 1.0) - 1.0;
            wr_prev = wr;
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
    const index_t batch = std::min<index_t>(2 * threads, std::max<index_t>(active, 1));
    std::vector<double> change(static_cast<std::size_t>(batch * n));
    std::vector<WeightedSchedule> runs(static_cast<std::size_t>(threads));
    for (index_t b0 = 0; b0 < active; b0 += batch) {
        const index_t nb = std::min(batch, active - b0);
        parallel_chunks(nb, threads, 1, [&](int thread, index_t lo, index_t hi) {
            for (index_t k = lo; k < hi; ++k)
                runs[static_cast<std::size_t>(thread)].run(weights, cum, level, n, m, period,
                                                           b0 + k + 1, change.data() + k * n);
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
