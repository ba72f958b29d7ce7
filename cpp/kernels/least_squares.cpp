#include "kernels/least_squares.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>

#include "kernels/parallel.hpp"

namespace tarnfold::kern {

namespace {

using Mat = Eigen::MatrixXd;
using Vec = Eigen::VectorXd;
using ColMap = Eigen::Map<Mat, 0, Eigen::OuterStride<>>;
using VecMap = Eigen::Map<Vec>;

// Date blocks hold about this many cells (factor, exposures, residuals).
constexpr index_t kBufferCells = index_t{1} << 21;
constexpr index_t kMaxBlockDates = 32;
constexpr index_t kTile = kExposureTile;

template <typename T>
void prefetch_span(const T *p, std::int64_t n) {
    const char *a = reinterpret_cast<const char *>(p);
    const char *e = reinterpret_cast<const char *>(p + n);
    for (; a < e; a += 64) __builtin_prefetch(a);
}

}  // namespace

// One date's regression, with buffers reused from date to date.
struct GroupedLeastSquares::Impl {
    Impl(index_t k, std::int32_t n_groups, double rcond)
        : k_(k),
          n_groups_(n_groups),
          rcond_(rcond),
          count_(static_cast<std::size_t>(std::max<std::int32_t>(n_groups, 0))) {}

    void solve(double *y, index_t ldy, index_t nrhs, double *z, index_t ld, const std::int32_t *g,
               index_t m) {
        extra_norm2_ = 0.0;
        if (g) demean(y, ldy, nrhs, z, ld, g, m);
        if (k_ == 0 || m == 0) return;
        ColMap a(z, m, k_, Eigen::OuterStride<>(ld));
        if (m >= k_) {
            // A = QR; the singular values of R are those of A, and the
            // residual is Q applied to Q'y with its first k entries reduced
            // to their part outside the kept left singular vectors of R.
            qr_.compute(a);
            const Mat r = qr_.matrixQR().topRows(k_).triangularView<Eigen::Upper>();
            Eigen::JacobiSVD<Mat> svd(r, Eigen::ComputeFullU);
            const index_t rank = kept(svd.singularValues(), a, g != nullptr, nrhs);
            for (index_t col = 0; col < nrhs; ++col) {
                VecMap yv(y + col * ldy, m);
                Vec c = qr_.householderQ().transpose() * yv;
                if (rank == k_) {
                    c.head(k_).setZero();
                } else if (rank > 0) {
                    const auto u = svd.matrixU().leftCols(rank);
                    const Vec h = u.transpose() * c.head(k_);
                    c.head(k_) -= u * h;
                }
                yv = qr_.householderQ() * c;
            }
        } else {
            Eigen::JacobiSVD<Mat> svd(Mat(a), Eigen::ComputeThinU);
            const index_t rank = kept(svd.singularValues(), a, g != nullptr, nrhs);
            if (rank > 0) {
                const auto u = svd.matrixU().leftCols(rank);
                for (index_t col = 0; col < nrhs; ++col) {
                    VecMap yv(y + col * ldy, m);
                    const Vec h = u.transpose() * yv;
                    yv -= u * h;
                }
            }
        }
    }

