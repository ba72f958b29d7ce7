#include "kernels/fama_macbeth.hpp"

#include <algorithm>
#include <cmath>

namespace tarnfold::kern {

namespace {

constexpr index_t kBlockCells = index_t{1} << 21;
constexpr index_t kMaxBlockDates = 32;

// The factor's share of variation left after the controls, below which it
// counts as lying in their span (collinear with them).
constexpr double kCollinear = 1e-10;

// Sum of squares of v[0, n) around its mean (two passes).
double centred_sum_of_squares(const double *v, index_t n) {
    double mean = 0.0;
    for (index_t i = 0; i < n; ++i) mean += v[i];
    mean /= static_cast<double>(n);
    double ss = 0.0;
    for (index_t i = 0; i < n; ++i) ss += (v[i] - mean) * (v[i] - mean);
    return ss;
}

// The slope of y on x with a constant over the pairs where both are finite
// (two-pass means), its sample size and R^2; the slope stays NaN for fewer
// than three pairs or an x without variation.
void simple_slope(const double *x, const double *y, index_t m, double &slope, std::int64_t &count,
                  double &r2) {
    double sx = 0.0, sy = 0.0;
    index_t n = 0;
    for (index_t j = 0; j < m; ++j) {
        if (!std::isfinite(x[j]) || !std::isfinite(y[j])) continue;
        sx += x[j];
        sy += y[j];
        ++n;
    }
    count = n;
    if (n < 3) return;
    const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
    double xx = 0.0, xy = 0.0, yy = 0.0;
    for (index_t j = 0; j < m; ++j) {
        if (!std::isfinite(x[j]) || !std::isfinite(y[j])) continue;
        const double dx = x[j] - mx, dy = y[j] - my;
        xx += dx * dx;
        xy += dx * dy;
        yy += dy * dy;
    }
    if (!(xx > 0.0)) return;
    slope = xy / xx;
    if (yy > 0.0) r2 = xy / xx * xy / yy;
}

}  // namespace

void fama_macbeth(const FamaMacBethInput &in, double *premium, std::int64_t *observations,
                  double *r_squared) {
    const index_t n = in.factor.rows, m = in.factor.cols;
    const index_t n_per = static_cast<index_t>(in.periods.size());
    index_t k = 0;
    for (const auto &b : in.blocks) k += static_cast<index_t>(b.columns.size());
    const std::int32_t n_groups = in.industry ? in.n_industries : 1;
    // parameters: factor, controls, one dummy per group in the sample
    const index_t block = std::clamp<index_t>(kBlockCells / std::max<index_t>(1, m * (k + 1)), 1,
                                              kMaxBlockDates);

    std::vector<double> ebuf(static_cast<std::size_t>(block * k * m));
    std::vector<std::int64_t> rowbuf;
    std::vector<double> x(static_cast<std::size_t>(m));
    std::vector<double> fwd(static_cast<std::size_t>(n_per * m));
    std::vector<double> scratch;
    // Sample columns: the factor first, then the returns of the periods
    // sharing the sample.
    std::vector<double> y(static_cast<std::size_t>((n_per + 1) * m));
    std::vector<double> z(static_cast<std::size_t>(k * m));
    std::vector<double> raw(static_cast<std::size_t>(n_per * m));
    std::vector<std::int32_t> g(static_cast<std::size_t>(m));
    std::vector<std::uint8_t> in_sample(static_cast<std::size_t>(n_per * m));
    std::vector<std::uint8_t> done(static_cast<std::size_t>(n_per));
    std::vector<index_t> share(static_cast<std::size_t>(n_per));
    std::vector<std::uint8_t> used_group(static_cast<std::size_t>(std::max(n_groups, 1)));
    GroupedLeastSquares solver(k, n_groups, in.rcond);

    std::fill(premium, premium + n_per * n, kNaN);
    std::fill(r_squared, r_squared + n_per * n, kNaN);
    std::fill(observations, observations + n_per * n, std::int64_t{0});

    for (index_t t0 = 0; t0 < n; t0 += block) {
        const index_t nb = std::min(block, n - t0);
        if (k > 0) gather_exposures(in.blocks, t0, nb, m, k, ebuf.data(), rowbuf);
        for (index_t tl = 0; tl < nb; ++tl) {
            const index_t t = t0 + tl;
            const double *e = ebuf.data() + tl * k * m;
            const std::int32_t *codes = in.industry ? in.industry + t * m : nullptr;
            copy_row(in.factor, t, x.data());
            for (index_t p = 0; p < n_per; ++p)
                forward_row(in.returns, t, in.periods[static_cast<std::size_t>(p)], scratch,
                            fwd.data() + p * m);
            if (k == 0 && !codes) {
                // A constant alone: the slope of the date's simple regression.
                for (index_t p = 0; p < n_per; ++p)
                    simple_slope(x.data(), fwd.data() + p * m, m, premium[p * n + t],
                                 observations[p * n + t], r_squared[p * n + t]);
                continue;
            }
            // The cells usable for every period: factor, controls and an
            // industry present.
            for (index_t j = 0; j < m; ++j) {
                bool ok = std::isfinite(x[static_cast<std::size_t>(j)]) &&
                          (!codes || codes[j] >= 0);
                for (index_t c = 0; ok && c < k; ++c) ok = std::isfinite(e[c * m + j]);
                for (index_t p = 0; p < n_per; ++p)
                    in_sample[static_cast<std::size_t>(p * m + j)] =
                        ok && std::isfinite(fwd[static_cast<std::size_t>(p * m + j)]);
            }
            std::fill(done.begin(), done.end(), 0);
            for (index_t p0 = 0; p0 < n_per; ++p0) {
                if (done[static_cast<std::size_t>(p0)]) continue;
                // Periods whose sample equals p0's share one fit.
                index_t n_share = 0;
                for (index_t p = p0; p < n_per; ++p) {
                    if (done[static_cast<std::size_t>(p)]) continue;
                    if (p != p0 &&
                        !std::equal(in_sample.begin() + p * m, in_sample.begin() + (p + 1) * m,
                                    in_sample.begin() + p0 * m))
                        continue;
                    done[static_cast<std::size_t>(p)] = 1;
                    share[static_cast<std::size_t>(n_share++)] = p;
                }
                const std::uint8_t *mask = in_sample.data() + p0 * m;
                index_t rows = 0;
                std::fill(used_group.begin(), used_group.end(), 0);
                for (index_t j = 0; j < m; ++j) {
                    if (!mask[j]) continue;
                    y[static_cast<std::size_t>(rows)] = x[static_cast<std::size_t>(j)];
                    for (index_t s = 0; s < n_share; ++s) {
                        const double v = fwd[static_cast<std::size_t>(
                            share[static_cast<std::size_t>(s)] * m + j)];
                        y[static_cast<std::size_t>((s + 1) * m + rows)] = v;
                        raw[static_cast<std::size_t>(s * m + rows)] = v;
                    }
                    for (index_t c = 0; c < k; ++c)
                        z[static_cast<std::size_t>(c * m + rows)] = e[c * m + j];
                    const std::int32_t code = codes ? codes[j] : 0;
                    g[static_cast<std::size_t>(rows)] = code;
                    used_group[static_cast<std::size_t>(code)] = 1;
                    ++rows;
                }
                index_t params = 1 + k;
                for (std::uint8_t u : used_group) params += u;
                for (index_t s = 0; s < n_share; ++s)
                    observations[share[static_cast<std::size_t>(s)] * n + t] = rows;
                if (rows < params + 1) continue;
                const double x_total = centred_sum_of_squares(y.data(), rows);
                solver.solve(y.data(), m, n_share + 1, z.data(), m, g.data(), rows);
                double xx = 0.0;
                for (index_t i = 0; i < rows; ++i)
                    xx += y[static_cast<std::size_t>(i)] * y[static_cast<std::size_t>(i)];
                if (!(xx > kCollinear * x_total)) continue;
                for (index_t s = 0; s < n_share; ++s) {
                    const double *ry = y.data() + (s + 1) * m;
                    double xy = 0.0, yy = 0.0;
                    for (index_t i = 0; i < rows; ++i) {
                        xy += y[static_cast<std::size_t>(i)] * ry[i];
                        yy += ry[i] * ry[i];
                    }
                    const double b = xy / xx;
                    const index_t p = share[static_cast<std::size_t>(s)];
                    premium[p * n + t] = b;
                    const double total = centred_sum_of_squares(raw.data() + s * m, rows);
                    const double resid = yy - b * xy;
                    if (total > 0.0) r_squared[p * n + t] = 1.0 - resid / total;
                }
            }
        }
    }
}

}  // namespace tarnfold::kern
