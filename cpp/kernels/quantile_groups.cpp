#include "kernels/quantile_groups.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "kernels/multiversion.hpp"
#include "kernels/parallel.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kern {

void rank_groups(index_t k, index_t q, std::int32_t *out) {
    if (k <= 0 || q <= 0) return;
    // Breakpoints over the sorted ranks 1 ... k, step by step as an array
    // library computes them: linspace(0, 1, q + 1) (i * (1 / q), the last
    // set to 1), times k - 1, split into whole and fractional parts,
    // interpolated between neighbours (the neighbour of the last wraps to
    // the first, with fraction 0), the first lowered by 1.
    std::vector<double> bins(static_cast<std::size_t>(q + 1));
    const double step = 1.0 / static_cast<double>(q);
    const double span = static_cast<double>(k - 1);
    for (index_t i = 0; i <= q; ++i) {
        const double frac_pos = (i == q) ? 1.0 : static_cast<double>(i) * step;
        const double idx = frac_pos * span;
        const double fraction = std::fmod(idx, 1.0);
        const index_t pos = static_cast<index_t>(idx);
        const double a = static_cast<double>(pos + 1);
        const double b = static_cast<double>((pos + 1) % k + 1);
        bins[static_cast<std::size_t>(i)] = a + (b - a) * fraction;
    }
    bins[0] = bins[0] - 1.0;
    // Right-closed bins: rank r falls into the first i with bins[i] >= r.
    index_t i = 0;
    for (index_t r = 1; r <= k; ++r) {
        const double x = static_cast<double>(r);
        while (i < q && bins[static_cast<std::size_t>(i)] < x) ++i;
        out[r - 1] = static_cast<std::int32_t>(std::max<index_t>(i, 1) - 1);
    }
}

void lagged_quantile_labels(const ConstView &factor, bool ascending, index_t q, std::int32_t *out,
                            int threads) {
    const index_t n = factor.rows, m = factor.cols;
    // Descending order is the ascending order of the negated values; equal
    // values are then put back in column order, as rank(method='first')
    // breaks ties.
    struct Scratch {
        std::vector<double> row;
        std::vector<std::int32_t> groups;
        SortedColumn sorted;
        SortScratch sort;
    };
    std::vector<Scratch> scratch(static_cast<std::size_t>(std::max(threads, 1)));
    std::fill(out, out + std::min<index_t>(n, 1) * m, -1);
    parallel_chunks(
        std::max<index_t>(n - 1, 0), threads, 16, [&](int thread, index_t lo, index_t hi) {
            Scratch &sc = scratch[static_cast<std::size_t>(thread)];
            sc.row.resize(static_cast<std::size_t>(m));
            for (index_t t = lo; t < hi; ++t) {
                std::int32_t *dst = out + (t + 1) * m;
                std::fill(dst, dst + m, -1);
                for (index_t j = 0; j < m; ++j) {
                    const double v = factor(t, j);
                    sc.row[static_cast<std::size_t>(j)] = ascending ? v : -v;
                }
                sort_valid(sc.row.data(), static_cast<std::uint32_t>(m), sc.sorted, sc.sort);
                const index_t k = sc.sorted.size();
                if (k == 0) continue;
                for (std::size_t r = 0; r < sc.sorted.runs.size(); r += 2) {
                    std::sort(sc.sorted.order.begin() + sc.sorted.runs[r],
                              sc.sorted.order.begin() + sc.sorted.runs[r + 1] + 1);
                }
                sc.groups.resize(static_cast<std::size_t>(k));
                rank_groups(k, q, sc.groups.data());
                for (index_t r = 0; r < k; ++r) dst[sc.sorted.order[r]] = sc.groups[r];
            }
        });
}

