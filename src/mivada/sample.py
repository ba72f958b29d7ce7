"""A simulated stock market for the embedded sample store.

Everything is drawn from ``numpy.random.Generator(PCG64(seed))`` in a fixed
order, and what the trading rules meet (limit jumps, ST episodes, long
suspensions, listing-day jumps, float shares) from a second stream,
``PCG64([seed, 20])``, so two machines build identical stores.  Returns follow a
factor model (market, industries, styles, idiosyncratic noise) to which three
published characteristics (``value_score``, ``quality_score``,
``reversal_5d``) add a small genuine next-day premium, while the published
``noise`` characteristic has none.

``generate_market`` returns the simulated arrays (the "truth" the tests check
the store against); ``build_sample_store`` writes them into a store file.
"""

import dataclasses
import os
import time

import numpy as np
import pandas as pd

from mivada import market_rules
from mivada.errors import argument_error
from mivada.market_calendar import trading_calendar

GENERATOR_VERSION = 3

STYLE_FACTORS = (
    "size",
    "beta",
    "momentum",
    "volatility",
    "liquidity",
    "value",
    "growth",
    "leverage",
)
PUBLISHED_FACTORS = (
    "value_score",
    "quality_score",
    "reversal_5d",
    "noise",
    "market_cap",
    "float_market_cap",
)
# Next-day return premium per unit cross-sectional z-score of each signal.
# Cross-sectional return dispersion is about 2.2 %, so these give rank ICs
# of roughly 0.03-0.04.
SIGNAL_PREMIUM = {"value_score": 0.0008, "quality_score": 0.0006, "reversal_5d": 0.0010}

CITICS_INDUSTRIES = (
    "银行",
    "非银行金融",
    "房地产",
    "建筑",
    "建材",
    "轻工制造",
    "机械",
    "电力设备及新能源",
    "国防军工",
    "汽车",
    "商贸零售",
    "消费者服务",
    "家电",
    "纺织服装",
    "医药",
    "食品饮料",
    "农林牧渔",
    "基础化工",
    "石油石化",
    "电子",
    "计算机",
    "传媒",
    "通信",
    "综合",
    "交通运输",
    "电力及公用事业",
    "钢铁",
    "有色金属",
    "煤炭",
    "综合金融",
)
# The second source reorganised its classification twice; each version has
# its own list of names.  SWS_MAP[v][sector] is the name index of a latent
# sector (one of the 30 above) under version v.
SWS_NAMES = {
    1: (
        "农林牧渔",
        "采掘",
        "化工",
        "黑色金属",
        "有色金属",
        "建筑建材",
        "机械设备",
        "电子元器件",
        "交运设备",
        "信息设备",
        "家用电器",
        "食品饮料",
        "纺织服装",
        "轻工制造",
        "医药生物",
        "公用事业",
        "交通运输",
        "房地产",
        "金融服务",
        "商业贸易",
        "餐饮旅游",
        "信息服务",
        "综合",
    ),
    2: (
        "农林牧渔",
        "采掘",
        "化工",
        "钢铁",
        "有色金属",
        "建筑材料",
        "建筑装饰",
        "电气设备",
        "机械设备",
        "国防军工",
        "汽车",
        "家用电器",
        "纺织服装",
        "轻工制造",
        "商业贸易",
        "休闲服务",
        "医药生物",
        "食品饮料",
        "公用事业",
        "交通运输",
        "房地产",
        "电子",
        "计算机",
        "传媒",
        "通信",
        "银行",
        "非银金融",
        "综合",
    ),
    3: (
        "农林牧渔",
        "基础化工",
        "钢铁",
        "有色金属",
        "电子",
        "家用电器",
        "食品饮料",
        "纺织服饰",
        "轻工制造",
        "医药生物",
        "公用事业",
        "交通运输",
        "房地产",
        "商贸零售",
        "社会服务",
        "综合",
        "建筑材料",
        "建筑装饰",
        "电力设备",
        "国防军工",
        "计算机",
        "传媒",
        "通信",
        "银行",
        "非银金融",
        "汽车",
        "机械设备",
        "煤炭",
        "石油石化",
        "环保",
        "美容护理",
    ),
}
SWS_MAP = {
    1: (
        18,
        18,
        17,
        5,
        5,
        13,
        6,
        6,
        6,
        8,
        19,
        20,
        10,
        12,
        14,
        11,
        0,
        2,
        1,
        7,
        9,
        21,
        9,
        22,
        16,
        15,
        3,
        4,
        1,
        18,
    ),
    2: (
        25,
        26,
        20,
        6,
        5,
        13,
        8,
        7,
        9,
        10,
        14,
        15,
        11,
        12,
        16,
        17,
        0,
        2,
        1,
        21,
        22,
        23,
        24,
        27,
        19,
        18,
        3,
        4,
        1,
        26,
    ),
    3: (
        23,
        24,
        12,
        17,
        16,
        8,
        26,
        18,
        19,
        25,
        13,
        14,
        5,
        7,
        9,
        6,
        0,
        1,
        28,
        4,
        20,
        21,
        22,
        15,
        11,
        10,
        2,
        3,
        27,
        24,
    ),
}
# The version in force for a record is decided by its start date.
SWS_V2_FROM = pd.Timestamp("2014-01-02")  # first date after 2014-01-01
SWS_V3_FROM = pd.Timestamp("2021-08-01")  # first date after 2021-07-31

