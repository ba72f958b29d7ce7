"""Quantile groups as portfolios a trader could have held on the Shanghai,
Shenzhen and Beijing exchanges.

``TradedQuantileAnalysis`` forms the groups of ``QuantileReturnAnalysis``
(the same labels from the previous date's factor, the same staggered
holding schedules) and trades them under ``TradingRules``:

* timing: the signal of date T is known at T's close; positions are
  traded at T+1's open (``entry="open"``, the overnight gap belongs to the
  positions held before), at T+1's close (``"next_close"``) or at T's
  close (``"close"``, the convention of ``QuantileReturnAnalysis``);
* cannot buy: suspended (no bar or no volume), at the limit-up at the
  trading moment (or, with ``price_limits="sealed"``, for the whole day),
  listed fewer than ``min_listed_days`` trading days, ST when
  ``exclude_st``;
* cannot sell: suspended or at the limit-down; such a position is kept
  and offered at every later trading moment until it can be sold
  (``unsellable="hold"``), or sold at its last price as if it could be
  (``"last_price"``), or written off (``"lost"``); a position in a delisted
  stock is settled at its last price, less ``delisting_haircut`` or all of
  it (``delisting="last_price"``, ``"haircut"``, ``"lost"``);
* weights: equal within a group, or by float market cap;
* costs: commission on both sides, stamp duty on sells at the rate of the
  day (``STAMP_DUTY``), slippage; results gross and net of them, turnover
  on the trades actually made.

Price limits, boards, listing and delisting dates and ST status are read
point in time from the market-data store (``mivada.get_price_limits``,
``mivada.get_st_status``); the rules the store cannot serve are named in a
warning and in the result's rules table.  The computation is one call of
``tarnfold._kernels.traded_groups``; this module aligns the tables and
packs the results.
"""

import dataclasses
import sys
import warnings

import mivada
import numpy as np
import pandas as pd

from tarnfold import _kernels
from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis.traded_result import COUNTS, TradedQuantileAnalysisResult

__all__ = [
    "TradingCosts",
    "TradingRules",
    "TradedQuantileAnalysis",
    "MarketPanels",
    "load_market",
    "STAMP_DUTY",
    "trading_rules",
]

# Stamp duty on A-share trades: (from date, rate per side, sides).  Both
# sides paid it until 2008-09-19; sells alone since.
STAMP_DUTY = (
    ("1997-05-12", 0.005, "both"),
    ("1998-06-12", 0.004, "both"),
    ("2001-11-16", 0.002, "both"),
    ("2005-01-24", 0.001, "both"),
    ("2007-05-30", 0.003, "both"),
    ("2008-04-24", 0.001, "both"),
    ("2008-09-19", 0.001, "sell"),
    ("2023-08-28", 0.0005, "sell"),
)

ENTRIES = ("open", "next_close", "close")
LIMIT_RULES = ("price", "sealed")
UNSELLABLE = ("hold", "last_price", "lost")
DELISTING = ("last_price", "haircut", "lost")
WEIGHTS = ("equal", "float_cap")
VALUATIONS = ("last_price", "priced_only")


def _refuse(field, expected, got):
    return ValueError("trading: {}: expected {}, got {!r}".format(field, expected, got))


def _rate(value, field):
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise _refuse(field, "a rate (0.0003 = 3 basis points)", value) from None
    if isinstance(value, bool) or not 0.0 <= x < 0.1:
        raise _refuse(field, "a rate from 0 to 0.1 (0.0003 = 3 basis points)", value)
    return x


