"""The traded group portfolios written out day by day with pandas and plain
Python, as a trader would keep the books: cash and shares per (schedule,
group), each rule of the model spelled out on the bars.  Tests compare
TradedQuantileAnalysis (valuation at the last price) with it.

The books hold money and shares, not the kernel's re-marked units; the
value of a group at the end of a day over its value at the end of the
day before is its gross return (a trade does not change the value, a
write-off does), and the costs of the day's trades, as a share of the
value at the trading moment, give the net return."""

import numpy as np
import pandas as pd

from quantile_pandas_reference import my_quantile

COUNTS = (
    "intended buys",
    "intended sells",
    "not bought: suspended",
    "not bought: limit-up",
    "not bought: new listing",
    "not bought: ST",
    "not sold: suspended",
    "not sold: limit-down",
    "delisted while held",
)
TOL = 0.005


def group_labels(factor, quantile, ascending):
    ranked = factor.shift(1).rank(method="first", ascending=ascending, axis=1)
    tags = np.array(["q{}".format(i) for i in range(1, quantile + 1)])
    labels = np.apply_along_axis(my_quantile, 1, ranked.values, q=quantile, labels=tags)
    return pd.DataFrame(labels, index=factor.index, columns=factor.columns)


def blocked(bars, st, listed_pos, delisted_pos, date_pos, rules, at_open):
    """(buy reason, sell reason, delisted) per (date, instrument): the first
    reason a buy / a sell cannot be made at the trading moment, or None."""
    close = bars["close"]
    price = bars["open"] if at_open else close
    idx, cols = close.index, close.columns
    no = pd.DataFrame(False, index=idx, columns=cols)
    suspended = (close.isna() | price.isna() | (bars["volume"] == 0)) if rules.suspension else no
    if rules.price_limits == "price":
        up, down = price >= bars["limit_up"] - TOL, price <= bars["limit_down"] + TOL
    elif rules.price_limits == "sealed":
        up, down = bars["low"] >= bars["limit_up"] - TOL, bars["high"] <= bars["limit_down"] + TOL
    else:
        up = down = no
    age = pd.DataFrame(date_pos[:, None] - listed_pos[None, :], index=idx, columns=cols)
    new = age < rules.min_listed_days if rules.min_listed_days else no
    st_block = st.astype(bool) if rules.exclude_st else no
    gone = (
        pd.DataFrame(date_pos[:, None] >= delisted_pos[None, :], index=idx, columns=cols)
        if rules.delisting
        else no
    )
    suspended = suspended | gone
    nothing = np.full(close.shape, None, dtype=object)
    buy = pd.DataFrame(nothing, index=idx, columns=cols)
    for reason, mask in (
        ("not bought: ST", st_block),
        ("not bought: new listing", new),
        ("not bought: limit-up", up),
        ("not bought: suspended", suspended),
    ):
        buy = buy.mask(mask, reason)  # later masks win: the first reason in order
    sell = pd.DataFrame(nothing.copy(), index=idx, columns=cols)
    for reason, mask in (("not sold: limit-down", down), ("not sold: suspended", suspended)):
        sell = sell.mask(mask, reason)
    return buy, sell, gone


def cost_rates(dates, costs):
    from tarnfold.analysis.traded import STAMP_DUTY

    buy, sell = [], []
    for d in dates:
        b = s = costs.commission + costs.slippage
        if costs.stamp_duty == "historical":
            rate, sides = 0.0, "sell"
            for start, r, who in STAMP_DUTY:
                if d >= pd.Timestamp(start):
                    rate, sides = r, who
            s += rate
            b += rate if sides == "both" else 0.0
        else:
            s += costs.stamp_duty
        buy.append(b)
        sell.append(s)
    return buy, sell


class Book:
    def __init__(self):
        self.cash = 1.0
        self.shares = {}  # instrument -> shares (money / price level)
        self.pending = set()  # instruments waiting to be sold
        self.started = False
        self.value = None  # at the end of the last day (or the first trade)
        self.carry = 1.0  # cost factors of days without a return yet


