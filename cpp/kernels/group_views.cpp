#include "kernels/group_views.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/subset_ranks.hpp"

namespace tarnfold::kern {

namespace {

// Weighted group means of one cross-section: sums per (subset, label).
struct GroupMeans {
    std::vector<double> sum, weight;
    index_t q = 0;
    void reset(std::int32_t subsets, index_t groups) {
        q = groups;
        sum.assign(static_cast<std::size_t>(subsets * groups), 0.0);
        weight.assign(sum.size(), 0.0);
    }
    void add(std::int32_t s, std::int32_t label, double y, double w) {
        const std::size_t at = static_cast<std::size_t>(s * q + label);
        sum[at] += w * y;
        weight[at] += w;
    }
    double mean(std::int32_t s, std::int32_t label) const {
        const std::size_t at = static_cast<std::size_t>(s * q + label);
        return weight[at] > 0.0 ? sum[at] / weight[at] : kNaN;
    }
};

}  // namespace

void group_views(const GroupViewInput &in, const GroupViewOutput &out) {
    const index_t n = in.factor.rows, m = in.factor.cols;
    const index_t n_per = static_cast<index_t>(in.periods.size());
    const index_t q = in.quantile, nb = in.size_buckets;
    const std::int32_t n_ind = in.industry ? in.n_industries : 0;
    const bool sized = in.size != nullptr;

    auto fill_nan = [](double *p, index_t count) {
        if (p) std::fill(p, p + count, kNaN);
    };
    fill_nan(out.groups_equal, n_per * n * q);
    fill_nan(out.groups_cap, n_per * n * q);
    fill_nan(out.industry_ic, n_per * n * n_ind);
    fill_nan(out.industry_spread, n_per * n * n_ind);
    fill_nan(out.size_ic, n_per * n * nb);
    fill_nan(out.size_spread, n_per * n * nb);
    fill_nan(out.double_sort, n_per * n * nb * q);
    if (out.industry_members) std::fill(out.industry_members, out.industry_members + n * n_ind, 0);
    if (out.size_members) std::fill(out.size_members, out.size_members + n * nb, 0);

    std::vector<double> x(static_cast<std::size_t>(m)), y(static_cast<std::size_t>(m));
    std::vector<double> cap(static_cast<std::size_t>(m)), scratch, before, sums;
    std::vector<double> rx(static_cast<std::size_t>(m)), ry(static_cast<std::size_t>(m));
    std::vector<double> masked(static_cast<std::size_t>(m));
    std::vector<std::int32_t> all_label(static_cast<std::size_t>(m)),
        ind_label(static_cast<std::size_t>(m));
    std::vector<std::int32_t> bucket(static_cast<std::size_t>(m)),
        size_label(static_cast<std::size_t>(m));
    std::vector<std::int32_t> ind_code(static_cast<std::size_t>(m));
    std::vector<std::uint8_t> keep(static_cast<std::size_t>(m)), has_x(static_cast<std::size_t>(m));
    // Ranks of the factor within each view's subsets over every instrument
    // with a factor value: they serve every period whose returns cover
    // those instruments (the usual case).
    std::vector<double> rx_industry(static_cast<std::size_t>(m)),
        rx_size(static_cast<std::size_t>(m));
    std::vector<std::uint32_t> best;
    std::vector<index_t> count, tied;
    SortedColumn xs, ys, ss;
    SortScratch sort_scratch;
    RankGroupTable factor_groups(q), size_groups(nb);
    GroupMeans means, cap_means, ind_means, size_means;
    std::vector<double> ic(static_cast<std::size_t>(std::max<index_t>({index_t{1}, n_ind, nb})));

    for (index_t t = 0; t < n; ++t) {
        copy_row(in.factor, t, x.data());
        for (double &v : x)
            if (!std::isfinite(v)) v = kNaN;
        for (index_t j = 0; j < m; ++j)
            has_x[static_cast<std::size_t>(j)] = !std::isnan(x[static_cast<std::size_t>(j)]);
        bool industry_ranked = false, size_ranked = false;
        sort_with_ties_by_position(x.data(), m, xs, sort_scratch);
        largest_first(xs, best);
        subset_groups(best, m, nullptr, 1, factor_groups, count, all_label.data());
        if (out.labels) std::copy(all_label.begin(), all_label.end(), out.labels + t * m);
        if (sized) {
            for (index_t j = 0; j < m; ++j) {
                const double c = in.size[t * m + j];
                cap[static_cast<std::size_t>(j)] = std::isfinite(c) && c > 0.0 ? c : kNaN;
                masked[static_cast<std::size_t>(j)] = std::isnan(x[static_cast<std::size_t>(j)])
                                                          ? kNaN
                                                          : cap[static_cast<std::size_t>(j)];
            }
            // Size buckets from the smallest (0) up, among the instruments
            // with a factor value and a size.
            sort_with_ties_by_position(masked.data(), m, ss, sort_scratch);
            subset_groups(ss.order, m, nullptr, 1, size_groups, count, bucket.data());
            if (out.size_members)
                for (index_t j = 0; j < m; ++j)
                    if (bucket[static_cast<std::size_t>(j)] >= 0)
                        ++out.size_members[t * nb + bucket[static_cast<std::size_t>(j)]];
            subset_groups(best, m, bucket.data(), static_cast<std::int32_t>(nb), factor_groups,
                          count, size_label.data());
        }
        if (n_ind > 0) {
            for (index_t j = 0; j < m; ++j) {
                const std::int32_t c = in.industry[t * m + j];
                ind_code[static_cast<std::size_t>(j)] = c < n_ind ? c : -1;
                if (c >= 0 && c < n_ind && !std::isnan(x[static_cast<std::size_t>(j)]) &&
                    out.industry_members)
                    ++out.industry_members[t * n_ind + c];
            }
            subset_groups(best, m, ind_code.data(), n_ind, factor_groups, count, ind_label.data());
        }
        // Weights of the industry and size views.
        auto view_weight = [&](index_t j) {
            return in.cap_weighted ? cap[static_cast<std::size_t>(j)] : 1.0;
        };

        for (index_t p = 0; p < n_per; ++p) {
            forward_row(in.returns, t, in.periods[static_cast<std::size_t>(p)], scratch, y.data());
            const index_t at = p * n + t;

            // One pass: usable returns, the groups' sums, and the pairs of
            // the rank ICs (instruments with a factor value and a return).
            means.reset(1, q);
            cap_means.reset(1, q);
            bool complete = true;
            for (index_t j = 0; j < m; ++j) {
                double &v = y[static_cast<std::size_t>(j)];
                if (!std::isfinite(v)) v = kNaN;
                const bool has_y = !std::isnan(v);
                const bool x_here = has_x[static_cast<std::size_t>(j)] != 0;
                keep[static_cast<std::size_t>(j)] = x_here && has_y;
                complete = complete && (has_y || !x_here);
                const std::int32_t lab = all_label[static_cast<std::size_t>(j)];
                if (lab < 0 || !has_y) continue;
                means.add(0, lab, v, 1.0);
                if (sized && !std::isnan(cap[static_cast<std::size_t>(j)]))
                    cap_means.add(0, lab, v, cap[static_cast<std::size_t>(j)]);
            }
            for (index_t g = 0; g < q; ++g) {
                if (out.groups_equal)
                    out.groups_equal[at * q + g] = means.mean(0, static_cast<std::int32_t>(g));
                if (out.groups_cap && sized)
                    out.groups_cap[at * q + g] = cap_means.mean(0, static_cast<std::int32_t>(g));
            }
            if (n_ind == 0 && !sized) continue;

            // Average ranks do not depend on the order within ties.
            sort_valid(y.data(), static_cast<std::uint32_t>(m), ys, sort_scratch);

            auto subset_view = [&](const std::int32_t *code, std::int32_t n_codes,
                                   const std::int32_t *label, double *ic_out, double *spread_out,
                                   double *cells_out, GroupMeans &gm, std::vector<double> &rx_all,
                                   bool &ranked) {
                const double *rxp = rx.data();
                if (complete) {
                    if (!ranked) {
                        subset_average_ranks(xs, code, n_codes, has_x.data(), before, tied,
                                             rx_all.data());
                        ranked = true;
                    }
                    rxp = rx_all.data();
                } else {
                    subset_average_ranks(xs, code, n_codes, keep.data(), before, tied, rx.data());
                }
                subset_average_ranks(ys, code, n_codes, keep.data(), before, tied, ry.data());
                subset_rank_correlation(rxp, ry.data(), keep.data(), code, n_codes, m, in.min_pairs,
                                        sums, ic.data());
                gm.reset(n_codes, q);
                for (index_t j = 0; j < m; ++j) {
                    const std::int32_t s = code[j], lab = label[j];
                    const double v = y[static_cast<std::size_t>(j)], w = view_weight(j);
                    if (s < 0 || lab < 0 || std::isnan(v) || std::isnan(w)) continue;
                    gm.add(s, lab, v, w);
                }
                for (std::int32_t s = 0; s < n_codes; ++s) {
                    if (ic_out) ic_out[at * n_codes + s] = ic[static_cast<std::size_t>(s)];
                    if (spread_out)
                        spread_out[at * n_codes + s] = gm.mean(s, 0) -
                                                       gm.mean(s, static_cast<std::int32_t>(q - 1));
                    if (cells_out)
                        for (index_t g = 0; g < q; ++g)
                            cells_out[(at * n_codes + s) * q + g] = gm.mean(
                                s, static_cast<std::int32_t>(g));
                }
            };
            if (n_ind > 0)
                subset_view(ind_code.data(), n_ind, ind_label.data(), out.industry_ic,
                            out.industry_spread, nullptr, ind_means, rx_industry, industry_ranked);
            if (sized)
                subset_view(bucket.data(), static_cast<std::int32_t>(nb), size_label.data(),
                            out.size_ic, out.size_spread, out.double_sort, size_means, rx_size,
                            size_ranked);
        }
    }
}

}  // namespace tarnfold::kern
