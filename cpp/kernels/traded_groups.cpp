#include "kernels/traded_groups.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "kernels/parallel.hpp"
#include "kernels/trade_blocks.hpp"

namespace tarnfold::kern {

namespace {

constexpr index_t kNever = std::numeric_limits<index_t>::max();

// One (schedule, group) portfolio, its positions ascending by instrument.
// kHold: `units` are shares (value = units * price); kPricedOnly: the value
// at the mark (value = units * price / mark), so that the growth since a
// trade is computed as QuantileReturnAnalysis computes it.
struct Book {
    std::vector<std::uint32_t> at;
    std::vector<double> units, marks;
    std::vector<std::uint8_t> waiting;  // 1: waiting to be sold
    double cash = 1.0;
    double ref = kNaN;   // kHold: value at the last close or trade; kPricedOnly: carried growth
    double carry = 1.0;  // cost factors of trades on rows without a value yet
    bool started = false;
    bool fresh = false;                  // kPricedOnly: the next close is the first after a trade
    std::vector<std::uint32_t> pending;  // the instruments waiting to be sold
    index_t next_delisting = kNever;

    std::size_t size() const { return at.size(); }
};

// What one trading moment did, in the book's units before (old) and after
// (new) a rebalance renamed them.
struct Moment {
    bool acted = false;
    double v_post_old = 0.0, v_post_new = 0.0;
    double cost = 0.0, turnover = 0.0;
};

// A member traded at a rebalance (held or bought).
struct Member {
    std::uint32_t j;
    double weight, value, price;  // value: held at the moment (0 for a purchase)
    std::size_t held;             // its position in the book, or kNotHeld
};
constexpr std::size_t kNotHeld = static_cast<std::size_t>(-1);

// A position carried through a rebalance as it is.
struct Kept {
    std::uint32_t j;
    bool waiting;
    double units, mark;
};

// What one schedule yields per (group, date), NaN where it holds no value.
struct ScheduleRows {
    std::vector<double> gross, net, turnover;
};

template <bool Hold, bool AtOpen>
class Simulation {
public:
    // `delist_row`: the first row on which each instrument is delisted;
    // `counts`: q x n x kTradeCounts, added to.
    Simulation(const TradedMarket &mk, const TradedSettings &st, index_t period,
               const std::vector<index_t> &delist_row, std::int64_t *counts)
        : mk_(mk),
          st_(st),
          p_(period),
          n_(mk.n),
          m_(mk.m),
          q_(mk.q),
          delist_row_(delist_row),
          counts_(counts) {
        weight_sum_.resize(static_cast<std::size_t>(q_));
        weight_cnt_.resize(static_cast<std::size_t>(q_));
        members_of_.resize(static_cast<std::size_t>(q_));
    }

    // Schedule lv (rebalancing on rows lv, lv + p, ...) into `rows`.
    void schedule(index_t lv, ScheduleRows &rows) {
        const std::size_t cells = static_cast<std::size_t>(q_ * n_);
        rows.gross.assign(cells, kNaN);
        rows.net.assign(cells, kNaN);
        rows.turnover.assign(cells, kNaN);
        rows_ = &rows;
        run_schedule(lv);
    }

private:
    // Price levels at the trading moments of row t (the open's rows carry
    // the last close where there is no open, for kHold).
    const double *trade_row(index_t t) const {
        return (AtOpen ? mk_.open_px : mk_.close_px) + t * m_;
    }

    static double worth(double units, double mark, double px) {
        return Hold ? units * px : units * (px / mark);
    }

    std::uint8_t block(index_t t, std::uint32_t j) const {
        return Hold && mk_.blocks != nullptr ? mk_.blocks[t * m_ + j] : 0;
    }

