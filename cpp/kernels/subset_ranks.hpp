// Ranks and quantile groups of one cross-section within subsets of its
// instruments (industries, size buckets), read off one sort of the
// cross-section.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/matrix.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kern {

// Sorts the non-NaN values of x[0, m) ascending; equal values keep their
// positions in ascending order.
void sort_with_ties_by_position(const double *x, index_t m, SortedColumn &col,
                                SortScratch &scratch);

// Positions of a sorted column from the largest value to the smallest,
// equal values in ascending position order (pandas rank(method="first",
// ascending=False)).
void largest_first(const SortedColumn &col, std::vector<std::uint32_t> &order);

// Group labels of rank_groups by the number of members, computed once per
// count.
class RankGroupTable {
public:
    explicit RankGroupTable(index_t q) : q_(q) {}
    const std::int32_t *of(index_t k);
    index_t groups() const { return q_; }

private:
    index_t q_;
    std::vector<std::vector<std::int32_t>> by_count_;
};

// labels[p] for every position p of `order` (best first): the quantile
// group (0 = best) of p among the members of its subset code[p] (code null:
// one subset; a negative code: no label), as the quantile analyser cuts a
// cross-section of k values: rank_groups(k, q).  Positions not in `order`
// get -1.  `count` is scratch.
void subset_groups(const std::vector<std::uint32_t> &order, index_t m, const std::int32_t *code,
                   std::int32_t n_codes, RankGroupTable &groups, std::vector<index_t> &count,
                   std::int32_t *labels);

// Average ranks (1-based, ties averaged) within each subset, over the
// positions p of a sorted column with keep[p] set and code[p] >= 0 (code
// null: one subset 0); written to rank[p], other positions untouched.
// `before` and `tied` are scratch.
void subset_average_ranks(const SortedColumn &col, const std::int32_t *code, std::int32_t n_codes,
                          const std::uint8_t *keep, std::vector<double> &before,
                          std::vector<index_t> &tied, double *rank);

// Pearson correlation of two rank vectors per subset, from exact sums:
// out[s] is NaN for fewer than `min_pairs` pairs or a constant ranking.
// `sums` is scratch.
void subset_rank_correlation(const double *rx, const double *ry, const std::uint8_t *keep,
                             const std::int32_t *code, std::int32_t n_codes, index_t m,
                             index_t min_pairs, std::vector<double> &sums, double *out);

}  // namespace tarnfold::kern
