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
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

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

// An allocator whose resize leaves new elements of a trivial type
// uninitialised, for RawVector below.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U> &) noexcept {}
    template <typename U>
    void construct(U *p) noexcept {
        static_assert(std::is_trivially_default_constructible_v<U>);
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

// A table that a kernel writes in full: no zero fill before it, so the
// first writes, and the page faults of fresh memory that come with them,
// happen in the kernel's own threads.
template <typename T>
using RawVector = std::vector<T, UninitAllocator<T>>;

}  // namespace tarnfold::kern