    // kHold: the book's value at the prices of `row`; kPricedOnly: the
    // weighted average growth of the positions with a price there since
    // their marks (NaN without any), summed in instrument order.
    double value(const Book &b, const double *row) const {
        const std::size_t size = b.size();
        const std::uint32_t *at = b.at.data();
        const double *units = b.units.data();
        if (Hold) {
            // four running sums: the additions of a long book overlap
            double v[4] = {b.cash, 0.0, 0.0, 0.0};
            std::size_t k = 0;
            for (; k + 4 <= size; k += 4) {
                v[0] += units[k] * row[at[k]];
                v[1] += units[k + 1] * row[at[k + 1]];
                v[2] += units[k + 2] * row[at[k + 2]];
                v[3] += units[k + 3] * row[at[k + 3]];
            }
            for (; k < size; ++k) v[0] += units[k] * row[at[k]];
            return (v[0] + v[1]) + (v[2] + v[3]);
        }
        const double *marks = b.marks.data();
        double num = 0.0, den = 0.0;
        for (std::size_t k = 0; k < size; ++k) {
            const double x = row[at[k]] / marks[k];
            if (std::isnan(x)) continue;
            num += units[k] * x;
            den += units[k];
        }
        return den > 0.0 ? num / den : kNaN;
    }

    // The value of each position at the prices of `row` into values_, and
    // the book's value (positions without a price left out).
    double value_each(const Book &b, const double *row) {
        const std::size_t size = b.size();
        values_.resize(size);
        double *v = values_.data();
        const std::uint32_t *at = b.at.data();
        const double *units = b.units.data();
        if (Hold) {  // every position has a price: four running sums
            double sum[4] = {b.cash, 0.0, 0.0, 0.0};
            std::size_t k = 0;
            for (; k + 4 <= size; k += 4) {
                for (std::size_t u = 0; u < 4; ++u) {
                    v[k + u] = units[k + u] * row[at[k + u]];
                    sum[u] += v[k + u];
                }
            }
            for (; k < size; ++k) {
                v[k] = units[k] * row[at[k]];
                sum[0] += v[k];
            }
            return (sum[0] + sum[1]) + (sum[2] + sum[3]);
        }
        double total = b.cash;
        for (std::size_t k = 0; k < size; ++k) {
            v[k] = worth(units[k], b.marks[k], row[at[k]]);
            if (std::isfinite(v[k])) total += v[k];
        }
        return total;
    }

    // The members of every group on rebalance row s (ascending) and the
    // sums of their valid weights; whether any group has members.
    bool prepare_members(index_t s) {
        std::fill(weight_sum_.begin(), weight_sum_.end(), 0.0);
        std::fill(weight_cnt_.begin(), weight_cnt_.end(), 0);
        for (auto &list : members_of_) list.clear();
        const std::int32_t *row = mk_.labels + s * m_;
        bool any = false;
        for (index_t j = 0; j < m_; ++j) {
            const std::int32_t g = row[j];
            if (g < 0) continue;
            any = true;
            members_of_[g].push_back(static_cast<std::uint32_t>(j));
            if (mk_.weights == nullptr) continue;
            const double w = mk_.weights[s * m_ + j];
            if (w > 0.0 && std::isfinite(w)) {
                weight_sum_[g] += w;
                ++weight_cnt_[g];
            }
        }
        return any;
    }

    // The weight of member j of group g on row s: its own, the group's mean
    // where it has none, 1 when no member has one.
    double member_weight(index_t s, index_t g, std::uint32_t j) const {
        if (mk_.weights == nullptr) return 1.0;
        const double w = mk_.weights[s * m_ + j];
        if (w > 0.0 && std::isfinite(w)) return w;
        return weight_cnt_[g] ? weight_sum_[g] / static_cast<double>(weight_cnt_[g]) : 1.0;
    }

    // Keeps the positions k for which keep(k) is true (values_ alongside).
    template <typename Keep>
    void retain(Book &b, Keep keep) {
        std::size_t w = 0;
        const bool with_values = values_.size() == b.size();
        for (std::size_t k = 0; k < b.size(); ++k) {
            if (!keep(k)) continue;
            b.at[w] = b.at[k];
            b.units[w] = b.units[k];
            b.marks[w] = b.marks[k];
            b.waiting[w] = b.waiting[k];
            if (with_values) values_[w] = values_[k];
            ++w;
        }
        b.at.resize(w);
        b.units.resize(w);
        b.marks.resize(w);
        b.waiting.resize(w);
        if (with_values) values_.resize(w);
    }

