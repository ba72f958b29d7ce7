#include "kernels/least_squares.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnfold::kern {

namespace {

using Mat = Eigen::MatrixXd;
using Vec = Eigen::VectorXd;
using ColMap = Eigen::Map<Mat, 0, Eigen::OuterStride<>>;
using VecMap = Eigen::Map<Vec>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One date's regression, with buffers reused from date to date.
class DateSolver {
public:
    DateSolver(index_t k, std::int32_t n_groups, double rcond)
        : k_(k), n_groups_(n_groups), rcond_(rcond),
          count_(static_cast<std::size_t>(std::max<std::int32_t>(n_groups, 0))),
          mean_(static_cast<std::size_t>(std::max<std::int32_t>(n_groups, 0) * (k + 1))),
          corr_(mean_.size()) {}

    // Residuals of y (m) on the columns of z (m x k, column-major with
    // leading dimension ld) and the dummies of the group codes g (null:
    // none), written over y; z is overwritten.
    void solve(double *y, double *z, index_t ld, const std::int32_t *g, index_t m) {
        extra_norm2_ = 0.0;
        if (g) demean(y, z, ld, g, m);
        if (k_ == 0 || m == 0) return;
        ColMap a(z, m, k_, Eigen::OuterStride<>(ld));
        VecMap yv(y, m);
        if (m >= k_) {
            // A = QR; the singular values of R are those of A, and the
            // residual is Q applied to Q'y with its first k entries reduced
            // to their part outside the kept left singular vectors of R.
            qr_.compute(a);
            const Mat r = qr_.matrixQR().topRows(k_).triangularView<Eigen::Upper>();
            Eigen::JacobiSVD<Mat> svd(r, Eigen::ComputeFullU);
            const index_t rank = kept(svd.singularValues(), a, g != nullptr);
            Vec c = qr_.householderQ().transpose() * yv;
            if (rank == k_) {
                c.head(k_).setZero();
            } else if (rank > 0) {
                const auto u = svd.matrixU().leftCols(rank);
                const Vec h = u.transpose() * c.head(k_);
                c.head(k_) -= u * h;
            }
            yv = qr_.householderQ() * c;
        } else {
            Eigen::JacobiSVD<Mat> svd(Mat(a), Eigen::ComputeThinU);
            const index_t rank = kept(svd.singularValues(), a, g != nullptr);
            if (rank > 0) {
                const auto u = svd.matrixU().leftCols(rank);
                const Vec h = u.transpose() * yv;
                yv -= u * h;
            }
        }
    }

private:
    // Demeans y and every z column within each industry (rows with a code
    // >= 0); two passes so that a column constant within an industry comes
    // out exactly zero.
    void demean(double *y, double *z, index_t ld, const std::int32_t *g, index_t m) {
        std::fill(count_.begin(), count_.end(), 0);
        for (index_t i = 0; i < m; ++i)
            if (g[i] >= 0) ++count_[static_cast<std::size_t>(g[i])];
        const index_t stride = k_ + 1;
        for (index_t col = 0; col <= k_; ++col) {
            double *v = col == 0 ? y : z + (col - 1) * ld;
            for (std::int32_t c = 0; c < n_groups_; ++c) {
                mean_[static_cast<std::size_t>(c * stride + col)] = 0.0;
                corr_[static_cast<std::size_t>(c * stride + col)] = 0.0;
            }
            for (index_t i = 0; i < m; ++i)
                if (g[i] >= 0) mean_[static_cast<std::size_t>(g[i] * stride + col)] += v[i];
            for (std::int32_t c = 0; c < n_groups_; ++c) {
                const index_t n = count_[static_cast<std::size_t>(c)];
                if (n > 0) mean_[static_cast<std::size_t>(c * stride + col)] /= static_cast<double>(n);
            }
            for (index_t i = 0; i < m; ++i) {
                if (g[i] < 0) continue;
                const std::size_t at = static_cast<std::size_t>(g[i] * stride + col);
                corr_[at] += v[i] - mean_[at];
            }
            for (std::int32_t c = 0; c < n_groups_; ++c) {
                const index_t n = count_[static_cast<std::size_t>(c)];
                const std::size_t at = static_cast<std::size_t>(c * stride + col);
                if (n > 0) mean_[at] += corr_[at] / static_cast<double>(n);
            }
            for (index_t i = 0; i < m; ++i)
                if (g[i] >= 0) v[i] -= mean_[static_cast<std::size_t>(g[i] * stride + col)];
        }
        // Squared Frobenius norm that the dummies and the removed means add
        // to the demeaned columns: sum over industries of n (1 + |mean z|^2).
        for (std::int32_t c = 0; c < n_groups_; ++c) {
            const index_t n = count_[static_cast<std::size_t>(c)];
            if (n == 0) continue;
            double s = 1.0;
            for (index_t col = 1; col <= k_; ++col) {
                const double mu = mean_[static_cast<std::size_t>(c * stride + col)];
                s += mu * mu;
            }
            extra_norm2_ += static_cast<double>(n) * s;
        }
    }

    // Number of singular values (descending) above the cut-off rcond * the
    // largest singular value of the whole design.  Without industries the
    // design is A itself.  With them it is [Z, dummies]: its largest
    // singular value is at most its Frobenius norm, so when every singular
    // value clears rcond * that norm all are kept; otherwise the largest
    // eigenvalue of the design's Gram matrix (built from the demeaned
    // columns and the industry means) gives the exact cut-off.
    index_t kept(const Vec &s, const ColMap &a, bool groups) const {
        const index_t n = s.size();
        if (n == 0) return 0;
        double smax = s(0);
        if (groups) {
            const double upper = std::sqrt(s.squaredNorm() + extra_norm2_);
            if (s(n - 1) > rcond_ * upper) return n;
            smax = largest_singular_value(a);
        }
        const double cutoff = rcond_ * smax;
        index_t r = 0;
        while (r < n && s(r) > cutoff) ++r;
        return r;
    }

