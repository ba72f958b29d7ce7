#include "kernels/row_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace tarnfold::kern {

void rank_rows_pct(const ConstView &in, const MutView &out) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::pair<double, std::uint32_t>> row;
    row.reserve(static_cast<std::size_t>(in.cols));
    for (index_t i = 0; i < in.rows; ++i) {
        row.clear();
        for (index_t j = 0; j < in.cols; ++j) {
            const double v = in(i, j);
            if (std::isnan(v)) out(i, j) = kNaN;
            else row.emplace_back(v, static_cast<std::uint32_t>(j));
        }
        std::sort(row.begin(), row.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        const double m = static_cast<double>(row.size());
        for (std::size_t lo = 0; lo < row.size();) {
            std::size_t hi = lo + 1;
            while (hi < row.size() && row[hi].first == row[lo].first) ++hi;
            // ranks lo+1 .. hi share their average
            const double r = 0.5 * static_cast<double>(lo + 1 + hi) / m;
            for (std::size_t k = lo; k < hi; ++k) out(i, row[k].second) = r;
            lo = hi;
        }
    }
}

}  // namespace tarnfold::kern
