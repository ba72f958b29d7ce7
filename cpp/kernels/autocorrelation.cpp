#include "kernels/autocorrelation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kernels/correlation.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kern {

void rank_autocorrelation(const ConstView &x, const std::vector<index_t> &lags, double *out) {
    const index_t rows = x.rows, m = x.cols;
    std::fill(out, out + rows * static_cast<index_t>(lags.size()), kNaN);
    index_t max_lag = 0;
    for (index_t p : lags) max_lag = std::max(max_lag, p);
    max_lag = std::min(max_lag, rows);
    if (rows == 0 || m < 2) return;

    // The last max_lag + 1 rows, sorted, with their validity masks.
    const index_t ring = max_lag + 1;
    std::vector<SortedColumn> sorted(ring);
    std::vector<std::vector<std::uint8_t>> valid(ring, std::vector<std::uint8_t>(m));
    SortScratch scratch;
    std::vector<double> row(m);
    std::vector<std::uint8_t> keep(m);
    std::vector<std::int32_t> rank_a(m), rank_b(m);
    std::vector<std::uint32_t> work;
    const auto m32 = static_cast<std::uint32_t>(m);

    for (index_t t = 0; t < rows; ++t) {
        const index_t slot = t % ring;
        for (index_t j = 0; j < m; ++j) {
            row[j] = x(t, j);
            valid[slot][j] = std::isnan(row[j]) ? 0 : 1;
        }
        sort_valid(row.data(), m32, sorted[slot], scratch);
        for (std::size_t l = 0; l < lags.size(); ++l) {
            const index_t p = lags[l];
            if (p <= 0 || p > t) continue;
            const index_t other = (t - p) % ring;
            std::uint32_t kept = 0;
            for (index_t j = 0; j < m; ++j) {
                keep[j] = valid[slot][j] & valid[other][j];
                kept += keep[j];
            }
            if (kept < 2) continue;
            std::fill(rank_a.begin(), rank_a.end(), 0);
            std::fill(rank_b.begin(), rank_b.end(), 0);
            RankSums a = rank_kept_sums(sorted[slot], keep.data(), kept, rank_a.data(), work);
            RankSums b = rank_kept_sums(sorted[other], keep.data(), kept, rank_b.data(), work);
            if (a.constant || b.constant) continue;
            const __int128 cross = centred_dot(rank_a.data(), rank_b.data(),
                                               static_cast<std::size_t>(m));
            out[l * rows + t] = spearman_stat(static_cast<double>(cross) / 4.0,
                                              static_cast<double>(a.square) / 4.0,
                                              static_cast<double>(b.square) / 4.0, kept);
        }
    }
}

}  // namespace tarnfold::kern
