#include "kernels/holding_growth.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/parallel.hpp"

namespace tarnfold::kern {

void growth_index(const ConstView &returns, const std::vector<index_t> &row_of,
                  const std::vector<index_t> &col_of, double *cum, double *level, int threads) {
    const index_t n = static_cast<index_t>(row_of.size());
    const index_t m = static_cast<index_t>(col_of.size());

    index_t last_row = -1;
    for (index_t r : row_of) last_row = std::max(last_row, r);
    // Factor row read at each returns row (dates are unique on both sides).
    std::vector<index_t> factor_row(static_cast<std::size_t>(last_row + 1), -1);
    for (index_t t = 0; t < n; ++t)
        if (row_of[t] >= 0) factor_row[static_cast<std::size_t>(row_of[t])] = t;

    // Each instrument's walk down the returns is its own: blocks of
    // instruments go to the threads.
    constexpr index_t kInstruments = 64;
    parallel_chunks(m, threads, kInstruments, [&](int, index_t j0, index_t j1) {
        const index_t w = j1 - j0;
        for (index_t t = 0; t < n; ++t) {
            if (cum) std::fill(cum + t * m + j0, cum + t * m + j1, kNaN);
            if (level) std::fill(level + t * m + j0, level + t * m + j1, kNaN);
        }
        std::vector<double> run(static_cast<std::size_t>(w), 1.0);
        std::vector<double> last(static_cast<std::size_t>(w), kNaN);
        // One step down the returns table for instrument j at row i.
        auto step = [&](index_t i, index_t j, index_t c) {
            const double r = returns(i, c);
            double &r_run = run[static_cast<std::size_t>(j - j0)];
            if (!std::isnan(r)) {
                r_run *= r + 1.0;
                if (!std::isnan(r_run)) last[static_cast<std::size_t>(j - j0)] = r_run;
            }
            const index_t t = factor_row[static_cast<std::size_t>(i)];
            if (t < 0) return;
            if (cum) cum[t * m + j] = std::isnan(r) ? kNaN : r_run;
            if (level) level[t * m + j] = last[static_cast<std::size_t>(j - j0)];
        };
        if (returns.col_stride <= returns.row_stride) {
            // Rows are contiguous: walk them in order.
            for (index_t i = 0; i <= last_row; ++i)
                for (index_t j = j0; j < j1; ++j)
                    if (col_of[j] >= 0) step(i, j, col_of[j]);
        } else {
            // Columns are contiguous: blocks of rows keep the reads and the
            // row-major writes in cache.
            constexpr index_t kBlock = 64;
            for (index_t i0 = 0; i0 <= last_row; i0 += kBlock) {
                const index_t i1 = std::min(last_row + 1, i0 + kBlock);
                for (index_t j = j0; j < j1; ++j) {
                    if (col_of[j] < 0) continue;
                    for (index_t i = i0; i < i1; ++i) step(i, j, col_of[j]);
                }
            }
        }
        if (level) {
            for (index_t t = 1; t < n; ++t) {
                if (row_of[t] >= 0) continue;
                std::copy(level + (t - 1) * m + j0, level + (t - 1) * m + j1, level + t * m + j0);
            }
        }
    });
}

}  // namespace tarnfold::kern
