#include "kernels/event_study.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/subset_ranks.hpp"

namespace tarnfold::kern {

namespace {

// Growth factors of the equal-weighted average of the factor's instruments:
// 1 + the mean of the day's returns that are there (1 when none is).
std::vector<double> market_factors(const ConstView &returns, const AlignedReturns &a) {
    std::vector<index_t> cols;
    for (index_t j = 0; j < a.n_inst; ++j)
        if (a.col[j] >= 0) cols.push_back(a.col[j]);
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    std::vector<double> sum(static_cast<std::size_t>(returns.rows), 0.0);
    std::vector<index_t> cnt(static_cast<std::size_t>(returns.rows), 0);
    auto add = [&](index_t r, index_t c) {
        const double v = returns(r, c);
        if (std::isnan(v)) return;
        sum[static_cast<std::size_t>(r)] += v;
        ++cnt[static_cast<std::size_t>(r)];
    };
    // In the table's memory order (the sums per row are the same either way).
    if (returns.col_stride == 1) {
        for (index_t r = 0; r < returns.rows; ++r)
            for (index_t c : cols) add(r, c);
    } else {
        for (index_t c : cols)
            for (index_t r = 0; r < returns.rows; ++r) add(r, c);
    }
    std::vector<double> f(static_cast<std::size_t>(returns.rows), 1.0);
    for (index_t r = 0; r < returns.rows; ++r)
        if (cnt[static_cast<std::size_t>(r)] > 0)
            f[static_cast<std::size_t>(r)] += sum[static_cast<std::size_t>(r)] /
                                              static_cast<double>(cnt[static_cast<std::size_t>(r)]);
    return f;
}

// Cumulative returns W(r + k) / W(r) - 1 for k = -before .. after into
// out[k + before] from per-row growth factors f(row) (stride `step` between
// rows); NaN outside rows [lo, hi).  Products run away from the event row,
// as for the events themselves below.
void around(const double *f, index_t step, index_t r, index_t lo, index_t hi, index_t before,
            index_t after, double *out) {
    out[before] = r >= lo && r < hi ? 0.0 : kNaN;
    double g = 1.0;
    for (index_t k = 1; k <= after; ++k) {
        const index_t row = r + k;
        if (r < lo || row >= hi) {
            out[before + k] = kNaN;
            continue;
        }
        g = k == 1 ? f[row * step] : g * f[row * step];
        out[before + k] = g - 1.0;
    }
    g = 1.0;
    for (index_t k = 1; k <= before; ++k) {
        const index_t row = r - k;  // W(row) / W(r) = 1 / (f(row + 1) ... f(r))
        if (row < lo || r >= hi) {
            out[before - k] = kNaN;
            continue;
        }
        g = k == 1 ? f[(row + 1) * step] : g * f[(row + 1) * step];
        out[before - k] = 1.0 / g - 1.0;
    }
}

}  // namespace

void event_study(const EventStudyInput &in, double *raw_sum, double *excess_sum,
                 std::int64_t *count, std::int64_t *events) {
    const index_t n = in.factor.rows, m = in.factor.cols, q = in.quantile;
    const index_t width = in.before + in.after + 1;
    std::fill(raw_sum, raw_sum + 2 * n * width, 0.0);
    std::fill(excess_sum, excess_sum + 2 * n * width, 0.0);
    std::fill(count, count + 2 * n * width, std::int64_t{0});
    std::fill(events, events + 2 * n, std::int64_t{0});
    if (n == 0 || m == 0 || q < 2) return;

    const GrowthFactors &g = *in.aligned.growth;
    const index_t rows = g.rows;
    const std::vector<double> market = market_factors(in.returns, in.aligned);
    std::vector<double> x(static_cast<std::size_t>(m));
    std::vector<std::int32_t> label(static_cast<std::size_t>(m)),
        previous(static_cast<std::size_t>(m), -1);
    std::vector<std::uint32_t> best;
    std::vector<index_t> cnt;
    std::vector<double> mkt(static_cast<std::size_t>(width)), acc;
    std::vector<index_t> ev_col;
    std::vector<int> ev_side;
    SortedColumn xs;
    SortScratch scratch;
    RankGroupTable groups(q);
    const std::int32_t target[2] = {0, static_cast<std::int32_t>(q - 1)};

    for (index_t t = 0; t < n; ++t) {
        if (in.labels) {
            std::copy(in.labels + t * m, in.labels + (t + 1) * m, label.begin());
        } else {
            copy_row(in.factor, t, x.data());
            for (double &v : x)
                if (!std::isfinite(v)) v = kNaN;  // as the group views leave them out
            sort_with_ties_by_position(x.data(), m, xs, scratch);
            largest_first(xs, best);
            subset_groups(best, m, nullptr, 1, groups, cnt, label.data());
        }
        const index_t r = in.aligned.row[t];
        if (t > 0 && r >= 0) {
            around(market.data(), 1, r, 0, rows, in.before, in.after, mkt.data());
            // The date's entries in column order; their returns are then
            // compounded offset by offset, all of them along one row of the
            // growth factors at a time.
            ev_col.clear();
            ev_side.clear();
            for (index_t j = 0; j < m; ++j) {
                const std::int32_t now = label[static_cast<std::size_t>(j)];
                const std::int32_t was = previous[static_cast<std::size_t>(j)];
                const index_t c = in.aligned.col[j];
                if (now < 0 || was < 0 || c < 0) continue;
                for (int side = 0; side < 2; ++side) {
                    if (now != target[side] || was == target[side]) continue;
                    ++events[side * n + t];
                    ev_col.push_back(c);
                    ev_side.push_back(side);
                }
            }
            const std::size_t ne = ev_col.size();
            // Sums of one offset over the date's entries, per side, added in
            // column order.
            double raw[2], excess[2];
            std::int64_t seen[2];
            auto open_offset = [&]() {
                raw[0] = raw[1] = excess[0] = excess[1] = 0.0;
                seen[0] = seen[1] = 0;
            };
            auto add = [&](std::size_t e, double v, double market_v) {
                const int side = ev_side[e];
                raw[side] += v;
                excess[side] += v - market_v;
                ++seen[side];
            };
            auto close_offset = [&](index_t k) {
                for (int side = 0; side < 2; ++side) {
                    const index_t at = (side * n + t) * width + in.before + k;
                    raw_sum[at] = raw[side];
                    excess_sum[at] = excess[side];
                    count[at] = seen[side];
                }
            };
            auto started = [&](std::size_t e, index_t row) {
                return row >= g.first_valid[static_cast<std::size_t>(ev_col[e])];
            };
            open_offset();
            for (std::size_t e = 0; e < ne; ++e)
                if (started(e, r)) add(e, 0.0, mkt[static_cast<std::size_t>(in.before)]);
            close_offset(0);
            acc.assign(ne, 1.0);
            for (index_t k = 1; k <= in.after && r + k < rows; ++k) {
                const double *f = g.factor.data() + (r + k) * g.cols;
                const double market_v = mkt[static_cast<std::size_t>(in.before + k)];
                open_offset();
                for (std::size_t e = 0; e < ne; ++e) {
                    if (!started(e, r)) continue;
                    acc[e] = k == 1 ? f[ev_col[e]] : acc[e] * f[ev_col[e]];
                    add(e, acc[e] - 1.0, market_v);
                }
                close_offset(k);
            }
            // W(r - k) / W(r) = 1 / (f(r - k + 1) ... f(r))
            acc.assign(ne, 1.0);
            for (index_t k = 1; k <= in.before && r - k >= 0; ++k) {
                const double *f = g.factor.data() + (r - k + 1) * g.cols;
                const double market_v = mkt[static_cast<std::size_t>(in.before - k)];
                open_offset();
                for (std::size_t e = 0; e < ne; ++e) {
                    if (!started(e, r - k)) continue;
                    acc[e] = k == 1 ? f[ev_col[e]] : acc[e] * f[ev_col[e]];
                    add(e, 1.0 / acc[e] - 1.0, market_v);
                }
                close_offset(-k);
            }
        }
        std::swap(label, previous);
    }
}

}  // namespace tarnfold::kern
