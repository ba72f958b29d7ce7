#include "kernels/row_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernels/ranking.hpp"

namespace tarnfold::kern {

namespace {

// Every cache line of `rows` values `stride` apart from `first` on (for
// writing when Write is 1).
template <int Write>
void prefetch_block(const double *first, index_t rows, index_t stride) {
    for (index_t i = 0; i < rows; i += 8) __builtin_prefetch(first + i * stride, Write);
    __builtin_prefetch(first + (rows - 1) * stride, Write);
}

}  // namespace

void rank_rows_pct(const ConstView &in, const MutView &out) {
    // A block of rows is read column after column (along the memory of a
    // column-major table) straight into each row's sort words: the upper
    // half of the value's order key and the column.  After the sort only
    // words sharing their upper half can hold equal values or be out of
    // order; those short runs are settled on the values, which are kept
    // row by row beside the sort words (the table's own layout puts each
    // of them in a cache line of its own).  The block's ranks are written
    // back once the whole block is ranked, so `out` may be `in`; NaN stays
    // NaN.  Both walks over the block's columns fetch the column 16 ahead.
    constexpr index_t kBlock = 16, kAhead = 16;
    constexpr std::uint64_t kHigh = 0xFFFFFFFF00000000ull;
    const index_t n = in.cols;
    std::vector<std::uint64_t> packed[kBlock];
    std::size_t kept[kBlock];
    SortScratch scratch;
    std::vector<std::pair<double, std::uint32_t>> run;
    std::vector<double> ranks;   // the block's ranks, row after row
    std::vector<double> values;  // and its values, for settling runs
    for (index_t r0 = 0; r0 < in.rows; r0 += kBlock) {
        const index_t nb = std::min(in.rows, r0 + kBlock) - r0;
        for (index_t i = 0; i < nb; ++i) {
            packed[i].resize(static_cast<std::size_t>(n));
            kept[i] = 0;
        }
        ranks.assign(static_cast<std::size_t>(nb * n), kNaN);
        values.resize(static_cast<std::size_t>(nb * n));
        for (index_t j = 0; j < n; ++j) {
            if (j + kAhead < n)
                prefetch_block<0>(in.data + r0 * in.row_stride + (j + kAhead) * in.col_stride, nb,
                                  in.row_stride);
            for (index_t i = 0; i < nb; ++i) {
                const double v = in(r0 + i, j);
                const bool nan = std::isnan(v);
                packed[i][kept[i]] = (order_key(v) & kHigh) | static_cast<std::uint64_t>(j);
                values[static_cast<std::size_t>(i * n + j)] = v;
                kept[i] += !nan;
            }
        }
        for (index_t i = 0; i < nb; ++i) {
            double *rank = ranks.data() + i * n;
            const double *value = values.data() + i * n;
            std::vector<std::uint64_t> &pk = packed[i];
            pk.resize(kept[i]);
            sort_packed_high(pk, scratch);
            const std::size_t m = pk.size();
            const double dm = static_cast<double>(m);
            for (std::size_t t = 0; t < m;) {
                const std::uint64_t high = pk[t] >> 32;
                std::size_t e = t + 1;
                while (e < m && (pk[e] >> 32) == high) ++e;
                if (e - t == 1) {
                    rank[pk[t] & 0xFFFFFFFFu] = static_cast<double>(t + 1) / dm;
                    t = e;
                    continue;
                }
                const std::size_t len = e - t;
                if (run.size() < len) run.resize(len);
                for (std::size_t u = 0; u < len; ++u) {
                    const auto p = static_cast<std::uint32_t>(pk[t + u] & 0xFFFFFFFFu);
                    run[u] = {value[p], p};
                }
                bool same = true;
                for (std::size_t u = 1; u < len && same; ++u) same = run[u].first == run[0].first;
                if (!same) {
                    if (len > 32) {
                        std::sort(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(len),
                                  [](const auto &x, const auto &y) { return x.first < y.first; });
                    } else {
                        for (std::size_t u = 1; u < len; ++u) {
                            const auto item = run[u];
                            std::size_t w = u;
                            while (w > 0 && run[w - 1].first > item.first) {
                                run[w] = run[w - 1];
                                --w;
                            }
                            run[w] = item;
                        }
                    }
                }
                // Equal values share the average of their ranks lo+1 .. hi.
                for (std::size_t a = 0; a < len;) {
                    std::size_t b = a + 1;
                    while (b < len && run[b].first == run[a].first) ++b;
                    const std::size_t lo = t + a, hi = t + b;
                    const double r = b - a == 1 ? static_cast<double>(lo + 1) / dm
                                                : 0.5 * static_cast<double>(lo + 1 + hi) / dm;
                    for (std::size_t k = a; k < b; ++k) rank[run[k].second] = r;
                    a = b;
                }
                t = e;
            }
        }
        for (index_t j = 0; j < n; ++j) {
            if (j + kAhead < n)
                prefetch_block<1>(out.data + r0 * out.row_stride + (j + kAhead) * out.col_stride,
                                  nb, out.row_stride);
            for (index_t i = 0; i < nb; ++i) out(r0 + i, j) = ranks[i * n + j];
        }
    }
}

}  // namespace tarnfold::kern
