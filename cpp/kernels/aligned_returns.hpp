// Forward returns on a factor table's own grid: the factor's dates and
// instruments looked up in a returns table that may hold other dates and
// instruments (the alignment of the bench's formatted frame).
#pragma once

#include <vector>

#include "kernels/forward_returns.hpp"
#include "kernels/matrix.hpp"

namespace tarnfold::kern {

struct AlignedReturns {
    const GrowthFactors *growth = nullptr;
    const index_t *row = nullptr;  // factor date t -> returns row, -1 when absent
    const index_t *col = nullptr;  // factor instrument j -> returns column, -1 when absent
    index_t n_dates = 0, n_inst = 0;
};

// The forward return over `period` rows of every factor instrument on
// factor date t into out[0, n_inst): the bench's P_n (product of the
// following growth factors, a missing return counting as zero; NaN past the
// end of the returns, before an instrument's first return, and for dates or
// instruments the returns lack).  `scratch` holds one returns row.
void forward_row(const AlignedReturns &a, index_t t, index_t period, std::vector<double> &scratch,
                 double *out);

// Row t of a view into a contiguous buffer.
void copy_row(const ConstView &v, index_t t, double *out);

}  // namespace tarnfold::kern
