#include "kernels/cross_rank_correlation.hpp"

#include <cmath>
#include <cstddef>

#include "kernels/correlation.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kern {

void accumulate_cross_rank_correlation(const std::vector<ConstView> &tables, double *sum,
                                       std::int64_t *count) {
    const std::size_t k = tables.size();
    if (k < 2) return;
    const index_t rows = tables[0].rows, m = tables[0].cols;
    if (m < 2) return;
    const auto m32 = static_cast<std::uint32_t>(m);
    const auto mz = static_cast<std::size_t>(m);

    std::vector<SortedColumn> sorted(k);
    std::vector<std::uint8_t> valid(k * mz);
    std::vector<std::int32_t> own_rank(k * mz);     // centred ranks over each row's own valid set
    std::vector<RankSums> own(k);
    std::vector<std::uint32_t> n_valid(k);
    std::vector<double> row(mz);
    std::vector<std::uint8_t> keep(mz);
    std::vector<std::int32_t> rank_a(mz), rank_b(mz);
    std::vector<std::uint32_t> work;
    SortScratch scratch;

    for (index_t t = 0; t < rows; ++t) {
        for (std::size_t f = 0; f < k; ++f) {
            const ConstView &x = tables[f];
            std::uint8_t *v = valid.data() + f * mz;
            std::uint32_t n = 0;
            for (index_t j = 0; j < m; ++j) {
                row[j] = x(t, j);
                v[j] = std::isnan(row[j]) ? 0 : 1;
                n += v[j];
            }
            n_valid[f] = n;
            std::int32_t *r = own_rank.data() + f * mz;
            std::fill(r, r + mz, 0);
            if (n < 2) continue;
            sort_valid(row.data(), m32, sorted[f], scratch);
            own[f] = rank_kept_sums(sorted[f], v, n, r, work);
        }
        for (std::size_t a = 0; a < k; ++a) {
            if (n_valid[a] < 2) continue;
            const std::uint8_t *va = valid.data() + a * mz;
            for (std::size_t b = a + 1; b < k; ++b) {
                if (n_valid[b] < 2) continue;
                const std::uint8_t *vb = valid.data() + b * mz;
                std::uint32_t kept = 0;
                for (std::size_t j = 0; j < mz; ++j) {
                    keep[j] = va[j] & vb[j];
                    kept += keep[j];
                }
                if (kept < 2) continue;
                __int128 cross, sq_a, sq_b;
                if (kept == n_valid[a] && kept == n_valid[b]) {
                    // same instruments on both sides: the rows' own ranks serve
                    if (own[a].constant || own[b].constant) continue;
                    cross = centred_dot(own_rank.data() + a * mz, own_rank.data() + b * mz, mz);
                    sq_a = own[a].square;
                    sq_b = own[b].square;
                } else {
                    std::fill(rank_a.begin(), rank_a.end(), 0);
                    std::fill(rank_b.begin(), rank_b.end(), 0);
                    RankSums ra = rank_kept_sums(sorted[a], keep.data(), kept, rank_a.data(), work);
                    RankSums rb = rank_kept_sums(sorted[b], keep.data(), kept, rank_b.data(), work);
                    if (ra.constant || rb.constant) continue;
                    cross = centred_dot(rank_a.data(), rank_b.data(), mz);
                    sq_a = ra.square;
                    sq_b = rb.square;
                }
                const double rho = spearman_stat(static_cast<double>(cross) / 4.0,
                                                 static_cast<double>(sq_a) / 4.0,
                                                 static_cast<double>(sq_b) / 4.0, kept);
                if (std::isnan(rho)) continue;
                sum[a * k + b] += rho;
                sum[b * k + a] += rho;
                count[a * k + b] += 1;
                count[b * k + a] += 1;
            }
        }
    }
}

}  // namespace tarnfold::kern