    // Demeans every y column and every z column within each industry (rows
    // with a code >= 0); two passes so that a column constant within an
    // industry comes out exactly zero.  The means of column col (y columns
    // first, then z) sit at mean_[c * (nrhs + k) + col].
    void demean(double *y, index_t ldy, index_t nrhs, double *z, index_t ld, const std::int32_t *g,
                index_t m) {
        std::fill(count_.begin(), count_.end(), 0);
        for (index_t i = 0; i < m; ++i)
            if (g[i] >= 0) ++count_[static_cast<std::size_t>(g[i])];
        const index_t stride = k_ + nrhs;
        const std::size_t need = static_cast<std::size_t>(std::max<std::int32_t>(n_groups_, 0) *
                                                          stride);
        if (mean_.size() < need) {
            mean_.resize(need);
            corr_.resize(need);
        }
        for (index_t col = 0; col < stride; ++col) {
            double *v = col < nrhs ? y + col * ldy : z + (col - nrhs) * ld;
            for (std::int32_t c = 0; c < n_groups_; ++c) {
                mean_[static_cast<std::size_t>(c * stride + col)] = 0.0;
                corr_[static_cast<std::size_t>(c * stride + col)] = 0.0;
            }
            for (index_t i = 0; i < m; ++i)
                if (g[i] >= 0) mean_[static_cast<std::size_t>(g[i] * stride + col)] += v[i];
            for (std::int32_t c = 0; c < n_groups_; ++c) {
                const index_t n = count_[static_cast<std::size_t>(c)];
                if (n > 0)
                    mean_[static_cast<std::size_t>(c * stride + col)] /= static_cast<double>(n);
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
            for (index_t col = nrhs; col < stride; ++col) {
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
    index_t kept(const Vec &s, const ColMap &a, bool groups, index_t nrhs) const {
        const index_t n = s.size();
        if (n == 0) return 0;
        double smax = s(0);
        if (groups) {
            const double upper = std::sqrt(s.squaredNorm() + extra_norm2_);
            if (s(n - 1) > rcond_ * upper) return n;
            smax = largest_singular_value(a, nrhs);
        }
        const double cutoff = rcond_ * smax;
        index_t r = 0;
        while (r < n && s(r) > cutoff) ++r;
        return r;
    }

    double largest_singular_value(const ColMap &a, index_t nrhs) const {
        const index_t stride = k_ + nrhs;
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
                const double mp = mean_[static_cast<std::size_t>(c * stride + p + nrhs)];
                for (index_t q = 0; q < k_; ++q)
                    gram(p, q) += n * mp * mean_[static_cast<std::size_t>(c * stride + q + nrhs)];
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

GroupedLeastSquares::GroupedLeastSquares(index_t k, std::int32_t n_groups, double rcond)
    : impl_(std::make_unique<Impl>(k, n_groups, rcond)) {}

GroupedLeastSquares::~GroupedLeastSquares() = default;

void GroupedLeastSquares::solve(double *y, index_t ldy, index_t nrhs, double *z, index_t ldz,
                                const std::int32_t *g, index_t m) {
    impl_->solve(y, ldy, nrhs, z, ldz, g, m);
}

// The exposures of one instrument over the block's dates usually sit side by
// side in the source, a page or more away from the next instrument's: their
// lines are prefetched a tile of instruments ahead.
void gather_exposures(const std::vector<ExposureBlock> &blocks, index_t t0, index_t nb,
                      index_t n_inst, index_t k, double *ebuf, std::vector<std::int64_t> &rowbuf) {
    rowbuf.resize(static_cast<std::size_t>(nb * kTile));
    index_t col0 = 0;
    for (const auto &b : blocks) {
        const index_t nc = static_cast<index_t>(b.columns.size());
        const std::int64_t key0 = b.key ? b.key[t0] : t0;
        const std::int64_t key1 = b.key ? b.key[t0 + nb - 1] : t0 + nb - 1;
        const bool keys_ahead = key0 >= 0 && key1 >= key0;
        // Instruments go in tiles of kTile, so that each buffer line
        // (kTile instruments of one date and column) is written whole.
        for (index_t j0 = 0; j0 < n_inst; j0 += kTile) {
            const index_t jn = std::min(kTile, n_inst - j0);
            if (keys_ahead) {
                const index_t jr = j0 + 2 * kTile, jv = j0 + kTile;
                for (index_t j = jr; j < std::min(n_inst, jr + kTile); ++j)
                    prefetch_span(b.rows + j * b.n_keys + key0, key1 - key0 + 1);
                for (index_t j = jv; j < std::min(n_inst, jv + kTile); ++j) {
                    const std::int64_t r0 = b.rows[j * b.n_keys + key0];
                    const std::int64_t r1 = b.rows[j * b.n_keys + key1];
                    if (r0 < 0 || r1 < r0 || r1 - r0 >= 4 * nb) continue;
                    for (index_t c = 0; c < nc; ++c)
                        prefetch_span(b.columns[static_cast<std::size_t>(c)] + r0, r1 - r0 + 1);
                }
            }
            for (index_t jj = 0; jj < jn; ++jj) {
                const std::int64_t *rows = b.rows + (j0 + jj) * b.n_keys;
                for (index_t tl = 0; tl < nb; ++tl) {
                    const std::int64_t key = b.key ? b.key[t0 + tl] : t0 + tl;
                    rowbuf[static_cast<std::size_t>(tl * kTile + jj)] = key < 0 ? -1 : rows[key];
                }
            }
            for (index_t c = 0; c < nc; ++c) {
                const double *values = b.columns[static_cast<std::size_t>(c)];
                for (index_t tl = 0; tl < nb; ++tl) {
                    const std::int64_t *row = rowbuf.data() + tl * kTile;
                    double *dst = ebuf + (tl * k + col0 + c) * n_inst + j0;
                    for (index_t jj = 0; jj < jn; ++jj)
                        dst[jj] = row[jj] < 0 ? kNaN : values[row[jj]];
                }
            }
        }
        col0 += nc;
    }
}

namespace {

// What one thread keeps while it fits its blocks of dates: buffers, the
// solver, and its share of the tallies of NeutralizeOutput.
struct NeutralizeWorker {
    NeutralizeWorker(index_t block, index_t n_inst, index_t k, std::int32_t n_groups, double rcond)
        : fbuf(static_cast<std::size_t>(block * n_inst)),
          ebuf(static_cast<std::size_t>(block * k * n_inst)),
          rbuf(static_cast<std::size_t>(block * n_inst)),
          y(static_cast<std::size_t>(n_inst)),
          z(static_cast<std::size_t>(n_inst * k)),
          g(static_cast<std::size_t>(n_inst)),
          which(static_cast<std::size_t>(n_inst)),
          member(static_cast<std::size_t>(n_inst)),
          present(static_cast<std::size_t>(n_inst), 0),
          solver(k, n_groups, rcond) {}

    std::vector<double> fbuf, ebuf, rbuf;
    std::vector<std::int64_t> rowbuf;
    std::vector<double> y, z;
    std::vector<std::int32_t> g;
    std::vector<index_t> which;
    std::vector<unsigned char> member, present;
    // The instruments of the first date this worker fitted, and whether
    // every later date of its own had the same ones.
    std::vector<unsigned char> first;
    bool uniform = true;
    index_t fitted = 0, empty = 0, first_empty = -1, infinite = 0;
    GroupedLeastSquares solver;

    void fit_block(const NeutralizeInput &in, const MutView &out, index_t t0, index_t nb,
                   index_t k);
};

// Dates are processed in blocks: the factor rows, exposures and residuals
// of a block are moved between the (usually instrument-major) tables and
// date-major buffers instrument by instrument, so that neither side is
// walked with a page-sized stride per cell.
void NeutralizeWorker::fit_block(const NeutralizeInput &in, const MutView &out, index_t t0,
                                 index_t nb, index_t k) {
    const index_t n_inst = in.factor.cols;
    // Gather the block: factor rows, then each exposure column (NaN where
    // the cell has no exposure row).
    if (in.factor.col_stride == 1) {
        for (index_t tl = 0; tl < nb; ++tl)
            for (index_t j = 0; j < n_inst; ++j)
                fbuf[static_cast<std::size_t>(tl * n_inst + j)] = in.factor(t0 + tl, j);
    } else {
        for (index_t j = 0; j < n_inst; ++j)
            for (index_t tl = 0; tl < nb; ++tl)
                fbuf[static_cast<std::size_t>(tl * n_inst + j)] = in.factor(t0 + tl, j);
    }
    gather_exposures(in.blocks, t0, nb, n_inst, k, ebuf.data(), rowbuf);

    for (index_t tl = 0; tl < nb; ++tl) {
        const index_t t = t0 + tl;
        const double *f = fbuf.data() + tl * n_inst;
        const double *e = ebuf.data() + tl * k * n_inst;
        double *r = rbuf.data() + tl * n_inst;
        std::fill(r, r + n_inst, kNaN);
        const std::int32_t *codes = in.industry ? in.industry + t * n_inst : nullptr;
        index_t m = 0;
        bool all_nan = true;
        for (index_t j = 0; j < n_inst; ++j) {
            const double v = f[j];
            if (std::isnan(v)) continue;
            all_nan = false;
            if (std::isinf(v)) {
                ++infinite;
                continue;
            }
            std::int32_t code = kNoIndustryDummy;
            if (codes) {
                code = codes[j];
                if (code == kNoIndustryRow) continue;
            }
            bool complete = true, inf_exposure = false;
            for (index_t c = 0; c < k; ++c) {
                const double x = e[c * n_inst + j];
                if (!std::isfinite(x)) {
                    complete = false;
                    inf_exposure = !std::isnan(x);
                    break;
                }
                z[static_cast<std::size_t>(c * n_inst + m)] = x;
            }
            if (!complete) {
                if (inf_exposure) ++infinite;
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
            if (!all_nan && empty++ == 0) first_empty = t;
        } else {
            solver.solve(y.data(), n_inst, 1, z.data(), n_inst, codes ? g.data() : nullptr, m);
            ++fitted;
            std::fill(member.begin(), member.end(), 0);
            for (index_t i = 0; i < m; ++i) {
                const index_t j = which[static_cast<std::size_t>(i)];
                r[j] = y[static_cast<std::size_t>(i)];
                member[static_cast<std::size_t>(j)] = 1;
            }
        }
        for (index_t j = 0; j < n_inst; ++j)
            present[static_cast<std::size_t>(j)] |= member[static_cast<std::size_t>(j)];
        if (first.empty()) {
            first = member;
        } else if (uniform && member != first) {
            uniform = false;
        }
    }

    for (index_t j = 0; j < n_inst; ++j)
        for (index_t tl = 0; tl < nb; ++tl)
            out(t0 + tl, j) = rbuf[static_cast<std::size_t>(tl * n_inst + j)];
}

}  // namespace

void neutralize(const NeutralizeInput &in, const MutView &out, NeutralizeOutput &res, int threads) {
    const index_t n_dates = in.factor.rows, n_inst = in.factor.cols;
    index_t k = 0;
    for (const auto &b : in.blocks) k += static_cast<index_t>(b.columns.size());
    const index_t block = std::clamp<index_t>(kBufferCells / std::max<index_t>(1, n_inst * (k + 2)),
                                              1, kMaxBlockDates);
    const index_t n_blocks = (n_dates + block - 1) / block;
    const std::int32_t n_groups = in.industry ? in.n_industries : 0;

    // Workers are made by the thread that first needs one.
    std::vector<std::unique_ptr<NeutralizeWorker>> workers(
        static_cast<std::size_t>(std::max(threads, 1)));
    parallel_chunks(n_blocks, threads, 1, [&](int thread, index_t lo, index_t hi) {
        auto &w = workers[static_cast<std::size_t>(thread)];
        if (!w) w = std::make_unique<NeutralizeWorker>(block, n_inst, k, n_groups, in.rcond);
        for (index_t b = lo; b < hi; ++b) {
            const index_t t0 = b * block;
            w->fit_block(in, out, t0, std::min(block, n_dates - t0), k);
        }
    });

    // The tallies of all workers: counts add up, the first empty date is
    // the earliest, and every date has the same instruments when each
    // worker's dates agree among themselves and with the other workers'.
    res.present.assign(static_cast<std::size_t>(n_inst), 0);
    res.same_on_every_date = true;
    res.fitted_dates = res.empty_dates = res.infinite_cells = 0;
    res.first_empty_date = -1;
    const std::vector<unsigned char> *reference = nullptr;
    for (const auto &w : workers) {
        if (!w) continue;
        res.fitted_dates += w->fitted;
        res.empty_dates += w->empty;
        res.infinite_cells += w->infinite;
        if (w->first_empty >= 0 &&
            (res.first_empty_date < 0 || w->first_empty < res.first_empty_date))
            res.first_empty_date = w->first_empty;
        for (index_t j = 0; j < n_inst; ++j)
            res.present[static_cast<std::size_t>(j)] |= w->present[static_cast<std::size_t>(j)];
        if (w->first.empty()) continue;
        if (!w->uniform || (reference && w->first != *reference)) res.same_on_every_date = false;
        if (!reference) reference = &w->first;
    }
}

}  // namespace tarnfold::kern
