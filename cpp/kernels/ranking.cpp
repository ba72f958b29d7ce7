#include "kernels/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/multiversion.hpp"

namespace tarnfold::kern {

namespace {

// LSD radix sort of packed (key << 32 | position) words on the key half;
// passes over digits that never vary are skipped.  Large inputs take two
// 16-bit passes, smaller ones three 11-bit passes (a smaller count table).
// The counts of every pass are taken in one read of the input.
void radix_sort_high(std::vector<std::uint64_t> &a, std::vector<std::uint64_t> &tmp,
                     std::vector<std::uint32_t> &count) {
    const std::size_t m = a.size();
    std::uint64_t all_or = 0, all_and = ~std::uint64_t{0};
    for (std::uint64_t w : a) {
        all_or |= w;
        all_and &= w;
    }
    const std::uint64_t varying = (all_or ^ all_and) >> 32;
    const int bits = m >= (std::size_t{1} << 17) ? 16 : 11;
    const std::uint32_t buckets = std::uint32_t{1} << bits, mask = buckets - 1;
    int shifts[3];
    int passes = 0;
    for (int shift = 0; shift < 32; shift += bits)
        if (((varying >> shift) & mask) != 0) shifts[passes++] = shift;
    if (passes == 0) return;
    count.assign(static_cast<std::size_t>(passes) * buckets, 0);
    std::uint32_t *c0 = count.data(), *c1 = c0 + buckets, *c2 = c1 + buckets;
    const int s0 = 32 + shifts[0], s1 = 32 + shifts[passes > 1 ? 1 : 0],
              s2 = 32 + shifts[passes > 2 ? 2 : 0];
    const std::uint64_t *in = a.data();
    if (passes == 1) {
        for (std::size_t i = 0; i < m; ++i) ++c0[(in[i] >> s0) & mask];
    } else if (passes == 2) {
        for (std::size_t i = 0; i < m; ++i) {
            ++c0[(in[i] >> s0) & mask];
            ++c1[(in[i] >> s1) & mask];
        }
    } else {
        for (std::size_t i = 0; i < m; ++i) {
            ++c0[(in[i] >> s0) & mask];
            ++c1[(in[i] >> s1) & mask];
            ++c2[(in[i] >> s2) & mask];
        }
    }
    // Counts to starting positions.
    for (int p = 0; p < passes; ++p) {
        std::uint32_t *c = c0 + static_cast<std::size_t>(p) * buckets, sum = 0;
        for (std::uint32_t b = 0; b < buckets; ++b) {
            const std::uint32_t k = c[b];
            c[b] = sum;
            sum += k;
        }
    }
    tmp.resize(m);
    std::uint64_t *src = a.data(), *dst = tmp.data();
    for (int p = 0; p < passes; ++p) {
        std::uint32_t *c = c0 + static_cast<std::size_t>(p) * buckets;
        const int shift = 32 + shifts[p];
        for (std::size_t i = 0; i < m; ++i) dst[c[(src[i] >> shift) & mask]++] = src[i];
        std::swap(src, dst);
    }
    if (src != a.data()) std::memcpy(a.data(), src, m * sizeof(std::uint64_t));
}

// A sort of a few thousand words in two passes of 11-bit digits, on a
// coarser key that keeps the order: the leading 12 bits of the key half (the
// sign and exponent of the value) replaced by their rank among those present,
// followed by the next 20 bits, cut to 22 bits in all.  The coarse key
// replaces the key half of each word on the way out.  Words whose coarse
// keys are equal come out adjacent (in input order), and callers settle
// such runs on the values.  Where many values would share a coarse key
// (values crowded into a small part of their range), it returns false,
// having changed nothing.
bool radix_sort_coarse(std::vector<std::uint64_t> &a, std::vector<std::uint64_t> &tmp,
                       std::vector<std::uint32_t> &count) {
    constexpr int kBits = 22, kDigit = kBits / 2;
    constexpr std::uint32_t kBuckets = std::uint32_t{1} << kDigit, kMask = kBuckets - 1;
    const std::size_t m = a.size();
    const std::uint64_t *in = a.data();
    std::uint32_t lo = 0xFFF, hi = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const auto e = static_cast<std::uint32_t>(in[i] >> 52);
        lo = std::min(lo, e);
        hi = std::max(hi, e);
    }
    // rank of each leading 12 bits present, in count[2 * kBuckets ...]
    const std::uint32_t span = hi - lo + 1;
    count.assign(2 * kBuckets + span, 0);
    std::uint32_t *c0 = count.data(), *c1 = c0 + kBuckets, *rank = c1 + kBuckets;
    for (std::size_t i = 0; i < m; ++i) rank[(in[i] >> 52) - lo] = 1;
    std::uint32_t present = 0;
    for (std::uint32_t e = 0; e < span; ++e) {
        const std::uint32_t here = rank[e];
        rank[e] = present;
        present += here;
    }
    const int width = 20 + (present > 1 ? 32 - __builtin_clz(present - 1) : 0);
    const int drop = std::max(0, width - kBits);
    tmp.resize(m);
    std::uint64_t *coarse = tmp.data();
    constexpr std::uint64_t kLow = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t w = in[i];
        const std::uint64_t k = ((static_cast<std::uint64_t>(rank[(w >> 52) - lo]) << 20) |
                                 ((w >> 32) & 0xFFFFF)) >>
                                drop;
        coarse[i] = (k << 32) | (w & kLow);
        ++c0[k & kMask];
        ++c1[k >> kDigit];
    }
    // Words sharing a leading digit spread over its 2^11 trailing values:
    // about c^2 / 2^12 pairs of them share the whole coarse key.
    std::uint64_t pairs = 0;
    for (std::uint32_t b = 0; b < kBuckets; ++b) pairs += static_cast<std::uint64_t>(c1[b]) * c1[b];
    if (pairs > (static_cast<std::uint64_t>(m) << (kDigit + 1)) / 8) return false;
    std::uint32_t s0 = 0, s1 = 0;
    for (std::uint32_t b = 0; b < kBuckets; ++b) {
        const std::uint32_t k0 = c0[b], k1 = c1[b];
        c0[b] = s0;
        c1[b] = s1;
        s0 += k0;
        s1 += k1;
    }
    std::uint64_t *dst = a.data();
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t w = coarse[i];
        dst[c0[(w >> 32) & kMask]++] = w;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t w = dst[i];
        coarse[c1[w >> (32 + kDigit)]++] = w;
    }
    a.swap(tmp);
    return true;
}

}  // namespace

