// Cross-sectional rank correlation between many factors, date by date.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// `tables` are K factor tables of one shape (dates x instruments, NaN where
// missing).  For every date and every pair of tables (a, b): the Spearman
// rank correlation of the two rows over the instruments valid in both, ties
// averaged.  A date with fewer than two common instruments, or on which
// either ranking is constant, adds nothing.  Adds the correlations into
// sum[a * K + b] and the number of dates that contributed into
// count[a * K + b], for both (a, b) and (b, a); the diagonal is left alone.
// Each row of each table is sorted once; a pair whose valid instruments
// coincide reuses the rows' own ranks; when one side's instruments are a
// subset of the other's, the larger side is re-ranked over the subset once
// per date and group of equal masks; other pairs re-rank their common
// instruments with one linear walk per side.
void accumulate_cross_rank_correlation(const std::vector<ConstView> &tables, double *sum,
                                       std::int64_t *count);

}  // namespace tarnfold::kern