    // Trades of the moment, in the book's units before a rebalance.
    struct Flow {
        double sold = 0.0, bought = 0.0, cost = 0.0, lost = 0.0;
        std::int64_t counts[kTradeCounts] = {};
    };

    void sell(Book &b, double v, index_t t, Flow &f) const {
        if (!std::isfinite(v)) return;
        b.cash += v;
        f.sold += v;
        f.cost += v * mk_.sell_rate[t];
    }

    // Sells the positions waiting to be sold that can be at row t (found by
    // instrument: the book ascends) and drops them from the waiting list.
    void sell_waiting(Book &b, index_t t, const double *row, Flow &f) {
        std::size_t w = 0;
        for (const std::uint32_t j : b.pending) {
            if (block(t, j) & kSellBlocked) {
                b.pending[w++] = j;
                continue;
            }
            const auto k = static_cast<std::size_t>(std::lower_bound(b.at.begin(), b.at.end(), j) -
                                                    b.at.begin());
            sell(b, worth(b.units[k], b.marks[k], row[j]), t, f);
            b.at.erase(b.at.begin() + k);
            b.units.erase(b.units.begin() + k);
            b.marks.erase(b.marks.begin() + k);
            b.waiting.erase(b.waiting.begin() + k);
        }
        b.pending.resize(w);
    }

    void index_waiting(Book &b) const {
        b.pending.clear();
        b.next_delisting = kNever;
        for (std::size_t k = 0; k < b.size(); ++k) {
            if (b.waiting[k]) b.pending.push_back(b.at[k]);
            b.next_delisting = std::min(b.next_delisting, delist_row_[b.at[k]]);
        }
    }

