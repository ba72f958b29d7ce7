#include "kernels/rolling_shape.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tarnfold::kern {

namespace {

// The window's finite values kept sorted while it slides: each step inserts
// the new value and removes the one leaving (binary search, then a short
// move), so an order statistic costs far less than sorting every window.
// `stat(sorted values)` is asked for windows holding d finite values.
template <typename Stat>
void over_sorted_windows(const double *x, index_t n, index_t d, double *out, Stat stat) {
    std::vector<double> w;
    w.reserve(static_cast<std::size_t>(d) + 1);
    index_t last_bad = -1;
    for (index_t t = 0; t < n; ++t) {
        const double v = x[t];
        if (std::isfinite(v)) w.insert(std::upper_bound(w.begin(), w.end(), v), v);
        else last_bad = t;
        const index_t lo = t - d + 1;
        if (lo > 0 && std::isfinite(x[lo - 1]))
            w.erase(std::lower_bound(w.begin(), w.end(), x[lo - 1]));
        out[t] = (lo < 0 || last_bad >= lo) ? kNaN : stat(w);
    }
}

double median_of_sorted(const std::vector<double> &s) {
    const std::size_t m = s.size(), h = m / 2;
    return m % 2 ? s[h] : (s[h - 1] + s[h]) / 2.0;
}

// Windows without NaN or infinity: f(first index) on each, NaN elsewhere.
template <typename F>
void over_finite_windows(const double *x, index_t n, index_t d, double *out, F f) {
    index_t last_bad = -1;
    for (index_t t = 0; t < n; ++t) {
        if (!std::isfinite(x[t])) last_bad = t;
        const index_t lo = t - d + 1;
        out[t] = (lo < 0 || last_bad >= lo) ? kNaN : f(lo);
    }
}

}  // namespace

void rolling_median(const double *x, index_t n, index_t d, double *out) {
    over_sorted_windows(x, n, d, out, median_of_sorted);
}

void rolling_quantile(const double *x, index_t n, index_t d, double q, double *out) {
    const double at = q * static_cast<double>(d - 1);
    const auto i = static_cast<std::size_t>(std::floor(at));
    const double frac = at - static_cast<double>(i);
    over_sorted_windows(x, n, d, out, [i, frac](const std::vector<double> &s) {
        if (frac == 0.0 || i + 1 >= s.size()) return s[i];
        return s[i] + (s[i + 1] - s[i]) * frac;
    });
}

void rolling_mad(const double *x, index_t n, index_t d, double *out) {
    std::vector<double> dev;
    over_sorted_windows(x, n, d, out, [&dev](const std::vector<double> &s) {
        const double m = median_of_sorted(s);
        dev.resize(s.size());
        for (std::size_t k = 0; k < s.size(); ++k) dev[k] = std::fabs(s[k] - m);
        const std::size_t h = dev.size() / 2;
        std::nth_element(dev.begin(), dev.begin() + static_cast<std::ptrdiff_t>(h), dev.end());
        const double upper = dev[h];
        if (dev.size() % 2) return upper;
        const double lower = *std::max_element(dev.begin(),
                                               dev.begin() + static_cast<std::ptrdiff_t>(h));
        return (lower + upper) / 2.0;
    });
}

namespace {

// The window's sums of squared and of `P`-th powered deviations from its
// mean (P = 3 or 4), divided by d; false for a window of equal values.
template <int P>
bool centred_moments(const double *w, index_t d, double &m2, double &mp) {
    const double dd = static_cast<double>(d);
    double mean = 0.0;
    for (index_t k = 0; k < d; ++k) mean += w[k];
    mean /= dd;
    m2 = mp = 0.0;
    for (index_t k = 0; k < d; ++k) {
        const double e = w[k] - mean, e2 = e * e;
        m2 += e2;
        mp += P == 3 ? e2 * e : e2 * e2;
    }
    if (m2 == 0.0) return false;  // equal values: no shape
    m2 /= dd;
    mp /= dd;
    return true;
}

}  // namespace

void rolling_skew(const double *x, index_t n, index_t d, double *out) {
    if (d < 3) {
        std::fill(out, out + n, kNaN);
        return;
    }
    const double dd = static_cast<double>(d);
    over_finite_windows(x, n, d, out, [x, d, dd](index_t lo) {
        double m2, m3;
        if (!centred_moments<3>(x + lo, d, m2, m3)) return kNaN;
        return std::sqrt(dd * (dd - 1.0)) / (dd - 2.0) * m3 / std::pow(m2, 1.5);
    });
}

void rolling_kurt(const double *x, index_t n, index_t d, double *out) {
    if (d < 4) {
        std::fill(out, out + n, kNaN);
        return;
    }
    const double dd = static_cast<double>(d);
    over_finite_windows(x, n, d, out, [x, d, dd](index_t lo) {
        double m2, m4;
        if (!centred_moments<4>(x + lo, d, m2, m4)) return kNaN;
        const double g2 = m4 / (m2 * m2) - 3.0;
        return (dd - 1.0) / ((dd - 2.0) * (dd - 3.0)) * ((dd + 1.0) * g2 + 6.0);
    });
}

void rolling_count(const double *x, index_t n, index_t d, double *out) {
    index_t count = 0;
    for (index_t t = 0; t < n; ++t) {
        count += !std::isnan(x[t]);
        const index_t lo = t - d + 1;
        if (lo > 0) count -= !std::isnan(x[lo - 1]);
        out[t] = lo < 0 ? kNaN : static_cast<double>(count);
    }
}

}  // namespace tarnfold::kern
