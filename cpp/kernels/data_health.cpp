#include "kernels/data_health.hpp"

#include <algorithm>
#include <cmath>

namespace tarnfold::kern {

namespace {

// Calls visit(t, j) for every cell in the table's memory order (the tables
// come row-major or column-major), so that each check is one sequential
// pass; per-instrument state makes the result the same either way.
template <typename Visit>
void in_memory_order(const ConstView &v, Visit &&visit) {
    if (v.col_stride == 1 && v.row_stride != 1) {
        for (index_t t = 0; t < v.rows; ++t)
            for (index_t j = 0; j < v.cols; ++j) visit(t, j);
    } else {
        for (index_t j = 0; j < v.cols; ++j)
            for (index_t t = 0; t < v.rows; ++t) visit(t, j);
    }
}

void sort_notes(std::vector<CellNote> &notes, index_t max_notes) {
    std::sort(notes.begin(), notes.end(), [](const CellNote &a, const CellNote &b) {
        return a.row != b.row ? a.row < b.row : a.col < b.col;
    });
    if (static_cast<index_t>(notes.size()) > max_notes)
        notes.resize(static_cast<std::size_t>(max_notes));
}

}  // namespace

void factor_health(const ConstView &factor, index_t min_run, FactorHealth &out) {
    const index_t n = factor.rows, m = factor.cols;
    out.coverage.assign(static_cast<std::size_t>(n), 0);
    out.infinite = 0;
    out.runs.clear();
    out.stale_cells = 0;
    out.repeated_rows.clear();
    out.constant_rows.clear();
    std::vector<std::uint8_t> differs(static_cast<std::size_t>(n), 0);
    std::vector<double> lo(static_cast<std::size_t>(n), kNaN),
        hi(static_cast<std::size_t>(n), kNaN);
    // per instrument: the current run's start, length and value
    std::vector<index_t> start(static_cast<std::size_t>(m), 0),
        length(static_cast<std::size_t>(m), 0);
    std::vector<double> last(static_cast<std::size_t>(m), kNaN);
    auto close_run = [&](index_t j) {
        index_t &len = length[static_cast<std::size_t>(j)];
        if (min_run > 0 && len >= min_run) {
            out.runs.push_back({j, start[static_cast<std::size_t>(j)], len});
            out.stale_cells += len;
        }
        len = 0;
    };
    in_memory_order(factor, [&](index_t t, index_t j) {
        const double v = factor(t, j);
        const bool finite = std::isfinite(v);
        const auto ts = static_cast<std::size_t>(t), js = static_cast<std::size_t>(j);
        if (finite) {
            ++out.coverage[ts];
            if (!(v >= lo[ts])) lo[ts] = v;
            if (!(v <= hi[ts])) hi[ts] = v;
        } else if (!std::isnan(v)) {
            ++out.infinite;
        }
        if (t > 0 && !differs[ts]) {
            const double u = factor(t - 1, j);
            if (!((std::isnan(u) && std::isnan(v)) || u == v)) differs[ts] = 1;
        }
        if (!finite) {
            close_run(j);
        } else if (length[js] > 0 && v == last[js]) {
            ++length[js];
        } else {
            close_run(j);
            start[js] = t;
            length[js] = 1;
        }
        last[js] = finite ? v : kNaN;
    });
    for (index_t j = 0; j < m; ++j) close_run(j);
    std::sort(out.runs.begin(), out.runs.end(), [](const StaleRun &a, const StaleRun &b) {
        return a.instrument != b.instrument ? a.instrument < b.instrument : a.start < b.start;
    });
    for (index_t t = 0; t < n; ++t) {
        const auto ts = static_cast<std::size_t>(t);
        if (t > 0 && !differs[ts] && out.coverage[ts] >= 2) out.repeated_rows.push_back(t);
        if (out.coverage[ts] >= 2 && lo[ts] == hi[ts]) out.constant_rows.push_back(t);
    }
}

index_t limit_breaches(const ConstView &returns, const double *limit_before,
                       const double *limit_after, index_t switch_row, double tolerance,
                       index_t skip, index_t max_notes, std::vector<CellNote> &notes) {
    const index_t m = returns.cols;
    index_t total = 0;
    std::vector<index_t> seen(static_cast<std::size_t>(m), 0), kept(static_cast<std::size_t>(m), 0);
    std::vector<CellNote> found;
    in_memory_order(returns, [&](index_t t, index_t j) {
        const double r = returns(t, j);
        if (std::isnan(r)) return;
        if (seen[static_cast<std::size_t>(j)]++ < skip) return;
        const double limit = t < switch_row ? limit_before[j] : limit_after[j];
        if (std::isnan(limit) || !(std::fabs(r) > limit + tolerance)) return;
        ++total;
        // Each instrument's first breaches are enough to find the earliest
        // max_notes of all.
        if (kept[static_cast<std::size_t>(j)]++ < max_notes) found.push_back({t, j, r, limit});
    });
    sort_notes(found, max_notes);
    notes = std::move(found);
    return total;
}

void price_consistency(const ConstView &open, const ConstView &high, const ConstView &low,
                       const ConstView &close, index_t max_notes, PriceProblems &out) {
    const index_t m = close.cols;
    for (auto &c : out.count) c = 0;
    for (auto &v : out.notes) v.clear();
    std::vector<index_t> kept(static_cast<std::size_t>(4 * m), 0);
    in_memory_order(close, [&](index_t t, index_t j) {
        const double o = open(t, j), h = high(t, j), l = low(t, j), c = close(t, j);
        auto take = [&](int kind, double value, double bound) {
            ++out.count[kind];
            if (kept[static_cast<std::size_t>(kind * m + j)]++ < max_notes)
                out.notes[kind].push_back({t, j, value, bound});
        };
        if (h < l) take(0, h, l);
        if (!std::isnan(c)) {
            if (c > h) take(1, c, h);
            else if (c < l) take(1, c, l);
        }
        if (!std::isnan(o)) {
            if (o > h) take(2, o, h);
            else if (o < l) take(2, o, l);
        }
        const double lowest = std::fmin(std::fmin(o, h), std::fmin(l, c));
        if (lowest <= 0.0) take(3, lowest, 0.0);
    });
    for (auto &v : out.notes) sort_notes(v, max_notes);
}

}  // namespace tarnfold::kern
