// Returns around the day a stock enters the top (or bottom) factor group.
//
// An entry is a date t on which the stock is in the group by that date's
// factor while it was in another group the date before.  Its cumulative
// return at offset k (rows of the returns table) is W(t + k) / W(t) - 1,
// W the stock's growth index (a missing return counting as zero): the
// forward return P_k for k > 0, the (negated-direction) run-up into the
// event for k < 0.  The excess return subtracts the same quantity of the
// equal-weighted average of the factor's instruments.  Infinite factor
// values are left out of the groups, as in the group views.
#pragma once

#include <cstdint>

#include "kernels/aligned_returns.hpp"

namespace tarnfold::kern {

struct EventStudyInput {
    ConstView factor;   // dates x instruments, larger is better
    ConstView returns;  // the returns table the growth factors came from
    AlignedReturns aligned;
    index_t quantile = 5;
    index_t before = 10, after = 20;
    // The factor groups of every date (n x m, -1: none) when already cut
    // (by the group views); null: cut here.
    const std::int32_t *labels = nullptr;
};

// Per side (0: entering the top group, 1: the bottom group), date and
// offset -before .. after (layout [side][t][offset + before]): the sum of
// the events' cumulative returns and excess returns, and how many events
// had a value; events[side][t]: the entries on date t.
void event_study(const EventStudyInput &in, double *raw_sum, double *excess_sum,
                 std::int64_t *count, std::int64_t *events);

}  // namespace tarnfold::kern
