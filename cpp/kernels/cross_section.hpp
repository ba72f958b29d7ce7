// Per-date (row-wise) cross-sectional transforms of a factor table.
#pragma once

#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Row z-score: (x - mean) / sample sd, NaN skipped in both statistics; a
// cell that comes out +-inf becomes 0, NaN stays NaN.  Rows are shared out
// over up to `threads` threads (each row's arithmetic is the same whoever
// computes it).
void zscore_rows(const ConstView &in, const MutView &out, int threads = 1);

enum class ClipRule { Mad, Std, Percentile };

// Clipping constants: median +- kMadWidth * 1.4826 * MAD, mean +- kStdWidth
// sample sd, and the [kLowerQuantile, kUpperQuantile] quantiles with linear
// interpolation.
inline constexpr double kMadScale = 1.4826;
inline constexpr double kMadWidth = 3.0;
inline constexpr double kStdWidth = 3.0;
inline constexpr double kLowerQuantile = 0.01;
inline constexpr double kUpperQuantile = 0.99;

// Clips every row into the bounds the rule derives from that row's non-NaN
// values.  NaN cells stay NaN; a NaN bound leaves that side unclipped.
// Rows are shared out over up to `threads` threads.
void clip_rows(const ConstView &in, const MutView &out, ClipRule rule, int threads = 1);

// Statistics on a buffer of non-NaN values (the buffer is reordered).
double median_inplace(std::vector<double> &v);
double quantile_linear_sorted(const std::vector<double> &sorted, double q);

}  // namespace tarnfold::kern