@dataclasses.dataclass(frozen=True)
class TradingCosts:
    """Costs of a trade as shares of its value.

    ``commission``: per side (brokerage and exchange fees); ``stamp_duty``:
    "historical" (``STAMP_DUTY``: the rate of the trade's date, sells only
    since 2008-09-19) or one rate charged on sells; ``slippage``: per side,
    the distance from the quoted price a trade of research size moves."""

    commission: float = 0.0003
    stamp_duty: object = "historical"
    slippage: float = 0.0005

    def __post_init__(self):
        object.__setattr__(self, "commission", _rate(self.commission, "costs commission"))
        object.__setattr__(self, "slippage", _rate(self.slippage, "costs slippage"))
        if self.stamp_duty != "historical":
            object.__setattr__(self, "stamp_duty", _rate(self.stamp_duty, "costs stamp_duty"))

    @classmethod
    def none(cls):
        """No costs at all."""
        return cls(0.0, 0.0, 0.0)

    @classmethod
    def parse(cls, text):
        """Costs from text: "none", "default", or comma-separated
        ``key=value`` among commission, stamp (or stamp_duty: a rate or
        "historical") and slippage; keys not given keep their defaults."""
        wanted = str(text).strip().lower()
        if wanted in ("none", "0", "zero"):
            return cls.none()
        if wanted in ("", "default"):
            return cls()
        values = {}
        for part in wanted.split(","):
            key, sep, value = part.partition("=")
            key = {"stamp": "stamp_duty"}.get(key.strip(), key.strip())
            if not sep or key not in ("commission", "stamp_duty", "slippage"):
                raise _refuse(
                    "costs",
                    "none, default or key=value pairs among commission, "
                    "stamp, slippage (e.g. commission=0.0003,stamp=historical)",
                    text,
                )
            value = value.strip()
            values[key] = value
        return cls(**values)

    def rates(self, dates):
        """(buy, sell) cost rates of trades on each of ``dates``."""
        dates = pd.DatetimeIndex(dates)
        base = np.full(len(dates), self.commission + self.slippage)
        buy, sell = base.copy(), base.copy()
        if self.stamp_duty == "historical":
            starts = pd.DatetimeIndex([d for d, _, _ in STAMP_DUTY])
            k = starts.searchsorted(dates, side="right") - 1
            for i, (_, rate, sides) in enumerate(STAMP_DUTY):
                on = k == i
                sell[on] += rate
                if sides == "both":
                    buy[on] += rate
        else:
            sell += self.stamp_duty
        return buy, sell

    def describe(self):
        stamp = (
            "historical (sells; both sides before 2008-09-19)"
            if self.stamp_duty == "historical"
            else "{:g} on sells".format(self.stamp_duty)
        )
        return "commission {:g} per side, stamp duty {}, slippage {:g} per side".format(
            self.commission, stamp, self.slippage
        )


