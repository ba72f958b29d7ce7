// Sorting and average ranks of cross-sections.
//
// A cross-section is sorted once; ranks over any subset of its entries are
// then read off the sorted order in one linear walk, so the same sort serves
// every mask (per-field pairing, complete rows at each decay lag).
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// The non-NaN entries of a cross-section in ascending order.
struct SortedColumn {
    std::vector<std::uint32_t> order;  // positions into the cross-section
    std::vector<double> values;        // the values in that order
    bool ties = false;                 // some value occurs more than once
    std::uint32_t size() const { return static_cast<std::uint32_t>(order.size()); }
};

// Reusable buffers of sort_valid.
struct SortScratch {
    std::vector<std::uint64_t> packed, tmp;
};

// Sorts the non-NaN entries of values[0, n).  Equal values are adjacent
// (-0.0 and 0.0 included); +-inf sort to the ends.
void sort_valid(const double *values, std::uint32_t n, SortedColumn &out, SortScratch &scratch);

// Ranks over a subset: walks a sorted column keeping the positions p with
// keep[p] != 0 and writes each kept entry's centred rank, doubled so that
// it is an integer, into crank[p]: 2 * rank - (kept + 1), where rank is the
// average rank among the kept entries (1-based, ties averaged).  `kept`
// must be the number of kept entries (known to the caller).  Returns the
// sums over the kept entries of crank * other[p] (when `other` is given)
// and crank^2, exactly, and whether every kept value is equal.
struct RankSums {
    __int128 cross = 0, square = 0;
    std::uint32_t kept = 0;
    bool constant = false;
};
RankSums rank_kept_sums(const SortedColumn &col, const std::uint8_t *keep, std::uint32_t kept,
                        const std::int32_t *other, std::int32_t *crank,
                        std::vector<std::uint32_t> &kept_pos);

}  // namespace tarnfold::kern
