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

// Reusable buffers of argsort_valid.
struct SortScratch {
    std::vector<std::uint64_t> keys, keys_tmp;
    std::vector<std::uint32_t> idx_tmp;
};

// Ascending order (positions into `values`) of the non-NaN entries of
// values[0, n).  Equal values are adjacent (-0.0 and 0.0 included); their
// relative order is unspecified.  +-inf sort to the ends.
void argsort_valid(const double *values, std::uint32_t n, std::vector<std::uint32_t> &order,
                   SortScratch &scratch);

// Walks `order` (an ascending order of entries of `values`) keeping the
// positions p with keep[p] != 0, and writes each kept entry's average rank
// among the kept entries (1-based, ties averaged) into rank[p].  Returns
// the number kept; `constant` tells whether every kept value is equal.
std::uint32_t rank_kept(const double *values, const std::uint32_t *order, std::uint32_t n_order,
                        const std::uint8_t *keep, double *rank, bool &constant);

}  // namespace tarnfold::kern