@dataclasses.dataclass(frozen=True)
class TradingRules:
    """The trading model of ``TradedQuantileAnalysis``; see the module
    docstring.  ``TradingRules()`` is the A-share default;
    ``TradingRules.off()`` switches every rule off and trades at T's close
    without costs, valuing as ``QuantileReturnAnalysis`` does (its group
    returns, exactly).

    ``valuation``: "last_price" (a position without a price that day keeps
    its last one) or "priced_only" (it is left out of that day's average
    growth, the convention of ``QuantileReturnAnalysis``; only with every
    tradability rule off)."""

    entry: str = "open"
    price_limits: object = "price"
    suspension: bool = True
    min_listed_days: int = 60
    exclude_st: bool = False
    unsellable: str = "hold"
    delisting: object = "last_price"
    delisting_haircut: float = 0.5
    weights: str = "equal"
    valuation: str = "last_price"
    costs: TradingCosts = TradingCosts()

    def __post_init__(self):
        def one_of(field, allowed, value, none=False):
            if value is None and none:
                return
            if value not in allowed:
                raise _refuse(
                    field,
                    "one of {}{}".format(", ".join(map(repr, allowed)), " or None" if none else ""),
                    value,
                )

        one_of("entry", ENTRIES, self.entry)
        one_of("price_limits", LIMIT_RULES, self.price_limits, none=True)
        one_of("unsellable", UNSELLABLE, self.unsellable)
        one_of("delisting", DELISTING, self.delisting, none=True)
        one_of("weights", WEIGHTS, self.weights)
        one_of("valuation", VALUATIONS, self.valuation)
        for field in ("suspension", "exclude_st"):
            if not isinstance(getattr(self, field), (bool, np.bool_)):
                raise _refuse(field, "True or False", getattr(self, field))
        days = self.min_listed_days
        if isinstance(days, bool) or not isinstance(days, (int, np.integer)) or days < 0:
            raise _refuse("min_listed_days", "a number of trading days (0: no such rule)", days)
        haircut = self.delisting_haircut
        if (
            isinstance(haircut, bool)
            or not isinstance(haircut, (int, float))
            or not 0.0 <= haircut <= 1.0
        ):
            raise _refuse("delisting_haircut", "a share from 0 to 1", haircut)
        if isinstance(self.costs, str):
            object.__setattr__(self, "costs", TradingCosts.parse(self.costs))
        elif self.costs is None:
            object.__setattr__(self, "costs", TradingCosts.none())
        elif not isinstance(self.costs, TradingCosts):
            raise _refuse("costs", "a TradingCosts, text such as 'none' or None", self.costs)
        if self.valuation == "priced_only" and self.blocks_trades():
            raise _refuse(
                "valuation",
                "'last_price' while a tradability rule is on "
                "('priced_only' needs price_limits=None, suspension=False, "
                "min_listed_days=0, exclude_st=False, delisting=None)",
                self.valuation,
            )

    @classmethod
    def a_share(cls, **changes):
        """The A-share default, with ``changes``."""
        return cls(**changes)

    @classmethod
    def off(cls, **changes):
        """Every rule off: trades at T's close, no costs, the valuation of
        ``QuantileReturnAnalysis``; with ``changes``."""
        base = dict(
            entry="close",
            price_limits=None,
            suspension=False,
            min_listed_days=0,
            exclude_st=False,
            delisting=None,
            valuation="priced_only",
            costs=TradingCosts.none(),
        )
        base.update(changes)
        return cls(**base)

    def needs_market(self):
        """Whether the rules read the market beyond the returns."""
        return self.entry == "open" or self.blocks_trades() or self.weights == "float_cap"

    def blocks_trades(self):
        return bool(
            self.price_limits
            or self.suspension
            or self.min_listed_days
            or self.exclude_st
            or self.delisting
        )

    def short(self):
        """The rules in one line (step descriptions, batch records)."""
        c = self.costs
        parts = [
            "entry {}".format(
                {"open": "T+1 open", "next_close": "T+1 close", "close": "T close"}[self.entry]
            ),
            "limits {}".format(self.price_limits or "off"),
            "suspension {}".format("on" if self.suspension else "off"),
            "new listings {} days".format(self.min_listed_days),
            "ST {}".format("excluded" if self.exclude_st else "kept"),
            "unsellable {}".format(self.unsellable),
            "delisting {}".format(
                self.delisting
                if self.delisting != "haircut"
                else "haircut {:g}".format(self.delisting_haircut)
            ),
            "weights {}".format(self.weights),
            "valuation {}".format(self.valuation),
            "costs {:g}/{}/{:g}".format(c.commission, c.stamp_duty, c.slippage),
        ]
        return ", ".join(parts)

    def describe(self):
        """The rules as a table (rule -> setting) for summaries and reports."""
        entry = {
            "open": "T+1 open (the overnight gap is the old positions')",
            "next_close": "T+1 close",
            "close": "T close",
        }[self.entry]
        limits = {
            None: "off",
            "price": "blocked at the limit at the trading moment",
            "sealed": "blocked only when sealed at the limit all day",
        }[self.price_limits]
        delisting = {
            None: "not settled",
            "last_price": "settled at the last price",
            "haircut": "settled at the last price less {:g}".format(self.delisting_haircut),
            "lost": "written off",
        }[self.delisting]
        rows = {
            "entry and exit": entry,
            "price limits (limit-up: no buy, limit-down: no sell)": limits,
            "suspended (no bar or no volume)": "not traded" if self.suspension else "traded",
            "new listings": "not bought in the first {} trading days".format(self.min_listed_days)
            if self.min_listed_days
            else "bought",
            "ST stocks": "not bought" if self.exclude_st else "bought",
            "a position that cannot be sold": {
                "hold": "held until it can be sold",
                "last_price": "sold at its last price",
                "lost": "written off",
            }[self.unsellable],
            "delisting": delisting,
            "weights": {"equal": "equal within a group", "float_cap": "by float market cap"}[
                self.weights
            ],
            "valuation": {
                "last_price": "a position without a price keeps its last one",
                "priced_only": "positions without a price left out of the day's average",
            }[self.valuation],
            "costs": self.costs.describe(),
        }
        out = pd.DataFrame({"setting": pd.Series(rows, dtype=object)})
        out.index.name = "rule"
        return out


