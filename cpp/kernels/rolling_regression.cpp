#include "kernels/rolling_regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnfold::kern {

namespace {

// The moments of one window about its means.
struct Fit {
    double xm, ym;  // means (ym: of the regressand)
    double sxy, sxx, syy;
    double x_last, y_last;
};

// y on time: x is the day 0 .. d-1 of the window.
Fit fit_on_time(const double *y, index_t d) {
    const double dd = static_cast<double>(d);
    double ym = 0.0;
    for (index_t k = 0; k < d; ++k) ym += y[k];
    ym /= dd;
    const double tm = (dd - 1.0) / 2.0;
    double sxy = 0.0, syy = 0.0;
    for (index_t k = 0; k < d; ++k) {
        const double e = y[k] - ym;
        sxy += (static_cast<double>(k) - tm) * e;
        syy += e * e;
    }
    // sum of (k - tm)^2 over k = 0 .. d-1
    const double sxx = dd * (dd * dd - 1.0) / 12.0;
    return Fit{tm, ym, sxy, sxx, syy, dd - 1.0, y[d - 1]};
}

Fit fit_pair(const double *y, const double *x, index_t d) {
    const double dd = static_cast<double>(d);
    double xm = 0.0, ym = 0.0;
    for (index_t k = 0; k < d; ++k) {
        xm += x[k];
        ym += y[k];
    }
    xm /= dd;
    ym /= dd;
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (index_t k = 0; k < d; ++k) {
        const double ex = x[k] - xm, ey = y[k] - ym;
        sxy += ex * ey;
        sxx += ex * ex;
        syy += ey * ey;
    }
    return Fit{xm, ym, sxy, sxx, syy, x[d - 1], y[d - 1]};
}

double slope_of(const Fit &f) { return f.sxx == 0.0 ? kNaN : f.sxy / f.sxx; }

double rsquare_of(const Fit &f) {
    if (f.sxx == 0.0 || f.syy == 0.0) return kNaN;
    return std::min(1.0, f.sxy / f.sxx * (f.sxy / f.syy));
}

double resid_of(const Fit &f) {
    const double b = slope_of(f);
    return f.y_last - (f.ym + b * (f.x_last - f.xm));
}

template <double (*Stat)(const Fit &)>
void on_time(const double *y, index_t n, index_t d, double *out) {
    if (d < 2) {
        std::fill(out, out + n, kNaN);
        return;
    }
    index_t last_bad = -1;
    for (index_t t = 0; t < n; ++t) {
        if (!std::isfinite(y[t])) last_bad = t;
        const index_t lo = t - d + 1;
        out[t] = (lo < 0 || last_bad >= lo) ? kNaN : Stat(fit_on_time(y + lo, d));
    }
}

template <double (*Stat)(const Fit &)>
void pair(const double *y, const double *x, index_t n, index_t d, double *out) {
    if (d < 2) {
        std::fill(out, out + n, kNaN);
        return;
    }
    index_t last_bad = -1;
    for (index_t t = 0; t < n; ++t) {
        if (!std::isfinite(y[t]) || !std::isfinite(x[t])) last_bad = t;
        const index_t lo = t - d + 1;
        out[t] = (lo < 0 || last_bad >= lo) ? kNaN : Stat(fit_pair(y + lo, x + lo, d));
    }
}

}  // namespace

void rolling_slope(const double *x, index_t n, index_t d, double *out) {
    on_time<slope_of>(x, n, d, out);
}
void rolling_rsquare(const double *x, index_t n, index_t d, double *out) {
    on_time<rsquare_of>(x, n, d, out);
}
void rolling_resid(const double *x, index_t n, index_t d, double *out) {
    on_time<resid_of>(x, n, d, out);
}

void rolling_regression_slope(const double *y, const double *x, index_t n, index_t d, double *out) {
    pair<slope_of>(y, x, n, d, out);
}
void rolling_regression_rsquare(const double *y, const double *x, index_t n, index_t d,
                                double *out) {
    pair<rsquare_of>(y, x, n, d, out);
}
void rolling_regression_resid(const double *y, const double *x, index_t n, index_t d, double *out) {
    pair<resid_of>(y, x, n, d, out);
}

}  // namespace tarnfold::kern
