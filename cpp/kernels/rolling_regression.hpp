// Least-squares lines fitted over moving windows of valid days.
//
// On time: the window's values against 0, 1, ..., d-1 (oldest day first).
// Of y on x: the pairs of two equally long series.  Each window is fitted
// on its own (two passes over its values), so windows holding the same
// values give the same bits wherever they fall.  A window value is NaN
// unless t >= d-1 and every input in it is finite.
#pragma once

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Slope of the fitted line, per day; NaN for d = 1.
void rolling_slope(const double *x, index_t n, index_t d, double *out);
// Coefficient of determination of the fit; NaN for d = 1 and for a window
// of equal values.
void rolling_rsquare(const double *x, index_t n, index_t d, double *out);
// Today's residual: x[t] minus the fitted line's value today; NaN for d = 1.
void rolling_resid(const double *x, index_t n, index_t d, double *out);

// y regressed on x: the slope (NaN when x is constant over the window),
// the coefficient of determination (NaN when either is constant) and
// today's residual y[t] - (intercept + slope * x[t]).
void rolling_regression_slope(const double *y, const double *x, index_t n, index_t d, double *out);
void rolling_regression_rsquare(const double *y, const double *x, index_t n, index_t d,
                                double *out);
void rolling_regression_resid(const double *y, const double *x, index_t n, index_t d, double *out);

}  // namespace tarnfold::kern