def trading_rules(value):
    """``TradingRules`` from what callers pass as ``trading``: None, False or
    "none" (None: no traded analysis), True or "a-share" (the default
    rules), "off" (every rule off), a dict of fields, or ``TradingRules``."""
    if value is None or value is False:
        return None
    if isinstance(value, TradingRules):
        return value
    if value is True:
        return TradingRules()
    if isinstance(value, str):
        key = value.strip().lower().replace("_", "-")
        if key in ("none", ""):
            return None
        if key in ("a-share", "ashare", "default"):
            return TradingRules()
        if key == "off":
            return TradingRules.off()
        raise _refuse("rules", "'a-share', 'off', 'none', a dict or TradingRules", value)
    if isinstance(value, dict):
        return TradingRules(**value)
    raise _refuse("rules", "'a-share', 'off', 'none', a dict or TradingRules", value)


# -- the market ---------------------------------------------------------------------


@dataclasses.dataclass
class MarketPanels:
    """What the rules read, on a factor table's dates (rows) and instruments
    (columns): bar fields, limit prices, ST status and float caps as n x m
    float arrays (None where not read), calendar positions of the dates and
    of each instrument's listing and delisting, and ``notes`` on the rules
    the store could not serve."""

    dates: pd.DatetimeIndex
    ids: list
    open: np.ndarray = None
    high: np.ndarray = None
    low: np.ndarray = None
    close: np.ndarray = None
    volume: np.ndarray = None
    limit_up: np.ndarray = None
    limit_down: np.ndarray = None
    st: np.ndarray = None
    float_cap: np.ndarray = None
    date_pos: np.ndarray = None
    listed_pos: np.ndarray = None
    delisted_pos: np.ndarray = None
    notes: list = dataclasses.field(default_factory=list)
    entry: str = None  # the entry the data allows (None: as asked)

    def covers(self, dates, ids):
        return self.dates.equals(pd.DatetimeIndex(dates)) and list(self.ids) == list(ids)


NOT_DELISTED = np.iinfo(np.int64).max // 4
LONG_AGO = -(10**9)


def _panel(frames, field, dates):
    frame = frames.get(field) if frames else None
    if frame is None:
        return None
    return np.ascontiguousarray(frame.reindex(index=dates).to_numpy(dtype=float, na_value=np.nan))


# the last market read inside a ``mivada.reusing_reads()`` block (a batch:
# every factor of it trades the same instruments on the same dates)
_kept_market = {"key": None, "market": None}


def _market_key(dates, ids, rules):
    from mivada.api import store_token

    needs = (rules.entry, rules.price_limits, rules.suspension, rules.exclude_st, rules.weights)
    return (
        store_token(),
        len(dates),
        dates[0],
        dates[-1],
        hash(tuple(dates.asi8)),
        tuple(ids),
        needs,
    )


def load_market(dates, ids, rules=None):
    """The ``MarketPanels`` of ``rules`` for ``dates`` x ``ids`` from the
    open market-data store.  ValueError when the store has no bar for any
    of the instruments over the dates.  Inside ``mivada.reusing_reads()``
    the last market read is served again for the same store, dates,
    instruments and rules."""
    from mivada.api.kept_reads import _reusing

    rules = TradingRules() if rules is None else rules
    dates = pd.DatetimeIndex(dates)
    ids = list(ids)
    if not _reusing.get():
        return _read_market(dates, ids, rules)
    key = _market_key(dates, ids, rules)
    if _kept_market["key"] != key:
        _kept_market.update(key=None, market=None)  # never two in memory
        _kept_market.update(key=key, market=_read_market(dates, ids, rules))
    return _kept_market["market"]


