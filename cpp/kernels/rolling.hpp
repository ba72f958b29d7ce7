// Moving-window and recursive operators on one series.
//
// A series is an instrument's values on its valid days, oldest first.  A
// window of d days at position t covers t-d+1 .. t; its value is NaN unless
// t >= d-1 and none of the d inputs is NaN (pandas rolling(d) with its
// default min_periods).  Every kernel writes n outputs; `out` may not alias
// `x`.
#pragma once

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Sum / mean of the window.  Running sums are recomputed from the window
// every d steps, so they do not drift; a window holding +-inf is summed
// directly (inf, or NaN for inf - inf).
void rolling_sum(const double *x, index_t n, index_t d, double *out);
void rolling_mean(const double *x, index_t n, index_t d, double *out);

// Sample standard deviation (ddof = 1).  A window of equal values gives
// exactly 0; d = 1 and windows holding +-inf give NaN.
void rolling_std(const double *x, index_t n, index_t d, double *out);

// x[t - d] (NaN for t < d), and x[t] - x[t - d].
void shift_back(const double *x, index_t n, index_t d, double *out);
void difference(const double *x, index_t n, index_t d, double *out);

// pandas ewm(alpha=alpha, adjust=False, min_periods=min_periods).mean():
// y = ((1-a)^k y_prev + a x) / ((1-a)^k + a), where k counts the days since
// the last observation; NaN inputs are skipped while the older weight keeps
// decaying.  NaN until min_periods observations have been seen.
void ewm_mean(const double *x, index_t n, double alpha, index_t min_periods, double *out);

}  // namespace tarnfold::kern

namespace tarnfold::kern {

// Product, minimum and maximum of the window.
void rolling_product(const double *x, index_t n, index_t d, double *out);
void rolling_min(const double *x, index_t n, index_t d, double *out);
void rolling_max(const double *x, index_t n, index_t d, double *out);

// Position of the window's minimum / maximum counted from its oldest day
// (0 .. d-1), the earliest one on ties.
void rolling_argmin(const double *x, index_t n, index_t d, double *out);
void rolling_argmax(const double *x, index_t n, index_t d, double *out);

// Percentile rank of x[t] within its window: (number below + (number
// equal + 1) / 2) / d, in (0, 1] (pandas rolling(d).rank(pct=True)).
void rolling_rank_pct(const double *x, index_t n, index_t d, double *out);

// Linearly decaying weighted mean: weight d today, 1 on the oldest day,
// weights summing to 1.
void decay_linear(const double *x, index_t n, index_t d, double *out);

// Sample covariance (ddof = 1) and linear correlation of the pairs of two
// equally long series over the window; NaN when either series has a NaN
// or an infinity in the window; the correlation is NaN when either
// series is constant over the window.
void rolling_cov(const double *x, const double *y, index_t n, index_t d, double *out);
void rolling_corr(const double *x, const double *y, index_t n, index_t d, double *out);

}  // namespace tarnfold::kern
