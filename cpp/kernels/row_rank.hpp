// Per-row percentile ranks of a date x instrument table.
#pragma once

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// pandas rank(axis=1, pct=True): each row's non-NaN values ranked 1..m
// (ties get the average rank) and divided by m; NaN stays NaN.  +-inf are
// ranked like any value.
void rank_rows_pct(const ConstView &in, const MutView &out);

}  // namespace tarnfold::kern
