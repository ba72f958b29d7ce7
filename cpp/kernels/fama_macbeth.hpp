// Fama-MacBeth cross-sectional regressions: on every date, the forward
// return of each holding period regressed across instruments on the factor
// and on control exposures (style columns, industry dummies, or a constant),
// by the least-squares fit that neutralization uses.
//
// The factor's coefficient comes from the residuals of the factor and of
// the return on the controls (Frisch-Waugh-Lovell): one factorisation of
// the controls per date serves the factor and every holding period that
// shares the date's sample.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/aligned_returns.hpp"
#include "kernels/least_squares.hpp"

namespace tarnfold::kern {

struct FamaMacBethInput {
    ConstView factor;  // dates x instruments, row-major
    AlignedReturns returns;
    std::vector<index_t> periods;
    std::vector<ExposureBlock> blocks;  // style controls
    // Industry code per cell (row-major dates x instruments): >= 0 the
    // cell's industry, negative: left out.  Null: one common intercept.
    const std::int32_t *industry = nullptr;
    std::int32_t n_industries = 0;
    double rcond = kPinvRcond;
};

// premium[k * n + t]: the factor's coefficient for periods[k] on date t,
// NaN where the date's sample has fewer instruments than the regression has
// parameters plus one, or the factor lies in the span of the controls;
// observations[k * n + t]: the sample size; r_squared[k * n + t]: the R^2
// of the whole regression (factor, controls and dummies or constant).
void fama_macbeth(const FamaMacBethInput &in, double *premium, std::int64_t *observations,
                  double *r_squared);

}  // namespace tarnfold::kern