void sort_packed_high(std::vector<std::uint64_t> &packed, SortScratch &s) {
    if (packed.size() > 64) {
        if (packed.size() >= (std::size_t{1} << 17) || !radix_sort_coarse(packed, s.tmp, s.count))
            radix_sort_high(packed, s.tmp, s.count);
    } else {
        std::sort(packed.begin(), packed.end());
    }
}

void sort_valid(const double *values, std::uint32_t n, SortedColumn &out, SortScratch &s) {
    // Sort on the upper half of the order key (sign, exponent, top of the
    // mantissa) packed with the position, then settle runs that share the
    // upper half on the full value.
    s.packed.resize(n);
    std::uint64_t *pk = s.packed.data();
    std::size_t kept = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const double v = values[i];
        pk[kept] = (order_key(v) & 0xFFFFFFFF00000000ull) | i;
        kept += !std::isnan(v);
    }
    s.packed.resize(kept);
    const std::size_t m = kept;
    sort_packed_high(s.packed, s);
    out.order.resize(m);
    out.values.resize(m);
    for (std::size_t t = 0; t < m; ++t) {
        const auto p = static_cast<std::uint32_t>(s.packed[t] & 0xFFFFFFFFu);
        out.order[t] = p;
        out.values[t] = values[p];
    }
    out.ties = false;
    out.runs.clear();
    std::size_t t = 0;
    while (t < m) {
        std::size_t e = t + 1;
        while (e < m && (s.packed[e] >> 32) == (s.packed[t] >> 32)) ++e;
        if (e - t > 32) {
            std::vector<std::pair<double, std::uint32_t>> run;
            for (std::size_t u = t; u < e; ++u) run.emplace_back(out.values[u], out.order[u]);
            std::sort(run.begin(), run.end(),
                      [](const auto &x, const auto &y) { return x.first < y.first; });
            for (std::size_t u = t; u < e; ++u) {
                out.values[u] = run[u - t].first;
                out.order[u] = run[u - t].second;
            }
            for (std::size_t u = t + 1; u < e; ++u)
                out.ties = out.ties || out.values[u] == out.values[u - 1];
        } else if (e - t > 1) {
            // Order the run by value (insertion sort: runs are short).
            for (std::size_t u = t + 1; u < e; ++u) {
                const double v = out.values[u];
                const std::uint32_t p = out.order[u];
                std::size_t w = u;
                while (w > t && out.values[w - 1] > v) {
                    out.values[w] = out.values[w - 1];
                    out.order[w] = out.order[w - 1];
                    --w;
                }
                out.values[w] = v;
                out.order[w] = p;
            }
            for (std::size_t u = t + 1; u < e; ++u)
                out.ties = out.ties || out.values[u] == out.values[u - 1];
        }
        t = e;
    }
    if (out.ties) {
        for (std::size_t u = 0; u < m;) {
            std::size_t e = u + 1;
            while (e < m && out.values[e] == out.values[u]) ++e;
            if (e - u > 1) {
                out.runs.push_back(static_cast<std::uint32_t>(u));
                out.runs.push_back(static_cast<std::uint32_t>(e - 1));
            }
            u = e;
        }
    }
}

