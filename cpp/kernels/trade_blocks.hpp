// Which trades the A-share rules forbid at a row's trading moment: one
// byte per (date, instrument) of flags saying why a buy or a sell cannot
// be made, and whether the instrument is delisted by then.
//
// Layout: date x instrument tables are row-major (row t, instrument j at
// t * m + j).  Inputs are NaN where missing (no bar, no limit).
#pragma once

#include <cstdint>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

enum TradeBlock : std::uint8_t {
    kBuySuspended = 1,  // no bar, no volume or no price at the moment
    kBuyLimitUp = 2,
    kBuyNewListing = 4,  // listed fewer than the required trading days
    kBuySt = 8,
    kSellSuspended = 16,
    kSellLimitDown = 32,
    kDelisted = 64,  // delisted on or before this date
};
inline constexpr std::uint8_t kBuyBlocked = kBuySuspended | kBuyLimitUp | kBuyNewListing | kBuySt;
inline constexpr std::uint8_t kSellBlocked = kSellSuspended | kSellLimitDown;

enum class LimitRule { kOff, kAtPrice, kSealed };

struct TradeRuleSettings {
    bool at_open = true;  // the trading moment: the open, else the close
    LimitRule limits = LimitRule::kAtPrice;
    bool suspension = true;
    std::int64_t min_listed_days = 0;
    bool exclude_st = false;
    bool delisting = true;
    double tolerance = 0.005;  // a price this close to a limit is at it
};

// Bar fields of the market, n x m each; `open` may be null when trading at
// the close, `high`/`low` when limits are not judged on the whole day,
// `volume`, `limit_up`/`limit_down` and `st` when absent (no volume test,
// no limits, nobody ST).
struct MarketBars {
    const double *open = nullptr, *high = nullptr, *low = nullptr, *close = nullptr;
    const double *volume = nullptr, *limit_up = nullptr, *limit_down = nullptr;
    const double *st = nullptr;  // > 0.5: ST that day
};

// Flags for n dates x m instruments.  `date_pos` (n): each date's position
// in the trading calendar; `listed_pos`, `delisted_pos` (m): the
// calendar positions of the listing and the delisting (a large value when
// not delisted).  A day counts as suspended when it has no close, no
// volume (0) or, trading at the open, no open; a price is at the limit-up
// when it is at least limit_up - tolerance (at the limit-down: at most
// limit_down + tolerance); with LimitRule::kSealed only a whole day at the
// limit blocks (low at the limit-up; high at the limit-down).  A delisted
// instrument cannot be traded at all.
void trade_blocks(index_t n, index_t m, const MarketBars &bars, const std::int64_t *date_pos,
                  const std::int64_t *listed_pos, const std::int64_t *delisted_pos,
                  const TradeRuleSettings &settings, std::uint8_t *out);

}  // namespace tarnfold::kern