def _read_market(dates, ids, rules):
    start, end = dates.min(), dates.max()
    sources = mivada.trading_data_sources()
    notes = []
    fields = ["open", "close", "volume"]
    if rules.price_limits == "sealed":
        fields += ["high", "low"]
    bars = mivada.get_price_panel(ids, start, end, fields=tuple(fields))
    close = _panel(bars, "close", dates)
    if close is None or not np.isfinite(close).any():
        raise ValueError(
            "trading: the store has no daily bars for the factor's instruments "
            "from {:%Y-%m-%d} to {:%Y-%m-%d}; the traded analysis needs their "
            "prices".format(start, end)
        )
    market = MarketPanels(
        dates=dates,
        ids=ids,
        close=close,
        open=_panel(bars, "open", dates),
        high=_panel(bars, "high", dates),
        low=_panel(bars, "low", dates),
        volume=_panel(bars, "volume", dates),
        notes=notes,
    )
    if rules.entry == "open" and not sources["open"]:
        market.entry = "next_close"
        notes.append(
            "entry at the open: the store's bars have no opening prices; "
            "trading at T+1's close instead"
        )
    if rules.suspension and not sources["volume"]:
        notes.append(
            "suspension: the store's bars have no volumes; a suspension is a day without a bar"
        )
    if rules.price_limits:
        limits = mivada.get_price_limits(ids, start, end)
        market.limit_up = _panel(limits, "limit_up", dates)
        market.limit_down = _panel(limits, "limit_down", dates)
        if sources["price_limits"] == "derived":
            notes.append(
                "price limits: derived from the previous close, the board ({}) and "
                "ST status{} (the store holds no limit prices)".format(
                    "from board records"
                    if sources["boards"] == "records"
                    else "read from the instrument codes",
                    "" if sources["st"] else ", unknown here",
                )
            )
    if (
        rules.exclude_st or (rules.price_limits and sources["price_limits"] == "derived")
    ) and sources["st"] is None:
        notes.append(
            "ST: the store has no ST records, so no stock counts as ST (the ST rule "
            "and the 5 % limit of ST stocks are not applied)"
        )
    if rules.exclude_st and sources["st"] is not None:
        st = mivada.get_st_status(ids, start, end)
        market.st = _panel({"st": None if st is None else st.astype(float)}, "st", dates)
    if rules.weights == "float_cap":
        names = mivada.get_factor_names()
        name = (
            "float_market_cap"
            if "float_market_cap" in names
            else "market_cap"
            if "market_cap" in names
            else None
        )
        if name is None:
            raise ValueError(
                "trading: weights 'float_cap' need the store's published factor "
                "float_market_cap (or market_cap); it has neither"
            )
        if name == "market_cap":
            notes.append("weights: the store has no float_market_cap; weighting by market_cap")
        got = mivada.get_factor(ids, name, start, end)
        cap = None if got is None else got[name].unstack("order_book_id").reindex(columns=ids)
        market.float_cap = _panel({"cap": cap}, "cap", dates)
    _calendar_positions(market)
    return market


def _calendar_positions(market):
    stocks = mivada.all_instruments("CS").set_index("order_book_id")
    listed = pd.to_datetime(stocks["listed_date"].reindex(market.ids), errors="coerce")
    delisted = stocks["de_listed_date"].reindex(market.ids)
    delisted = pd.to_datetime(delisted.where(delisted != "0000-00-00"), errors="coerce")
    first = min([market.dates.min()] + [d for d in listed if pd.notna(d)])
    cal = mivada.get_trading_dates(first, market.dates.max()).values
    if len(cal) == 0:
        cal = market.dates.values

    def pos(values, missing):
        v = np.asarray(pd.DatetimeIndex(values).values)
        out = np.searchsorted(cal, v, "left").astype(np.int64)
        return np.where(np.isnat(v), missing, np.where(v < cal[0], LONG_AGO, out))

    market.date_pos = np.searchsorted(cal, market.dates.values, "left").astype(np.int64)
    market.listed_pos = pos(listed, LONG_AGO)
    market.delisted_pos = pos(delisted, NOT_DELISTED)  # after the calendar: beyond every date


