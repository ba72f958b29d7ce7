// The factor-weighted long-short portfolio: weights from the previous
// date's factor, held through staggered holding periods.
#pragma once

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Row t of `weights` (n x m, row-major) from factor row t - 1: the values
// minus their row mean (NaN skipped), divided by the row's sum of absolute
// deviations, negated when `negate`.  Row 0, and rows whose deviations sum
// to 0 (all equal, one value, none), are NaN.  Rows are shared out over up
// to `threads` threads.
void demeaned_weights(const ConstView &factor, bool negate, double *weights, int threads = 1);

// Mean over the p staggered schedules of the portfolio's one-row return.
// Schedule lv rebalances on rows lv, lv + p, ...: on a rebalance row s each
// instrument takes its weight of row s (keeping its weight from an earlier
// rebalance where row s has none) and its base level[s - 1]; on every row t
// from s on, the schedule's return since the rebalance is
//   wr(t) = sum_j weight_j * (cum[t, j] / base_j - 1)   (NaN terms skipped),
// and its one-row return is wr(s) on the rebalance row and
// (1 + wr(t)) / (1 + wr(t - 1)) - 1 after it; before its first rebalance a
// schedule holds nothing (one-row return 0 from row 1).  `daily` (n) gets
// the mean over the schedules that have a value; row 0 is NaN.  The
// schedules run on up to `threads` threads and are averaged in schedule
// order, so `daily` does not depend on the thread count.
void factor_weighted_returns(const double *weights, const double *cum, const double *level,
                             index_t n, index_t m, index_t period, double *daily, int threads = 1);

}  // namespace tarnfold::kern