std::uint32_t sum_block_length(std::uint64_t n) {
    // Largest power of two b <= 4096 with b * n^2 <= INT64_MAX: b products
    // of two integers of magnitude below n fit a signed 64-bit sum.
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(INT64_MAX);
    const std::uint64_t m = n > 1 ? n : 1;
    if (m > (std::uint64_t{1} << 31)) return 1;  // m^2 would overflow; one product at a time
    const std::uint64_t sq = m * m;
    std::uint32_t b = 4096;
    while (b > 1 && static_cast<std::uint64_t>(b) > kMax / sq) b >>= 1;
    return b;
}

RankSums rank_kept_sums(const SortedColumn &col, const std::uint8_t *keep, std::uint32_t kept,
                        std::int32_t *crank, std::vector<std::uint32_t> &work) {
    RankSums out;
    const std::uint32_t n = col.size();
    const std::int64_t centre = static_cast<std::int64_t>(kept) + 1;
    // First pass, without branches on the mask: ranks 1..kept in walk
    // order, and the kept count at the start of each run of equal values.
    work.clear();
    const std::uint32_t *runs = col.runs.data();
    const std::size_t n_runs = col.runs.size();
    std::size_t r = 0;
    std::uint32_t next_run = n_runs ? runs[0] : n;
    std::int64_t k = 0, square = 0;
    // |d| <= kept - 1, so a 64-bit partial sum holds sum_block_length(kept)
    // squares; flush it to the 128-bit total before it could overflow.
    const std::uint32_t flush_mask = sum_block_length(kept) - 1;
    for (std::uint32_t t = 0; t < n; ++t) {
        if (t == next_run) {
            work.push_back(static_cast<std::uint32_t>(k));
            r += 2;
            next_run = r < n_runs ? runs[r] : n;
        }
        const std::uint32_t p = col.order[t];
        const std::int64_t in = keep[p];
        k += in;
        const std::int64_t d = (2 * k - centre) & -in;
        crank[p] = static_cast<std::int32_t>(d);
        square += d * d;
        if ((t & flush_mask) == flush_mask) {
            out.square += square;
            square = 0;
        }
    }
    out.square += square;
    // Tied values share the average of their ranks.
    for (std::size_t j = 0; j < work.size(); ++j) {
        const std::uint32_t t0 = runs[2 * j], t1 = runs[2 * j + 1];
        std::int64_t c = 0;
        for (std::uint32_t t = t0; t <= t1; ++t) c += keep[col.order[t]];
        if (c < 2) continue;
        const std::int64_t d = 2 * static_cast<std::int64_t>(work[j]) + c + 1 - centre;
        for (std::uint32_t t = t0; t <= t1; ++t) {
            const std::uint32_t p = col.order[t];
            if (!keep[p]) continue;
            const std::int64_t old = crank[p];
            crank[p] = static_cast<std::int32_t>(d);
            out.square += static_cast<__int128>(d) * d - static_cast<__int128>(old) * old;
        }
    }
    // Constant when the smallest and the largest kept values are equal.
    std::uint32_t lo = 0, hi = n;
    while (lo < n && !keep[col.order[lo]]) ++lo;
    while (hi > lo && !keep[col.order[hi - 1]]) --hi;
    out.constant = lo < hi && col.values[lo] == col.values[hi - 1];
    return out;
}

TARNFOLD_AVX2_CLONES
__int128 centred_dot(const std::int32_t *a, const std::int32_t *b, std::size_t n) {
    __int128 total = 0;
    // Centred ranks of n entries are below n in magnitude: blocks short
    // enough that the 64-bit partial sums cannot overflow.
    const std::size_t kBlock = sum_block_length(n);
    // Below 46341 entries every product fits 32 bits, which the vector
    // units multiply twice as fast as 64-bit lanes.
    const bool narrow = n <= 46340;
    for (std::size_t s = 0; s < n; s += kBlock) {
        const std::size_t e = std::min(n, s + kBlock);
        std::int64_t part = 0;
        if (narrow) {
            for (std::size_t i = s; i < e; ++i) part += a[i] * b[i];
        } else {
            for (std::size_t i = s; i < e; ++i)
                part += static_cast<std::int64_t>(a[i]) * static_cast<std::int64_t>(b[i]);
        }
        total += part;
    }
    return total;
}

}  // namespace tarnfold::kern
