// Per-date cross-sectional transforms over all instruments or within
// groups (industries).  NaN values take no part and stay NaN.
#pragma once

#include <cstdint>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// x - mean of the row.
void demean_rows(const ConstView &in, const MutView &out);
// x * a / sum of |x| over the row.
void scale_rows(const ConstView &in, const MutView &out, double a);

enum class GroupOp { Demean, ZScore, Rank };

// Demean and ZScore keep one accumulator per (row, group) when every code
// is below this; otherwise they sort each row by group.
inline constexpr std::int32_t kGroupAccumulators = 4096;

// Strided int32 group codes (negative: no group, the output is NaN).
struct CodeView {
    const std::int32_t *data = nullptr;
    index_t row_stride = 0, col_stride = 0;
    std::int32_t operator()(index_t i, index_t j) const {
        return data[i * row_stride + j * col_stride];
    }
};

// Within each (row, group): Demean x - mean; ZScore (x - mean) / sample sd
// (a single member gives NaN, an infinite result 0); Rank the percentile
// rank with ties averaged.
void group_rows(const ConstView &in, const CodeView &codes, const MutView &out, GroupOp op);

}  // namespace tarnfold::kern
