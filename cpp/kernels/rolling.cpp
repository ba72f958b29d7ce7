#include "kernels/rolling.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "kernels/multiversion.hpp"

namespace tarnfold::kern {

namespace {

// Shifted sums are trusted while the second moment about the shift is
// less than this many times the variance part (losing at most about 4 of
// 16 digits); beyond, the window is recomputed about its own mean.
constexpr double kConditioning = 1e4;
// Pair windows up to this length are computed directly (two passes).
constexpr index_t kDirectPairWindow = 16;

// Running sums of a window are updated by adding the new value and
// subtracting the one leaving; every d steps they are recomputed from the
// window itself, so rounding errors never outlive d updates (no drift over
// long series).  Non-finite values are kept out of the sums: the position
// of the last NaN and of the last infinity tell whether the window holds
// one.
inline double finite_or_zero(double v) { return std::isfinite(v) ? v : 0.0; }

template <bool Mean>
void rolling_sum_impl(const double *x, index_t n, index_t d, double *out) {
    double sum = 0.0;
    index_t last_nan = -1, last_inf = -1, fresh = 0;
    for (index_t t = 0; t < n; ++t) {
        const double v = x[t];
        if (std::isnan(v)) last_nan = t;
        else if (std::isinf(v)) last_inf = t;
        const index_t lo = t - d + 1;
        if (fresh-- == 0) {
            fresh = d - 1;
            sum = 0.0;
            for (index_t k = std::max<index_t>(0, lo); k <= t; ++k) sum += finite_or_zero(x[k]);
        } else {
            sum += finite_or_zero(v);
            if (lo > 0) sum -= finite_or_zero(x[lo - 1]);
        }
        if (lo < 0 || last_nan >= lo) {
            out[t] = kNaN;
            continue;
        }
        double s = sum;
        if (last_inf >= lo) {
            s = 0.0;  // inf, or NaN for inf - inf
            for (index_t k = lo; k <= t; ++k) s += x[k];
        }
        out[t] = Mean ? s / static_cast<double>(d) : s;
    }
}

}  // namespace

void rolling_sum(const double *x, index_t n, index_t d, double *out) {
    rolling_sum_impl<false>(x, n, d, out);
}

void rolling_mean(const double *x, index_t n, index_t d, double *out) {
    rolling_sum_impl<true>(x, n, d, out);
}

void rolling_std(const double *x, index_t n, index_t d, double *out) {
    if (d <= 1) {
        std::fill(out, out + n, kNaN);
        return;
    }
    // Sums of (x - k) and (x - k)^2 with k the window's mean at the last
    // recomputation: the deviations stay of the order of the standard
    // deviation, so (s2 - s1^2 / d) does not cancel badly.  When the
    // series moves far from k (s2 much larger than the variance part), the
    // window is recomputed and re-centred on the spot.
    double k = 0.0, s1 = 0.0, s2 = 0.0;
    index_t last_nan = -1, last_inf = -1, fresh = 0, run = 0;
    const double dd = static_cast<double>(d);
    auto recompute = [&](index_t t) {
        const index_t a = std::max<index_t>(0, t - d + 1);
        double sum = 0.0;
        index_t count = 0;
        for (index_t j = a; j <= t; ++j) {
            if (std::isfinite(x[j])) {
                sum += x[j];
                ++count;
            }
        }
        k = count ? sum / static_cast<double>(count) : 0.0;
        s1 = s2 = 0.0;
        for (index_t j = a; j <= t; ++j) {
            if (std::isfinite(x[j])) {
                const double e = x[j] - k;
                s1 += e;
                s2 += e * e;
            }
        }
        fresh = d - 1;
    };
    for (index_t t = 0; t < n; ++t) {
        const double v = x[t];
        if (std::isnan(v)) last_nan = t;
        else if (std::isinf(v)) last_inf = t;
        // Length of the run of equal values ending at t.
        run = (t > 0 && v == x[t - 1]) ? run + 1 : (std::isnan(v) ? 0 : 1);
        const index_t lo = t - d + 1;
        if (fresh-- == 0) {
            recompute(t);
        } else {
            if (std::isfinite(v)) {
                const double e = v - k;
                s1 += e;
                s2 += e * e;
            }
            if (lo > 0 && std::isfinite(x[lo - 1])) {
                const double e = x[lo - 1] - k;
                s1 -= e;
                s2 -= e * e;
            }
        }
        if (lo < 0 || last_nan >= lo || last_inf >= lo) {
            out[t] = kNaN;
        } else if (run >= d) {
            out[t] = 0.0;
        } else {
            double var = s2 - s1 * s1 / dd;
            if (!(var * kConditioning > s2)) {
                recompute(t);
                var = s2 - s1 * s1 / dd;
            }
            out[t] = std::sqrt(std::max(var, 0.0) / (dd - 1.0));
        }
    }
}

void shift_back(const double *x, index_t n, index_t d, double *out) {
    for (index_t t = 0; t < n; ++t) out[t] = t >= d ? x[t - d] : kNaN;
}

void difference(const double *x, index_t n, index_t d, double *out) {
    for (index_t t = 0; t < n; ++t) out[t] = t >= d ? x[t] - x[t - d] : kNaN;
}

void ewm_mean(const double *x, index_t n, double alpha, index_t min_periods, double *out) {
    if (n == 0) return;
    const index_t minp = std::max<index_t>(min_periods, 1);
    const double old_wt_factor = 1.0 - alpha;
    const double new_wt = alpha;
    double weighted = x[0];
    index_t nobs = std::isnan(weighted) ? 0 : 1;
    out[0] = nobs >= minp ? weighted : kNaN;
    double old_wt = 1.0;
    for (index_t i = 1; i < n; ++i) {
        const double cur = x[i];
        const bool obs = !std::isnan(cur);
        nobs += obs;
        if (!std::isnan(weighted)) {
            old_wt *= old_wt_factor;
            if (obs) {
                // Same operations as pandas, so constant stretches stay exact.
                if (weighted != cur) {
                    weighted = old_wt * weighted + new_wt * cur;
                    weighted /= (old_wt + new_wt);
                }
                old_wt = 1.0;
            }
        } else if (obs) {
            weighted = cur;
        }
        out[i] = nobs >= minp ? weighted : kNaN;
    }
}

}  // namespace tarnfold::kern

