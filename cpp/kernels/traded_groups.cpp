#include "kernels/traded_groups.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/trade_blocks.hpp"

namespace tarnfold::kern {

namespace {

struct Position {
    std::uint32_t j;
    double w;      // value at the mark, in the book's units
    double mark;   // price level at the mark
    bool pending;  // waiting to be sold
};

// One (schedule, group) portfolio.
struct Book {
    std::vector<Position> pos;  // ascending instrument
    double cash = 1.0;
    double ref = kNaN;          // kHold: value at the last close or trade; kPricedOnly: carried growth
    double carry = 1.0;         // cost factors of trades on rows without a value yet
    bool started = false;
    bool fresh = false;         // kPricedOnly: the next close is the first after a trade
    index_t pending = 0;
    index_t next_delisting = std::numeric_limits<index_t>::max();
};

// What one trading moment did, in the book's units before (old) and after
// (new) a rebalance renamed them.
struct Moment {
    bool acted = false;
    double v_pre = 0.0, v_post_old = 0.0, v_post_new = 0.0;
    double cost = 0.0, turnover = 0.0;
};

struct Member {
    std::uint32_t j;
    double weight;
    double value;  // held value at the moment (0 for a new purchase)
    double price;
};

class Simulation {
public:
    Simulation(const TradedMarket &mk, const TradedSettings &st, index_t period,
               const TradedOutputs &out)
        : mk_(mk), st_(st), p_(period), out_(out), n_(mk.n), m_(mk.m), q_(mk.q) {
        const std::size_t cells = static_cast<std::size_t>(q_ * n_);
        gross_.assign(cells, 0.0);
        net_.assign(cells, 0.0);
        turn_.assign(cells, 0.0);
        count_.assign(cells, 0);
        tcount_.assign(cells, 0);
        std::fill(out.counts, out.counts + cells * kTradeCounts, std::int64_t{0});
        delist_row_.assign(static_cast<std::size_t>(m_), std::numeric_limits<index_t>::max());
        if (mk.blocks != nullptr && st.settle_delisted && hold()) {
            for (index_t t = n_ - 1; t >= 0; --t)
                for (index_t j = 0; j < m_; ++j)
                    if (mk.blocks[t * m_ + j] & kDelisted) delist_row_[j] = t;
        }
        weight_sum_.resize(static_cast<std::size_t>(q_));
        weight_cnt_.resize(static_cast<std::size_t>(q_));
    }

    void run() {
        for (index_t lv = 1; lv <= p_ && lv < n_; ++lv) schedule(lv);
        const std::size_t cells = static_cast<std::size_t>(q_ * n_);
        for (std::size_t c = 0; c < cells; ++c) {
            out_.gross[c] = count_[c] ? gross_[c] / count_[c] : kNaN;
            out_.net[c] = count_[c] ? net_[c] / count_[c] : kNaN;
            out_.turnover[c] = tcount_[c] ? turn_[c] / tcount_[c] : kNaN;
        }
    }

private:
    bool hold() const { return st_.valuation == Valuation::kHold; }

    std::uint8_t block(index_t t, std::uint32_t j) const {
        return mk_.blocks != nullptr && hold() ? mk_.blocks[t * m_ + j] : 0;
    }

    // Price level of instrument j at the trading moment (or the close) of
    // row t; kHold falls back to the last close while there is no open.
    double price(index_t t, std::uint32_t j, bool at_open) const {
        if (!at_open) return mk_.close_px[t * m_ + j];
        const double o = mk_.open_px[t * m_ + j];
        if (!hold() || !std::isnan(o)) return o;
        return t > 0 ? mk_.close_px[(t - 1) * m_ + j] : kNaN;
    }

    // kHold: the book's value; kPricedOnly: the weighted average growth of
    // the positions with a price since their marks (NaN without any).
    double value(const Book &b, index_t t, bool at_open) const {
        if (hold()) {
            double v = b.cash;
            for (const Position &p : b.pos) v += p.w * (price(t, p.j, at_open) / p.mark);
            return v;
        }
        double num = 0.0, den = 0.0;
        for (const Position &p : b.pos) {
            const double x = price(t, p.j, at_open) / p.mark;
            if (std::isnan(x)) continue;
            num += p.w * x;
            den += p.w;
        }
        return den > 0.0 ? num / den : kNaN;
    }

    std::int64_t &count(index_t g, index_t t, int what) {
        return out_.counts[(g * n_ + t) * kTradeCounts + what];
    }