def simulate(
    factor,
    returns,
    bars,
    st,
    listed_pos,
    delisted_pos,
    date_pos,
    rules,
    periods,
    quantile=5,
    ascending=True,
    float_cap=None,
):
    """dict period -> (gross, net, turnover, counts): gross, net and
    turnover as (tag, datetime) series of means over the schedules, counts
    a (tag, datetime) x COUNTS frame of sums over them."""
    ids = list(factor.columns)
    dates = factor.index
    n, m = len(dates), len(ids)
    labels = group_labels(factor, quantile, ascending)
    tags = ["q{}".format(i) for i in range(1, quantile + 1)]
    # price levels: the growth of the returns, the last one carried over
    level = (1 + returns).cumprod().ffill().reindex(index=dates, columns=ids)
    open_level = level * bars["open"] / bars["close"]
    at_open = rules.entry == "open"
    buy_why, sell_why, gone = blocked(bars, st, listed_pos, delisted_pos, date_pos, rules, at_open)
    buy_rate, sell_rate = cost_rates(dates, rules.costs)
    keep = {None: 1.0, "last_price": 1.0, "haircut": 1.0 - rules.delisting_haircut, "lost": 0.0}[
        rules.delisting
    ]

    def price(t, j, open_phase):
        if not open_phase:
            return level.iat[t, j]
        o = open_level.iat[t, j]
        return o if not np.isnan(o) else (level.iat[t - 1, j] if t > 0 else np.nan)

    def weight(s, j, members):
        if float_cap is None:
            return 1.0
        caps = [float_cap.iat[s - 1, k] for k in members]
        ok = [c for c in caps if np.isfinite(c) and c > 0]
        c = float_cap.iat[s - 1, j]
        if np.isfinite(c) and c > 0:
            return c
        return float(np.mean(ok)) if ok else 1.0

    def worth(b, t, open_phase):
        return b.cash + sum(k * price(t, j, open_phase) for j, k in b.shares.items())

    out = {}
    for p in periods:
        values = {
            key: {(g, t): [] for g in tags for t in range(n)}
            for key in ("gross", "net", "turnover")
        }
        counts = {(g, t): dict.fromkeys(COUNTS, 0) for g in tags for t in range(n)}

        def moment(b, g, t, s, open_phase):
            """The trading moment of day t: (cost share, turnover)."""
            held_gone = rules.delisting and any(gone.iat[t, j] for j in b.shares)
            if s is None and not (b.started and (b.pending or held_gone)):
                return 0.0, 0.0
            if not b.started:
                b.started, b.value = True, 1.0
            count = counts[(g, t)]
            px = {j: price(t, j, open_phase) for j in range(m)}
            v_pre = worth(b, t, open_phase)
            bought = sold = cost = 0.0

            def sell(j):
                nonlocal sold, cost
                money = b.shares.pop(j) * px[j]
                b.cash += money
                sold += money
                cost += money * sell_rate[t]

            if rules.delisting:
                for j in sorted(b.shares):
                    if gone.iat[t, j]:
                        b.cash += b.shares.pop(j) * px[j] * keep
                        b.pending.discard(j)
                        count["delisted while held"] += 1
            if s is not None:
                members = [j for j in range(m) if labels.iat[s, j] == g]
                for j in sorted(b.shares):
                    if j in members:
                        continue
                    count["intended sells"] += 1
                    why = sell_why.iat[t, j]
                    if why is None:
                        sell(j)
                        b.pending.discard(j)
                        continue
                    count[why] += 1
                    if rules.unsellable == "hold":
                        b.pending.add(j)
                    elif rules.unsellable == "last_price":
                        sell(j)
                        b.pending.discard(j)
                    else:
                        del b.shares[j]
                        b.pending.discard(j)
                trade = []
                for j in members:
                    if j in b.shares:
                        b.pending.discard(j)
                        if (
                            buy_why.iat[t, j] is None
                            and sell_why.iat[t, j] is None
                            and np.isfinite(px[j])
                        ):
                            trade.append(j)
                        continue
                    count["intended buys"] += 1
                    why = buy_why.iat[t, j]
                    if why is None and not np.isfinite(px[j]):
                        why = "not bought: suspended"
                    if why is None:
                        trade.append(j)
                    else:
                        count[why] += 1
                available = b.cash + sum(b.shares[j] * px[j] for j in trade if j in b.shares)
                if trade and available > 0:
                    w = {j: weight(s, j, members) for j in trade}
                    total = sum(w.values())
                    for j in trade:
                        target = available * w[j] / total
                        d = target - (b.shares[j] * px[j] if j in b.shares else 0.0)
                        if d > 0:
                            bought += d
                            cost += d * buy_rate[t]
                        else:
                            sold -= d
                            cost -= d * sell_rate[t]
                        b.shares[j] = target / px[j]
                    b.cash = 0.0
            else:
                for j in sorted(b.pending):
                    if sell_why.iat[t, j] is None:
                        sell(j)
                        b.pending.discard(j)
            if v_pre <= 0:
                return 0.0, 0.0
            return cost / v_pre, (bought + sold) / (2 * v_pre)

        for lv in range(1, min(p, n - 1) + 1):
            books = {g: Book() for g in tags}
            first = lv - 1 if rules.entry == "close" else lv
            for t in range(first, n):
                if rules.entry == "close":
                    s = t + 1 if t + 1 < n and (t + 1 - lv) % p == 0 else None
                else:
                    s = t if (t - lv) % p == 0 else None
                for g in tags:
                    b = books[g]
                    had = b.started
                    cost_share, turnover = moment(b, g, t, s, at_open)
                    if not b.started:
                        continue
                    end_value = worth(b, t, False)
                    values["turnover"][(g, t)].append(turnover)
                    b.carry *= 1 - cost_share
                    if had or at_open:
                        with np.errstate(invalid="ignore", divide="ignore"):
                            daily = np.float64(end_value) / b.value - 1  # 0 / 0: all lost
                        if not np.isnan(daily):
                            values["gross"][(g, t)].append(daily)
                            values["net"][(g, t)].append((1 + daily) * b.carry - 1)
                            b.carry = 1.0
                    b.value = end_value

        rows = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])

        def table(key):
            return pd.Series(
                [
                    np.mean(values[key][(g, t)]) if values[key][(g, t)] else np.nan
                    for g in tags
                    for t in range(n)
                ],
                index=rows,
            )

        frame = pd.DataFrame(
            [[counts[(g, t)][k] for k in COUNTS] for g in tags for t in range(n)],
            columns=list(COUNTS),
            index=rows,
        )
        out[p] = (table("gross"), table("net"), table("turnover"), frame)
    return out
