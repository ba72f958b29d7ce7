// Growth of 1 unit invested in each instrument, read at the dates of a
// factor table, for the holding-period analysers.
#pragma once

#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Walks the returns table's rows in order, compounding (1 + r) per
// instrument with NaN returns skipped, and reads the running product at
// the returns row of every factor date.
//
//   row_of[t]  returns row of factor row t, or -1 when the date is absent
//   col_of[j]  returns column of factor column j, or -1 when absent
//
// `cum` (n x m, row-major; optional): the running product at that row, NaN
// where the date or instrument is absent or the row's own return is NaN
// (the cumulative product of the returns table, reindexed to the factor's
// dates and instruments).
//
// `level` (optional, same shape): the last non-NaN running product at or
// before that row (a missing return counted as zero); a factor date absent
// from the returns takes the level of the factor row before it.  NaN until
// the instrument's first return.
//
// Instruments are shared out over up to `threads` threads.
void growth_index(const ConstView &returns, const std::vector<index_t> &row_of,
                  const std::vector<index_t> &col_of, double *cum, double *level, int threads = 1);

}  // namespace tarnfold::kern
