// What every kernel shares: the index type, the missing value, and strided
// read-only and writable views over 2-D float64 arrays.
//
// Data frames hand their values over in whatever layout pandas keeps them
// (usually column-major), so kernels address cells through element strides
// instead of forcing a copy into one layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tarnfold::kern {

using index_t = std::ptrdiff_t;

// The missing value of every float array.
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ConstView {
    const double *data = nullptr;
    index_t rows = 0, cols = 0;
    index_t row_stride = 0, col_stride = 0;  // in elements

    double operator()(index_t i, index_t j) const { return data[i * row_stride + j * col_stride]; }
};

struct MutView {
    double *data = nullptr;
    index_t rows = 0, cols = 0;
    index_t row_stride = 0, col_stride = 0;

    double &operator()(index_t i, index_t j) const { return data[i * row_stride + j * col_stride]; }
    ConstView as_const() const { return ConstView{data, rows, cols, row_stride, col_stride}; }
};

}  // namespace tarnfold::kern