    // Rebalance book g to its members on row s at the moment of row t;
    // returns the book's value afterwards, in its new units.
    double rebalance(Book &b, index_t g, index_t s, index_t t, const double *row, Flow &f) {
        const std::vector<std::uint32_t> &members = members_of_[g];
        kept_.clear();
        trade_.clear();
        auto intend_sell = [&](std::size_t k) {
            ++f.counts[kIntendedSells];
            const std::uint32_t j = b.at[k];
            const double v = values_[k];
            const std::uint8_t fl = block(t, j);
            if (!(fl & kSellBlocked)) {
                sell(b, v, t, f);
                return;
            }
            ++f.counts[(fl & kSellSuspended) ? kSellSuspendedCount : kSellLimitDownCount];
            if (st_.unsellable == UnsellablePolicy::kHoldUntilSellable)
                kept_.push_back({j, true, b.units[k], b.marks[k]});
            else if (st_.unsellable == UnsellablePolicy::kAtLastPrice) sell(b, v, t, f);
            else f.lost += v;
        };
        // walk the positions and the members together, by instrument
        std::size_t k = 0;
        const std::size_t held = b.size();
        for (const std::uint32_t j : members) {
            while (k < held && b.at[k] < j) intend_sell(k++);
            const std::uint8_t fl = block(t, j);
            const double px = row[j];
            const bool no_price = Hold && std::isnan(px);
            if (k < held && b.at[k] == j) {
                if ((fl & (kBuyBlocked | kSellBlocked)) || no_price)
                    kept_.push_back({j, false, b.units[k], b.marks[k]});  // kept as it is
                else trade_.push_back({j, member_weight(s, g, j), values_[k], px, k});
                ++k;
                continue;
            }
            ++f.counts[kIntendedBuys];
            if ((fl & kBuyBlocked) || no_price) {
                ++f.counts[(fl & kBuySuspended) || no_price ? kBuySuspendedCount
                           : (fl & kBuyLimitUp)             ? kBuyLimitUpCount
                           : (fl & kBuyNewListing)          ? kBuyNewListingCount
                                                            : kBuyStCount];
                continue;
            }
            trade_.push_back({j, member_weight(s, g, j), 0.0, px, kNotHeld});
        }
        while (k < held) intend_sell(k++);

        double available = b.cash, total_weight = 0.0;
        for (const Member &e : trade_) {
            if (std::isfinite(e.value)) available += e.value;
            total_weight += e.weight;
        }
        // priced-only books replace every position whatever was priced:
        // with nothing priced at the moment, in the members' own units
        if (!Hold && !(available > 0.0)) available = total_weight;
        if (trade_.empty() || !(available > 0.0)) {
            // nothing to spend: the held members stay as they are
            for (const Member &e : trade_)
                if (e.held != kNotHeld)
                    kept_.push_back({e.j, false, b.units[e.held], b.marks[e.held]});
            std::sort(kept_.begin(), kept_.end(),
                      [](const Kept &x, const Kept &y) { return x.j < y.j; });
            trade_.clear();
        }
        double scale = 1.0;
        if (!trade_.empty()) {
            for (const Member &e : trade_) {
                const double target = available * e.weight / total_weight;
                const double d = target - (std::isfinite(e.value) ? e.value : 0.0);
                if (d > 0.0) {
                    f.bought += d;
                    f.cost += d * mk_.buy_rate[t];
                } else {
                    f.sold -= d;
                    f.cost -= d * mk_.sell_rate[t];
                }
            }
            scale = total_weight / available;
            b.cash = 0.0;
        }
        b.cash *= scale;
        // the new book: the kept positions (rescaled) and the traded
        // members (worth their weights), merged by instrument
        const std::size_t total = kept_.size() + trade_.size();
        b.at.resize(total);
        b.units.resize(total);
        b.marks.resize(total);
        b.waiting.resize(total);
        values_.clear();  // of the old positions: read above, no longer
        double v_new = b.cash;
        std::size_t a = 0, c = 0;
        for (std::size_t w = 0; w < total; ++w) {
            if (c == trade_.size() || (a < kept_.size() && kept_[a].j < trade_[c].j)) {
                const Kept &p = kept_[a++];
                const double px = row[p.j];
                b.at[w] = p.j;
                b.waiting[w] = p.waiting;
                if (Hold) {
                    b.units[w] = p.units * scale;
                    b.marks[w] = kNaN;
                } else {  // re-marked at the moment
                    b.units[w] = p.units * (px / p.mark) * scale;
                    b.marks[w] = px;
                }
                const double v = worth(b.units[w], b.marks[w], px);
                if (std::isfinite(v)) v_new += v;
            } else {
                const Member &e = trade_[c++];
                b.at[w] = e.j;
                b.waiting[w] = 0;
                b.units[w] = Hold ? e.weight / e.price : e.weight;
                b.marks[w] = Hold ? kNaN : e.price;
                v_new += e.weight;
            }
        }
        return v_new;
    }

    // Whether book b has anything to do at the moment of row t without a
    // rebalance: a position waiting to be sold that can be, or one whose
    // instrument is delisted.
    bool due(const Book &b, index_t t) const {
        if (!b.started) return false;
        if (t >= b.next_delisting) return true;
        for (const std::uint32_t j : b.pending)
            if (!(block(t, j) & kSellBlocked)) return true;
        return false;
    }

    // The trading moment of row t; `s` is the rebalance traded there (-1
    // for none); `known`: the book's value at the moment when the caller
    // has it (trading at the close).
    Moment moment(Book &b, index_t g, index_t t, index_t s, double known = kNaN) {
        Moment mo;
        if (s < 0 && !due(b, t)) return mo;
        if (s >= 0 && !b.started) {
            b.started = true;
            b.cash = 1.0;
        }
        const double *row = trade_row(t);
        double v_pre = known;
        values_.clear();
        if (s >= 0 || t >= b.next_delisting || std::isnan(known) || !Hold)
            v_pre = value_each(b, row);
        Flow f;
        const bool settling = t >= b.next_delisting;
        if (settling) {
            const double keep = 1.0 - st_.delisting_haircut;
            retain(b, [&](std::size_t k) {
                if (delist_row_[b.at[k]] > t) return true;
                ++f.counts[kDelistedCount];
                b.cash += values_[k] * keep;
                f.lost += values_[k] * (1.0 - keep);
                return false;
            });
        }
        double v_new;
        if (s >= 0) {
            v_new = rebalance(b, g, s, t, row, f);
        } else {
            if (!b.pending.empty()) sell_waiting(b, t, row, f);
            v_new = v_pre - f.lost;  // sales leave the value as it was
        }
        if (s >= 0 || settling) index_waiting(b);
        std::int64_t *counts = counts_ + (g * n_ + t) * kTradeCounts;
        for (int c = 0; c < kTradeCounts; ++c) counts[c] += f.counts[c];
        mo.acted = true;
        mo.v_post_old = v_pre - f.lost;
        mo.v_post_new = v_new;
        if (v_pre > 0.0) {
            mo.cost = f.cost / v_pre;
            mo.turnover = (f.bought + f.sold) / (2.0 * v_pre);
        }
        return mo;
    }

