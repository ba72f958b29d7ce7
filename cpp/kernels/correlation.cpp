#include "kernels/correlation.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include <boost/math/distributions/students_t.hpp>
#include <boost/math/special_functions/beta.hpp>

#include "kernels/parallel.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kern {

namespace {

// Special functions report bad arguments as NaN instead of throwing; the
// callers screen the arguments anyway, this keeps a corner case from ever
// unwinding through a kernel.
using Quiet = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>>;

// Per-thread work buffers of one cross-section.
struct Work {
    std::vector<double> factor, bx, by;
    std::vector<std::int32_t> ranks_f, ranks_x;
    std::vector<std::vector<double>> fields;
    std::vector<SortedColumn> field_sorted;
    SortedColumn factor_sorted;
    std::vector<std::uint8_t> keep;
    std::vector<std::uint32_t> kept_pos;
    SortScratch scratch;

    void resize(std::size_t m, std::size_t k) {
        factor.resize(m);
        ranks_f.resize(m);
        ranks_x.resize(m);
        keep.resize(m);
        fields.resize(k);
        field_sorted.resize(k);
        for (auto &f : fields) f.resize(m);
    }
};

// Rank correlation of the kept pairs: the factor's centred ranks first,
// then the field's with the cross sum.  The doubled centred ranks are
// integers, so the sums are exact; they are four times the sums of the
// centred ranks.
double spearman_from_sums(const RankSums &x, const RankSums &f, index_t n) {
    return spearman_stat(static_cast<double>(x.cross) / 4.0, static_cast<double>(x.square) / 4.0,
                         static_cast<double>(f.square) / 4.0, n);
}

double spearman_kept(const SortedColumn &field, const SortedColumn &factor,
                     const std::uint8_t *keep, std::size_t m, index_t n, std::int32_t *ranks_x,
                     std::int32_t *ranks_f, std::vector<std::uint32_t> &kept_pos, bool &constant) {
    const auto kept = static_cast<std::uint32_t>(n);
    // Entries outside the sorted columns (NaN) are never visited: clear them.
    std::fill(ranks_f, ranks_f + m, 0);
    std::fill(ranks_x, ranks_x + m, 0);
    RankSums f = rank_kept_sums(factor, keep, kept, ranks_f, kept_pos);
    RankSums x = rank_kept_sums(field, keep, kept, ranks_x, kept_pos);
    x.cross = centred_dot(ranks_x, ranks_f, m);
    constant = f.constant || x.constant;
    if (constant) return kNaN;
    return spearman_from_sums(x, f, n);
}

}  // namespace

double pearson_pvalue(double r, index_t n) {
    if (std::isnan(r)) return kNaN;
    if (n == 2) return 1.0;
    const double ab = static_cast<double>(n) / 2.0 - 1.0;
    const double x = (std::fabs(r) + 1.0) / 2.0;
    return 2.0 * boost::math::ibetac(ab, ab, x, Quiet());
}

double spearman_pvalue(double rs, index_t n) {
    const index_t dof = n - 2;
    if (std::isnan(rs) || dof <= 0) return kNaN;
    const double q = static_cast<double>(dof) / ((rs + 1.0) * (1.0 - rs));
    if (std::isnan(q)) return kNaN;
    const double t = rs * std::sqrt(std::max(q, 0.0));
    if (std::isnan(t)) return kNaN;
    if (std::isinf(t)) return 0.0;
    boost::math::students_t_distribution<double, Quiet> dist(static_cast<double>(dof));
    return 2.0 * boost::math::cdf(dist, -std::fabs(t));
}

double pearson_stat(const double *x, const double *y, index_t n, bool &constant) {
    bool const_x = true, const_y = true;
    for (index_t i = 1; i < n; ++i) {
        const_x = const_x && x[i] == x[0];
        const_y = const_y && y[i] == y[0];
    }
    constant = const_x || const_y;
    if (constant) return kNaN;
    double sx = 0.0, sy = 0.0;
    for (index_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return kNaN;
        sx += x[i];
        sy += y[i];
    }
    const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
    // Scale by the largest deviation before the norm, so that huge values
    // do not overflow the sum of squares.
    double xmax = 0.0, ymax = 0.0;
    for (index_t i = 0; i < n; ++i) {
        xmax = std::max(xmax, std::fabs(x[i] - mx));
        ymax = std::max(ymax, std::fabs(y[i] - my));
    }
    double qx = 0.0, qy = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double a = (x[i] - mx) / xmax, b = (y[i] - my) / ymax;
        qx += a * a;
        qy += b * b;
    }
    const double nx = xmax * std::sqrt(qx), ny = ymax * std::sqrt(qy);
    double r = 0.0;
    for (index_t i = 0; i < n; ++i) r += ((x[i] - mx) / nx) * ((y[i] - my) / ny);
    if (std::isnan(r)) return r;
    r = std::clamp(r, -1.0, 1.0);
    if (n == 2) r = std::nearbyint(r);
    return r;
}

