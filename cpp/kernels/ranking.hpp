// Sorting and average ranks of cross-sections.
//
// A cross-section is sorted once; ranks over any subset of its entries are
// then read off the sorted order in one linear walk, so the same sort serves
// every mask (per-field pairing, complete rows at each decay lag).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// The non-NaN entries of a cross-section in ascending order.
struct SortedColumn {
    std::vector<std::uint32_t> order;  // positions into the cross-section
    std::vector<double> values;        // the values in that order
    bool ties = false;                 // some value occurs more than once
    std::vector<std::uint32_t> runs;   // [first, last] sorted positions of each run of equal values
    std::uint32_t size() const { return static_cast<std::uint32_t>(order.size()); }
};

// Reusable buffers of sort_valid.
// Order-preserving map of a non-NaN double onto an unsigned integer.  Adding
// 0.0 first turns -0.0 into 0.0 so that the two share a key, as they compare
// equal.
inline std::uint64_t order_key(double v) {
    v += 0.0;
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    return (u & sign) ? ~u : (u | sign);
}

struct SortScratch {
    std::vector<std::uint64_t> packed, tmp;
    std::vector<std::uint32_t> count;
};

// Sorts the non-NaN entries of values[0, n).  Equal values are adjacent
// (-0.0 and 0.0 included); +-inf sort to the ends.
// Sorts words (upper half of order_key(value) << 32 | position) on their
// upper half; words sharing it keep no particular order.  The upper halves
// may come back replaced by a coarser key in the same order: words whose
// values share the upper half still share it, but some with different
// upper halves may now share one too.  Callers settle each run of words
// sharing the upper half on the values themselves.
void sort_packed_high(std::vector<std::uint64_t> &packed, SortScratch &scratch);

void sort_valid(const double *values, std::uint32_t n, SortedColumn &out, SortScratch &scratch);

// Ranks over a subset: walks a sorted column keeping the positions p with
// keep[p] (0 or 1) set and writes each kept entry's centred rank, doubled
// so that it is an integer, into crank[p]: 2 * rank - (kept + 1), where
// rank is the average rank among the kept entries (1-based, ties
// averaged); entries left out get 0.  `kept` must be the number of kept
// entries (known to the caller).  Returns the exact sum of crank^2 over the
// kept entries and whether every kept value is equal.
struct RankSums {
    __int128 cross = 0, square = 0;
    bool constant = false;
};
RankSums rank_kept_sums(const SortedColumn &col, const std::uint8_t *keep, std::uint32_t kept,
                        std::int32_t *crank, std::vector<std::uint32_t> &work);

// Number of products of two integers of magnitude below n that a signed
// 64-bit partial sum holds without overflow (a power of two, at most 4096,
// at least 1).
std::uint32_t sum_block_length(std::uint64_t n);

// Sum of a[p] * b[p] over p < n, exactly.  With the centred ranks of the
// entries left out set to 0, this is the cross sum of two rankings over
// their common kept entries; the dense loop vectorises, unlike a walk in
// sorted order.
__int128 centred_dot(const std::int32_t *a, const std::int32_t *b, std::size_t n);

}  // namespace tarnfold::kern
