// Checks of the input tables before any statistic: coverage and stale
// values of the factor, moves beyond the price limit in the returns, and
// bar prices that contradict each other.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

struct StaleRun {
    index_t instrument = 0, start = 0, length = 0;
};

struct FactorHealth {
    std::vector<index_t> coverage;       // finite values per date
    index_t infinite = 0;                // infinite cells
    std::vector<StaleRun> runs;          // unchanged value on >= min_run consecutive dates
    index_t stale_cells = 0;             // cells inside those runs
    std::vector<index_t> repeated_rows;  // dates whose whole row repeats the date before
    std::vector<index_t> constant_rows;  // dates with two or more values, all equal
};

// One pass over the factor table (dates x instruments), in its memory
// order.  A run counts the
// consecutive dates of one instrument holding the same finite value (a
// missing value ends it).  A repeated row equals the row before it in every
// cell (NaN where the other has NaN) and holds at least two finite values.
// Runs come sorted by instrument and start.
void factor_health(const ConstView &factor, index_t min_run, FactorHealth &out);

struct CellNote {
    index_t row = 0, col = 0;
    double value = 0.0, bound = 0.0;
};

// Daily returns beyond the price limit: |r| > limit + tolerance, where the
// limit of instrument j is limit_before[j] on rows before `switch_row` and
// limit_after[j] from it on (NaN: no known limit, not checked).  The first
// `skip` returns of each instrument (new listings trade without a limit)
// are not checked.  Returns how many cells broke the limit and keeps the
// first `max_notes` of them in date order.
index_t limit_breaches(const ConstView &returns, const double *limit_before,
                       const double *limit_after, index_t switch_row, double tolerance,
                       index_t skip, index_t max_notes, std::vector<CellNote> &notes);

// Bars whose prices contradict each other.  Kinds: 0 high below low,
// 1 close outside [low, high], 2 open outside [low, high], 3 a price at or
// below zero.  Cells with a missing price take part only in the checks that
// do not need it.
struct PriceProblems {
    index_t count[4] = {0, 0, 0, 0};
    std::vector<CellNote> notes[4];
};
void price_consistency(const ConstView &open, const ConstView &high, const ConstView &low,
                       const ConstView &close, index_t max_notes, PriceProblems &out);

}  // namespace tarnfold::kern
