// Rank autocorrelation of a factor: how much of a date's cross-sectional
// ordering survives p dates later.
#pragma once

#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// For every row t >= p of `x` (dates x instruments) and every lag p in
// `lags`: the Spearman rank correlation of rows t and t - p over the
// instruments valid (non-NaN) in both, ties averaged; NaN for fewer than
// two common instruments or a constant ranking.  Rows t < p are NaN.
// `out` is column-major, rows x lags.size().  Runs of rows are shared out
// over up to `threads` threads; each run sorts its rows and the max(lags)
// rows before it once.
void rank_autocorrelation(const ConstView &x, const std::vector<index_t> &lags, double *out,
                          int threads = 1);

}  // namespace tarnfold::kern
