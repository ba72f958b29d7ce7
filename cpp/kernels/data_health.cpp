#include "kernels/data_health.hpp"

#include <algorithm>
#include <cmath>

namespace tarnfold::kern {

void factor_health(const ConstView &factor, index_t min_run, FactorHealth &out) {
    const index_t n = factor.rows, m = factor.cols;
    out.coverage.assign(static_cast<std::size_t>(n), 0);
    out.infinite = 0;
    out.runs.clear();
    out.stale_cells = 0;
    out.repeated_rows.clear();
    std::vector<std::uint8_t> differs(static_cast<std::size_t>(n), 0);
    // Instrument by instrument: the table is usually column-major.
    for (index_t j = 0; j < m; ++j) {
        index_t start = 0, length = 0;
        double last = kNaN;
        auto close_run = [&]() {
            if (length >= min_run && min_run > 0) {
                out.runs.push_back({j, start, length});
                out.stale_cells += length;
            }
            length = 0;
        };
        for (index_t t = 0; t < n; ++t) {
            const double v = factor(t, j);
            const bool finite = std::isfinite(v);
            if (finite) ++out.coverage[static_cast<std::size_t>(t)];
            else if (!std::isnan(v)) ++out.infinite;
            if (t > 0 && !differs[static_cast<std::size_t>(t)]) {
                const double u = factor(t - 1, j);
                const bool same = (std::isnan(u) && std::isnan(v)) || u == v;
                if (!same) differs[static_cast<std::size_t>(t)] = 1;
            }
            if (!finite) {
                close_run();
                last = kNaN;
                continue;
            }
            if (length > 0 && v == last) {
                ++length;
            } else {
                close_run();
                start = t;
                length = 1;
            }
            last = v;
        }
        close_run();
    }
    for (index_t t = 1; t < n; ++t)
        if (!differs[static_cast<std::size_t>(t)] && out.coverage[static_cast<std::size_t>(t)] >= 2)
            out.repeated_rows.push_back(t);
}

index_t limit_breaches(const ConstView &returns, const double *limit_before,
                       const double *limit_after, index_t switch_row, double tolerance,
                       index_t skip, index_t max_notes, std::vector<CellNote> &notes) {
    const index_t n = returns.rows, m = returns.cols;
    index_t total = 0;
    std::vector<CellNote> found;
    for (index_t j = 0; j < m; ++j) {
        const double before = limit_before[j], after = limit_after[j];
        if (std::isnan(before) && std::isnan(after)) continue;
        index_t seen = 0;
        index_t kept = 0;
        for (index_t t = 0; t < n; ++t) {
            const double r = returns(t, j);
            if (std::isnan(r)) continue;
            if (seen++ < skip) continue;
            const double limit = t < switch_row ? before : after;
            if (std::isnan(limit) || !(std::fabs(r) > limit + tolerance)) continue;
            ++total;
            // Each instrument's first breaches are enough to find the
            // earliest max_notes of all.
            if (kept++ < max_notes) found.push_back({t, j, r, limit});
        }
    }
    std::sort(found.begin(), found.end(), [](const CellNote &a, const CellNote &b) {
        return a.row != b.row ? a.row < b.row : a.col < b.col;
    });
    if (static_cast<index_t>(found.size()) > max_notes) found.resize(static_cast<std::size_t>(max_notes));
    notes = std::move(found);
    return total;
}

void price_consistency(const ConstView &open, const ConstView &high, const ConstView &low,
                       const ConstView &close, index_t max_notes, PriceProblems &out) {
    const index_t n = close.rows, m = close.cols;
    for (auto &c : out.count) c = 0;
    for (auto &v : out.notes) v.clear();
    auto note = [&](int kind, index_t t, index_t j, double value, double bound) {
        ++out.count[kind];
        out.notes[kind].push_back({t, j, value, bound});
    };
    for (index_t j = 0; j < m; ++j) {
        index_t per_kind[4] = {0, 0, 0, 0};
        for (index_t t = 0; t < n; ++t) {
            const double o = open(t, j), h = high(t, j), l = low(t, j), c = close(t, j);
            auto take = [&](int kind, double value, double bound) {
                if (per_kind[kind]++ < max_notes) note(kind, t, j, value, bound);
                else ++out.count[kind];
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
        }
    }
    for (auto &v : out.notes) {
        std::sort(v.begin(), v.end(), [](const CellNote &a, const CellNote &b) {
            return a.row != b.row ? a.row < b.row : a.col < b.col;
        });
        if (static_cast<index_t>(v.size()) > max_notes) v.resize(static_cast<std::size_t>(max_notes));
    }
}

}  // namespace tarnfold::kern