    void record(index_t g, index_t t, double daily, double cost_share, Book &b) {
        b.carry *= 1.0 - cost_share;
        if (std::isnan(daily)) return;
        const index_t cell = g * n_ + t;
        rows_->gross[cell] = daily;
        rows_->net[cell] = (1.0 + daily) * b.carry - 1.0;
        b.carry = 1.0;
    }

    void record_turnover(index_t g, index_t t, double turnover) {
        rows_->turnover[g * n_ + t] = turnover;
    }

    void run_schedule(index_t lv) {
        std::vector<Book> books(static_cast<std::size_t>(q_));
        bool window_held = true;  // kPricedOnly: the current window has members somewhere
        const index_t first = st_.timing == TradeTiming::kClose ? lv - 1 : lv;
        for (index_t t = first; t < n_; ++t) {
            index_t s = -1;
            if (st_.timing == TradeTiming::kClose) {
                if (t + 1 < n_ && (t + 1 - lv) % p_ == 0) s = t + 1;
            } else if ((t - lv) % p_ == 0) {
                s = t;
            }
            const bool held_now = s >= 0 ? prepare_members(s) : window_held;
            if (AtOpen) window_held = held_now;
            for (index_t g = 0; g < q_; ++g) {
                Book &b = books[static_cast<std::size_t>(g)];
                if (AtOpen) open_row(b, g, t, s, window_held);
                else close_row(b, g, t, s, window_held);
            }
            if (!AtOpen) window_held = held_now;
        }
    }

    // Trading at the open: the moment first, then the close.
    void open_row(Book &b, index_t g, index_t t, index_t s, bool window_held) {
        const bool had = b.started;
        double pre = 1.0;
        if (!Hold && had && s >= 0) {
            const double before = value(b, trade_row(t));
            if (!std::isnan(before)) pre = before / b.ref;
        }
        const Moment mo = moment(b, g, t, s);
        if (!b.started) return;
        record_turnover(g, t, mo.turnover);
        double daily = kNaN;
        const double v = value(b, mk_.close_px + t * m_);
        if (Hold) {
            if (!had) daily = v / mo.v_post_new - 1.0;
            else if (mo.acted) daily = (mo.v_post_old / b.ref) * (v / mo.v_post_new) - 1.0;
            else daily = v / b.ref - 1.0;
            b.ref = v;
        } else if (window_held) {
            daily = priced_only_daily(b, v, mo.acted || !had, pre);
        }
        record(g, t, daily, mo.cost, b);
    }

    // Trading at the close: the close's value first, then the moment.
    void close_row(Book &b, index_t g, index_t t, index_t s, bool window_held) {
        const bool had = b.started;
        double daily = kNaN, v = kNaN;
        if (had) {
            v = value(b, mk_.close_px + t * m_);
            if (Hold) daily = v / b.ref - 1.0;
            else if (window_held) daily = priced_only_daily(b, v, b.fresh, 1.0);
        }
        const Moment mo = moment(b, g, t, s, v);
        if (!b.started) return;
        record_turnover(g, t, mo.turnover);
        if (Hold) {
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
            if (std::isnan(growth)) return kNaN;
            const double daily = pre * growth - 1.0;
            b.ref = growth;
            return daily;
        }
        const double now = std::isnan(growth) ? b.ref : growth;
        const double daily = now / b.ref - 1.0;
        b.ref = now;
        return daily;
    }

