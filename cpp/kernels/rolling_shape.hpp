// Moving-window order statistics, higher moments and counts on one
// series (an instrument's values on its valid days, oldest first).
//
// A window of d days at position t covers t-d+1 .. t; its value is NaN
// unless t >= d-1 and none of the d inputs is NaN or infinite (pandas
// reads infinities as missing in these statistics), except for
// rolling_count, which counts.  Every kernel writes n outputs; `out` may
// not alias `x`.
#pragma once

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Median of the window (the mean of the two middle values for even d).
void rolling_median(const double *x, index_t n, index_t d, double *out);

// The q-quantile of the window (0 <= q <= 1) with linear interpolation
// between the order statistics at floor and ceil of q * (d - 1).
void rolling_quantile(const double *x, index_t n, index_t d, double q, double *out);

// Median absolute deviation: the median of |x - median| over the window.
void rolling_mad(const double *x, index_t n, index_t d, double *out);

// Sample skewness and excess kurtosis with the usual small-sample
// corrections (pandas skew() and kurt()): NaN below 3 (skewness) or 4
// (kurtosis) days and for a window of equal values.
void rolling_skew(const double *x, index_t n, index_t d, double *out);
void rolling_kurt(const double *x, index_t n, index_t d, double *out);

// Number of values in the window that are not NaN (NaN for t < d-1).
void rolling_count(const double *x, index_t n, index_t d, double *out);

}  // namespace tarnfold::kern
