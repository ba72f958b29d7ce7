// Least-squares residuals of a factor table on per-date exposures.
//
// Every date is one regression without an added constant: the factor values
// of the date's instruments on their exposures, over the instruments whose
// factor value and exposures are all present.  The fit is the minimum-norm
// least-squares solution (pseudo-inverse): singular values at or below
// `rcond` times the largest singular value of the whole design are dropped,
// which is how the pseudo-inverse treats empty industries, collinear columns
// and fewer observations than columns.
//
// Industry membership is passed as group codes rather than as dummy columns:
// the residuals on [Z, dummies] equal those of the within-industry demeaned
// factor on the within-industry demeaned Z (Frisch-Waugh-Lovell), which
// turns a regression on ~40 columns into one on the handful of Z columns.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// The pseudo-inverse cut-off of the reference least-squares fit.
inline constexpr double kPinvRcond = 1e-15;

// Exposure columns read from a long table.  Cell (t, j) of the factor grid
// (date t, instrument j) takes source row rows[j * n_keys + key(t)], where
// key(t) = key[t] (or t when `key` is null); a negative key or row means the
// cell has no exposures in this block.  (Several dates share a key when
// intraday timestamps take their day's exposures.)
struct ExposureBlock {
    std::vector<const double *> columns;  // values of each column by source row
    const std::int64_t *rows = nullptr;   // n_inst x n_keys, row-major
    index_t n_keys = 0;
    const std::int64_t *key = nullptr;  // n_dates, or null
};

// Industry codes per cell (row-major dates x instruments): a code >= 0 is
// the cell's industry; kNoIndustryDummy keeps the cell in the regression
// with every dummy 0 (a missing label); kNoIndustryRow leaves it out (no
// label row at all, for example an instrument not listed that day).
inline constexpr std::int32_t kNoIndustryDummy = -1;
inline constexpr std::int32_t kNoIndustryRow = -2;

struct NeutralizeInput {
    ConstView factor;                        // dates x instruments
    std::vector<ExposureBlock> blocks;       // style and user exposure columns
    const std::int32_t *industry = nullptr;  // null: no industry dummies
    std::int32_t n_industries = 0;
    double rcond = kPinvRcond;
};

struct NeutralizeOutput {
    // Instruments that belong to some date's residual series, and whether
    // every date's series holds the same instruments.  A date whose factor
    // row is all NaN, or whose sample is empty, holds every instrument
    // (all NaN).
    std::vector<unsigned char> present;
    bool same_on_every_date = true;
    index_t fitted_dates = 0;  // dates with a regression
    index_t empty_dates = 0;   // factor values but an empty sample
    index_t first_empty_date = -1;
    index_t infinite_cells = 0;  // cells left out for an infinite value
};

// Writes the residuals into `out` (dates x instruments), NaN outside each
// date's sample.  Blocks of dates are shared out over up to `threads`
// threads; every date's regression is the same whoever computes it.
void neutralize(const NeutralizeInput &in, const MutView &out, NeutralizeOutput &res,
                int threads = 1);

// One cross-section's regression, with buffers reused from one call to the
// next: the residuals of `nrhs` columns on the same exposures share one
// factorisation of the design.
class GroupedLeastSquares {
public:
    GroupedLeastSquares(index_t k, std::int32_t n_groups, double rcond = kPinvRcond);
    ~GroupedLeastSquares();
    GroupedLeastSquares(const GroupedLeastSquares &) = delete;
    GroupedLeastSquares &operator=(const GroupedLeastSquares &) = delete;

    // Residuals of each column of y (m rows, column c at y + c * ldy) on the
    // k columns of z (m rows, leading dimension ldz) and the dummies of the
    // group codes g (codes 0 .. n_groups - 1; null: no dummies), written
    // over y; z is overwritten.  Each column gets exactly the arithmetic of
    // a call with that column alone.
    void solve(double *y, index_t ldy, index_t nrhs, double *z, index_t ldz, const std::int32_t *g,
               index_t m);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Exposure columns of dates t0 .. t0 + nb - 1 gathered date-major: column c
// of local date tl for instrument j at out[(tl * k + c) * n_inst + j], NaN
// where the cell has no exposure row; k is the number of columns of all
// blocks.  `rows` is scratch.
void gather_exposures(const std::vector<ExposureBlock> &blocks, index_t t0, index_t nb,
                      index_t n_inst, index_t k, double *out, std::vector<std::int64_t> &rows);

// Instruments gathered together by gather_exposures (one cache line of a
// buffer row).
inline constexpr index_t kExposureTile = 8;

}  // namespace tarnfold::kern