# -- the analyser ---------------------------------------------------------------------


def _periods_in(periods, n_rows):
    """The periods shorter than the factor table, with the quantile
    analyser's warning and error for the others."""
    periods = list(_kernels.holding_periods(periods))
    dropped = [p for p in periods if p >= n_rows]
    if dropped:
        periods = [p for p in periods if p < n_rows]
        if not periods:
            raise ValueError("Invalid periods, must be less than {}".format(n_rows))
        warnings.warn("Invalid periods found: {}, will ignore.".format(dropped))
    return periods


def _threads(threads):
    """The thread count: as given, else one inside a Dask worker (its
    cluster shares the cores out already) and one per core (0) outside."""
    if threads is not None:
        return threads
    distributed = sys.modules.get("distributed")
    if distributed is not None:
        try:
            distributed.get_worker()
            return 1
        except (ValueError, AttributeError):
            pass
    return 0


def _values(table, name):
    """A table's values as floats, NaN where missing (no copy for a frame
    of float64 columns); TypeError naming the table for other values."""
    if all(d == np.float64 for d in table.dtypes):
        return table.to_numpy()
    try:
        return table.to_numpy(dtype=float, na_value=np.nan)
    except (TypeError, ValueError):
        bad = [str(c) for c, d in table.dtypes.items() if not pd.api.types.is_numeric_dtype(d)]
        raise TypeError(
            "{}: expected numbers, got non-numeric values in column(s) {}".format(
                name, ", ".join(bad[:5])
            )
        ) from None


def _in_date_order(table, name):
    if not isinstance(table.index, pd.DatetimeIndex):
        raise TypeError(
            "{}: expected a DatetimeIndex of dates, got {}".format(name, type(table.index).__name__)
        )
    if table.index.tz is not None:
        table = table.set_axis(table.index.tz_localize(None), axis=0)
    if not table.index.is_unique:
        raise ValueError("{}: the dates repeat; each date must appear once".format(name))
    if not table.columns.is_unique:
        raise ValueError(
            "{}: the columns have duplicate labels; each instrument must appear once".format(name)
        )
    if not table.index.is_monotonic_increasing:
        table = table.sort_index(kind="stable")
    return table