namespace {

// The members of one window, grouped by label.
struct Window {
    index_t start = -1;                 // rebalance row
    std::vector<index_t> offset;        // q + 1 offsets into member
    std::vector<std::uint32_t> member;  // instruments, ascending within a group
    void build(const std::int32_t *labels, index_t m, index_t q, index_t s) {
        start = s;
        const std::int32_t *row = labels + s * m;
        offset.assign(static_cast<std::size_t>(q + 1), 0);
        for (index_t j = 0; j < m; ++j)
            if (row[j] >= 0) ++offset[static_cast<std::size_t>(row[j]) + 1];
        for (index_t g = 0; g < q; ++g) offset[g + 1] += offset[g];
        member.resize(static_cast<std::size_t>(offset[q]));
        std::vector<index_t> fill(offset.begin(), offset.end() - 1);
        for (index_t j = 0; j < m; ++j)
            if (row[j] >= 0) member[fill[row[j]]++] = static_cast<std::uint32_t>(j);
    }
    index_t count(index_t g) const { return offset[g + 1] - offset[g]; }
    bool empty() const { return offset.back() == 0; }
};

}  // namespace

namespace {

// The mean growth of one group's members over `days` consecutive dates of
// a window: `rows` is the first date's row of cumulative growth, `base` the
// row before the window.  out[d * stride] = mean over the members of
// rows[d][j] / base[j], NaN ratios left out (NaN when all are).  Four dates
// are summed side by side, each in its own lanes and in member order, so
// every mean is the sum a loop over one date would make.
TARNFOLD_AVX2_CLONES
void window_means(const double *rows, index_t m, const double *base, const std::uint32_t *mem,
                  index_t size, index_t days, double *out, index_t stride) {
    typedef double v4d __attribute__((vector_size(32)));
    typedef std::int64_t v4i __attribute__((vector_size(32)));
    index_t d = 0;
    for (; d + 4 <= days; d += 4) {
        const double *r0 = rows + d * m, *r1 = r0 + m, *r2 = r1 + m, *r3 = r2 + m;
        v4d sum = {0.0, 0.0, 0.0, 0.0};
        v4i valid = {0, 0, 0, 0};
        for (index_t k = 0; k < size; ++k) {
            const std::uint32_t j = mem[k];
            const v4d now = {r0[j], r1[j], r2[j], r3[j]};
            const v4d x = now / base[j];
            const v4i ok = x == x;
            sum = ok ? sum + x : sum;
            valid -= ok;
        }
        for (index_t l = 0; l < 4; ++l) {
            out[(d + l) * stride] = valid[l] ? sum[l] / static_cast<double>(valid[l]) : kNaN;
        }
    }
    for (; d < days; ++d) {
        const double *now = rows + d * m;
        double sum = 0.0;
        index_t valid = 0;
        for (index_t k = 0; k < size; ++k) {
            const double x = now[mem[k]] / base[mem[k]];
            if (!std::isnan(x)) {
                sum += x;
                ++valid;
            }
        }
        out[d * stride] = valid ? sum / static_cast<double>(valid) : kNaN;
    }
}

// One staggered schedule lv of a period: its daily group returns and
// turnover (q x n each, NaN where the schedule has none), with buffers
// reused from one schedule to the next.
struct ScheduleRun {
    std::vector<index_t> table_row;
    std::vector<double> mean;
    std::vector<char> occurs;
    std::vector<index_t> last_start;
    Window win;

