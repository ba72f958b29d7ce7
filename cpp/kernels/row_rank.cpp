#include "kernels/row_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/ranking.hpp"

namespace tarnfold::kern {

void rank_rows_pct(const ConstView &in, const MutView &out) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    // Rows are gathered a block at a time so that a column-major table is
    // read along its columns.
    constexpr index_t kBlock = 64;
    std::vector<double> buf, ranks;
    SortedColumn sorted;
    SortScratch scratch;
    const auto n = static_cast<std::uint32_t>(in.cols);
    for (index_t r0 = 0; r0 < in.rows; r0 += kBlock) {
        const index_t r1 = std::min(in.rows, r0 + kBlock);
        const index_t nb = r1 - r0;
        buf.resize(static_cast<std::size_t>(nb * in.cols));
        for (index_t j = 0; j < in.cols; ++j)
            for (index_t i = r0; i < r1; ++i) buf[(i - r0) * in.cols + j] = in(i, j);
        ranks.assign(buf.size(), kNaN);
        for (index_t i = 0; i < nb; ++i) {
            const double *row = buf.data() + i * in.cols;
            double *rank = ranks.data() + i * in.cols;
            sort_valid(row, n, sorted, scratch);
            const std::uint32_t m = sorted.size();
            // Ties share the average of their ranks lo+1 .. hi.
            for (std::uint32_t lo = 0; lo < m;) {
                std::uint32_t hi = lo + 1;
                while (hi < m && sorted.values[hi] == sorted.values[lo]) ++hi;
                const double r = 0.5 * static_cast<double>(lo + 1 + hi);
                for (std::uint32_t k = lo; k < hi; ++k) rank[sorted.order[k]] = r / static_cast<double>(m);
                lo = hi;
            }
        }
        for (index_t j = 0; j < in.cols; ++j)
            for (index_t i = r0; i < r1; ++i) out(i, j) = ranks[(i - r0) * in.cols + j];
    }
}

}  // namespace tarnfold::kern