INDEXES = (
    # id, symbol, listed, members (share of stocks, cap), cap-rank offset
    ("000300.XSHG", "大盘300", "2005-04-08", 0.4, 300, 0),
    ("000905.XSHG", "中盘500", "2007-01-15", 0.4, 500, 300),
)

BOARDS = (
    # exchange, first code, last code, share of stocks, board (market_rules)
    ("XSHG", 600000, 605999, 0.35, 0),
    ("XSHE", 1, 1999, 0.15, 0),
    ("XSHE", 2001, 2999, 0.15, 0),
    ("XSHE", 300001, 301999, 0.25, 1),
    ("XSHG", 688001, 689999, 0.10, 2),
)
BOARD_OPENED = {300001: "2009-10-30", 688001: "2019-07-22"}

# What the trading rules meet, drawn from a stream of its own (so that the
# draws of the market above keep their order): news-like jumps that close
# at a price limit, more often in small caps, half of them sealed from the
# open, a few running on as sealed days; ST episodes (5 % limits on the
# main boards), always before a delisting; suspensions of months;
# listing-day jumps of new stocks.
JUMP_UP_RATE, JUMP_DOWN_RATE = 0.012, 0.008  # per stock-day, on average
JUMP_SEALED_FROM_OPEN = 0.5
JUMP_RUNS_ON = 0.08  # chance of one more sealed day
ST_SHARE = 0.06  # stocks with an ST episode
LONG_SUSPENSION_SHARE = 0.03  # stocks suspended for months
FLOAT_SHARE = (0.25, 1.0)  # range of the floating share

SYLLABLES = tuple("华天海中金信长安泰恒新达宏盛通和兴远光明东方南北正元")
SUFFIXES = ("科技", "股份", "电子", "医药", "能源", "控股", "材料", "智能", "实业", "环境")


@dataclasses.dataclass(frozen=True)
class SampleSize:
    """Size of a sample market: ``n_stocks`` stocks over the ``n_days``
    trading days ending on ``end_date``."""

    n_stocks: int
    n_days: int
    seed: int = 20190101
    end_date: str = "2023-12-29"

    def __post_init__(self):
        if int(self.n_stocks) < 10:
            raise argument_error("n_stocks", "at least 10 stocks", str(self.n_stocks))
        if int(self.n_days) < 30:
            raise argument_error("n_days", "at least 30 trading days", str(self.n_days))

    @property
    def label(self):
        return "{}x{}-seed{}-{}".format(self.n_stocks, self.n_days, self.seed, self.end_date)


PRESETS = {
    "tiny": SampleSize(40, 120),
    "small": SampleSize(300, 250),
    "default": SampleSize(500, 970),
    "bench": SampleSize(3000, 2500),
    "large": SampleSize(5000, 2500),
}


@dataclasses.dataclass
class SampleMarket:
    """The simulated market.  Arrays are (days, stocks) over the data period
    ``dates``; stocks are in ``ids`` order (sorted)."""

    size: SampleSize
    calendar: pd.DatetimeIndex  # the whole trading calendar
    dates: pd.DatetimeIndex  # data period
    ids: np.ndarray
    symbols: np.ndarray
    exchanges: np.ndarray
    listed_date: pd.DatetimeIndex
    de_listed_date: pd.DatetimeIndex  # NaT when still listed
    listed: np.ndarray  # bool (T, N)
    has_bar: np.ndarray  # bool (T, N)
    board: np.ndarray  # board code per stock (market_rules)
    st: np.ndarray  # bool (T, N): ST on that date
    limit_up: np.ndarray  # (T, N) limit prices, NaN without
    limit_down: np.ndarray  # a limit or a bar
    sealed: np.ndarray  # bool (T, N): the whole day at a limit
    close: np.ndarray
    prev_close: np.ndarray
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    volume: np.ndarray
    total_turnover: np.ndarray
    sector_before: np.ndarray  # latent sector (0..29) per stock
    sector_after: np.ndarray
    change_date: pd.DatetimeIndex  # NaT when the stock never changes
    styles: np.ndarray  # float32 (T, N, len(STYLE_FACTORS))
    factors: dict  # name -> (T, N) float
    index_ids: tuple
    index_symbols: tuple
    index_listed: tuple
    index_members: dict  # index id -> bool (T, N)
    index_bars: dict  # index id -> dict field -> (T,)

    def sector_on(self, date):
        """Latent sector of every stock on ``date``."""
        date = np.datetime64(pd.Timestamp(date), "ns")
        changed = np.asarray(self.change_date.values <= date)
        return np.where(changed, self.sector_after, self.sector_before)


