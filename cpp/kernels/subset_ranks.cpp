#include "kernels/subset_ranks.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/quantile_groups.hpp"

namespace tarnfold::kern {

void sort_with_ties_by_position(const double *x, index_t m, SortedColumn &col,
                                SortScratch &scratch) {
    sort_valid(x, static_cast<std::uint32_t>(m), col, scratch);
    if (!col.ties) return;
    // Runs of equal values: positions ascending, so that "first" ranks follow
    // the column order.
    for (std::size_t r = 0; r + 1 < col.runs.size(); r += 2) {
        auto b = col.order.begin() + col.runs[r];
        auto e = col.order.begin() + col.runs[r + 1] + 1;
        std::sort(b, e);
    }
}

void largest_first(const SortedColumn &col, std::vector<std::uint32_t> &order) {
    const std::uint32_t n = col.size();
    order.resize(n);
    std::uint32_t out = 0;
    std::size_t run = col.runs.size();
    std::int64_t u = static_cast<std::int64_t>(n) - 1;
    while (u >= 0) {
        // The run of equal values ending at u, if any, keeps its ascending
        // position order.
        std::int64_t first = u;
        if (col.ties && run >= 2 && col.runs[run - 1] == static_cast<std::uint32_t>(u)) {
            first = col.runs[run - 2];
            run -= 2;
        }
        for (std::int64_t v = first; v <= u; ++v)
            order[out++] = col.order[static_cast<std::size_t>(v)];
        u = first - 1;
    }
}

const std::int32_t *RankGroupTable::of(index_t k) {
    if (static_cast<index_t>(by_count_.size()) <= k)
        by_count_.resize(static_cast<std::size_t>(k) + 1);
    std::vector<std::int32_t> &g = by_count_[static_cast<std::size_t>(k)];
    if (g.size() != static_cast<std::size_t>(k)) {
        g.resize(static_cast<std::size_t>(k));
        if (k > 0) rank_groups(k, q_, g.data());
    }
    return g.data();
}

void subset_groups(const std::vector<std::uint32_t> &order, index_t m, const std::int32_t *code,
                   std::int32_t n_codes, RankGroupTable &groups, std::vector<index_t> &count,
                   std::int32_t *labels) {
    std::fill(labels, labels + m, -1);
    const std::int32_t n_sub = code ? n_codes : 1;
    count.assign(static_cast<std::size_t>(2 * n_sub), 0);
    index_t *size = count.data(), *seen = count.data() + n_sub;
    for (std::uint32_t p : order) {
        const std::int32_t s = code ? code[p] : 0;
        if (s >= 0 && s < n_sub) ++size[s];
    }
    for (std::uint32_t p : order) {
        const std::int32_t s = code ? code[p] : 0;
        if (s < 0 || s >= n_sub) continue;
        labels[p] = groups.of(size[s])[seen[s]++];
    }
}

void subset_average_ranks(const SortedColumn &col, const std::int32_t *code, std::int32_t n_codes,
                          const std::uint8_t *keep, std::vector<double> &before,
                          std::vector<index_t> &tied, double *rank) {
    const std::int32_t n_sub = code ? n_codes : 1;
    before.assign(static_cast<std::size_t>(n_sub), 0.0);
    tied.assign(static_cast<std::size_t>(n_sub), 0);
    if (!col.ties) {
        // Distinct values: each kept entry's rank is one more than the kept
        // entries of its subset before it.
        double *b = before.data();
        for (const std::uint32_t p : col.order) {
            if (!keep[p]) continue;
            const std::int32_t s = code ? code[p] : 0;
            if (s >= 0 && s < n_sub) rank[p] = b[s] += 1.0;
        }
        return;
    }
    auto subset = [&](std::uint32_t p) -> std::int32_t {
        if (!keep[p]) return -1;
        const std::int32_t s = code ? code[p] : 0;
        return s < n_sub ? s : -1;
    };
    const std::uint32_t n = col.size();
    std::size_t run = 0;
    std::uint32_t u = 0;
    while (u < n) {
        std::uint32_t last = u;
        if (col.ties && run + 1 < col.runs.size() && col.runs[run] == u) {
            last = col.runs[run + 1];
            run += 2;
        }
        if (last == u) {
            const std::uint32_t p = col.order[u];
            const std::int32_t s = subset(p);
            if (s >= 0) rank[p] = before[static_cast<std::size_t>(s)] += 1.0;
        } else {
            for (std::uint32_t v = u; v <= last; ++v) {
                const std::int32_t s = subset(col.order[v]);
                if (s >= 0) ++tied[static_cast<std::size_t>(s)];
            }
            for (std::uint32_t v = u; v <= last; ++v) {
                const std::uint32_t p = col.order[v];
                const std::int32_t s = subset(p);
                if (s >= 0)
                    rank[p] = before[static_cast<std::size_t>(s)] +
                              (static_cast<double>(tied[static_cast<std::size_t>(s)]) + 1.0) / 2.0;
            }
            for (std::uint32_t v = u; v <= last; ++v) {
                const std::int32_t s = subset(col.order[v]);
                if (s < 0) continue;
                index_t &k = tied[static_cast<std::size_t>(s)];
                before[static_cast<std::size_t>(s)] += static_cast<double>(k);
                k = 0;
            }
        }
        u = last + 1;
    }
}

void subset_rank_correlation(const double *rx, const double *ry, const std::uint8_t *keep,
                             const std::int32_t *code, std::int32_t n_codes, index_t m,
                             index_t min_pairs, std::vector<double> &sums, double *out) {
    const std::int32_t n_sub = code ? n_codes : 1;
    // n, sum x, sum y, sum x^2, sum y^2, sum xy: average ranks are multiples
    // of one half, so every sum is exact.
    sums.assign(static_cast<std::size_t>(6 * n_sub), 0.0);
    for (index_t p = 0; p < m; ++p) {
        if (!keep[p]) continue;
        const std::int32_t s = code ? code[p] : 0;
        if (s < 0 || s >= n_sub) continue;
        double *a = sums.data() + 6 * s;
        const double x = rx[p], y = ry[p];
        a[0] += 1.0;
        a[1] += x;
        a[2] += y;
        a[3] += x * x;
        a[4] += y * y;
        a[5] += x * y;
    }
    for (std::int32_t s = 0; s < n_sub; ++s) {
        const double *a = sums.data() + 6 * s;
        const double n = a[0];
        const double sxx = n * a[3] - a[1] * a[1];
        const double syy = n * a[4] - a[2] * a[2];
        const double sxy = n * a[5] - a[1] * a[2];
        out[s] = (n < static_cast<double>(min_pairs) || !(sxx > 0.0) || !(syy > 0.0))
                     ? kNaN
                     : sxy / std::sqrt(sxx * syy);
    }
}

}  // namespace tarnfold::kern
