// Factor groups within industries and size buckets: per date and holding
// period, the rank IC and the top-minus-bottom forward return inside each
// industry and each size bucket, the double sort (mean forward return of
// every size bucket x factor group), and the factor groups of the whole
// cross-section with equal and capitalisation weights.
//
// Groups are cut as the quantile analyser cuts them (rank_groups on ranks
// best first, ties in column order), from the factor of the date itself;
// returns are the forward returns of the date (the IC's P_n).  Infinite
// factor values, sizes and returns are left out.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/aligned_returns.hpp"

namespace tarnfold::kern {

struct GroupViewInput {
    ConstView factor;  // dates x instruments, larger is better
    AlignedReturns returns;
    std::vector<index_t> periods;
    index_t quantile = 5;
    const std::int32_t *industry = nullptr;  // row-major codes, negative: none; null: no view
    std::int32_t n_industries = 0;
    const double *size = nullptr;  // row-major capitalisation; null: no size views
    index_t size_buckets = 3;
    bool cap_weighted = false;  // weights of the industry and size views
    index_t min_pairs = 3;      // fewest pairs for a rank IC
};

// Output arrays, all filled by the kernel (NaN where nothing was measured);
// layouts are period-major: [k][t][...].  Arrays of a view the input does
// not ask for may be null.
struct GroupViewOutput {
    double *groups_equal = nullptr;            // P x n x q
    double *groups_cap = nullptr;              // P x n x q (needs size)
    double *industry_ic = nullptr;             // P x n x G
    double *industry_spread = nullptr;         // P x n x G
    double *size_ic = nullptr;                 // P x n x B
    double *size_spread = nullptr;             // P x n x B
    double *double_sort = nullptr;             // P x n x B x q
    std::int64_t *industry_members = nullptr;  // n x G: instruments with a factor value
    std::int64_t *size_members = nullptr;      // n x B: instruments with a factor value and a size
    std::int32_t *labels = nullptr;            // n x m: the factor groups (-1: none), for reuse
};

void group_views(const GroupViewInput &in, const GroupViewOutput &out);

}  // namespace tarnfold::kern