namespace tarnfold::kern {

namespace {

// Windows holding a NaN: last_nan[t] >= t - d + 1.
// (Always inlined, so that a caller compiled for other instructions has
// the loop compiled for them too.)
template <typename F>
__attribute__((always_inline)) inline void over_full_windows(const double *x, index_t n, index_t d,
                                                             double *out, F f) {
    index_t last_nan = -1;
    for (index_t t = 0; t < n; ++t) {
        if (std::isnan(x[t])) last_nan = t;
        const index_t lo = t - d + 1;
        out[t] = (lo < 0 || last_nan >= lo) ? kNaN : f(lo, t);
    }
}

// Monotone queue of positions: the front is the window's extreme (the
// earliest among equals).  `Better(a, b)` is true when a must evict b.
template <typename Better>
void rolling_extreme(const double *x, index_t n, index_t d, double *out, bool position,
                     Better better) {
    std::vector<index_t> q(static_cast<std::size_t>(n));
    index_t head = 0, tail = 0, last_nan = -1;
    for (index_t t = 0; t < n; ++t) {
        const double v = x[t];
        if (std::isnan(v)) {
            last_nan = t;
        } else {
            while (tail > head && better(v, x[q[tail - 1]])) --tail;
            q[tail++] = t;
        }
        const index_t lo = t - d + 1;
        while (tail > head && q[head] < lo) ++head;
        if (lo < 0 || last_nan >= lo) {
            out[t] = kNaN;
        } else {
            out[t] = position ? static_cast<double>(q[head] - lo) : x[q[head]];
        }
    }
}

}  // namespace

void rolling_product(const double *x, index_t n, index_t d, double *out) {
    over_full_windows(x, n, d, out, [x](index_t lo, index_t t) {
        double p = 1.0;
        for (index_t k = lo; k <= t; ++k) p *= x[k];
        return p;
    });
}

namespace {

// Short windows scanned whole, oldest day first, keeping the earliest
// extreme (as the queue does); the scan has no branch to mispredict.
template <index_t D, bool Max, bool Position>
void extreme_direct(const double *x, index_t n, index_t, double *out) {
    over_full_windows(x, n, D, out, [x](index_t lo, index_t) {
        const double *w = x + lo;
        double m = w[0];
        index_t at = 0;
        for (index_t k = 1; k < D; ++k) {
            const bool better = Max ? w[k] > m : w[k] < m;
            m = better ? w[k] : m;
            at = better ? k : at;
        }
        return Position ? static_cast<double>(at) : m;
    });
}

using ExtremeKernel = void (*)(const double *, index_t, index_t, double *);

template <bool Max, bool Position, std::size_t... L>
constexpr auto direct_extreme_kernels(std::index_sequence<L...>) {
    return std::array<ExtremeKernel, sizeof...(L)>{
        extreme_direct<static_cast<index_t>(L) + 1, Max, Position>...};
}

// Windows of 1 .. kDirectExtremeWindow days are scanned whole.
constexpr index_t kDirectExtremeWindow = 16;

template <bool Max, bool Position>
constexpr auto kDirectExtreme = direct_extreme_kernels<Max, Position>(
    std::make_index_sequence<static_cast<std::size_t>(kDirectExtremeWindow)>());

template <bool Max, bool Position>
void rolling_extreme_of(const double *x, index_t n, index_t d, double *out) {
    if (d >= 1 && d <= kDirectExtremeWindow) {
        kDirectExtreme<Max, Position>[static_cast<std::size_t>(d - 1)](x, n, d, out);
    } else if (Max) {
        rolling_extreme(x, n, d, out, Position, [](double a, double b) { return a > b; });
    } else {
        rolling_extreme(x, n, d, out, Position, [](double a, double b) { return a < b; });
    }
}

}  // namespace

void rolling_min(const double *x, index_t n, index_t d, double *out) {
    rolling_extreme_of<false, false>(x, n, d, out);
}

void rolling_max(const double *x, index_t n, index_t d, double *out) {
    rolling_extreme_of<true, false>(x, n, d, out);
}

void rolling_argmin(const double *x, index_t n, index_t d, double *out) {
    rolling_extreme_of<false, true>(x, n, d, out);
}

void rolling_argmax(const double *x, index_t n, index_t d, double *out) {
    rolling_extreme_of<true, true>(x, n, d, out);
}

namespace {

// The percentile rank of v among the `len` values from w on (equal values
// share their mean rank), from the counts below and equal to v.
__attribute__((always_inline)) inline double window_rank_pct(const double *w, index_t len,
                                                             double v) {
    index_t below = 0, equal = 0;
    for (index_t k = 0; k < len; ++k) {
        below += w[k] < v;
        equal += w[k] == v;
    }
    return (static_cast<double>(below) + 0.5 * static_cast<double>(equal + 1)) /
           static_cast<double>(len);
}

// `D` > 0 fixes the window length at compile time (the count loop is then
// unrolled).
template <index_t D>
void rank_pct_windows(const double *x, index_t n, index_t, double *out) {
    over_full_windows(x, n, D, out,
                      [x](index_t lo, index_t t) { return window_rank_pct(x + lo, D, x[t]); });
}

template <std::size_t... L>
constexpr auto fixed_rank_kernels(std::index_sequence<L...>) {
    using Kernel = void (*)(const double *, index_t, index_t, double *);
    return std::array<Kernel, sizeof...(L)>{rank_pct_windows<static_cast<index_t>(L)>...};
}

// Windows up to this length have a kernel of their own (index 0 unused).
constexpr auto kFixedRank = fixed_rank_kernels(std::make_index_sequence<17>());

}  // namespace

// Longer windows: the same counts, in a loop compiled also for AVX2 (four
// comparisons at a time; whole counts, so the same numbers).
TARNFOLD_AVX2_CLONES
void rank_pct_long_windows(const double *x, index_t n, index_t d, double *out) {
    over_full_windows(x, n, d, out,
                      [x, d](index_t lo, index_t t) { return window_rank_pct(x + lo, d, x[t]); });
}

void rolling_rank_pct(const double *x, index_t n, index_t d, double *out) {
    if (d > 0 && d < static_cast<index_t>(kFixedRank.size())) {
        kFixedRank[static_cast<std::size_t>(d)](x, n, d, out);
    } else {
        rank_pct_long_windows(x, n, d, out);
    }
}

void decay_linear(const double *x, index_t n, index_t d, double *out) {
    const double total = 0.5 * static_cast<double>(d) * static_cast<double>(d + 1);
    over_full_windows(x, n, d, out, [x, total](index_t lo, index_t t) {
        double s = 0.0;
        for (index_t k = lo; k <= t; ++k) s += x[k] * static_cast<double>(k - lo + 1);
        return s / total;
    });
}

namespace {

// Short windows: the two-pass formula on each window, oldest day first.
// Windows holding the same pairs then give the same bits whatever came
// before, so exact ties stay ties for a later rank.  `D` > 0 fixes the
// window length at compile time (the loops over a window are then
// unrolled), 0 leaves it to `window`.
template <bool Corr, index_t D>
void pair_direct(const double *x, const double *y, index_t n, index_t window, double *out) {
    const index_t d = D > 0 ? D : window;
    const double dd = static_cast<double>(d);
    auto ok = [&](index_t k) { return std::isfinite(x[k]) && std::isfinite(y[k]); };
    // Which windows need the formula is settled first; they are then
    // computed four consecutive windows at a time (four independent
    // sums in flight, each in its own window's order: the same bits).
    std::vector<index_t> todo;
    todo.reserve(static_cast<std::size_t>(n));
    index_t bad = -1, rx = 0, ry = 0;
    for (index_t t = 0; t < n; ++t) {
        if (!ok(t)) bad = t;
        rx = (t > 0 && x[t] == x[t - 1]) ? rx + 1 : 1;
        ry = (t > 0 && y[t] == y[t - 1]) ? ry + 1 : 1;
        const index_t lo = t - d + 1;
        if (lo < 0 || bad >= lo || (Corr && (rx >= d || ry >= d))) {
            out[t] = kNaN;
        } else if (Corr && d == 2) {
            out[t] = (x[t] > x[t - 1]) == (y[t] > y[t - 1]) ? 1.0 : -1.0;
        } else {
            todo.push_back(t);
        }
    }
    auto finish = [&](index_t t, double cxy, double vx, double vy) {
        const double cov = cxy / (dd - 1.0);
        if (!Corr) {
            out[t] = cov;
            return;
        }
        const double r = cov * (dd - 1.0) / std::sqrt(vx * vy);
        out[t] = std::isnan(r) ? kNaN : std::max(-1.0, std::min(1.0, r));
    };
    const std::size_t m = todo.size();
    std::size_t u = 0;
    while (u < m) {
        const index_t t0 = todo[u];
        if (u + 3 < m && todo[u + 3] == t0 + 3) {
            const double *px = x + (t0 - d + 1), *py = y + (t0 - d + 1);
            double mx[4] = {0, 0, 0, 0}, my[4] = {0, 0, 0, 0};
            for (index_t k = 0; k < d; ++k)
                for (int q = 0; q < 4; ++q) {
                    mx[q] += px[k + q];
                    my[q] += py[k + q];
                }
            for (int q = 0; q < 4; ++q) {
                mx[q] /= dd;
                my[q] /= dd;
            }
            double cxy[4] = {0, 0, 0, 0}, vx[4] = {0, 0, 0, 0}, vy[4] = {0, 0, 0, 0};
            for (index_t k = 0; k < d; ++k)
                for (int q = 0; q < 4; ++q) {
                    const double ex = px[k + q] - mx[q], ey = py[k + q] - my[q];
                    cxy[q] += ex * ey;
                    vx[q] += ex * ex;
                    vy[q] += ey * ey;
                }
            for (int q = 0; q < 4; ++q) finish(t0 + q, cxy[q], vx[q], vy[q]);
            u += 4;
            continue;
        }
        const index_t lo = t0 - d + 1;
        double mx = 0.0, my = 0.0;
        for (index_t k = lo; k <= t0; ++k) {
            mx += x[k];
            my += y[k];
        }
        mx /= dd;
        my /= dd;
        double cxy = 0.0, vx = 0.0, vy = 0.0;
        for (index_t k = lo; k <= t0; ++k) {
            const double ex = x[k] - mx, ey = y[k] - my;
            cxy += ex * ey;
            vx += ex * ex;
            vy += ey * ey;
        }
        finish(t0, cxy, vx, vy);
        ++u;
    }
}

template <bool Corr, std::size_t... L>
constexpr auto direct_pair_kernels(std::index_sequence<L...>) {
    using Kernel = void (*)(const double *, const double *, index_t, index_t, double *);
    return std::array<Kernel, sizeof...(L)>{pair_direct<Corr, static_cast<index_t>(L)>...};
}

// A kernel per window length 0 .. kDirectPairWindow (0 and 1 never used).
template <bool Corr>
constexpr auto kDirectPair = direct_pair_kernels<Corr>(
    std::make_index_sequence<kDirectPairWindow + 1>());

// Shifted running sums of a pair of series, recomputed every d steps
// (see rolling_std).
template <bool Corr>
void rolling_pair(const double *x, const double *y, index_t n, index_t d, double *out) {
    if (d <= 1) {
        std::fill(out, out + n, kNaN);
        return;
    }
    double kx = 0, ky = 0, sx = 0, sy = 0, sxy = 0, sxx = 0, syy = 0;
    index_t last_bad = -1, fresh = 0, run_x = 0, run_y = 0;
    auto ok = [&](index_t k) { return std::isfinite(x[k]) && std::isfinite(y[k]); };
    auto add = [&](index_t k, double sign) {
        const double ex = x[k] - kx, ey = y[k] - ky;
        sx += sign * ex;
        sy += sign * ey;
        sxy += sign * ex * ey;
        sxx += sign * ex * ex;
        syy += sign * ey * ey;
    };
    const double dd = static_cast<double>(d);
    if (d <= kDirectPairWindow) {
        kDirectPair<Corr>[static_cast<std::size_t>(d)](x, y, n, d, out);
        return;
    }
    auto recompute = [&](index_t t) {
        const index_t a = std::max<index_t>(0, t - d + 1);
        double mx = 0, my = 0;
        index_t c = 0;
        for (index_t k = a; k <= t; ++k)
            if (ok(k)) {
                mx += x[k];
                my += y[k];
                ++c;
            }
        kx = c ? mx / static_cast<double>(c) : 0.0;
        ky = c ? my / static_cast<double>(c) : 0.0;
        sx = sy = sxy = sxx = syy = 0.0;
        for (index_t k = a; k <= t; ++k)
            if (ok(k)) add(k, 1.0);
        fresh = d - 1;
    };
    for (index_t t = 0; t < n; ++t) {
        if (!ok(t)) last_bad = t;
        run_x = (t > 0 && x[t] == x[t - 1]) ? run_x + 1 : 1;
        run_y = (t > 0 && y[t] == y[t - 1]) ? run_y + 1 : 1;
        const index_t lo = t - d + 1;
        if (fresh-- == 0) {
            recompute(t);
        } else {
            if (ok(t)) add(t, 1.0);
            if (lo > 0 && ok(lo - 1)) add(lo - 1, -1.0);
        }
        if (lo < 0 || last_bad >= lo) {
            out[t] = kNaN;
            continue;
        }
        if (!((sxx - sx * sx / dd) * kConditioning > sxx) ||
            !((syy - sy * sy / dd) * kConditioning > syy)) {
            recompute(t);
        }
        const double cxy = sxy - sx * sy / dd;
        if (!Corr) {
            out[t] = cxy / (dd - 1.0);
            continue;
        }
        if (run_x >= d || run_y >= d) {
            out[t] = kNaN;  // a constant window has no correlation
            continue;
        }
        if (d == 2) {
            // Two points lie on a line: the correlation is exactly +-1,
            // the sign of the product of the two changes.
            const double dx = x[t] - x[t - 1], dy = y[t] - y[t - 1];
            out[t] = (dx > 0) == (dy > 0) ? 1.0 : -1.0;
            continue;
        }
        const double vx = std::max(sxx - sx * sx / dd, 0.0);
        const double vy = std::max(syy - sy * sy / dd, 0.0);
        const double r = cxy / std::sqrt(vx * vy);
        out[t] = std::isfinite(r) ? std::max(-1.0, std::min(1.0, r)) : kNaN;
    }
}

}  // namespace

void rolling_cov(const double *x, const double *y, index_t n, index_t d, double *out) {
    rolling_pair<false>(x, y, n, d, out);
}

void rolling_corr(const double *x, const double *y, index_t n, index_t d, double *out) {
    rolling_pair<true>(x, y, n, d, out);
}

}  // namespace tarnfold::kern
