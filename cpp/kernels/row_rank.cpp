#include "kernels/row_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/ranking.hpp"

namespace tarnfold::kern {

void rank_rows_pct(const ConstView &in, const MutView &out) {
    // Rows are gathered a block at a time so that a column-major table is
    // read along its columns; the block stays small enough for the cache.
    // Ranks overwrite the gathered values (NaN stays NaN), so `out` may be
    // `in`.
    constexpr index_t kBlock = 16;
    std::vector<double> buf;
    SortedColumn sorted;
    SortScratch scratch;
    const auto n = static_cast<std::uint32_t>(in.cols);
    for (index_t r0 = 0; r0 < in.rows; r0 += kBlock) {
        const index_t r1 = std::min(in.rows, r0 + kBlock);
        const index_t nb = r1 - r0;
        buf.resize(static_cast<std::size_t>(nb * in.cols));
        for (index_t j = 0; j < in.cols; ++j)
            for (index_t i = r0; i < r1; ++i) buf[(i - r0) * in.cols + j] = in(i, j);
        for (index_t i = 0; i < nb; ++i) {
            double *row = buf.data() + i * in.cols;
            sort_valid(row, n, sorted, scratch);
            const std::uint32_t m = sorted.size();
            const double dm = static_cast<double>(m);
            const std::uint32_t *order = sorted.order.data();
            // Distinct values: rank t + 1 of sorted position t.
            for (std::uint32_t t = 0; t < m; ++t) row[order[t]] = static_cast<double>(t + 1) / dm;
            // Ties share the average of their ranks first+1 .. last+1.
            const std::vector<std::uint32_t> &runs = sorted.runs;
            for (std::size_t r = 0; r + 1 < runs.size(); r += 2) {
                const std::uint32_t lo = runs[r], hi = runs[r + 1] + 1;
                const double v = 0.5 * static_cast<double>(lo + 1 + hi) / dm;
                for (std::uint32_t t = lo; t < hi; ++t) row[order[t]] = v;
            }
        }
        for (index_t j = 0; j < in.cols; ++j)
            for (index_t i = r0; i < r1; ++i) out(i, j) = buf[(i - r0) * in.cols + j];
    }
}

}  // namespace tarnfold::kern
