#include "kernels/cross_rank_correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

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
    std::vector<std::int32_t> own_rank(k * mz);  // centred ranks over each row's own valid set
    std::vector<RankSums> own(k);
    std::vector<std::uint32_t> n_valid(k);
    std::vector<double> row(mz);
    std::vector<std::uint8_t> keep(mz);
    std::vector<std::int32_t> rank_a(mz), rank_b(mz);
    std::vector<std::uint32_t> work;
    SortScratch scratch;

    // Rows of factors with the same valid instruments form a group; a
    // factor's ranks over another group's instruments (when those are a
    // subset of its own) are computed once per date and shared by every
    // pair with that group.
    std::vector<std::size_t> group(k), rep;
    std::vector<std::vector<std::int32_t>> sub_rank;
    std::vector<RankSums> sub_sums;
    std::vector<index_t> sub_date;

    for (index_t t = 0; t < rows; ++t) {
        rep.clear();
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
            group[f] = rep.size();
            for (std::size_t g = 0; g < rep.size(); ++g) {
                if (n_valid[rep[g]] == n && std::memcmp(valid.data() + rep[g] * mz, v, mz) == 0) {
                    group[f] = g;
                    break;
                }
            }
            if (group[f] == rep.size()) rep.push_back(f);
            std::int32_t *r = own_rank.data() + f * mz;
            std::fill(r, r + mz, 0);
            if (n < 2) continue;
            sort_valid(row.data(), m32, sorted[f], scratch);
            own[f] = rank_kept_sums(sorted[f], v, n, r, work);
        }
        const std::size_t n_groups = rep.size();
        if (sub_rank.size() < k * n_groups) {
            sub_rank.resize(k * n_groups);
            sub_sums.resize(k * n_groups);
            sub_date.resize(k * n_groups, -1);
        }
        std::fill(sub_date.begin(), sub_date.begin() + static_cast<index_t>(k * n_groups), -1);
        // ranks of factor f over the instruments of group g (a subset of its own)
        auto ranks_over = [&](std::size_t f, std::size_t g) -> std::size_t {
            const std::size_t slot = f * n_groups + g;
            if (sub_date[slot] != t) {
                std::vector<std::int32_t> &r = sub_rank[slot];
                r.assign(mz, 0);
                sub_sums[slot] = rank_kept_sums(sorted[f], valid.data() + rep[g] * mz,
                                                n_valid[rep[g]], r.data(), work);
                sub_date[slot] = t;
            }
            return slot;
        };
        for (std::size_t a = 0; a < k; ++a) {
            if (n_valid[a] < 2) continue;
            const std::uint8_t *va = valid.data() + a * mz;
            for (std::size_t b = a + 1; b < k; ++b) {
                if (n_valid[b] < 2) continue;
                const std::uint8_t *vb = valid.data() + b * mz;
                std::uint32_t kept;
                const std::int32_t *ra, *rb;
                RankSums sa, sb;
                if (group[a] == group[b]) {
                    // same instruments on both sides: the rows' own ranks serve
                    kept = n_valid[a];
                    ra = own_rank.data() + a * mz;
                    rb = own_rank.data() + b * mz;
                    sa = own[a];
                    sb = own[b];
                } else {
                    kept = 0;
                    for (std::size_t j = 0; j < mz; ++j) kept += va[j] & vb[j];
                    if (kept < 2) continue;
                    if (kept == n_valid[a]) {  // a's instruments are a subset of b's
                        const std::size_t slot = ranks_over(b, group[a]);
                        ra = own_rank.data() + a * mz;
                        sa = own[a];
                        rb = sub_rank[slot].data();
                        sb = sub_sums[slot];
                    } else if (kept == n_valid[b]) {  // and the other way round
                        const std::size_t slot = ranks_over(a, group[b]);
                        ra = sub_rank[slot].data();
                        sa = sub_sums[slot];
                        rb = own_rank.data() + b * mz;
                        sb = own[b];
                    } else {
                        for (std::size_t j = 0; j < mz; ++j) keep[j] = va[j] & vb[j];
                        std::fill(rank_a.begin(), rank_a.end(), 0);
                        std::fill(rank_b.begin(), rank_b.end(), 0);
                        sa = rank_kept_sums(sorted[a], keep.data(), kept, rank_a.data(), work);
                        sb = rank_kept_sums(sorted[b], keep.data(), kept, rank_b.data(), work);
                        ra = rank_a.data();
                        rb = rank_b.data();
                    }
                }
                if (sa.constant || sb.constant) continue;
                const __int128 cross = centred_dot(ra, rb, mz);
                const double rho = spearman_stat(static_cast<double>(cross) / 4.0,
                                                 static_cast<double>(sa.square) / 4.0,
                                                 static_cast<double>(sb.square) / 4.0, kept);
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
