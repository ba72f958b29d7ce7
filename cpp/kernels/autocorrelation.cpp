#include "kernels/autocorrelation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "kernels/correlation.hpp"
#include "kernels/parallel.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kern {

namespace {

// Rows [first, last) of the output: the rows they pair with (up to max_lag
// earlier) are sorted again by the run that needs them, kept in a ring of
// max_lag + 1 slots.
struct AutocorrRun {
    std::vector<SortedColumn> sorted;
    std::vector<std::vector<std::uint8_t>> valid;
    SortScratch scratch;
    std::vector<double> row;
    std::vector<std::uint8_t> keep;
    std::vector<std::int32_t> rank_a, rank_b;
    std::vector<std::uint32_t> work;

    AutocorrRun(index_t ring, index_t m)
        : sorted(static_cast<std::size_t>(ring)),
          valid(static_cast<std::size_t>(ring), std::vector<std::uint8_t>(m)),
          row(m),
          keep(m),
          rank_a(m),
          rank_b(m) {}

    void load(const ConstView &x, index_t t, index_t slot) {
        const index_t m = x.cols;
        auto &ok = valid[static_cast<std::size_t>(slot)];
        for (index_t j = 0; j < m; ++j) {
            row[j] = x(t, j);
            ok[j] = std::isnan(row[j]) ? 0 : 1;
        }
        sort_valid(row.data(), static_cast<std::uint32_t>(m), sorted[slot], scratch);
    }

    void rows(const ConstView &x, const std::vector<index_t> &lags, index_t max_lag, index_t first,
              index_t last, double *out) {
        const index_t n_rows = x.rows, m = x.cols;
        const index_t ring = max_lag + 1;
        for (index_t t = std::max<index_t>(0, first - max_lag); t < first; ++t)
            load(x, t, t % ring);
        for (index_t t = first; t < last; ++t) {
            const index_t slot = t % ring;
            load(x, t, slot);
            for (std::size_t l = 0; l < lags.size(); ++l) {
                const index_t p = lags[l];
                if (p <= 0 || p > t) continue;
                const index_t other = (t - p) % ring;
                std::uint32_t kept = 0;
                for (index_t j = 0; j < m; ++j) {
                    keep[j] = valid[slot][j] & valid[other][j];
                    kept += keep[j];
                }
                if (kept < 2) continue;
                std::fill(rank_a.begin(), rank_a.end(), 0);
                std::fill(rank_b.begin(), rank_b.end(), 0);
                RankSums a = rank_kept_sums(sorted[slot], keep.data(), kept, rank_a.data(), work);
                RankSums b = rank_kept_sums(sorted[other], keep.data(), kept, rank_b.data(), work);
                if (a.constant || b.constant) continue;
                const __int128 cross = centred_dot(rank_a.data(), rank_b.data(),
                                                   static_cast<std::size_t>(m));
                out[l * n_rows + t] = spearman_stat(static_cast<double>(cross) / 4.0,
                                                    static_cast<double>(a.square) / 4.0,
                                                    static_cast<double>(b.square) / 4.0, kept);
            }
        }
    }
};

}  // namespace

void rank_autocorrelation(const ConstView &x, const std::vector<index_t> &lags, double *out,
                          int threads) {
    const index_t rows = x.rows, m = x.cols;
    std::fill(out, out + rows * static_cast<index_t>(lags.size()), kNaN);
    index_t max_lag = 0;
    for (index_t p : lags) max_lag = std::max(max_lag, p);
    max_lag = std::min(max_lag, rows);
    if (rows == 0 || m < 2) return;
    // Each row is computed on its own, so the split cannot change a bit;
    // each run sorts again the max_lag rows before it.
    threads = threads_for(rows * m * 32 * static_cast<index_t>(lags.size() + 1), threads);
    const index_t run = ring_run_length(rows, max_lag + 1, threads);
    std::vector<std::unique_ptr<AutocorrRun>> workers(static_cast<std::size_t>(threads));
    const index_t n_runs = (rows + run - 1) / run;
    parallel_chunks(n_runs, threads, 1, [&](int thread, index_t lo, index_t hi) {
        auto &w = workers[static_cast<std::size_t>(thread)];
        if (!w) w = std::make_unique<AutocorrRun>(max_lag + 1, m);
        for (index_t c = lo; c < hi; ++c)
            w->rows(x, lags, max_lag, c * run, std::min(rows, (c + 1) * run), out);
    });
}

}  // namespace tarnfold::kern
