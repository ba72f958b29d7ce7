#include "kernels/forward_returns.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/parallel.hpp"

namespace tarnfold::kern {

void cumulative_growth(const ConstView &returns, const MutView &out) {
    // The running product skips NaN returns (they count as a factor of one);
    // a cell whose return is missing, or whose product is NaN, takes the last
    // non-NaN product above it.  Rows are walked in blocks so that both a
    // column-major input and a row-major output stay in cache.
    constexpr index_t kBlock = 64;
    std::vector<double> run(static_cast<std::size_t>(returns.cols), 1.0);
    std::vector<double> last(static_cast<std::size_t>(returns.cols), kNaN);
    for (index_t i0 = 0; i0 < returns.rows; i0 += kBlock) {
        const index_t i1 = std::min(returns.rows, i0 + kBlock);
        for (index_t j = 0; j < returns.cols; ++j) {
            double r_run = run[j], r_last = last[j];
            for (index_t i = i0; i < i1; ++i) {
                const double r = returns(i, j);
                if (!std::isnan(r)) {
                    r_run *= r + 1.0;
                    if (!std::isnan(r_run)) r_last = r_run;
                }
                out(i, j) = r_last;
            }
            run[j] = r_run;
            last[j] = r_last;
        }
    }
}

void forward_return(const ConstView &growth, const std::vector<index_t> &rows, index_t period,
                    double *out) {
    const index_t n = growth.cols;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const index_t t = rows[k];
        const index_t ahead = t + period;
        double *dst = out + static_cast<index_t>(k) * n;
        if (t < 0 || t >= growth.rows || ahead < 0 || ahead >= growth.rows) {
            for (index_t j = 0; j < n; ++j) dst[j] = kNaN;
            continue;
        }
        for (index_t j = 0; j < n; ++j) dst[j] = growth(ahead, j) / growth(t, j) - 1.0;
    }
}

void growth_factors(const ConstView &returns, GrowthFactors &out) {
    const index_t n = returns.rows, m = returns.cols;
    out.rows = n;
    out.cols = m;
    out.factor.resize(static_cast<std::size_t>(n * m));
    out.first_valid.assign(static_cast<std::size_t>(m), n);
    // Blocks of rows keep a column-major input and the row-major output in
    // cache together.
    constexpr index_t kBlock = 64;
    for (index_t i0 = 0; i0 < n; i0 += kBlock) {
        const index_t i1 = std::min(n, i0 + kBlock);
        for (index_t j = 0; j < m; ++j) {
            index_t &first = out.first_valid[static_cast<std::size_t>(j)];
            for (index_t i = i0; i < i1; ++i) {
                const double r = returns(i, j);
                const bool valid = !std::isnan(r);
                out.factor[static_cast<std::size_t>(i * m + j)] = valid ? r + 1.0 : 1.0;
                if (valid && i < first) first = i;
            }
        }
    }
}

void forward_return(const GrowthFactors &growth, const std::vector<index_t> &rows, index_t period,
                    double *out, int threads) {
    const index_t n = growth.cols;
    const double *f = growth.factor.data();
    const index_t *first = growth.first_valid.data();
    parallel_chunks(
        static_cast<index_t>(rows.size()), threads, 16, [&](int, index_t lo, index_t hi) {
            for (index_t k = lo; k < hi; ++k) {
                const index_t t = rows[static_cast<std::size_t>(k)];
                double *dst = out + k * n;
                if (t < 0 || t >= growth.rows || period < 0 || period >= growth.rows - t) {
                    for (index_t j = 0; j < n; ++j) dst[j] = kNaN;
                    continue;
                }
                if (period == 0) {
                    for (index_t j = 0; j < n; ++j) dst[j] = 1.0;
                } else {
                    const double *row = f + (t + 1) * n;
                    for (index_t j = 0; j < n; ++j) dst[j] = row[j];
                }
                // Left to right in date order: ((f1 * f2) * f3) ...
                for (index_t i = 2; i <= period; ++i) {
                    const double *row = f + (t + i) * n;
                    for (index_t j = 0; j < n; ++j) dst[j] *= row[j];
                }
                for (index_t j = 0; j < n; ++j) dst[j] = t >= first[j] ? dst[j] - 1.0 : kNaN;
            }
        });
}

void gather(const ConstView &values, const std::vector<index_t> &row_pos,
            const std::vector<index_t> &col_pos, double *out, int threads) {
    const index_t n = static_cast<index_t>(col_pos.size());
    parallel_chunks(static_cast<index_t>(row_pos.size()), threads, 16,
                    [&](int, index_t lo, index_t hi) {
                        for (index_t k = lo; k < hi; ++k) {
                            const index_t r = row_pos[static_cast<std::size_t>(k)];
                            double *dst = out + k * n;
                            for (index_t j = 0; j < n; ++j) {
                                const index_t c = col_pos[j];
                                dst[j] = (r < 0 || c < 0) ? kNaN : values(r, c);
                            }
                        }
                    });
}

}  // namespace tarnfold::kern