    void run(const std::int32_t *labels, const double *cum, index_t n, index_t m, index_t q,
             index_t period, index_t lv, double *ret, double *turnover_out);
};

void ScheduleRun::run(const std::int32_t *labels, const double *cum, index_t n, index_t m,
                      index_t q, index_t period, index_t lv, double *ret, double *turnover_out) {
    std::fill(ret, ret + q * n, kNaN);
    std::fill(turnover_out, turnover_out + q * n, kNaN);
    table_row.clear();
    mean.clear();
    occurs.assign(static_cast<std::size_t>(q), 0);
    last_start.assign(static_cast<std::size_t>(q), -1);
    // Windows start on rows lv, lv + period, ...: every date of a window
    // holds the members labelled on its first row.
    for (index_t s = lv; s < n; s += period) {
        win.build(labels, m, q, s);
        if (win.empty()) continue;
        const index_t days = std::min(n, s + period) - s;
        const std::size_t pos0 = table_row.size();
        for (index_t t = s; t < s + days; ++t) table_row.push_back(t);
        mean.resize((pos0 + static_cast<std::size_t>(days)) * static_cast<std::size_t>(q));
        double *window_mean = mean.data() + pos0 * static_cast<std::size_t>(q);
        const double *base = cum + (s - 1) * m;
        for (index_t g = 0; g < q; ++g) {
            const index_t size = win.count(g);
            if (size == 0) {
                for (index_t d = 0; d < days; ++d) window_mean[d * q + g] = kNaN;
                continue;
            }
            occurs[g] = 1;
            const std::uint32_t *mem = win.member.data() + win.offset[g];
            window_means(cum + s * m, m, base, mem, size, days, window_mean + g, q);

            // Turnover on the window's first date: members that joined
            // since the group's previous window with members; none join
            // on the later dates of a window.
            double turnover = 0.0;
            const index_t prev = last_start[g];
            if (prev >= 0) {
                const std::int32_t *before = labels + prev * m;
                index_t joined = 0;
                for (index_t k = 0; k < size; ++k)
                    joined += before[mem[k]] != static_cast<std::int32_t>(g);
                turnover = static_cast<double>(joined) / static_cast<double>(size);
            }
            last_start[g] = s;
            turnover_out[g * n + s] = turnover;
            for (index_t t = s + 1; t < s + days; ++t) turnover_out[g * n + t] = 0.0;
        }
    }
    // Daily returns from the group means: the change against the
    // previous table row of the forward-filled means, replaced by the
    // mean growth minus 1 on table positions 0, p, 2p, ...
    const index_t rows = static_cast<index_t>(table_row.size());
    for (index_t g = 0; g < q; ++g) {
        if (!occurs[g]) continue;
        double filled = kNaN;
        for (index_t pos = 0; pos < rows; ++pos) {
            const double x = mean[pos * q + g];
            const double now = std::isnan(x) ? filled : x;
            const double v = (pos % period == 0) ? x - 1.0 : now / filled - 1.0;
            filled = now;
            ret[g * n + table_row[pos]] = v;
        }
    }
}

}  // namespace

void quantile_period(const std::int32_t *labels, const double *cum, index_t n, index_t m, index_t q,
                     index_t period, double *returns_out, double *turnover_out, int threads) {
    const std::size_t cells = static_cast<std::size_t>(q * n);
    const index_t schedules = std::max<index_t>(0, std::min(period, n - 1));
    threads = std::max(threads, 1);
    std::vector<double> ret_sum(cells, 0.0), to_sum(cells, 0.0);
    std::vector<std::int32_t> ret_cnt(cells, 0), to_cnt(cells, 0);
    // Schedules run a batch at a time, each into a table of its own; the
    // tables are then added up in schedule order, which keeps the sums'
    // rounding the same for every thread count and the memory to a few
    // tables.
    const index_t batch = std::min<index_t>(2 * threads, std::max<index_t>(schedules, 1));
    std::vector<double> ret(cells * static_cast<std::size_t>(batch));
    std::vector<double> to(ret.size());
    std::vector<ScheduleRun> runs(static_cast<std::size_t>(threads));
    for (index_t b0 = 0; b0 < schedules; b0 += batch) {
        const index_t nb = std::min(batch, schedules - b0);
        parallel_chunks(nb, threads, 1, [&](int thread, index_t lo, index_t hi) {
            for (index_t k = lo; k < hi; ++k) {
                runs[static_cast<std::size_t>(thread)].run(labels, cum, n, m, q, period, b0 + k + 1,
                                                           ret.data() + k * cells,
                                                           to.data() + k * cells);
            }
        });
        for (index_t k = 0; k < nb; ++k) {
            const double *r = ret.data() + k * cells, *u = to.data() + k * cells;
            for (std::size_t c = 0; c < cells; ++c) {
                if (!std::isnan(r[c])) {
                    ret_sum[c] += r[c];
                    ++ret_cnt[c];
                }
                if (!std::isnan(u[c])) {
                    to_sum[c] += u[c];
                    ++to_cnt[c];
                }
            }
        }
    }
    for (std::size_t c = 0; c < cells; ++c) {
        returns_out[c] = ret_cnt[c] ? ret_sum[c] / ret_cnt[c] : kNaN;
        turnover_out[c] = to_cnt[c] ? to_sum[c] / to_cnt[c] : kNaN;
    }
}

}  // namespace tarnfold::kern