def generate_market(size):
    """Simulate the market described by ``size`` (a ``SampleSize``)."""
    rng = np.random.Generator(np.random.PCG64(size.seed))
    calendar = trading_calendar()
    end_pos = int(calendar.searchsorted(pd.Timestamp(size.end_date), side="right")) - 1
    start_pos = end_pos - int(size.n_days) + 1
    if start_pos < 250:
        raise argument_error(
            "n_days",
            "at most {} trading days (the sample calendar up to {})".format(
                end_pos - 249, size.end_date
            ),
            str(size.n_days),
        )
    dates = calendar[start_pos : end_pos + 1]
    T, N = len(dates), int(size.n_stocks)

    ids, exchanges, board, board_first = _draw_codes(rng, N)
    rng_rules = np.random.Generator(np.random.PCG64([size.seed, 20]))
    symbols = np.array(
        [
            "".join(rng.choice(SYLLABLES, 2)) + SUFFIXES[int(k)]
            for k in rng.integers(0, len(SUFFIXES), N)
        ]
    )

    # -- listing and delisting (calendar positions) ------------------------
    new_listing = rng.random(N) < 0.15
    list_pos = np.empty(N, dtype=np.int64)
    pre_2005 = np.zeros(N, dtype=bool)
    for i in range(N):
        opened = BOARD_OPENED.get(int(board_first[i]))
        min_pos = 0 if opened is None else int(calendar.searchsorted(pd.Timestamp(opened)))
        if min_pos >= start_pos - 20:
            new_listing[i] = True
        if new_listing[i]:
            list_pos[i] = start_pos + rng.integers(1, max(2, T - 5))
        else:
            list_pos[i] = rng.integers(min_pos, start_pos - 20)
            pre_2005[i] = opened is None and rng.random() < 0.4
    # The first stock is always trading: it is what a caller probing "the
    # first listed stock on the latest day" should find.
    new_listing[0] = False
    pre_2005[0] = True
    list_pos[0] = 0
    listed_date = calendar[list_pos].values.copy()
    old_days = pd.bdate_range("1991-01-02", "2004-12-30")
    listed_date[pre_2005] = old_days[rng.integers(0, len(old_days), int(pre_2005.sum()))].values
    listed_date = pd.DatetimeIndex(listed_date)

    n_delist = max(1, int(round(0.04 * N)))
    candidates = np.flatnonzero(~new_listing)
    candidates = candidates[candidates != 0]
    delisters = np.sort(rng.choice(candidates, n_delist, replace=False))
    delist_pos = np.full(N, np.iinfo(np.int64).max // 2, dtype=np.int64)
    delist_pos[delisters] = start_pos + rng.integers(10, T - 1, n_delist)
    de_listed_date = np.full(N, np.datetime64("NaT"), dtype="datetime64[ns]")
    de_listed_date[delisters] = calendar[delist_pos[delisters]].values
    de_listed_date = pd.DatetimeIndex(de_listed_date)

    t_full = np.arange(start_pos, end_pos + 1)[:, None]
    listed = (t_full >= list_pos[None, :]) & (t_full < delist_pos[None, :])

    # -- suspensions -------------------------------------------------------
    suspended = np.zeros((T, N), dtype=bool)
    spells = rng.poisson(1.5 * T / 250.0, N)
    for i in np.flatnonzero(spells):
        starts = rng.integers(0, T, spells[i])
        lengths = 1 + np.minimum(rng.geometric(0.3, spells[i]), 60)
        for s, ln in zip(starts, lengths):
            suspended[s : s + ln, i] = True
    for i in np.flatnonzero(rng_rules.random(N) < LONG_SUSPENSION_SHARE):
        s = int(rng_rules.integers(0, T))
        suspended[s : s + int(rng_rules.integers(40, 150)), i] = True
    suspended[:, 0] = False
    first_day = list_pos - start_pos
    fresh = (first_day >= 0) & (first_day < T)
    suspended[first_day[fresh], np.flatnonzero(fresh)] = False
    has_bar = listed & ~suspended
    st = _st_episodes(rng_rules, listed, list_pos - start_pos, delisters, delist_pos - start_pos)
    # limit rates of every stock-day; NaN: no limit (first days of a listing)
    age = t_full - list_pos[None, :]
    up_rate, down_rate = market_rules.limit_rates(board, dates, st, age, calendar[list_pos])
    del t_full, age

    # -- industries --------------------------------------------------------
    weights = rng.dirichlet(np.full(30, 3.0))
    sector_before = rng.choice(30, N, p=weights)
    sector_after = sector_before.copy()
    change_date = np.full(N, np.datetime64("NaT"), dtype="datetime64[ns]")
    first_change = int(calendar.searchsorted(pd.Timestamp("2013-01-01")))
    changers = rng.random(N) < 0.08
    changers[0] = False
    for i in np.flatnonzero(changers):
        lo = max(first_change, int(list_pos[i]) + 20)
        hi = min(end_pos, int(delist_pos[i]) - 1)
        if lo >= hi:
            continue
        change_date[i] = calendar[rng.integers(lo, hi)].to_datetime64()
        sector_after[i] = (sector_before[i] + rng.integers(1, 30)) % 30
    # Records that start exactly on the version boundaries exercise the
    # version rule's strict comparisons.
    ordered = [i for i in np.flatnonzero(changers) if not np.isnat(change_date[i])]
    for i, day in zip(ordered[:2], ("2014-01-01", "2021-07-31")):
        day = np.datetime64(pd.Timestamp(day), "ns")
        if listed_date[i] + pd.Timedelta(days=30) < day and (
            i not in delisters or de_listed_date[i] > day
        ):
            change_date[i] = day
    change_date = pd.DatetimeIndex(change_date)
    dates_ns = dates.values
    sector = np.where(
        dates_ns[:, None] >= change_date.values[None, :],
        sector_after[None, :],
        sector_before[None, :],
    ).astype(np.int16)

    # -- returns -----------------------------------------------------------
    S = len(STYLE_FACTORS)
    log_vol = np.zeros(T)
    shock = rng.standard_normal(T)
    for t in range(1, T):
        log_vol[t] = 0.97 * log_vol[t - 1] + 0.06 * shock[t]
    market = 0.0004 + 0.011 * np.exp(log_vol) * rng.standard_normal(T)
    industry_ret = 0.006 * rng.standard_normal((T, 30))
    style_ret = 0.003 * rng.standard_normal((T, S))
    beta = np.clip(rng.normal(1.0, 0.25, N), 0.3, 2.0)
    idio_sigma = np.exp(rng.normal(np.log(0.018), 0.3, N))
    cap0 = np.exp(rng.normal(np.log(6e9), 1.0, N))
    price0 = np.exp(rng.normal(np.log(12.0), 0.7, N))
    shares = cap0 / price0

    ar_rho = np.array([0.0, 0.0, 0.99, 0.995, 0.995, 0.997, 0.995, 0.998])
    signal_rho = {"value_score": 0.995, "quality_score": 0.998, "noise": 0.7}

    styles = np.empty((T, N, S), dtype=np.float32)
    factors = {
        name: np.full((T, N), np.nan) for name in PUBLISHED_FACTORS if name != "float_market_cap"
    }
    close = np.full((T, N), np.nan)
    prev_close = np.full((T, N), np.nan)
    ret = np.zeros((T, N))

    latent = rng.standard_normal((N, S))
    signals = {k: rng.standard_normal(N) for k in signal_rho}
    beta_z = (beta - beta.mean()) / beta.std()
    last_close = price0.copy()
    history = np.zeros((5, N))  # last five realised returns
    days_listed = np.zeros(N, dtype=np.int64)
    prev_exposure = None
    prev_signal_z = None
    jump, sealed = _jumps(rng_rules, has_bar, price0 * shares, up_rate)
    listing_pop = _listing_pops(rng_rules, board, listed_date)
    for t in range(T):
        eps = rng.standard_normal((N, S))
        latent = ar_rho * latent + np.sqrt(1.0 - ar_rho**2) * eps
        for k, rho in signal_rho.items():
            signals[k] = rho * signals[k] + np.sqrt(1.0 - rho**2) * rng.standard_normal(N)
        live = listed[t]
        bar = has_bar[t]
        r = beta * market[t] + industry_ret[t, sector[t]] + idio_sigma * rng.standard_normal(N)
        if prev_exposure is not None:
            r += prev_exposure @ style_ret[t]
            for k, z in prev_signal_z.items():
                r += SIGNAL_PREMIUM[k] * z
        up, down = up_rate[t], down_rate[t]
        free = np.isnan(up)
        # the unlimited first days of a listing swing widely
        r = np.where(free, 3.0 * r, np.clip(r, -down, up))
        r = np.where(jump[t] > 0, up, np.where(jump[t] < 0, -down, r))
        r = np.where(first_day == t, listing_pop, r)
        r = np.where(free, r, np.clip(r, -down, up))
        r = np.where(bar, r, 0.0)
        ret[t] = r
        prev_close[t] = np.where(bar, last_close, np.nan)
        last_close = np.where(bar, last_close * (1.0 + r), last_close)
        close[t] = np.where(bar, last_close, np.nan)

        history = np.roll(history, 1, axis=0)
        history[0] = r
        days_listed += live
        cap = last_close * shares
        exposure = latent.copy()
        exposure[:, 0] = _zscore(np.log(cap), live)
        exposure[:, 1] = beta_z + 0.1 * latent[:, 1]
        for j in range(2, S):
            exposure[:, j] = _zscore(latent[:, j], live)
        exposure[~live] = np.nan
        styles[t] = exposure

        reversal = -(np.prod(1.0 + history, axis=0) - 1.0)
        reversal[days_listed < 6] = np.nan
        values = {
            "value_score": signals["value_score"],
            "quality_score": signals["quality_score"],
            "noise": signals["noise"],
            "reversal_5d": reversal,
        }
        prev_signal_z = {}
        for k in SIGNAL_PREMIUM:
            z = _zscore(values[k], live & np.isfinite(values[k]))
            prev_signal_z[k] = np.clip(np.nan_to_num(z), -3.0, 3.0)
        for k, v in values.items():
            factors[k][t] = np.where(live, v, np.nan)
        factors["market_cap"][t] = np.where(live, cap, np.nan)
        prev_exposure = np.nan_to_num(exposure)

    # -- bars --------------------------------------------------------------
    up_lim = np.where(np.isnan(up_rate), np.inf, up_rate)
    down_lim = np.where(np.isnan(down_rate), 1.0, down_rate)
    del up_rate, down_rate
    gap = np.clip(
        ret * rng.uniform(0.0, 0.6, (T, N)) + 0.004 * rng.standard_normal((T, N)), -down_lim, up_lim
    )
    open_ = np.where(sealed, close, prev_close * (1.0 + gap))
    top = np.maximum(open_, close)
    bottom = np.minimum(open_, close)
    high = np.maximum(
        np.minimum(
            top * (1.0 + np.abs(0.007 * rng.standard_normal((T, N)))), prev_close * (1.0 + up_lim)
        ),
        top,
    )
    low = np.minimum(
        np.maximum(
            bottom * (1.0 - np.abs(0.007 * rng.standard_normal((T, N)))),
            prev_close * (1.0 - down_lim),
        ),
        bottom,
    )
    high = np.where(sealed, close, high)
    low = np.where(sealed, close, low)
    sealed &= has_bar
    limit_up, limit_down = market_rules.limit_prices(
        prev_close,
        np.where(np.isinf(up_lim), np.nan, up_lim),
        np.where(np.isinf(up_lim), np.nan, down_lim),
    )
    del up_lim, down_lim
    liquidity = np.nan_to_num(styles[:, :, STYLE_FACTORS.index("liquidity")])
    rate = 0.012 * np.exp(0.35 * liquidity + 0.4 * rng.standard_normal((T, N)) + 12.0 * np.abs(ret))
    volume = np.round(np.minimum(rate, 0.5) * shares[None, :] / 100.0) * 100.0
    # a sealed day trades little: the queue at the limit barely moves
    volume = np.where(sealed, np.round(0.1 * volume / 100.0) * 100.0, volume)
    volume = np.where(has_bar, np.maximum(volume, 100.0), np.nan)
    total_turnover = volume * (open_ + high + low + close) / 4.0
    del gap, top, bottom, liquidity, rate, sector
    factors["float_market_cap"] = (
        factors["market_cap"] * rng_rules.uniform(*FLOAT_SHARE, N)[None, :]
    )

    # -- indexes -----------------------------------------------------------
    caps = factors["market_cap"]
    index_members, index_bars = {}, {}
    months = dates.month.values
    rebalance = np.zeros(T, dtype=bool)
    rebalance[0] = True
    rebalance[1:] = (months[1:] != months[:-1]) & np.isin(months[1:], (3, 6, 9, 12))
    age = np.arange(T)[:, None] - (list_pos - start_pos)[None, :]
    for idx_id, _, _, share, cap_n, offset in INDEXES:
        n_members = max(3, min(cap_n, int(round(share * N))))
        n_offset = min(offset, int(round(share * N)))
        member = np.zeros((T, N), dtype=bool)
        current = np.zeros(N, dtype=bool)
        for t in range(T):
            if rebalance[t]:
                ref = caps[t - 1] if t > 0 else price0 * shares
                eligible = listed[t] & (age[t] >= 20) & np.isfinite(ref)
                order = np.argsort(-np.where(eligible, ref, -np.inf), kind="stable")
                current = np.zeros(N, dtype=bool)
                chosen = order[n_offset : n_offset + n_members]
                current[chosen[eligible[chosen]]] = True
            current &= listed[t]
            member[t] = current
        index_members[idx_id] = member
        index_bars[idx_id] = _index_bars(
            rng, member, caps, ret, volume, total_turnover, price0 * shares
        )

    return SampleMarket(
        size=size,
        calendar=calendar,
        dates=dates,
        ids=ids,
        symbols=symbols,
        exchanges=exchanges,
        listed_date=listed_date,
        de_listed_date=de_listed_date,
        listed=listed,
        has_bar=has_bar,
        board=board,
        st=st & listed,
        limit_up=limit_up,
        limit_down=limit_down,
        sealed=sealed,
        close=close,
        prev_close=prev_close,
        open=open_,
        high=high,
        low=low,
        volume=volume,
        total_turnover=total_turnover,
        sector_before=sector_before,
        sector_after=sector_after,
        change_date=change_date,
        styles=styles,
        factors=factors,
        index_ids=tuple(x[0] for x in INDEXES),
        index_symbols=tuple(x[1] for x in INDEXES),
        index_listed=tuple(pd.Timestamp(x[2]) for x in INDEXES),
        index_members=index_members,
        index_bars=index_bars,
    )


def _st_episodes(rng, listed, first_day, delisters, delist_day):
    """(T, N) booleans: ST on that day.  Every delisting stock is ST for
    its last half year or so; a share of the others has one episode of a
    quarter to more than a year."""
    T, N = listed.shape
    st = np.zeros((T, N), dtype=bool)
    for i in delisters:
        end = int(delist_day[i])
        start = max(int(first_day[i]) + 20, end - int(rng.integers(120, 250)))
        st[max(start, 0) : max(end, 0), i] = True
    gone = set(int(i) for i in delisters)
    for i in np.flatnonzero(rng.random(N) < ST_SHARE):
        lo = max(int(first_day[i]) + 60, 0)
        if i == 0 or int(i) in gone or lo >= T - 20:
            continue
        start = int(rng.integers(lo, T - 20))
        st[start : start + int(rng.integers(60, 400)), i] = True
    return st & listed


def _jumps(rng, has_bar, cap0, up_rate):
    """News-like jumps: (direction of a close at the limit, sealed all
    day) per stock-day.  Small caps jump more often; a jump is sealed from
    the open or closes at the limit after a normal open, and may run on as
    sealed days."""
    T, N = has_bar.shape
    size = np.log(cap0)
    tilt = np.exp(-0.8 * (size - size.mean()) / size.std())
    tilt /= tilt.mean()
    jump = np.zeros((T, N), dtype=np.int8)
    sealed = np.zeros((T, N), dtype=bool)
    current = np.zeros(N, dtype=np.int8)
    for t in range(T):
        u = rng.random(N)
        from_open = rng.random(N) < JUMP_SEALED_FROM_OPEN
        runs_on = rng.random(N) < JUMP_RUNS_ON
        trades = has_bar[t] & ~np.isnan(up_rate[t])
        going = (current != 0) & runs_on & trades
        start = np.where(
            u < JUMP_UP_RATE * tilt, 1, np.where(u > 1.0 - JUMP_DOWN_RATE * tilt, -1, 0)
        )
        start = np.where((current == 0) & trades, start, 0).astype(np.int8)
        jump[t] = np.where(going, current, start)
        sealed[t] = going | ((start != 0) & from_open)
        current = jump[t]
    return jump, sealed


def _listing_pops(rng, board, listed_date):
    """Listing-day return of each stock: the 44 % first-day band where it
    applies, a wider jump (median +80 %) on the days without a limit."""
    listed = np.asarray(pd.DatetimeIndex(listed_date).values)
    banded = ((board == 0) & (listed < market_rules.MAIN_BOARD_REGISTRATION.to_datetime64())) | (
        (board == 1) & (listed < market_rules.CHINEXT_REFORM.to_datetime64())
    )
    wide = np.exp(rng.normal(np.log(1.8), 0.4, len(board))) - 1.0
    return np.where(banded, market_rules.FIRST_DAY_UP, wide)


def _zscore(values, mask):
    out = np.full(values.shape, np.nan)
    if mask.sum() < 2:
        return out
    sel = values[mask]
    sd = sel.std()
    out[mask] = (sel - sel.mean()) / (sd if sd > 0 else 1.0)
    return out


def _draw_codes(rng, n):
    counts = [int(round(b[3] * n)) for b in BOARDS]
    counts[0] += n - sum(counts)
    codes, exchanges, boards, firsts = [], [], [], []
    for (exchange, lo, hi, _, board), count in zip(BOARDS, counts):
        picked = rng.choice(np.arange(lo, hi + 1), count, replace=False)
        codes.extend("{:06d}.{}".format(int(c), exchange) for c in picked)
        exchanges.extend([exchange] * count)
        boards.extend([board] * count)
        firsts.extend([lo] * count)
    order = np.argsort(np.array(codes), kind="stable")
    return (
        np.array(codes)[order],
        np.array(exchanges)[order],
        np.array(boards, dtype=np.int8)[order],
        np.array(firsts)[order],
    )


def _index_bars(rng, member, caps, ret, volume, turnover, cap0):
    T = member.shape[0]
    prev_caps = np.vstack(
        [np.where(np.isfinite(cap0), cap0, 0.0)[None, :], np.nan_to_num(caps[:-1])]
    )
    w = np.where(member, prev_caps, 0.0)
    total = w.sum(axis=1)
    r = np.where(total > 0, (w * ret).sum(axis=1) / np.where(total > 0, total, 1.0), 0.0)
    close = 3000.0 * np.cumprod(1.0 + r)
    prev = np.concatenate([[3000.0], close[:-1]])
    open_ = prev * (1.0 + r * rng.uniform(0.0, 0.5, T) + 0.002 * rng.standard_normal(T))
    high = np.maximum(open_, close) * (1.0 + np.abs(0.004 * rng.standard_normal(T)))
    low = np.minimum(open_, close) * (1.0 - np.abs(0.004 * rng.standard_normal(T)))
    vol = np.where(member, np.nan_to_num(volume), 0.0).sum(axis=1)
    tov = np.where(member, np.nan_to_num(turnover), 0.0).sum(axis=1)
    return {
        "open": open_,
        "high": high,
        "low": low,
        "close": close,
        "prev_close": prev,
        "volume": vol,
        "total_turnover": tov,
    }


# -- records of the two industry sources -----------------------------------


def industry_records(market):
    """Classification records of both sources as one frame (columns of the
    ``industry_records`` table)."""
    frames = []
    m = market
    has_change = ~np.isnat(m.change_date.values)
    ids = m.ids
    # First source: one record at listing, one at each change.
    frames.append(
        pd.DataFrame(
            {
                "source": "citics_2019",
                "order_book_id": ids,
                "start_date": m.listed_date.values,
                "industry_name": np.array(CITICS_INDUSTRIES)[m.sector_before],
                "version": pd.array([None] * len(ids), dtype="Int32"),
            }
        )
    )
    frames.append(
        pd.DataFrame(
            {
                "source": "citics_2019",
                "order_book_id": ids[has_change],
                "start_date": m.change_date.values[has_change],
                "industry_name": np.array(CITICS_INDUSTRIES)[m.sector_after[has_change]],
                "version": pd.array([None] * int(has_change.sum()), dtype="Int32"),
            }
        )
    )
    # Second source: every version restates the whole history under its own
    # names, and versions 2 and 3 re-classify every listed stock on the day
    # they take effect.  Only the records whose version is the one in force
    # on their start date are meant to be used.
    for version, names in SWS_NAMES.items():
        mapping = np.asarray(SWS_MAP[version])
        name_of = np.asarray(names)
        parts = [
            (ids, m.listed_date.values, m.sector_before),
            (ids[has_change], m.change_date.values[has_change], m.sector_after[has_change]),
        ]
        boundary = {2: SWS_V2_FROM, 3: SWS_V3_FROM}.get(version)
        if boundary is not None:
            b = boundary.to_datetime64()
            before = (m.listed_date.values < b) & (
                np.isnat(m.de_listed_date.values) | (m.de_listed_date.values > b)
            )
            sec = np.where(
                has_change & (m.change_date.values <= b), m.sector_after, m.sector_before
            )
            parts.append((ids[before], np.full(int(before.sum()), b), sec[before]))
        for oid, start, sec in parts:
            frames.append(
                pd.DataFrame(
                    {
                        "source": "sws",
                        "order_book_id": oid,
                        "start_date": np.asarray(start, dtype="datetime64[ns]"),
                        "industry_name": name_of[mapping[sec]],
                        "version": pd.array(np.full(len(oid), version), dtype="Int32"),
                    }
                )
            )
    out = pd.concat(frames, ignore_index=True)
    # A change on a boundary day duplicates the boundary record; keep the
    # change record.
    out = out.drop_duplicates(["source", "order_book_id", "start_date", "version"], keep="first")
    return out.sort_values(
        ["source", "order_book_id", "start_date", "version"], kind="stable"
    ).reset_index(drop=True)


def sws_version_in_force(start_date):
    """Version of the second source in force for a record starting on
    ``start_date``."""
    start_date = pd.Timestamp(start_date)
    if start_date >= SWS_V3_FROM:
        return 3
    if start_date >= SWS_V2_FROM:
        return 2
    return 1


def index_member_runs(market):
    """Membership intervals (index_id, order_book_id, in_date, out_date);
    out_date is the first day out, NaT while still a member."""
    rows = []
    dates = market.dates.values
    T = len(dates)
    for idx_id, member in market.index_members.items():
        edge = np.zeros((1, member.shape[1]), dtype=np.int8)
        step = np.diff(np.vstack([edge, member.astype(np.int8), edge]), axis=0)
        i_in, t_in = np.nonzero(step.T == 1)
        _, t_out = np.nonzero(step.T == -1)
        out_date = np.where(t_out < T, dates[np.minimum(t_out, T - 1)], np.datetime64("NaT"))
        rows.append(
            pd.DataFrame(
                {
                    "index_id": idx_id,
                    "order_book_id": market.ids[i_in],
                    "in_date": dates[t_in],
                    "out_date": out_date,
                }
            )
        )
    return pd.concat(rows, ignore_index=True)


def board_records(market):
    """One board record per stock, from its listing (columns of the
    ``board_records`` table)."""
    return pd.DataFrame(
        {
            "order_book_id": market.ids,
            "start_date": market.listed_date.values,
            "board": np.asarray(market_rules.BOARDS)[market.board],
        }
    )


def st_records(market):
    """ST episodes inside the data period (order_book_id, start_date,
    end_date): end_date is the first day no longer ST, NaT for an episode
    still running at the end."""
    dates = market.dates.values
    T = len(dates)
    edge = np.zeros((1, market.st.shape[1]), dtype=np.int8)
    step = np.diff(np.vstack([edge, market.st.astype(np.int8), edge]), axis=0)
    i_in, t_in = np.nonzero(step.T == 1)
    _, t_out = np.nonzero(step.T == -1)
    end = np.where(t_out < T, dates[np.minimum(t_out, T - 1)], np.datetime64("NaT"))
    return pd.DataFrame(
        {"order_book_id": market.ids[i_in], "start_date": dates[t_in], "end_date": end}
    )


# -- writing ---------------------------------------------------------------


def build_sample_store(path, size, verbose=False):
    """Generate the market for ``size`` and write it to a store at ``path``.

    The store is written to a temporary file next to ``path`` and renamed
    into place, so a crash or a concurrent reader never sees half a store.
    """
    from mivada.schema import create_schema
    from mivada.store import connect

    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    t0 = time.perf_counter()
    market = generate_market(size)
    t1 = time.perf_counter()
    tmp = "{}.tmp-{}".format(path, os.getpid())
    if os.path.exists(tmp):
        os.remove(tmp)
    try:
        con = connect(tmp)
        try:
            # Large samples would otherwise keep every written block in
            # DuckDB's buffer pool until the final checkpoint.
            con.execute("SET memory_limit = '1GB'")
            create_schema(con, STYLE_FACTORS)
            _write_market(con, market)
            meta = {
                "source": "sample",
                "generator_version": GENERATOR_VERSION,
                "n_stocks": size.n_stocks,
                "n_days": size.n_days,
                "seed": size.seed,
                "end_date": size.end_date,
            }
            con.executemany(
                "INSERT INTO meta VALUES (?, ?)", [[k, str(v)] for k, v in meta.items()]
            )
            con.execute("CHECKPOINT")
        finally:
            con.close()
        os.replace(tmp, path)
    except BaseException:
        for leftover in (tmp, tmp + ".wal"):
            if os.path.exists(leftover):
                os.remove(leftover)
        raise
    if verbose:
        print(
            "generated {} in {:.1f}s, written in {:.1f}s -> {}".format(
                size.label, t1 - t0, time.perf_counter() - t1, path
            )
        )
    return market


def _write_market(con, m):
    _insert(con, "trading_calendar", "date::DATE", pd.DataFrame({"date": m.calendar.values}))
    inst = pd.DataFrame(
        {
            "order_book_id": np.concatenate([m.ids, m.index_ids]),
            "symbol": np.concatenate([m.symbols, m.index_symbols]),
            "type": ["CS"] * len(m.ids) + ["INDX"] * len(m.index_ids),
            "exchange": np.concatenate([m.exchanges, [i.split(".")[1] for i in m.index_ids]]),
            "listed_date": np.concatenate(
                [m.listed_date.values, np.array(m.index_listed, dtype="datetime64[ns]")]
            ),
            "de_listed_date": np.concatenate(
                [
                    m.de_listed_date.values,
                    np.full(len(m.index_ids), np.datetime64("NaT"), dtype="datetime64[ns]"),
                ]
            ),
        }
    )
    _insert(
        con,
        "instruments",
        "order_book_id, symbol, type, exchange, listed_date::DATE, de_listed_date::DATE",
        inst,
    )
    _insert(
        con,
        "industry_records",
        "source, order_book_id, start_date::DATE, industry_name, version",
        industry_records(m),
    )
    _insert(
        con,
        "index_members",
        "index_id, order_book_id, in_date::DATE, out_date::DATE",
        index_member_runs(m),
    )
    _insert(con, "board_records", "order_book_id, start_date::DATE, board", board_records(m))
    _insert(con, "st_records", "order_book_id, start_date::DATE, end_date::DATE", st_records(m))

    bar_cols = (
        "order_book_id::VARCHAR, date::DATE, open, high, low, close, "
        "prev_close, volume, total_turnover"
    )
    for idx_id, bars in m.index_bars.items():
        _insert(
            con,
            "daily_bars",
            bar_cols,
            pd.DataFrame({"order_book_id": idx_id, "date": m.dates.values, **bars}),
        )
    # Stock rows go in blocks of stocks so that a large market never holds
    # every long table in memory at once; rows are ordered by instrument and
    # date, which keeps DuckDB's min/max zone maps selective.
    dates = m.dates.values
    style_cols = ", ".join('"{}"'.format(s) for s in STYLE_FACTORS)
    block = max(1, 1_000_000 // max(len(dates), 1))
    for lo in range(0, len(m.ids), block):
        hi = min(lo + block, len(m.ids))
        ids = m.ids[lo:hi]
        ii, tt = np.nonzero(m.has_bar[:, lo:hi].T)
        frame = pd.DataFrame({"order_book_id": _codes(ii, ids), "date": dates[tt]})
        for f in ("open", "high", "low", "close", "prev_close", "volume", "total_turnover"):
            frame[f] = getattr(m, f)[:, lo:hi][tt, ii]
        _insert(con, "daily_bars", bar_cols, frame)
        limits = pd.DataFrame(
            {
                "order_book_id": frame["order_book_id"],
                "date": frame["date"],
                "limit_up": m.limit_up[:, lo:hi][tt, ii],
                "limit_down": m.limit_down[:, lo:hi][tt, ii],
            }
        )
        _insert(
            con, "price_limits", "order_book_id::VARCHAR, date::DATE, limit_up, limit_down", limits
        )

        ii, tt = np.nonzero(m.listed[:, lo:hi].T)
        style = pd.DataFrame({"order_book_id": _codes(ii, ids), "date": dates[tt]})
        block_styles = m.styles[:, lo:hi]
        for j, name in enumerate(STYLE_FACTORS):
            style[name] = block_styles[tt, ii, j].astype(np.float64)
        _insert(con, "style_exposures", "order_book_id::VARCHAR, date::DATE, " + style_cols, style)

        parts = []
        for name in PUBLISHED_FACTORS:
            v = m.factors[name][:, lo:hi][tt, ii]
            ok = np.isfinite(v)
            parts.append(
                pd.DataFrame(
                    {
                        "order_book_id": _codes(ii[ok], ids),
                        "date": dates[tt[ok]],
                        "factor": _codes(
                            np.full(int(ok.sum()), PUBLISHED_FACTORS.index(name)), PUBLISHED_FACTORS
                        ),
                        "value": v[ok],
                    }
                )
            )
        _insert(
            con,
            "factor_values",
            "order_book_id::VARCHAR, date::DATE, factor::VARCHAR, value",
            pd.concat(parts, ignore_index=True),
        )


def _codes(codes, labels):
    # Categorical columns reach DuckDB as dictionary-encoded values instead of
    # millions of Python strings.
    return pd.Categorical.from_codes(codes.astype(np.int32), categories=labels)


def _insert(con, table, select, frame):
    con.register("_mivada_frame", frame)
    try:
        con.execute("INSERT INTO {} SELECT {} FROM _mivada_frame".format(table, select))
    finally:
        con.unregister("_mivada_frame")
