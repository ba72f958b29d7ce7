// Forward compounded returns over holding periods.
#pragma once

#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Running product of (1 + r) down each column, skipping NaN returns, with
// gaps filled by the last product above them (cells before a column's first
// valid return stay NaN).  Writes into `out`, same shape as `returns`.
void cumulative_growth(const ConstView &returns, const MutView &out);

// For every selected row t (a position in `growth`) and instrument j:
//   growth(t + p, j) / growth(t, j) - 1, NaN when t + p falls outside.
// `out` is rows.size() x growth.cols laid out row-major in a flat column of
// the caller's output (row k, instrument j at out[k * cols + j]).
void forward_return(const ConstView &growth, const std::vector<index_t> &rows,
                    index_t period, double *out);

// Gathers values(row_pos[k], col_pos[j]) into out[k * ncols + j]; a negative
// position yields NaN.
void gather(const ConstView &values, const std::vector<index_t> &row_pos,
            const std::vector<index_t> &col_pos, double *out);

}  // namespace tarnfold::kern