double spearman_stat(double sxy, double sxx, double syy, index_t n) {
    // Covariances scaled by the reciprocal of n - 1, then divided by the
    // second and the first standard deviation, in that order.
    const double inv = 1.0 / static_cast<double>(n - 1);
    const double cxy = sxy * inv, cxx = sxx * inv, cyy = syy * inv;
    double r = cxy / std::sqrt(cyy) / std::sqrt(cxx);
    if (std::isnan(r)) return r;
    return std::clamp(r, -1.0, 1.0);
}

void grouped_correlation(CorrKind kind, const LongTable &table,
                         const std::vector<index_t> &group_start,
                         const std::vector<index_t> &group_rows, double *stat, double *pvalue,
                         CorrCounters &counters, int threads) {
    const std::size_t n_fields = table.fields.size();
    const std::size_t n_groups = group_start.empty() ? 0 : group_start.size() - 1;
    const std::size_t slots = static_cast<std::size_t>(std::max(threads, 1));
    std::vector<Work> works(slots);
    std::vector<std::int64_t> constant(slots, 0);
    parallel_chunks(static_cast<index_t>(n_groups), threads, 1,
                    [&](int thread, index_t lo, index_t hi) {
                        Work &w = works[static_cast<std::size_t>(thread)];
                        std::int64_t &constant_inputs = constant[static_cast<std::size_t>(thread)];
                        for (std::size_t g = static_cast<std::size_t>(lo);
                             g < static_cast<std::size_t>(hi); ++g) {
                            const index_t begin = group_start[g], end = group_start[g + 1];
                            const std::size_t m = static_cast<std::size_t>(end - begin);
                            w.resize(m, n_fields);
                            for (std::size_t p = 0; p < m; ++p) {
                                const index_t r = group_rows[static_cast<std::size_t>(begin) + p];
                                w.factor[p] = table.factor[r];
                                for (std::size_t k = 0; k < n_fields; ++k)
                                    w.fields[k][p] = table.fields[k][r];
                            }
                            const auto m32 = static_cast<std::uint32_t>(m);
                            if (kind == CorrKind::Spearman)
                                sort_valid(w.factor.data(), m32, w.factor_sorted, w.scratch);
                            for (std::size_t k = 0; k < n_fields; ++k) {
                                double &s = stat[g * n_fields + k];
                                double *pv = pvalue ? &pvalue[g * n_fields + k] : nullptr;
                                const double *x = w.fields[k].data();
                                index_t n = 0;
                                for (std::size_t p = 0; p < m; ++p) {
                                    w.keep[p] = !std::isnan(w.factor[p]) && !std::isnan(x[p]);
                                    n += w.keep[p];
                                }
                                if (n < 2) {
                                    s = 0.0;
                                    if (pv) *pv = 0.0;
                                    continue;
                                }
                                bool is_constant = false;
                                if (kind == CorrKind::Spearman) {
                                    sort_valid(x, m32, w.field_sorted[k], w.scratch);
                                    s = spearman_kept(w.field_sorted[k], w.factor_sorted,
                                                      w.keep.data(), m, n, w.ranks_x.data(),
                                                      w.ranks_f.data(), w.kept_pos, is_constant);
                                    if (pv) *pv = is_constant ? kNaN : spearman_pvalue(s, n);
                                } else {
                                    w.bx.clear();
                                    w.by.clear();
                                    for (std::size_t p = 0; p < m; ++p) {
                                        if (!w.keep[p]) continue;
                                        w.bx.push_back(x[p]);
                                        w.by.push_back(w.factor[p]);
                                    }
                                    s = pearson_stat(w.bx.data(), w.by.data(), n, is_constant);
                                    if (pv) *pv = pearson_pvalue(s, n);
                                }
                                constant_inputs += is_constant;
                            }
                        }
                    });
    for (std::int64_t c : constant) counters.constant_inputs += c;
}

