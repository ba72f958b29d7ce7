// Factor-sorted groups held as portfolios a trader could have held: the
// group labels of the quantile analyser (lagged_quantile_labels) bought and
// sold at a trading moment under the exchange's rules, with costs, day by
// day.
//
// Layouts as in quantile_groups.hpp: date x instrument tables row-major,
// group x date tables group-major (group g, date t at g * n + t).
//
// The model, for one holding period p.  As in the quantile analyser there
// are p staggered schedules; schedule lv (1 ... p) takes the labels of its
// rebalance rows s = lv, lv + p, ... (row s holds the groups formed from
// factor row s - 1).  Each (schedule, group) is a portfolio of positions
// and cash, traded once per row at the trading moment:
//
//   * kClose: the labels of row s are traded at the close of row s - 1
//     (the quantile analyser's convention);
//   * kOpen: at the open of row s (the gap since the last close is earned
//     by the positions held before the trade);
//   * kNextClose: at the close of row s.
//
// At a rebalance: positions outside the new group are sold, unless their
// sale is blocked (then, by `unsellable`: kept and offered again at every
// later trading moment until sellable; sold at the moment's price as if it
// could be; or written off); positions inside it that can be both bought
// and sold are brought to their target, the others kept as they are; new
// members are bought unless their purchase is blocked.  The money of the
// sales and of the adjustable positions goes to the members that could be
// traded, in proportion to their weights (equal, or the given weights);
// with none it stays in cash.  On every other row only the positions
// waiting to be sold are offered.  A position in a delisted instrument is
// settled at its last price at the first trading moment on or after the
// delisting (kept whole, cut by `haircut`, or lost).
//
// Valuation, kHold: a position keeps its last price while it has none
// (the price tables are then filled forward); the group's daily return is
// the change of its total value (cash included) from one close to the
// next.  kPricedOnly, the quantile analyser's convention: a position
// without a price that day is left out of that day's average growth since
// the trade, and a row without any is carried over from the last row that
// had one; it is meant for runs without blocks or delistings, where every
// rebalance replaces every position.
//
// Costs: a trade of value v on row t costs v * buy_rate[t] or
// v * sell_rate[t]; they are charged as a share c of the group's value at
// the trading moment, so that the net daily return is
// (1 + gross) * (1 - c) - 1 with the same positions.  Turnover on a row is
// (value bought + value sold) / (2 * value at the trading moment), over
// the trades actually made.
#pragma once

#include <cstdint>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

enum class TradeTiming { kClose, kOpen, kNextClose };
enum class Valuation { kHold, kPricedOnly };
enum class UnsellablePolicy { kHoldUntilSellable, kAtLastPrice, kLost };

// Counts per (group, date), summed over the schedules: the intended trades
// of the rebalances on that date and the ones blocked, by first reason.
enum TradeCount {
    kIntendedBuys,
    kIntendedSells,
    kBuySuspendedCount,
    kBuyLimitUpCount,
    kBuyNewListingCount,
    kBuyStCount,
    kSellSuspendedCount,
    kSellLimitDownCount,
    kDelistedCount,
    kTradeCounts
};

struct TradedMarket {
    index_t n = 0, m = 0, q = 0;
    const std::int32_t *labels = nullptr;  // n x m, 0 ... q-1 or -1
    const double *close_px = nullptr;      // n x m price level at each close
    const double *open_px = nullptr;       // n x m price level at each open (kOpen only);
                                           // kHold: the last close where there is no open
    const std::uint8_t *blocks = nullptr;  // n x m TradeBlock flags of each row's moment, or null
    const double *weights = nullptr;       // n x m weights of row t's labels, or null (equal)
    const double *buy_rate = nullptr;      // n cost rates of the trades of each row
    const double *sell_rate = nullptr;
};

struct TradedSettings {
    TradeTiming timing = TradeTiming::kOpen;
    Valuation valuation = Valuation::kHold;
    UnsellablePolicy unsellable = UnsellablePolicy::kHoldUntilSellable;
    bool settle_delisted = true;
    double delisting_haircut = 0.0;  // share of the last price lost (1: all)
};

// Outputs of one period: q x n each, the means over the schedules that
// hold a value on the row (NaN where none does); counts q x n x
// kTradeCounts, sums over the schedules.
struct TradedOutputs {
    double *gross = nullptr, *net = nullptr, *turnover = nullptr;
    std::int64_t *counts = nullptr;
};

// The schedules run on up to `threads` threads; the result is the same
// for every thread count.
void traded_period(const TradedMarket &market, const TradedSettings &settings, index_t period,
                   const TradedOutputs &out, int threads = 1);

}  // namespace tarnfold::kern
