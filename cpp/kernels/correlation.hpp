// Cross-sectional correlation statistics and their two-sided p-values.
//
// The numbers are scipy's pearsonr and spearmanr (rank correlation with
// average ranks for ties), edge behaviour included: a constant input gives NaN, two
// pairs give a rank p-value of NaN and a linear statistic of exactly +-1
// with p-value 1, an infinite value makes the linear statistic NaN.  A
// group with fewer than two valid pairs gets (0, 0).
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

enum class CorrKind { Pearson, Spearman };

// Two-sided p-value of a linear correlation r over n >= 3 pairs.
double pearson_pvalue(double r, index_t n);
// Two-sided p-value of a rank correlation rs over n pairs (NaN for n <= 2).
double spearman_pvalue(double rs, index_t n);

// Linear correlation of n pairs (no NaN among them), p-value optional.
double pearson_stat(const double *x, const double *y, index_t n, bool &constant);

// Rank correlation from centred-rank sums over n pairs; `x` is the first
// argument's ranks (the returns), `y` the second's (the factor).
double spearman_stat(double sxy, double sxx, double syy, index_t n);

// One float64 column of a long table (element stride).
struct ColumnRef {
    const double *data = nullptr;
    index_t stride = 1;
    double operator[](index_t row) const { return data[row * stride]; }
};

// Columns of a long table: the return fields and the factor.
struct LongTable {
    std::vector<ColumnRef> fields;
    ColumnRef factor;
};

struct CorrCounters {
    std::int64_t constant_inputs = 0;  // groups skipped as constant (NaN)
};

// For every group g (rows group_rows[group_start[g] .. group_start[g+1]))
// and field k: the correlation of field k with the factor over the rows
// where both are non-NaN.  stat/pvalue are groups x fields, row-major;
// pvalue may be null.  Groups are shared out over up to `threads` threads.
void grouped_correlation(CorrKind kind, const LongTable &table,
                         const std::vector<index_t> &group_start,
                         const std::vector<index_t> &group_rows, double *stat, double *pvalue,
                         CorrCounters &counters, int threads = 1);

// IC decay for lags 1 .. max_lag - 1.  `grid` holds, date-major, the table
// row of (date i, instrument s) or -1 (n_dates x n_inst).  At lag d the
// factor of date i is paired with the fields of date i + d, using only the
// instruments whose factor and every field are non-NaN.  Appends one row
// (date, lag, statistic per field) for each date and lag with at least one
// such instrument, ordered by date, then lag.  For the rank statistic,
// lag0_stat/lag0_pvalue (dates x fields, row-major; both null to skip)
// also receive every date's lag-0 statistic and p-value with each field
// masked on its own, as grouped_correlation gives them, from the same sorts.
// Runs of dates are shared out over up to `threads` threads.
struct DecayRows {
    std::vector<index_t> date, lag;
    std::vector<double> stat;  // rows x fields, row-major
};
void decay_correlation(CorrKind kind, const LongTable &table, const std::vector<index_t> &grid,
                       index_t n_dates, index_t n_inst, index_t max_lag, DecayRows &out,
                       CorrCounters &counters, double *lag0_stat = nullptr,
                       double *lag0_pvalue = nullptr, int threads = 1);

}  // namespace tarnfold::kern