    // The weights of row s's members per group: the given weight, the
    // group's mean weight where it has none, 1 when no member has one.
    double member_weight(index_t s, index_t g, std::uint32_t j) const {
        if (mk_.weights == nullptr) return 1.0;
        const double w = mk_.weights[s * m_ + j];
        if (w > 0.0 && std::isfinite(w)) return w;
        return weight_cnt_[g] ? weight_sum_[g] / static_cast<double>(weight_cnt_[g]) : 1.0;
    }

    void prepare_weights(index_t s) {
        std::fill(weight_sum_.begin(), weight_sum_.end(), 0.0);
        std::fill(weight_cnt_.begin(), weight_cnt_.end(), 0);
        if (mk_.weights == nullptr) return;
        const std::int32_t *row = mk_.labels + s * m_;
        for (index_t j = 0; j < m_; ++j) {
            const double w = mk_.weights[s * m_ + j];
            if (row[j] >= 0 && w > 0.0 && std::isfinite(w)) {
                weight_sum_[row[j]] += w;
                ++weight_cnt_[row[j]];
            }
        }
    }

    void sell(Book &b, double v, index_t t, double &sold, double &cost) const {
        if (!std::isfinite(v)) return;
        b.cash += v;
        sold += v;
        cost += v * mk_.sell_rate[t];
    }

    // Rebalance book g to the labels of row s at the moment of row t.
    void rebalance(Book &b, index_t g, index_t s, index_t t, bool at_open, double &sold,
                   double &bought, double &cost, double &lost) {
        const std::int32_t *row = mk_.labels + s * m_;
        std::vector<Position> kept;
        members_.clear();
        std::size_t k = 0;
        const std::size_t held = b.pos.size();
        auto intend_sell = [&](Position &p, double v) {
            ++count(g, t, kIntendedSells);
            const std::uint8_t f = block(t, p.j);
            if (!(f & kSellBlocked)) {
                sell(b, v, t, sold, cost);
                return;
            }
            ++count(g, t, (f & kSellSuspended) ? kSellSuspendedCount : kSellLimitDownCount);
            if (st_.unsellable == UnsellablePolicy::kHoldUntilSellable) {
                p.pending = true;
                kept.push_back(p);
            } else if (st_.unsellable == UnsellablePolicy::kAtLastPrice) {
                sell(b, v, t, sold, cost);
            } else {
                lost += v;
            }
        };
        for (index_t j = 0; j < m_; ++j) {
            // positions of instruments before j that are not members
            while (k < held && b.pos[k].j < static_cast<std::uint32_t>(j)) {
                Position &p = b.pos[k++];
                intend_sell(p, p.w);
            }
            const bool member = row[j] == static_cast<std::int32_t>(g);
            const bool is_held = k < held && b.pos[k].j == static_cast<std::uint32_t>(j);
            if (!member) continue;
            const std::uint8_t f = block(t, static_cast<std::uint32_t>(j));
            const double px = price(t, static_cast<std::uint32_t>(j), at_open);
            const bool no_price = hold() && std::isnan(px);
            if (is_held) {
                Position p = b.pos[k++];
                p.pending = false;
                if ((f & (kBuyBlocked | kSellBlocked)) || no_price) {
                    kept.push_back(p);  // kept as it is
                } else {
                    members_.push_back({p.j, member_weight(s, g, p.j), p.w, px});
                }
                continue;
            }
            ++count(g, t, kIntendedBuys);
            if ((f & kBuyBlocked) || no_price) {
                const int why = (f & kBuySuspended) || no_price ? kBuySuspendedCount
                                : (f & kBuyLimitUp)             ? kBuyLimitUpCount
                                : (f & kBuyNewListing)          ? kBuyNewListingCount
                                                                : kBuyStCount;
                ++count(g, t, why);
                continue;
            }
            members_.push_back({static_cast<std::uint32_t>(j), member_weight(s, g,
                                static_cast<std::uint32_t>(j)), 0.0, px});
        }
        while (k < held) {
            Position &p = b.pos[k++];
            intend_sell(p, p.w);
        }

        double available = b.cash, total_weight = 0.0;
        for (const Member &e : members_) {
            if (std::isfinite(e.value)) available += e.value;
            total_weight += e.weight;
        }
        // priced-only books replace every position whatever was priced:
        // with nothing priced at the moment, in the members' own units
        if (!hold() && !(available > 0.0)) available = total_weight;
        double scale = 1.0;
        std::vector<Position> fresh;
        if (!members_.empty() && available > 0.0) {
            for (const Member &e : members_) {
                const double target = available * e.weight / total_weight;
                const double d = target - (std::isfinite(e.value) ? e.value : 0.0);
                if (d > 0.0) {
                    bought += d;
                    cost += d * mk_.buy_rate[t];
                } else {
                    sold += -d;
                    cost += -d * mk_.sell_rate[t];
                }
                fresh.push_back({e.j, e.weight, e.price, false});
            }
            scale = total_weight / available;
            b.cash = 0.0;
        } else {
            // nothing to spend: the held members stay as they are
            for (const Member &e : members_)
                if (e.value != 0.0) fresh.push_back({e.j, e.value, e.price, false});
        }
        b.cash *= scale;
        for (Position &p : kept) p.w *= scale;
        // both lists ascend by instrument
        b.pos.clear();
        std::merge(kept.begin(), kept.end(), fresh.begin(), fresh.end(),
                   std::back_inserter(b.pos),
                   [](const Position &x, const Position &y) { return x.j < y.j; });
    }

