#include "kernels/factor_portfolio.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tarnfold::kern {

void demeaned_weights(const ConstView &factor, bool negate, double *weights) {
    const index_t n = factor.rows, m = factor.cols;
    std::fill(weights, weights + n * m, kNaN);
    for (index_t t = 0; t + 1 < n; ++t) {
        double sum = 0.0;
        index_t count = 0;
        for (index_t j = 0; j < m; ++j) {
            const double v = factor(t, j);
            if (!std::isnan(v)) {
                sum += v;
                ++count;
            }
        }
        if (count == 0) continue;
        const double mean = sum / static_cast<double>(count);
        double scale = 0.0;
        for (index_t j = 0; j < m; ++j) {
            const double d = factor(t, j) - mean;
            if (!std::isnan(d)) scale += std::fabs(d);
        }
        double *row = weights + (t + 1) * m;
        for (index_t j = 0; j < m; ++j) {
            const double w = (factor(t, j) - mean) / scale;
            row[j] = negate ? -w : w;
        }
    }
}

void factor_weighted_returns(const double *weights, const double *cum, const double *level,
                             index_t n, index_t m, index_t period, double *daily) {
    if (n == 0) return;
    std::vector<double> sum(static_cast<std::size_t>(n), 0.0);
    std::vector<index_t> count(static_cast<std::size_t>(n), 0);
    // Per instrument while a window is held: its weight (kept from an
    // earlier rebalance where the rebalance row has none), weight / base,
    // and the weight again where the term is defined (NaN otherwise), so
    // that weight * (cum / base - 1) = cum * ratio - held.
    std::vector<double> w(static_cast<std::size_t>(m)), ratio(static_cast<std::size_t>(m)),
        held(static_cast<std::size_t>(m));
    const index_t active = std::min(period, n - 1);  // schedules with a rebalance row
    for (index_t lv = 1; lv <= active; ++lv) {
        std::fill(w.begin(), w.end(), kNaN);
        double wr_prev = 0.0;
        for (index_t t = 1; t < n; ++t) {
            double cr;
            if (t < lv) {
                cr = 0.0;  // nothing held yet: wr is 0 on both rows
            } else {
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
                cr = rebalance ? wr : (wr + 1.0) / (wr_prev + 1.0) - 1.0;
                wr_prev = wr;
            }
            if (!std::isnan(cr)) {
                sum[t] += cr;
                ++count[t];
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
