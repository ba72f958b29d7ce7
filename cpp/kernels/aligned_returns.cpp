#include "kernels/aligned_returns.hpp"

namespace tarnfold::kern {

void forward_row(const AlignedReturns &a, index_t t, index_t period, std::vector<double> &scratch,
                 double *out) {
    const index_t r = a.row[t];
    if (r < 0) {
        for (index_t j = 0; j < a.n_inst; ++j) out[j] = kNaN;
        return;
    }
    scratch.resize(static_cast<std::size_t>(a.growth->cols));
    thread_local std::vector<index_t> one(1);
    one[0] = r;
    forward_return(*a.growth, one, period, scratch.data());
    for (index_t j = 0; j < a.n_inst; ++j) {
        const index_t c = a.col[j];
        out[j] = c < 0 ? kNaN : scratch[static_cast<std::size_t>(c)];
    }
}

void copy_row(const ConstView &v, index_t t, double *out) {
    for (index_t j = 0; j < v.cols; ++j) out[j] = v(t, j);
}

}  // namespace tarnfold::kern
