#include "kernels/row_groups.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tarnfold::kern {

// Row sums are accumulated column after column (the tables are usually
// column-major), each row still adding its values in column order.  `out`
// may be `in`.
void demean_rows(const ConstView &in, const MutView &out) {
    std::vector<double> sum(static_cast<std::size_t>(in.rows), 0.0);
    std::vector<index_t> count(static_cast<std::size_t>(in.rows), 0);
    for (index_t j = 0; j < in.cols; ++j)
        for (index_t i = 0; i < in.rows; ++i) {
            const double v = in(i, j);
            const bool ok = !std::isnan(v);
            sum[i] += ok ? v : 0.0;
            count[i] += ok;
        }
    for (index_t i = 0; i < in.rows; ++i)
        sum[i] = count[i] ? sum[i] / static_cast<double>(count[i]) : kNaN;
    for (index_t j = 0; j < in.cols; ++j)
        for (index_t i = 0; i < in.rows; ++i) out(i, j) = in(i, j) - sum[i];
}

void scale_rows(const ConstView &in, const MutView &out, double a) {
    std::vector<double> sum(static_cast<std::size_t>(in.rows), 0.0);
    for (index_t j = 0; j < in.cols; ++j)
        for (index_t i = 0; i < in.rows; ++i) {
            const double v = in(i, j);
            if (!std::isnan(v)) sum[i] += std::fabs(v);
        }
    for (index_t j = 0; j < in.cols; ++j)
        for (index_t i = 0; i < in.rows; ++i) out(i, j) = in(i, j) * a / sum[i];
}

namespace {

// Demean and ZScore with one accumulator per (row, group): no sorting.  The
// table is walked in tiles of a few rows by all columns, so that both a
// column-major table and row-major codes are read along their memory.
// Members are summed in column order (as pandas' group-by does).  Returns
// false, doing nothing, when the codes are too many for the accumulators.
bool group_moments_rows(const ConstView &in, const CodeView &codes, const MutView &out,
                        GroupOp op) {
    std::int32_t top = -1;
    for (index_t i = 0; i < in.rows; ++i)
        for (index_t j = 0; j < in.cols; ++j) top = std::max(top, codes(i, j));
    const index_t ng = static_cast<index_t>(top) + 1;
    constexpr index_t kTile = 16;
    if (ng > kGroupAccumulators) return false;
    const std::size_t cells = static_cast<std::size_t>(kTile * std::max<index_t>(ng, 1));
    std::vector<double> sum(cells), mean(cells), ss(cells), scale(cells);
    std::vector<index_t> count(cells);
    for (index_t r0 = 0; r0 < in.rows; r0 += kTile) {
        const index_t r1 = std::min(in.rows, r0 + kTile);
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(ss.begin(), ss.end(), 0.0);
        std::fill(count.begin(), count.end(), 0);
        for (index_t j = 0; j < in.cols; ++j)
            for (index_t i = r0; i < r1; ++i) {
                const double v = in(i, j);
                const std::int32_t g = codes(i, j);
                if (g < 0 || std::isnan(v)) continue;
                const std::size_t k = static_cast<std::size_t>((i - r0) * ng + g);
                sum[k] += v;
                ++count[k];
            }
        for (std::size_t k = 0; k < cells; ++k)
            mean[k] = count[k] ? sum[k] / static_cast<double>(count[k]) : kNaN;
        if (op == GroupOp::ZScore) {
            for (index_t j = 0; j < in.cols; ++j)
                for (index_t i = r0; i < r1; ++i) {
                    const double v = in(i, j);
                    const std::int32_t g = codes(i, j);
                    if (g < 0 || std::isnan(v)) continue;
                    const std::size_t k = static_cast<std::size_t>((i - r0) * ng + g);
                    const double e = v - mean[k];
                    ss[k] += e * e;
                }
            for (std::size_t k = 0; k < cells; ++k)
                scale[k] = count[k] > 1 ? std::sqrt(ss[k] / (static_cast<double>(count[k]) - 1.0))
                                        : kNaN;
        }
        for (index_t j = 0; j < in.cols; ++j)
            for (index_t i = r0; i < r1; ++i) {
                const double v = in(i, j);
                const std::int32_t g = codes(i, j);
                if (g < 0 || std::isnan(v)) {
                    out(i, j) = kNaN;
                    continue;
                }
                const std::size_t k = static_cast<std::size_t>((i - r0) * ng + g);
                if (op == GroupOp::ZScore) {
                    double z = (v - mean[k]) / scale[k];
                    if (std::isinf(z)) z = 0.0;
                    out(i, j) = z;
                } else {
                    out(i, j) = v - mean[k];
                }
            }
    }
    return true;
}

}  // namespace

void group_rows(const ConstView &in, const CodeView &codes, const MutView &out, GroupOp op) {
    if (op != GroupOp::Rank && group_moments_rows(in, codes, out, op)) return;
    struct Item {
        std::int32_t group;
        double value;
        index_t col;
    };
    std::vector<Item> items;
    items.reserve(static_cast<std::size_t>(in.cols));
    for (index_t i = 0; i < in.rows; ++i) {
        items.clear();
        for (index_t j = 0; j < in.cols; ++j) {
            const double v = in(i, j);
            const std::int32_t g = codes(i, j);
            out(i, j) = kNaN;
            if (!std::isnan(v) && g >= 0) items.push_back({g, v, j});
        }
        std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) {
            return a.group != b.group ? a.group < b.group : a.value < b.value;
        });
        for (std::size_t lo = 0; lo < items.size();) {
            std::size_t hi = lo;
            while (hi < items.size() && items[hi].group == items[lo].group) ++hi;
            const double m = static_cast<double>(hi - lo);
            if (op == GroupOp::Rank) {
                for (std::size_t a = lo; a < hi;) {
                    std::size_t b = a + 1;
                    while (b < hi && items[b].value == items[a].value) ++b;
                    const double r = 0.5 * static_cast<double>((a - lo) + 1 + (b - lo)) / m;
                    for (std::size_t k = a; k < b; ++k) out(i, items[k].col) = r;
                    a = b;
                }
            } else {
                double s = 0.0;
                for (std::size_t k = lo; k < hi; ++k) s += items[k].value;
                const double mean = s / m;
                double sd = 1.0;
                if (op == GroupOp::ZScore) {
                    double ss = 0.0;
                    for (std::size_t k = lo; k < hi; ++k) {
                        const double e = items[k].value - mean;
                        ss += e * e;
                    }
                    sd = m > 1 ? std::sqrt(ss / (m - 1.0)) : kNaN;
                }
                for (std::size_t k = lo; k < hi; ++k) {
                    double z = (items[k].value - mean) / sd;
                    if (op == GroupOp::ZScore && std::isinf(z)) z = 0.0;
                    out(i, items[k].col) = z;
                }
            }
            lo = hi;
        }
    }
}

}  // namespace tarnfold::kern