    const TradedMarket &mk_;
    const TradedSettings &st_;
    const index_t p_;
    const index_t n_, m_, q_;
    const std::vector<index_t> &delist_row_;
    std::int64_t *counts_;
    ScheduleRows *rows_ = nullptr;
    std::vector<double> weight_sum_;
    std::vector<index_t> weight_cnt_;
    std::vector<std::vector<std::uint32_t>> members_of_;
    std::vector<Member> trade_;
    std::vector<Kept> kept_;
    std::vector<double> values_;  // of the positions at the current moment
};

// The schedules of one period spread over `threads` threads, each with a
// simulation of its own; the per-schedule rows are averaged in schedule
// order afterwards, so the result does not depend on the thread count.
template <bool Hold, bool AtOpen>
void simulate(const TradedMarket &mk, const TradedSettings &st, index_t period,
              const TradedOutputs &out, int threads) {
    const index_t n = mk.n, m = mk.m, q = mk.q;
    const index_t schedules = std::max<index_t>(0, std::min(period, n - 1));
    const std::size_t cells = static_cast<std::size_t>(q * n);
    std::vector<index_t> delist_row(static_cast<std::size_t>(m), kNever);
    if (Hold && mk.blocks != nullptr && st.settle_delisted) {
        for (index_t t = n - 1; t >= 0; --t)
            for (index_t j = 0; j < m; ++j)
                if (mk.blocks[t * m + j] & kDelisted) delist_row[j] = t;
    }
    const int workers = static_cast<int>(
        std::max<index_t>(1, std::min<index_t>(std::max(threads, 1), schedules)));
    std::vector<ScheduleRows> rows(static_cast<std::size_t>(schedules));
    std::vector<std::vector<std::int64_t>> counts(static_cast<std::size_t>(workers));
    std::vector<std::optional<Simulation<Hold, AtOpen>>> sims(static_cast<std::size_t>(workers));
    // schedules one at a time, each thread with a simulation and counts of its own
    parallel_chunks(schedules, workers, 1, [&](int w, index_t lo, index_t hi) {
        const std::size_t k = static_cast<std::size_t>(w);
        if (!sims[k]) {
            counts[k].assign(cells * kTradeCounts, 0);
            sims[k].emplace(mk, st, period, delist_row, counts[k].data());
        }
        for (index_t lv = lo + 1; lv <= hi; ++lv)
            sims[k]->schedule(lv, rows[static_cast<std::size_t>(lv - 1)]);
    });

    std::fill(out.counts, out.counts + cells * kTradeCounts, std::int64_t{0});
    for (const auto &c : counts)
        for (std::size_t k = 0; k < c.size(); ++k) out.counts[k] += c[k];
    for (std::size_t c = 0; c < cells; ++c) {
        double gross = 0.0, net = 0.0, turn = 0.0;
        int valued = 0, active = 0;
        for (const ScheduleRows &r : rows) {
            if (!std::isnan(r.gross[c])) {
                gross += r.gross[c];
                net += r.net[c];
                ++valued;
            }
            if (!std::isnan(r.turnover[c])) {
                turn += r.turnover[c];
                ++active;
            }
        }
        out.gross[c] = valued ? gross / valued : kNaN;
        out.net[c] = valued ? net / valued : kNaN;
        out.turnover[c] = active ? turn / active : kNaN;
    }
}

}  // namespace

void traded_period(const TradedMarket &market, const TradedSettings &settings, index_t period,
                   const TradedOutputs &out, int threads) {
    const bool hold = settings.valuation == Valuation::kHold;
    const bool at_open = settings.timing == TradeTiming::kOpen;
    if (hold && at_open) simulate<true, true>(market, settings, period, out, threads);
    else if (hold) simulate<true, false>(market, settings, period, out, threads);
    else if (at_open) simulate<false, true>(market, settings, period, out, threads);
    else simulate<false, false>(market, settings, period, out, threads);
}

}  // namespace tarnfold::kern