    double largest_singular_value(const ColMap &a) const {
        const index_t stride = k_ + 1;
        std::vector<std::int32_t> used;
        for (std::int32_t c = 0; c < n_groups_; ++c)
            if (count_[static_cast<std::size_t>(c)] > 0) used.push_back(c);
        const index_t size = k_ + static_cast<index_t>(used.size());
        Mat gram = Mat::Zero(size, size);
        gram.topLeftCorner(k_, k_) = a.transpose() * a;
        for (std::size_t u = 0; u < used.size(); ++u) {
            const std::int32_t c = used[u];
            const double n = static_cast<double>(count_[static_cast<std::size_t>(c)]);
            const index_t d = k_ + static_cast<index_t>(u);
            for (index_t p = 0; p < k_; ++p) {
                const double mp = mean_[static_cast<std::size_t>(c * stride + p + 1)];
                for (index_t q = 0; q < k_; ++q)
                    gram(p, q) += n * mp * mean_[static_cast<std::size_t>(c * stride + q + 1)];
                gram(p, d) = gram(d, p) = n * mp;
            }
            gram(d, d) = n;
        }
        Eigen::SelfAdjointEigenSolver<Mat> eig(gram, Eigen::EigenvaluesOnly);
        return std::sqrt(std::max(eig.eigenvalues()(size - 1), 0.0));
    }

    index_t k_;
    std::int32_t n_groups_;
    double rcond_;
    std::vector<index_t> count_;
    std::vector<double> mean_, corr_;
    double extra_norm2_ = 0.0;
    Eigen::HouseholderQR<Mat> qr_;
};

}  // namespace

void neutralize(const NeutralizeInput &in, const MutView &out, NeutralizeOutput &res) {
    const index_t n_dates = in.factor.rows, n_inst = in.factor.cols;
    index_t k = 0;
    for (const auto &b : in.blocks) k += static_cast<index_t>(b.columns.size());

    std::vector<double> y(static_cast<std::size_t>(n_inst));
    std::vector<double> z(static_cast<std::size_t>(n_inst * k));
    std::vector<std::int32_t> g(static_cast<std::size_t>(n_inst));
    std::vector<index_t> which(static_cast<std::size_t>(n_inst));
    std::vector<unsigned char> member(static_cast<std::size_t>(n_inst));
    std::vector<unsigned char> first;
    res.present.assign(static_cast<std::size_t>(n_inst), 0);
    res.same_on_every_date = true;
    DateSolver solver(k, in.industry ? in.n_industries : 0, in.rcond);

    for (index_t t = 0; t < n_dates; ++t) {
        for (index_t j = 0; j < n_inst; ++j) out(t, j) = kNaN;
        index_t m = 0;
        bool all_nan = true;
        for (index_t j = 0; j < n_inst; ++j) {
            const double v = in.factor(t, j);
            if (std::isnan(v)) continue;
            all_nan = false;
            if (std::isinf(v)) {
                ++res.infinite_cells;
                continue;
            }
            const std::size_t cell = static_cast<std::size_t>(t * n_inst + j);
            std::int32_t code = kNoIndustryDummy;
            if (in.industry) {
                code = in.industry[cell];
                if (code == kNoIndustryRow) continue;
            }
            bool complete = true, infinite = false;
            index_t col = 0;
            for (const auto &b : in.blocks) {
                const std::int64_t key = b.key ? b.key[t] : t;
                const std::int64_t row =
                    key < 0 ? -1 : b.rows[static_cast<std::size_t>(key * n_inst + j)];
                if (row < 0) {
                    complete = false;
                    break;
                }
                for (const double *values : b.columns) {
                    const double e = values[row];
                    if (!std::isfinite(e)) {
                        complete = false;
                        infinite = !std::isnan(e);
                        break;
                    }
                    z[static_cast<std::size_t>(col * n_inst + m)] = e;
                    ++col;
                }
                if (!complete) break;
            }
            if (!complete) {
                if (infinite) ++res.infinite_cells;
                continue;
            }
            y[static_cast<std::size_t>(m)] = v;
            g[static_cast<std::size_t>(m)] = code;
            which[static_cast<std::size_t>(m)] = j;
            ++m;
        }

        // The instruments of this date's residual series.
        if (all_nan || m == 0) {
            std::fill(member.begin(), member.end(), 1);
            if (!all_nan) {
                if (res.empty_dates++ == 0) res.first_empty_date = t;
            }
        } else {
            solver.solve(y.data(), z.data(), n_inst, in.industry ? g.data() : nullptr, m);
            ++res.fitted_dates;
            std::fill(member.begin(), member.end(), 0);
            for (index_t i = 0; i < m; ++i) {
                const index_t j = which[static_cast<std::size_t>(i)];
                out(t, j) = y[static_cast<std::size_t>(i)];
                member[static_cast<std::size_t>(j)] = 1;
            }
        }
        for (index_t j = 0; j < n_inst; ++j) res.present[static_cast<std::size_t>(j)] |= member[static_cast<std::size_t>(j)];
        if (t == 0) {
            first = member;
        } else if (res.same_on_every_date && member != first) {
            res.same_on_every_date = false;
        }
    }
}

}  // namespace tarnfold::kern