    // The trading moment of row t; `s` is the rebalance traded there (-1
    // for none).  Positions are re-marked at the moment's prices whenever
    // anything is traded or settled.
    Moment moment(Book &b, index_t g, index_t t, index_t s, bool at_open) {
        Moment mo;
        const bool due = s >= 0 || (b.started && (b.pending > 0 || t >= b.next_delisting));
        if (!due) return mo;
        if (s >= 0 && !b.started) {
            b.started = true;
            b.cash = 1.0;
        }
        // mark every position at the moment: its value in the book's units
        double v_pre = b.cash;
        for (Position &p : b.pos) {
            const double px = price(t, p.j, at_open);
            if (hold() || !std::isnan(px)) {
                p.w *= px / p.mark;
                p.mark = px;
            } else {
                p.w = kNaN;  // priced-only: no price, no value at this moment
            }
            if (std::isfinite(p.w)) v_pre += p.w;
        }
        double sold = 0.0, bought = 0.0, cost = 0.0, lost = 0.0;
        if (t >= b.next_delisting) {
            const double keep = 1.0 - st_.delisting_haircut;
            std::vector<Position> left;
            for (const Position &p : b.pos) {
                if (delist_row_[p.j] <= t) {
                    ++count(g, t, kDelistedCount);
                    b.cash += p.w * keep;
                    lost += p.w * (1.0 - keep);
                } else {
                    left.push_back(p);
                }
            }
            b.pos.swap(left);
        }
        if (s >= 0) {
            prepare_weights_once(s);
            rebalance(b, g, s, t, at_open, sold, bought, cost, lost);
        } else if (b.pending > 0) {
            std::vector<Position> left;
            for (const Position &p : b.pos) {
                if (p.pending && !(block(t, p.j) & kSellBlocked)) {
                    sell(b, p.w, t, sold, cost);
                } else {
                    left.push_back(p);
                }
            }
            b.pos.swap(left);
        }
        b.pending = 0;
        b.next_delisting = std::numeric_limits<index_t>::max();
        double v_new = b.cash;
        for (const Position &p : b.pos) {
            b.pending += p.pending;
            b.next_delisting = std::min(b.next_delisting, delist_row_[p.j]);
            if (std::isfinite(p.w)) v_new += p.w;
        }
        mo.acted = true;
        mo.v_pre = v_pre;
        mo.v_post_old = v_pre - lost;
        mo.v_post_new = v_new;
        if (v_pre > 0.0) {
            mo.cost = cost / v_pre;
            mo.turnover = (bought + sold) / (2.0 * v_pre);
        }
        return mo;
    }

    void prepare_weights_once(index_t s) {
        if (weights_row_ == s) return;
        prepare_weights(s);
        weights_row_ = s;
    }

    void record(index_t g, index_t t, double daily, double cost_share, Book &b) {
        b.carry *= 1.0 - cost_share;
        if (std::isnan(daily)) return;
        const index_t cell = g * n_ + t;
        gross_[cell] += daily;
        net_[cell] += (1.0 + daily) * b.carry - 1.0;
        ++count_[cell];
        b.carry = 1.0;
    }

    void record_turnover(index_t g, index_t t, double turnover) {
        const index_t cell = g * n_ + t;
        turn_[cell] += turnover;
        ++tcount_[cell];
    }

