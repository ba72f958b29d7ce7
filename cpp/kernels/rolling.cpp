#include "kernels/rolling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnfold::kern {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A compensated running sum of the finite values of a window, with counts
// of the NaN and infinite values it holds.
struct WindowSum {
    double sum = 0.0, comp = 0.0;
    index_t nans = 0, infs = 0;

    void reset() { sum = comp = 0.0; nans = infs = 0; }
    void kahan(double v) {
        const double y = v - comp;
        const double t = sum + y;
        comp = (t - sum) - y;
        sum = t;
    }
    void add(double v) {
        if (std::isnan(v)) ++nans;
        else if (std::isinf(v)) ++infs;
        else kahan(v);
    }
    void remove(double v) {
        if (std::isnan(v)) --nans;
        else if (std::isinf(v)) --infs;
        else kahan(-v);
    }
};

double direct_sum(const double *x, index_t lo, index_t hi) {
    double s = 0.0;
    for (index_t k = lo; k <= hi; ++k) s += x[k];
    return s;
}

template <bool Mean>
void rolling_sum_impl(const double *x, index_t n, index_t d, double *out) {
    WindowSum w;
    for (index_t t = 0; t < n; ++t) {
        if (t % d == 0) {
            // Fresh sum of the window ending here: errors of the running
            // update never outlive d steps.
            w.reset();
            for (index_t k = std::max<index_t>(0, t - d + 1); k <= t; ++k) w.add(x[k]);
        } else {
            w.add(x[t]);
            if (t >= d) w.remove(x[t - d]);
        }
        if (t < d - 1 || w.nans > 0) {
            out[t] = kNaN;
            continue;
        }
        const double s = w.infs > 0 ? direct_sum(x, t - d + 1, t) : w.sum;
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
    // Welford's running mean and sum of squared deviations over the finite
    // values of the window, recomputed by two passes every d steps.
    double mean = 0.0, ssd = 0.0;
    index_t count = 0, nans = 0, infs = 0, run = 0;
    auto add = [&](double v) {
        if (std::isnan(v)) { ++nans; return; }
        if (std::isinf(v)) { ++infs; return; }
        ++count;
        const double delta = v - mean;
        mean += delta / static_cast<double>(count);
        ssd += delta * (v - mean);
    };
    auto remove = [&](double v) {
        if (std::isnan(v)) { --nans; return; }
        if (std::isinf(v)) { --infs; return; }
        --count;
        if (count == 0) { mean = ssd = 0.0; return; }
        const double delta = v - mean;
        mean -= delta / static_cast<double>(count);
        ssd -= delta * (v - mean);
    };
    for (index_t t = 0; t < n; ++t) {
        // Length of the run of equal values ending at t.
        run = (t > 0 && x[t] == x[t - 1]) ? run + 1 : (std::isnan(x[t]) ? 0 : 1);
        if (t % d == 0) {
            const index_t lo = std::max<index_t>(0, t - d + 1);
            count = nans = infs = 0;
            double s = 0.0;
            for (index_t k = lo; k <= t; ++k) {
                if (std::isnan(x[k])) ++nans;
                else if (std::isinf(x[k])) ++infs;
                else { ++count; s += x[k]; }
            }
            mean = count ? s / static_cast<double>(count) : 0.0;
            ssd = 0.0;
            for (index_t k = lo; k <= t; ++k) {
                if (std::isfinite(x[k])) {
                    const double e = x[k] - mean;
                    ssd += e * e;
                }
            }
        } else {
            add(x[t]);
            if (t >= d) remove(x[t - d]);
        }
        if (t < d - 1 || nans > 0 || infs > 0) {
            out[t] = kNaN;
        } else if (run >= d) {
            out[t] = 0.0;
        } else {
            out[t] = std::sqrt(std::max(ssd, 0.0) / static_cast<double>(d - 1));
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
