#include "kernels/industry_codes.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "kernels/parallel.hpp"

namespace tarnfold::kern {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::int64_t kNsPerDay = 86'400'000'000'000;
// Last start days of versions 1 and 2.
constexpr std::int64_t kVersion1Until = days_from_civil(2014, 1, 1) * kNsPerDay;
constexpr std::int64_t kVersion2Until = days_from_civil(2021, 7, 31) * kNsPerDay;
static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017);

}  // namespace

std::int32_t classification_version_in_force(std::int64_t start_ns) {
    if (start_ns > kVersion2Until) return 3;
    if (start_ns > kVersion1Until) return 2;
    return 1;
}

void industry_codes(const ClassificationRecords &records, const std::int64_t *dates,
                    index_t n_dates, index_t n_inst, const std::uint8_t *listed,
                    std::int32_t unclassified, std::int32_t unlisted, std::int32_t *out,
                    int threads) {
    // The counted records of each grid instrument, by start day (stable:
    // records starting the same day keep their order).
    std::vector<index_t> first(static_cast<std::size_t>(n_inst) + 1, 0);
    auto counted = [&](index_t r) {
        const std::int64_t j = records.instrument[r];
        if (j < 0 || j >= n_inst) return false;
        return !records.version ||
               records.version[r] == classification_version_in_force(records.start[r]);
    };
    for (index_t r = 0; r < records.count; ++r)
        if (counted(r)) ++first[static_cast<std::size_t>(records.instrument[r]) + 1];
    std::partial_sum(first.begin(), first.end(), first.begin());
    std::vector<index_t> order(static_cast<std::size_t>(first[static_cast<std::size_t>(n_inst)]));
    {
        std::vector<index_t> next(first.begin(), first.end() - 1);
        for (index_t r = 0; r < records.count; ++r)
            if (counted(r)) order[static_cast<std::size_t>(next[records.instrument[r]]++)] = r;
    }
    // Each instrument's start days in order, side by side with `order`.
    std::vector<std::int64_t> starts(order.size());
    for (index_t j = 0; j < n_inst; ++j) {
        const auto b = order.begin() + first[j], e = order.begin() + first[j + 1];
        std::stable_sort(b, e,
                         [&](index_t x, index_t y) { return records.start[x] < records.start[y]; });
        for (auto it = b; it != e; ++it)
            starts[static_cast<std::size_t>(it - order.begin())] = records.start[*it];
    }
    // The cells row by row (a date's cells are contiguous), blocks of dates
    // on threads: every cell is looked up on its own.
    constexpr index_t kDates = 16;
    parallel_chunks(n_dates, threads, kDates, [&](int, index_t t0, index_t t1) {
        for (index_t t = t0; t < t1; ++t) {
            std::int32_t *row = out + t * n_inst;
            const std::uint8_t *on = listed ? listed + t * n_inst : nullptr;
            for (index_t j = 0; j < n_inst; ++j) {
                if (on && !on[j]) {
                    row[j] = unlisted;
                    continue;
                }
                const auto b = starts.begin() + first[j], e = starts.begin() + first[j + 1];
                const auto at = std::upper_bound(b, e, dates[t]);
                row[j] =
                    at == b
                        ? unclassified
                        : records.code[order[static_cast<std::size_t>(at - starts.begin() - 1)]];
            }
        }
    });
}

}  // namespace tarnfold::kern