class TradedQuantileAnalysis(ab.FactorAnalyser):
    """因子分组交易收益分析

    Factor groups traded under A-share rules: see ``tarnfold.analysis.traded``.

    quantile: number of groups (as QuantileReturnAnalysis).
    benchmark: order_book_id of an index; q1 net of costs is compared with
        it (long-only against the benchmark).
    rules: ``TradingRules`` (default: the A-share rules), or what
        ``trading_rules`` reads ("a-share", "off", a dict).
    market: ``MarketPanels`` prepared with ``load_market`` for the factor's
        dates and instruments (default: read from the store on each call).
    threads: threads sharing the staggered schedules (default: one per core,
        one inside a Dask worker); the numbers are the same for any count.
    """

    def __init__(self, quantile=5, benchmark=None, rules=None, market=None, threads=None):
        self.quantile = quantile
        self.threads = threads
        self.rules = TradingRules() if rules is None else trading_rules(rules)
        if self.rules is None:
            raise _refuse("rules", "trading rules, not None", rules)
        self.market = market
        self.benchmark = None
        if benchmark is not None:
            inst = mivada.instruments(benchmark)
            if inst is None or inst.type != "INDX":
                warnings.warn("Invalid benchmark: {} is not INDX order_book_id.".format(benchmark))
            else:
                self.benchmark = benchmark

    def _load_benchmark_series(self, index):
        # the quantile analyser's loader: the same series beside its groups
        return ab.QuantileReturnAnalysis._load_benchmark_series(self, index)

    def analysis(self, factor_data, returns, periods, ascending=True):
        """Returns a ``TradedQuantileAnalysisResult``."""
        factor = _in_date_order(factor_data, "factor_data")
        returns = _in_date_order(returns, "returns")
        periods = _periods_in(periods, len(factor))
        rules = self.rules
        ids = list(factor.columns)
        market = self.market
        if market is not None and not market.covers(factor.index, ids):
            raise ValueError(
                "market: prepared for other dates or instruments than "
                "factor_data; load it with load_market(factor_data.index, "
                "factor_data.columns, rules)"
            )
        if market is None and rules.needs_market():
            market = load_market(factor.index, ids, rules)
        if market is None:  # the returns alone serve these rules
            market = MarketPanels(dates=factor.index, ids=ids)
        for note in market.notes:
            warnings.warn("trading: " + note)
        entry = market.entry or rules.entry
        blocks = None
        if rules.blocks_trades():
            blocks = _kernels.trade_blocks(
                market.open,
                market.high,
                market.low,
                market.close,
                market.volume,
                market.limit_up,
                market.limit_down,
                market.st,
                market.date_pos,
                market.listed_pos,
                market.delisted_pos,
                entry == "open",
                rules.price_limits or "off",
                rules.suspension,
                int(rules.min_listed_days),
                rules.exclude_st,
                rules.delisting is not None,
                0.005,
            )
        weights = None
        if rules.weights == "float_cap":
            # the cap known with the signal: the row before the groups' row
            weights = np.vstack([np.full((1, len(ids)), np.nan), market.float_cap[:-1]])
        buy, sell = rules.costs.rates(factor.index)
        haircut = {None: 0.0, "last_price": 0.0, "haircut": rules.delisting_haircut, "lost": 1.0}[
            rules.delisting
        ]
        out = _kernels.traded_groups(
            _values(factor, "factor_data"),
            _values(returns, "returns"),
            returns.index.get_indexer(factor.index).astype(np.int64),
            returns.columns.get_indexer(factor.columns).astype(np.int64),
            market.open if entry == "open" else None,
            market.close if entry == "open" else None,
            blocks,
            weights,
            buy,
            sell,
            periods,
            self.quantile,
            bool(ascending),
            entry,
            rules.valuation,
            rules.unsellable,
            rules.delisting is not None,
            haircut,
            _threads(self.threads),
        )
        return self._result(factor.index, periods, out, market, entry)

    def _result(self, index, periods, out, market, entry):
        q = int(self.quantile)
        tags = ["q{}".format(g) for g in range(1, q + 1)]
        names = ["P_{}".format(p) for p in periods]
        dates = pd.DatetimeIndex(index, name="datetime")
        rows = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
        n = len(dates)
        daily = {}
        for k, name in enumerate(names):
            daily["gross " + name] = out["gross"][k].reshape(q * n)
            daily["net " + name] = out["net"][k].reshape(q * n)
        daily_returns = pd.DataFrame(daily, index=rows)
        turnover = pd.DataFrame(
            {name: out["turnover"][k].reshape(q * n) for k, name in enumerate(names)}, index=rows
        )
        counts = out["counts"].reshape(len(names) * q * n, len(COUNTS))
        untradable = pd.DataFrame(
            counts,
            columns=list(COUNTS),
            index=pd.MultiIndex.from_product(
                [names, tags, dates], names=["period", "tag", "datetime"]
            ),
        )
        rules = dataclasses.replace(self.rules, entry=entry).describe()
        if entry != self.rules.entry:
            rules.loc["entry and exit", "setting"] += " (asked: {})".format(self.rules.entry)
        if market.notes:
            rules = pd.concat(
                [
                    rules,
                    pd.DataFrame(
                        {"setting": ["not applied: " + note for note in market.notes]},
                        index=pd.Index(
                            ["note {}".format(k + 1) for k in range(len(market.notes))], name="rule"
                        ),
                    ),
                ]
            )
        return TradedQuantileAnalysisResult(
            daily_returns=daily_returns,
            traded_turnover=turnover,
            untradable=untradable,
            benchmark_return=self._load_benchmark_series(dates),
            rules=rules,
            name=self.step_name,
        )
