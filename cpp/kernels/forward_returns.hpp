// Forward compounded returns over holding periods.
#pragma once

#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Running product of (1 + r) down each column, skipping NaN returns, with
// gaps filled by the last product above them (cells before a column's first
// valid return stay NaN).  Writes into `out`, same shape as `returns`.
void cumulative_growth(const ConstView &returns, const MutView &out);

// For every selected row t (a position in `growth`) and instrument j:
//   growth(t + p, j) / growth(t, j) - 1, NaN when t + p falls outside.
// A ratio of running products: its last bits depend on the rows before t.
// The analysers use the GrowthFactors overload below.
// `out` is rows.size() x growth.cols laid out row-major in a flat column of
// the caller's output (row k, instrument j at out[k * cols + j]).
void forward_return(const ConstView &growth, const std::vector<index_t> &rows, index_t period,
                    double *out);

// Per-row growth factors of a returns table, for forward returns that do
// not depend on where the table starts: factor(i, j) = 1 + r(i, j), 1 where
// the return is missing (a missing return counts as zero), row-major; and
// per instrument the first row holding a non-NaN return (rows when none).
struct GrowthFactors {
    std::vector<double> factor;
    std::vector<index_t> first_valid;
    index_t rows = 0, cols = 0;
};
void growth_factors(const ConstView &returns, GrowthFactors &out);

// For every selected row t and instrument j: the product of factor(t + 1, j)
// ... factor(t + p, j), multiplied in row order, minus 1 -- for p = 1 the
// next return itself up to the rounding of 1 + r.  NaN when t + p falls
// outside the table or t lies before the instrument's first valid return.
// The value depends only on the returns of rows t + 1 .. t + p, so a date's
// forward return is the same whatever rows precede it, and equal returns
// give equal forward returns.  Output layout as for the overload above.
// The rows are shared out over up to `threads` threads.
void forward_return(const GrowthFactors &growth, const std::vector<index_t> &rows, index_t period,
                    double *out, int threads = 1);

// Gathers values(row_pos[k], col_pos[j]) into out[k * ncols + j]; a negative
// position yields NaN.  The rows are shared out over up to `threads`
// threads.
void gather(const ConstView &values, const std::vector<index_t> &row_pos,
            const std::vector<index_t> &col_pos, double *out, int threads = 1);

}  // namespace tarnfold::kern