namespace {

// The fields of one date laid out by instrument, with their sorted orders
// and the mask of instruments complete in every field.
struct FieldDate {
    index_t date = -1;
    std::vector<std::vector<double>> fields;
    std::vector<SortedColumn> sorted;
    std::vector<std::uint8_t> complete;
};

void load_field_date(CorrKind kind, const LongTable &t, const std::vector<index_t> &grid,
                     index_t date, index_t n_inst, FieldDate &fd, SortScratch &scratch) {
    const std::size_t n_fields = t.fields.size();
    const auto n = static_cast<std::size_t>(n_inst);
    fd.date = date;
    fd.fields.resize(n_fields);
    fd.sorted.resize(n_fields);
    fd.complete.assign(n, 1);
    const index_t *rows = grid.data() + date * n_inst;
    for (std::size_t k = 0; k < n_fields; ++k) {
        auto &col = fd.fields[k];
        col.resize(n);
        for (std::size_t s = 0; s < n; ++s) {
            const index_t r = rows[s];
            col[s] = r < 0 ? kNaN : t.fields[k][r];
            if (std::isnan(col[s])) fd.complete[s] = 0;
        }
        if (kind == CorrKind::Spearman)
            sort_valid(col.data(), static_cast<std::uint32_t>(n), fd.sorted[k], scratch);
    }
}

}  // namespace

namespace {

// The decay rows (and lag-0 statistics) of a run of dates, with buffers
// reused from one run to the next.  The fields of the dates a run reads
// are sorted once and kept in a ring of max_lag slots.
struct DecayWorker {
    DecayWorker(index_t n_inst, index_t ring)
        : slots(static_cast<std::size_t>(ring)),
          factor(static_cast<std::size_t>(n_inst)),
          ranks_f(static_cast<std::size_t>(n_inst)),
          ranks_x(static_cast<std::size_t>(n_inst)),
          keep(static_cast<std::size_t>(n_inst)),
          factor_valid(static_cast<std::size_t>(n_inst)) {}

    std::vector<FieldDate> slots;
    std::vector<double> factor, bx, by;
    std::vector<std::int32_t> ranks_f, ranks_x;
    SortedColumn factor_sorted;
    std::vector<std::uint32_t> kept_pos;
    std::vector<std::uint8_t> keep, factor_valid;
    SortScratch scratch;
    std::int64_t constant_inputs = 0;

    void dates(CorrKind kind, const LongTable &table, const std::vector<index_t> &grid,
               index_t n_dates, index_t n_inst, index_t max_lag, index_t first, index_t last,
               DecayRows &out, double *lag0_stat, double *lag0_pvalue);
};

void DecayWorker::dates(CorrKind kind, const LongTable &table, const std::vector<index_t> &grid,
                        index_t n_dates, index_t n_inst, index_t max_lag, index_t first,
                        index_t last, DecayRows &out, double *lag0_stat, double *lag0_pvalue) {
    const bool lag0 = lag0_stat != nullptr;
    const std::size_t n_fields = table.fields.size();
    const auto n = static_cast<std::size_t>(n_inst);
    const auto ring = static_cast<index_t>(slots.size());
    for (index_t i = first; i < last; ++i) {
        const index_t *rows = grid.data() + i * n_inst;
        bool any_factor = false;
        for (std::size_t s = 0; s < n; ++s) {
            factor[s] = rows[s] < 0 ? kNaN : table.factor[rows[s]];
            factor_valid[s] = !std::isnan(factor[s]);
            any_factor = any_factor || factor_valid[s];
        }
        if (kind == CorrKind::Spearman && (any_factor || lag0)) {
            sort_valid(factor.data(), static_cast<std::uint32_t>(n), factor_sorted, scratch);
            // The walks over the factor's sorted order write every entry
            // but the NaN ones, which must read 0 in the cross sums.  The
            // fields' ranks need no clearing: where a walk over a field
            // leaves an old value (a NaN of that field), the factor's rank
            // is 0, as that entry is never kept.
            std::fill(ranks_f.begin(), ranks_f.end(), 0);
        }
        if (lag0) {
            FieldDate &fd = slots[static_cast<std::size_t>(i % ring)];
            if (fd.date != i) load_field_date(kind, table, grid, i, n_inst, fd, scratch);
            for (std::size_t k = 0; k < n_fields; ++k) {
                double &st = lag0_stat[static_cast<std::size_t>(i) * n_fields + k];
                double &pv = lag0_pvalue[static_cast<std::size_t>(i) * n_fields + k];
                index_t kept = 0;
                for (std::size_t s = 0; s < n; ++s) {
                    keep[s] = !std::isnan(factor[s]) && !std::isnan(fd.fields[k][s]);
                    kept += keep[s];
                }
                if (kept < 2) {
                    st = pv = 0.0;
                    continue;
                }
                const auto kept32 = static_cast<std::uint32_t>(kept);
                RankSums f = rank_kept_sums(factor_sorted, keep.data(), kept32, ranks_f.data(),
                                            kept_pos);
                RankSums x = rank_kept_sums(fd.sorted[k], keep.data(), kept32, ranks_x.data(),
                                            kept_pos);
                x.cross = centred_dot(ranks_x.data(), ranks_f.data(), n);
                const bool constant = f.constant || x.constant;
                constant_inputs += constant;
                st = constant ? kNaN : spearman_from_sums(x, f, kept);
                pv = constant ? kNaN : spearman_pvalue(st, kept);
            }
        }
        if (!any_factor) continue;
        for (index_t d = 1; d < max_lag && i + d < n_dates; ++d) {
            const index_t j = i + d;
            FieldDate &fd = slots[static_cast<std::size_t>(j % ring)];
            if (fd.date != j) load_field_date(kind, table, grid, j, n_inst, fd, scratch);
            // (bytes of 0 and 1: a loop the compiler vectorises)
            const std::uint8_t *complete = fd.complete.data(), *valid = factor_valid.data();
            std::uint8_t *kp = keep.data();
            index_t kept = 0;
            for (std::size_t s = 0; s < n; ++s) {
                kp[s] = complete[s] & valid[s];
                kept += kp[s];
            }
            if (kept == 0) continue;
            out.date.push_back(i);
            out.lag.push_back(d);
            if (kept < 2) {
                out.stat.insert(out.stat.end(), n_fields, 0.0);
                continue;
            }
            if (kind == CorrKind::Spearman) {
                const auto kept32 = static_cast<std::uint32_t>(kept);
                RankSums f = rank_kept_sums(factor_sorted, keep.data(), kept32, ranks_f.data(),
                                            kept_pos);
                for (std::size_t k = 0; k < n_fields; ++k) {
                    RankSums x = rank_kept_sums(fd.sorted[k], keep.data(), kept32, ranks_x.data(),
                                                kept_pos);
                    x.cross = centred_dot(ranks_x.data(), ranks_f.data(), n);
                    const bool constant = f.constant || x.constant;
                    constant_inputs += constant;
                    out.stat.push_back(constant ? kNaN : spearman_from_sums(x, f, kept));
                }
            } else {
                for (std::size_t k = 0; k < n_fields; ++k) {
                    bx.clear();
                    by.clear();
                    for (std::size_t s = 0; s < n; ++s) {
                        if (!keep[s]) continue;
                        bx.push_back(fd.fields[k][s]);
                        by.push_back(factor[s]);
                    }
                    bool constant = false;
                    out.stat.push_back(pearson_stat(bx.data(), by.data(), kept, constant));
                    constant_inputs += constant;
                }
            }
        }
    }
}

}  // namespace