    static bool any_member(const std::int32_t *row, index_t m) {
        for (index_t j = 0; j < m; ++j)
            if (row[j] >= 0) return true;
        return false;
    }

    void schedule(index_t lv) {
        std::vector<Book> books(static_cast<std::size_t>(q_));
        weights_row_ = -1;
        bool window_held = true;  // kPricedOnly: the current window has members somewhere
        const bool at_open = st_.timing == TradeTiming::kOpen;
        const index_t first = st_.timing == TradeTiming::kClose ? lv - 1 : lv;
        for (index_t t = first; t < n_; ++t) {
            index_t s = -1;
            if (st_.timing == TradeTiming::kClose) {
                if (t + 1 < n_ && (t + 1 - lv) % p_ == 0) s = t + 1;
            } else if ((t - lv) % p_ == 0) {
                s = t;
            }
            const bool held_now = s >= 0 ? any_member(mk_.labels + s * m_, m_) : window_held;
            if (at_open) window_held = held_now;
            for (index_t g = 0; g < q_; ++g) {
                Book &b = books[static_cast<std::size_t>(g)];
                if (at_open)
                    open_row(b, g, t, s, window_held);
                else
                    close_row(b, g, t, s, window_held);
            }
            if (!at_open) window_held = held_now;
        }
    }

    // Trading at the open: the moment first, then the close.
    void open_row(Book &b, index_t g, index_t t, index_t s, bool window_held) {
        const bool had = b.started;
        double pre = 1.0;
        if (!hold() && had && s >= 0) {
            const double before = value(b, t, true);
            if (!std::isnan(before)) pre = before / b.ref;
        }
        const Moment mo = moment(b, g, t, s, true);
        if (!b.started) return;
        record_turnover(g, t, mo.turnover);
        double daily = kNaN;
        if (hold()) {
            const double v = value(b, t, false);
            if (!had)
                daily = v / mo.v_post_new - 1.0;
            else if (mo.acted)
                daily = (mo.v_post_old / b.ref) * (v / mo.v_post_new) - 1.0;
            else
                daily = v / b.ref - 1.0;
            b.ref = v;
        } else if (window_held) {
            daily = priced_only_daily(b, value(b, t, false), mo.acted || !had, pre);
        }
        record(g, t, daily, mo.cost, b);
    }

    // Trading at the close: the close's value first, then the moment.
    void close_row(Book &b, index_t g, index_t t, index_t s, bool window_held) {
        const bool had = b.started;
        double daily = kNaN, v = kNaN;
        if (had) {
            v = value(b, t, false);
            if (hold())
                daily = v / b.ref - 1.0;
            else if (window_held)
                daily = priced_only_daily(b, v, b.fresh, 1.0);
        }
        const Moment mo = moment(b, g, t, s, false);
        if (!b.started) return;
        record_turnover(g, t, mo.turnover);
        if (hold()) {
            if (had && mo.acted) daily = mo.v_post_old / b.ref - 1.0;
            b.ref = mo.acted ? mo.v_post_new : v;
        } else if (mo.acted) {
            b.fresh = true;
        }
        record(g, t, daily, mo.cost, b);
    }

    // The average-growth return of QuantileReturnAnalysis: on the first
    // close after a trade the growth since the trade (times the part
    // before an opening trade), later the change of the growth carried
    // forward over rows without one.
    static double priced_only_daily(Book &b, double growth, bool first, double pre) {
        if (first) {
            b.fresh = false;
            if (!std::isnan(growth)) {
                const double daily = pre * growth - 1.0;
                b.ref = growth;
                return daily;
            }
            return kNaN;
        }
        const double now = std::isnan(growth) ? b.ref : growth;
        const double daily = now / b.ref - 1.0;
        b.ref = now;
        return daily;
    }

    const TradedMarket &mk_;
    const TradedSettings &st_;
    const index_t p_;
    const TradedOutputs &out_;
    const index_t n_, m_, q_;
    std::vector<double> gross_, net_, turn_;
    std::vector<std::int32_t> count_, tcount_;
    std::vector<index_t> delist_row_;
    std::vector<double> weight_sum_;
    std::vector<index_t> weight_cnt_;
    index_t weights_row_ = -1;
    std::vector<Member> members_;
};

}  // namespace

void traded_period(const TradedMarket &market, const TradedSettings &settings, index_t period,
                   const TradedOutputs &out) {
    Simulation(market, settings, period, out).run();
}

}  // namespace tarnfold::kern
