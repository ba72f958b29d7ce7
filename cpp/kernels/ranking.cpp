#include "kernels/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tarnfold::kern {

namespace {

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

constexpr std::uint32_t kSmall = 48;

}  // namespace

void argsort_valid(const double *values, std::uint32_t n, std::vector<std::uint32_t> &order,
                   SortScratch &s) {
    order.clear();
    s.keys.clear();
    for (std::uint32_t i = 0; i < n; ++i) {
        const double v = values[i];
        if (std::isnan(v)) continue;
        order.push_back(i);
        s.keys.push_back(order_key(v));
    }
    const std::uint32_t m = static_cast<std::uint32_t>(order.size());
    if (m < 2) return;
    if (m <= kSmall) {
        // Insertion sort on (key, position).
        for (std::uint32_t i = 1; i < m; ++i) {
            const std::uint64_t k = s.keys[i];
            const std::uint32_t p = order[i];
            std::uint32_t j = i;
            while (j > 0 && s.keys[j - 1] > k) {
                s.keys[j] = s.keys[j - 1];
                order[j] = order[j - 1];
                --j;
            }
            s.keys[j] = k;
            order[j] = p;
        }
        return;
    }
    // LSD radix sort, one byte per pass; a pass is skipped when every key
    // has the same byte there (typical for the sign and exponent bytes of
    // one cross-section).
    std::uint64_t all_or = 0, all_and = ~std::uint64_t{0};
    for (std::uint32_t i = 0; i < m; ++i) {
        all_or |= s.keys[i];
        all_and &= s.keys[i];
    }
    const std::uint64_t varying = all_or ^ all_and;
    s.keys_tmp.resize(m);
    s.idx_tmp.resize(m);
    std::uint64_t *ka = s.keys.data(), *kb = s.keys_tmp.data();
    std::uint32_t *ia = order.data(), *ib = s.idx_tmp.data();
    for (int shift = 0; shift < 64; shift += 8) {
        if (((varying >> shift) & 0xFF) == 0) continue;
        std::uint32_t count[257] = {0};
        for (std::uint32_t i = 0; i < m; ++i) ++count[((ka[i] >> shift) & 0xFF) + 1];
        for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
        for (std::uint32_t i = 0; i < m; ++i) {
            const std::uint32_t dst = count[(ka[i] >> shift) & 0xFF]++;
            kb[dst] = ka[i];
            ib[dst] = ia[i];
        }
        std::swap(ka, kb);
        std::swap(ia, ib);
    }
    if (ia != order.data()) std::memcpy(order.data(), ia, m * sizeof(std::uint32_t));
    if (ka != s.keys.data()) std::memcpy(s.keys.data(), ka, m * sizeof(std::uint64_t));
}

std::uint32_t rank_kept(const double *values, const std::uint32_t *order, std::uint32_t n_order,
                        const std::uint8_t *keep, double *rank, bool &constant) {
    std::uint32_t kept = 0;
    std::uint32_t block_start = 0;  // rank position where the current tie block starts
    double block_value = 0.0;
    double first = 0.0, last = 0.0;
    // Positions of the current tie block are written once its end is known.
    std::uint32_t block_begin_idx = 0;  // index into `order` of the block's first entry
    auto close_block = [&](std::uint32_t end_idx, std::uint32_t block_end) {
        const double avg = 0.5 * static_cast<double>(block_start + block_end + 1);
        for (std::uint32_t t = block_begin_idx; t < end_idx; ++t) {
            const std::uint32_t p = order[t];
            if (keep[p]) rank[p] = avg;
        }
    };
    for (std::uint32_t t = 0; t < n_order; ++t) {
        const std::uint32_t p = order[t];
        if (!keep[p]) continue;
        const double v = values[p];
        if (kept == 0) {
            first = v;
            block_value = v;
            block_start = 0;
            block_begin_idx = t;
        } else if (v != block_value) {
            close_block(t, kept);
            block_value = v;
            block_start = kept;
            block_begin_idx = t;
        }
        last = v;
        ++kept;
    }
    if (kept > 0) close_block(n_order, kept);
    constant = kept > 0 && first == last;
    return kept;
}

}  // namespace tarnfold::kern
