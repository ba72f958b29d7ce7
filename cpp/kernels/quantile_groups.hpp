// Factor-sorted groups: labels per date, and the daily return and turnover
// of every group under staggered rebalancing schedules.
//
// Layouts: date x instrument tables are row-major (row t, instrument j at
// t * m + j); group x date tables are group-major (group g, date t at
// g * n + t).  Labels are 0 ... q-1, -1 for "no label".
#pragma once

#include <cstdint>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Group of each rank 1 ... k when k values are cut into q groups: the
// breakpoints are q + 1 evenly spaced fractional positions in the sorted
// values (linear interpolation between neighbours, the first lowered by
// 1), intervals closed on the right, with exactly the floating-point
// operations that decide whether a rank falls on a breakpoint.
void rank_groups(index_t k, index_t q, std::int32_t *out);

// Labels of every date from the previous date's factor values: row t of
// `out` (n x m) labels the values of factor row t - 1, ranked per row with
// ties broken by column order (smallest first when `ascending`, largest
// first otherwise) and cut by rank_groups; NaN values and all of row 0 get
// -1.  Rows are shared out over up to `threads` threads.
void lagged_quantile_labels(const ConstView &factor, bool ascending, index_t q, std::int32_t *out,
                            int threads = 1);

// One holding period p of the quantile analyser.  Schedule lv (1 ... p)
// rebalances on rows lv, lv + p, ...; the window opened on row s covers
// rows s ... s + p - 1 and holds the labels of row s.  Per schedule:
//   * growth of instrument j on row t of the window: cum[t] / cum[s - 1];
//   * group mean growth R_g(t) over the members with a growth value;
//   * the schedule's table has one row per date on which any group has
//     members (date order); each label that occurs in the schedule gets,
//     on every table row, the change against the previous table row of
//     its forward-filled mean, except on table positions 0, p, 2p, ...,
//     where it gets R_g - 1;
//   * turnover of a group on a date with members: the share of members
//     that were not members on the group's previous date with members (0
//     on its first).
// The outputs (q x n) are the means over the schedules that have a value,
// NaN where none has.  Rows are in ascending date order.  The schedules
// run on up to `threads` threads and are averaged in schedule order, so the
// outputs do not depend on the thread count.
void quantile_period(const std::int32_t *labels, const double *cum, index_t n, index_t m, index_t q,
                     index_t period, double *returns_out, double *turnover_out, int threads = 1);

}  // namespace tarnfold::kern