void decay_correlation(CorrKind kind, const LongTable &table, const std::vector<index_t> &grid,
                       index_t n_dates, index_t n_inst, index_t max_lag, DecayRows &out,
                       CorrCounters &counters, double *lag0_stat, double *lag0_pvalue,
                       int threads) {
    // Lag 0 (per-field masks, with p-values) is computed here only for the
    // rank statistic, whose sorts it shares with the later lags.
    const bool lag0 = lag0_stat && kind == CorrKind::Spearman;
    if (!lag0 && (max_lag < 2 || n_dates < 2)) return;
    const index_t ring = std::max<index_t>(1, std::min(std::max<index_t>(max_lag, 1), n_dates));
    // Runs of dates: each run sorts again the fields of the max_lag - 1
    // dates past its end that the next run sorts too.
    threads = std::max(threads, 1);
    const index_t run = ring_run_length(n_dates, ring, threads);
    const index_t n_runs = (n_dates + run - 1) / run;
    std::vector<DecayRows> parts(static_cast<std::size_t>(n_runs));
    std::vector<std::unique_ptr<DecayWorker>> workers(static_cast<std::size_t>(threads));
    parallel_chunks(n_runs, threads, 1, [&](int thread, index_t lo, index_t hi) {
        auto &w = workers[static_cast<std::size_t>(thread)];
        if (!w) w = std::make_unique<DecayWorker>(n_inst, ring);
        for (index_t c = lo; c < hi; ++c) {
            w->dates(kind, table, grid, n_dates, n_inst, max_lag, c * run,
                     std::min(n_dates, (c + 1) * run), parts[static_cast<std::size_t>(c)],
                     lag0 ? lag0_stat : nullptr, lag0 ? lag0_pvalue : nullptr);
        }
    });
    for (const auto &w : workers)
        if (w) counters.constant_inputs += w->constant_inputs;
    // The runs' rows in date order.
    std::size_t rows = 0;
    for (const DecayRows &p : parts) rows += p.date.size();
    out.date.reserve(out.date.size() + rows);
    out.lag.reserve(out.lag.size() + rows);
    out.stat.reserve(out.stat.size() + rows * table.fields.size());
    for (DecayRows &p : parts) {
        out.date.insert(out.date.end(), p.date.begin(), p.date.end());
        out.lag.insert(out.lag.end(), p.lag.begin(), p.lag.end());
        out.stat.insert(out.stat.end(), p.stat.begin(), p.stat.end());
        p = DecayRows();
    }
}

}  // namespace tarnfold::kern
