#include "kernels/trade_blocks.hpp"

#include <cmath>

namespace tarnfold::kern {

void trade_blocks(index_t n, index_t m, const MarketBars &bars, const std::int64_t *date_pos,
                  const std::int64_t *listed_pos, const std::int64_t *delisted_pos,
                  const TradeRuleSettings &s, std::uint8_t *out) {
    const double tol = s.tolerance;
    for (index_t t = 0; t < n; ++t) {
        for (index_t j = 0; j < m; ++j) {
            const index_t k = t * m + j;
            std::uint8_t f = 0;
            const double close = bars.close[k];
            const double price = s.at_open ? bars.open[k] : close;
            if (s.suspension) {
                const bool no_volume = bars.volume != nullptr && bars.volume[k] == 0.0;
                if (std::isnan(close) || std::isnan(price) || no_volume)
                    f |= kBuySuspended | kSellSuspended;
            }
            if (s.limits != LimitRule::kOff && bars.limit_up != nullptr) {
                const double up = bars.limit_up[k], down = bars.limit_down[k];
                const bool sealed = s.limits == LimitRule::kSealed;
                const double buy_at = sealed ? bars.low[k] : price;
                const double sell_at = sealed ? bars.high[k] : price;
                if (buy_at >= up - tol) f |= kBuyLimitUp;  // false for NaN
                if (sell_at <= down + tol) f |= kSellLimitDown;
            }
            if (s.min_listed_days > 0 && date_pos[t] - listed_pos[j] < s.min_listed_days)
                f |= kBuyNewListing;
            if (s.exclude_st && bars.st != nullptr && bars.st[k] > 0.5) f |= kBuySt;
            if (s.delisting && date_pos[t] >= delisted_pos[j])
                f |= kDelisted | kBuySuspended | kSellSuspended;
            out[k] = f;
        }
    }
}

}  // namespace tarnfold::kern
