"""execute_factor end to end on the tiny sample store."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest

import mivada
from tarnfold.cross_sectional import rank, zscore
from tarnfold.engine_v2 import eval_core
from tarnfold.engine_v2.exec_context import PRICING_FACTORS, ThreadingExecContext, get_universe_mask
from tarnfold.fix import fix
from tarnfold.leaf import CLOSE, HIGH, LOW, VALUE_SCORE, VOLUME, Factor
from tarnfold.operators import delay, delta, ema, ts_mean, ts_std

INDEX = "000300.XSHG"


@pytest.fixture
def span(store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -40)
    return ids, start, end


def _all_history():
    """The store's first day: references computed on everything before the
    requested range, so that no look-back is cut short."""
    return mivada.current_store().data_start


def _panels(ids, start, end, fields=("close", "volume", "high", "low")):
    got = mivada.get_price_panel(ids, start, end, fields=list(fields))
    valid = got["close"].notna() & (got["volume"] != 0)
    return got, valid


def _per_valid_day(panel, valid, func):
    """func applied to each instrument's valid-day series, back on the
    date grid."""
    out = pd.DataFrame(np.nan, index=panel.index, columns=panel.columns)
    for oid in panel.columns:
        s = panel[oid][valid[oid]]
        out.loc[s.index, oid] = func(s)
    return out


def test_operators_over_valid_days_match_pandas_with_the_lookback(span):
    ids, start, end = span
    factor = (ts_mean(CLOSE, 10) - delay(CLOSE, 3)) / ts_std(
        CLOSE / delay(CLOSE, 1) - 1, 5
    ) + delta(HIGH - LOW, 2)
    assert factor.shift == 9
    got = eval_core.execute_factor(factor, ids, start, end)
    leaf_start = mivada.trading_date_offset(start, -factor.shift)
    panels, valid = _panels(ids, _all_history(), end)
    spread = _per_valid_day(panels["high"] - panels["low"], valid, lambda s: s - s.shift(2))
    want = (
        _per_valid_day(panels["close"], valid, lambda s: s.rolling(10).mean() - s.shift(3))
        / _per_valid_day(panels["close"], valid, lambda s: (s / s.shift(1) - 1).rolling(5).std())
        + spread
    ).loc[start:end]
    assert list(got.columns) == ids and got.index.equals(want.index)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-12)
    assert np.array_equal(got.isna().to_numpy(), want.isna().to_numpy())
    # the look-back was loaded: an instrument trading every day of the
    # loaded range has a value on the first requested day, and so has one
    # suspended inside its look-back
    full = valid.loc[leaf_start:end].all()
    assert full.any() and got.iloc[0][full[full].index].notna().all()
    suspended = (
        (valid.loc[leaf_start:start].sum() <= factor.shift)
        & (valid.loc[:start].sum() > 20)
        & valid.loc[start]
    )
    assert suspended.any() and got.iloc[0][suspended[suspended].index].notna().all()


def test_cross_sectional_rank_and_zscore(span):
    ids, start, end = span
    ret = CLOSE / delay(CLOSE, 1) - 1
    got = eval_core.execute_factor(rank(ret) + 10 * zscore(VOLUME), ids, start, end)
    panels, valid = _panels(ids, _all_history(), end)
    r = _per_valid_day(panels["close"], valid, lambda s: s / s.shift(1) - 1)
    v = panels["volume"].where(valid)
    z = v.sub(v.mean(axis=1), axis=0).div(v.std(axis=1), axis=0)
    want = (r.rank(axis=1, pct=True) + 10 * z).loc[start:end]
    pd.testing.assert_frame_equal(
        got, want, check_names=False, check_freq=False, check_column_type=False, rtol=1e-10
    )


def test_fixed_index_factor_combines_with_stocks(span):
    ids, start, end = span
    ret = CLOSE / delay(CLOSE, 1) - 1
    excess = ret - fix(ret, INDEX)
    got = eval_core.execute_factor(excess, ids[:10], start, end)
    panels, valid = _panels(ids[:10] + [INDEX], _all_history(), end)
    r = _per_valid_day(panels["close"], valid, lambda s: s / s.shift(1) - 1)
    want = r[ids[:10]].sub(r[INDEX], axis=0).loc[start:end]
    pd.testing.assert_frame_equal(
        got, want, check_names=False, check_freq=False, check_column_type=False, rtol=1e-10
    )
    assert INDEX not in got.columns


def test_fixed_factor_reading_a_cross_section(span):
    # the pinned factor's own cross-sectional parts are computed over the
    # requested instruments and read for the pinned one
    ids, start, end = span
    ids = ids[:12]
    leader = ids[3]
    got = eval_core.execute_factor(CLOSE - fix(rank(CLOSE) * 2, leader), ids, start, end)
    close = eval_core.execute_factor(CLOSE, ids, start, end)
    ranks = close.rank(axis=1, pct=True)
    want = close.sub(ranks[leader] * 2, axis=0)
    pd.testing.assert_frame_equal(got, want, check_freq=False, check_column_type=False, rtol=1e-12)
    with pytest.raises(ValueError, match="add '000300.XSHG' to order_book_ids"):
        eval_core.execute_factor(CLOSE - fix(rank(CLOSE) + 1, INDEX), ids, start, end)


def test_universe_by_index_and_by_list(span):
    ids, start, end = span
    members = mivada.index_components(INDEX, start_date=start, end_date=end)
    by_index = eval_core.execute_factor(CLOSE, ids, start, end, universe=INDEX)
    plain = eval_core.execute_factor(CLOSE, ids, start, end)
    inside = pd.DataFrame(
        {oid: [oid in members[d] for d in plain.index] for oid in ids}, index=plain.index
    )
    pd.testing.assert_frame_equal(by_index, plain.where(inside), check_freq=False)
    assert inside.any().any() and not inside.all().all()

    keep = ids[::3]
    by_list = eval_core.execute_factor(rank(CLOSE), ids, start, end, universe=keep)
    # the ranks are taken within the universe, the other columns are NaN
    want = plain[keep].rank(axis=1, pct=True).reindex(columns=ids)
    pd.testing.assert_frame_equal(by_list, want, check_freq=False, check_column_type=False)
    mask = get_universe_mask(ids, start, end, keep)
    assert mask.dtypes.eq(bool).all() and mask[keep].all().all()
    assert get_universe_mask(ids, start, end, None) is None
    with pytest.raises(ValueError, match="universe: 'XXX' is not an index code"):
        get_universe_mask(ids, start, end, "XXX")


def test_pricing_factor_comes_straight_from_the_store(span, monkeypatch):
    ids, start, end = span
    assert VALUE_SCORE in PRICING_FACTORS and CLOSE not in PRICING_FACTORS
    monkeypatch.setattr(
        eval_core, "ensure_end_date", lambda d: pytest.fail("no end-date clamping on this path")
    )
    got = eval_core.execute_factor(VALUE_SCORE, ids, start, end)
    want = (
        mivada.get_factor(ids, "value_score", start, end)["value_score"]
        .unstack("order_book_id")
        .reindex(columns=ids)
    )
    pd.testing.assert_frame_equal(got, want)
    masked = eval_core.execute_factor(VALUE_SCORE, ids, start, end, universe=INDEX)
    assert masked.notna().sum().sum() < got.notna().sum().sum()
    # inside a tree the published factor is an ordinary leaf
    monkeypatch.undo()
    tree = eval_core.execute_factor(VALUE_SCORE * 1, ids, start, end)
    assert np.allclose(tree.to_numpy(), got.where(tree.notna()).to_numpy(), equal_nan=True)


def _fake_mivada(latest, volume_available, calls):
    def get_price(oid, s, e, fields=None):
        calls.append(("get_price", oid, s, e, fields))
        return pd.DataFrame({"volume": [1.0]}) if volume_available else None

    return types.SimpleNamespace(
        get_latest_trading_date=lambda: latest,
        all_instruments=lambda t, date=None: pd.DataFrame(
            {"order_book_id": ["000001.XSHE", "000002.XSHE"]}
        ),
        get_price=get_price,
        get_previous_trading_date=lambda d: pd.Timestamp("2024-03-07"),
    )


def test_end_date_clamping_with_both_warnings(monkeypatch):
    latest = pd.Timestamp("2024-03-08")
    calls = []
    monkeypatch.setattr(eval_core, "mivada", _fake_mivada(latest, True, calls))
    early = pd.Timestamp("2024-03-01")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert eval_core.ensure_end_date(early) is early
        assert calls == []
        assert eval_core.ensure_end_date(latest) == latest
    with pytest.warns(UserWarning) as rec:
        assert eval_core.ensure_end_date(pd.Timestamp("2024-03-20")) == latest
    assert [str(w.message) for w in rec] == [
        "volumes after 2024-03-08 00:00:00 is not available currently! "
        "fallback to date: 2024-03-08 00:00:00!"
    ]
    assert calls[-1] == ("get_price", "000001.XSHE", latest, latest, "volume")

    monkeypatch.setattr(eval_core, "mivada", _fake_mivada(latest, False, calls))
    for end in (latest, pd.Timestamp("2024-04-01")):
        with pytest.warns(UserWarning) as rec:
            assert eval_core.ensure_end_date(end) == pd.Timestamp("2024-03-07")
        assert [str(w.message) for w in rec] == [
            "volumes at 2024-03-08 00:00:00 is not available currently! "
            "fallback to date: 2024-03-07 00:00:00!"
        ]


def test_end_date_check_asks_the_store_once_per_store(span, monkeypatch):
    latest = mivada.get_latest_trading_date()
    calls = []
    own = mivada.get_price

    def spy(*args, **kwargs):
        calls.append(args)
        return own(*args, **kwargs)

    monkeypatch.setattr(mivada, "get_price", spy)
    token = [object()]
    monkeypatch.setattr(mivada.api, "store_token", lambda: token[0])
    for _ in range(3):
        assert eval_core.ensure_end_date(latest) == latest
    assert len(calls) == 1
    token[0] = object()  # another store: asked again
    with pytest.warns(UserWarning, match="volumes after"):
        assert eval_core.ensure_end_date(latest + pd.Timedelta(days=30)) == latest
    assert len(calls) == 2


def test_lookback_widening_and_a_substituted_context(span, monkeypatch):
    ids, start, end = span
    offsets = []
    own_offset = mivada.trading_date_offset

    def spy(date, n):
        offsets.append(n)
        return own_offset(date, n)

    fake = types.SimpleNamespace(
        **{k: getattr(mivada, k) for k in dir(mivada) if not k.startswith("_")}
    )
    fake.trading_date_offset = spy
    monkeypatch.setattr(eval_core, "mivada", fake)
    built = []

    class Generic(ThreadingExecContext):
        """Overrides the serving methods, so the engine's generic loop runs."""

        def __init__(self, *args, **kwargs):
            built.append((args[2], args[3], kwargs))
            super().__init__(*args, **kwargs)

        def get_factor_value(self, expr, order_book_id):
            return super().get_factor_value(expr, order_book_id)

    factor = ema(CLOSE, 5) / ts_mean(VOLUME, 3)
    generic = eval_core.execute_factor(factor, ids, start, end, exec_context_class=Generic)
    assert offsets == [-(4 + 126)]
    assert built[0][0] == own_offset(start, -130) and built[0][2] == {"universe": None}
    packed = eval_core.execute_factor(factor, ids, start, end)
    pd.testing.assert_frame_equal(generic, packed)
    offsets.clear()
    eval_core.execute_factor(CLOSE, ids, start, end)
    assert offsets == []  # shift 0: no extra history


@pytest.mark.parametrize(
    "call, error, text",
    [
        (
            lambda ids, s, e: eval_core.execute_factor(Factor("clsoe"), ids, s, e),
            ValueError,
            "factor 'clsoe': unknown field",
        ),
        (
            lambda ids, s, e: eval_core.execute_factor(CLOSE, ids + ["999999.XSHE"], s, e),
            ValueError,
            "order_book_ids: unknown instrument '999999.XSHE'",
        ),
        (
            lambda ids, s, e: eval_core.execute_factor(CLOSE, ids, e, s),
            ValueError,
            "start_date: .* is after end_date",
        ),
        (
            lambda ids, s, e: eval_core.execute_factor(ts_mean(CLOSE, 5000), ids, s, e),
            ValueError,
            r"factor .*look-back of 4999 trading days .* outside the trading calendar",
        ),
        (
            lambda ids, s, e: eval_core.execute_factor(ts_mean(CLOSE, 125), ids, s, e),
            ValueError,
            r"needs more than 124 valid days of history, but no instrument",
        ),
        (
            lambda ids, s, e: eval_core.execute_factor(fix(CLOSE, "NOPE"), ids, s, e),
            ValueError,
            "unknown instrument 'NOPE'",
        ),
        (
            lambda ids, s, e: eval_core.execute_factor(CLOSE, "000001.XSHE", s, e),
            TypeError,
            "order_book_ids: expected a list",
        ),
    ],
)
def test_bad_input_names_the_culprit(span, call, error, text):
    ids, start, end = span
    with pytest.raises(error, match=text):
        call(ids, start, end)


def test_an_instrument_without_enough_history_is_all_nan(span):
    ids, start, end = span
    got = eval_core.execute_factor(ts_mean(CLOSE, 60), ids, start, end)
    ctx = ThreadingExecContext([CLOSE], ids, mivada.trading_date_offset(start, -59), end)
    short = [oid for oid in ids if ctx.get_mask_for(oid).sum() <= 59]
    assert short and got[short].isna().all().all()
    assert got.drop(columns=short).notna().any().all()


def test_industry_neutral_operators_on_the_store(span):
    from mivada import client
    from tarnfold.cross_sectional import group_demean, group_rank

    ids, start, end = span
    got = eval_core.execute_factor(group_demean(CLOSE) + 10 * group_rank(VOLUME), ids, start, end)
    # labels straight from the records: the latest record starting on or
    # before each date
    records = client.get_client().execute("__internal__zx2019_industry")
    by_id = {}
    for name, oid, first in sorted(records, key=lambda r: (r[1], r[2])):
        by_id.setdefault(oid, []).append((pd.Timestamp(first), name))
    labels = pd.DataFrame(
        {
            oid: [
                next((n for s, n in reversed(by_id.get(oid, [])) if s <= d), None)
                for d in got.index
            ]
            for oid in ids
        },
        index=got.index,
    )
    panels, valid = _panels(ids, start, end)
    close, volume = panels["close"].where(valid), panels["volume"].where(valid)
    long = pd.DataFrame({"c": close.stack(), "v": volume.stack(), "g": labels.stack()}).dropna()
    by = long.groupby([long.index.get_level_values(0), long["g"]])
    want = (
        (long["c"] - by["c"].transform("mean") + 10 * by["v"].rank(pct=True))
        .unstack()
        .reindex(index=got.index, columns=ids)
    )
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-10)
    assert got.notna().sum().sum() > 0.5 * valid.sum().sum()
    with pytest.raises(ValueError, match="group_rank: source must be one of"):
        group_rank(CLOSE, source="gics")


def _random_tree(rng, depth):
    """A random tree of windows, arithmetic and cross-sectional operators
    (no exponential average: its value depends on its seed)."""
    from tarnfold import operators as op
    from tarnfold.cross_sectional import demean, group_rank

    if depth == 0 or rng.random() < 0.2:
        return [CLOSE, HIGH, LOW, VOLUME][rng.integers(4)]
    kind = rng.choice(["window", "window", "pair", "arith", "cross"])
    x = _random_tree(rng, depth - 1)
    d = int(rng.integers(1, 9))
    if kind == "window":
        name = rng.choice(
            [
                "ts_mean",
                "ts_sum",
                "ts_std",
                "ts_min",
                "ts_max",
                "ts_rank",
                "decay_linear",
                "ts_argmax",
                "delay",
                "delta",
            ]
        )
        return getattr(op, name)(x, d)
    if kind == "pair":
        f = op.correlation if rng.random() < 0.5 else op.covariance
        return f(x, _random_tree(rng, depth - 1), max(d, 2))
    if kind == "arith":
        y = _random_tree(rng, depth - 1) if rng.random() < 0.6 else float(rng.normal())
        return [x + y, x - y, x * y, x / y, abs(x)][rng.integers(5)]
    return [rank, zscore, demean, lambda f: group_rank(f, "sws")][rng.integers(4)](x)


@pytest.mark.parametrize("seed", range(12))
def test_a_dates_value_does_not_depend_on_the_requested_range(store, seed):
    # The tiny store has suspended stocks: their look-back is counted in
    # their own valid days, so the first requested day has the value it has
    # inside any longer range, for each instrument and each cross-section.
    rng = np.random.default_rng(seed)
    factor = _random_tree(rng, 4)
    while factor.shift < 3:
        factor = ts_mean(factor, 5) if rng.random() < 0.5 else rank(ts_std(factor, 4))
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    day = mivada.trading_date_offset(end, -int(rng.integers(5, 40)))
    last = mivada.trading_date_offset(day, int(rng.integers(0, 4)))
    short = eval_core.execute_factor(factor, ids, day, last)
    longer = eval_core.execute_factor(factor, ids, mivada.trading_date_offset(day, -25), last)
    inside = longer.loc[day:last]
    assert short.notna().any().any(), repr(factor)
    assert np.array_equal(short.isna().to_numpy(), inside.isna().to_numpy()), repr(factor)
    np.testing.assert_allclose(
        short.to_numpy(), inside.to_numpy(), rtol=1e-9, atol=1e-12, err_msg=repr(factor)
    )


def test_exponential_averages_get_their_warm_up_even_as_the_whole_factor(span):
    from tarnfold.operators import dma

    ids, start, end = span
    factor = dma(CLOSE, 0.05)
    assert factor.shift == 0
    built = []

    class Spy(ThreadingExecContext):
        def __init__(self, *args, **kwargs):
            built.append(args[2])
            super().__init__(*args, **kwargs)

    got = eval_core.execute_factor(factor, ids, start, end, exec_context_class=Spy)
    assert built[0] <= mivada.trading_date_offset(start, -126)
    earlier = eval_core.execute_factor(factor, ids, mivada.trading_date_offset(start, -60), end)
    pd.testing.assert_frame_equal(got, earlier.loc[start:], check_freq=False)


def test_dates_are_read_as_days(span):
    ids, start, end = span
    want = eval_core.execute_factor(CLOSE, ids, start, end)
    as_int = int(start.strftime("%Y%m%d")), int(end.strftime("%Y%m%d"))
    pd.testing.assert_frame_equal(eval_core.execute_factor(CLOSE, ids, *as_int), want)
    # a time of day does not drop the day; a zone-aware time is its wall date
    late = start + pd.Timedelta(hours=15)
    pd.testing.assert_frame_equal(eval_core.execute_factor(CLOSE, ids, late, end), want)
    zoned = pd.Timestamp(start.date(), tz="Asia/Shanghai") + pd.Timedelta(hours=9)
    pd.testing.assert_frame_equal(
        eval_core.execute_factor(CLOSE, ids, zoned, end.tz_localize("UTC")), want
    )
    with pytest.raises(ValueError, match="start_date: expected a date"):
        eval_core.execute_factor(CLOSE, ids, "soon", end)


def test_plausible_mistakes_get_clear_errors(span):
    from tarnfold.fix import PinnedInstrumentError

    ids, start, end = span
    with pytest.raises(
        TypeError,
        match=r"factor: expected a factor tree.*got 'close' \(str\); "
        r"a stored field or factor is tarnfold.leaf.Factor",
    ):
        eval_core.execute_factor("close", ids, start, end)
    # a cross-sectional factor is computed over the requested instruments
    with pytest.raises(
        PinnedInstrumentError,
        match=r"order_book_ids: expected '{}' among them, "
        r"got a list without it.*add '{}' to "
        r"order_book_ids".format(ids[0], ids[0]),
    ):
        eval_core.execute_factor(CLOSE - fix(rank(CLOSE), ids[0]), ids[1:], start, end)
    with pytest.raises(KeyError) as err:
        eval_core.execute_factor(fix(rank(CLOSE), INDEX), ids, start, end)
    assert isinstance(err.value, ValueError)
    # a fixed factor of a fixed factor: the first pin's values read on the
    # second one's valid days
    got = eval_core.execute_factor(fix(fix(CLOSE, ids[0]), INDEX), ids[:5], start, end)
    close = eval_core.execute_factor(CLOSE, [ids[0], INDEX], start, end)
    want = close[ids[0]].where(close[INDEX].notna())
    for oid in ids[:5]:
        pd.testing.assert_series_equal(got[oid], want, check_names=False, check_freq=False)


def test_a_window_over_a_cross_section_reaches_back_through_every_instrument(monkeypatch):
    # ts_mean(rank(ts_mean(close, 5)), 10) on day 35: A, suspended on days
    # 24-33, needs ranks back to day 16; ranks on day 16 need B's 5-day
    # mean there, and B was suspended on days 8-15, so loading starts on
    # day 4 (counting 13 valid days back from day 35 would stop at day 12).
    from tarnfold.engine_v2 import exec_context

    days = pd.bdate_range("2024-01-01", periods=40)
    valid = pd.DataFrame(True, index=days, columns=["A", "B", "C"])
    valid.iloc[24:34, 0] = False
    valid.iloc[8:16, 1] = False

    def offset(date, n):
        at = days.get_loc(pd.Timestamp(date)) + n
        if not 0 <= at < len(days):
            raise ValueError("outside the calendar")
        return days[at]

    fake = types.SimpleNamespace(
        get_trading_dates=lambda lo, hi: days[(days >= lo) & (days <= hi)],
        get_price_panel=lambda ids, lo, hi, fields: {
            f: valid.loc[lo:hi, ids].astype(float).where(valid.loc[lo:hi, ids]) for f in fields
        },
        current_store=lambda: types.SimpleNamespace(data_start=days[0]),
        instruments=lambda ids: [
            types.SimpleNamespace(order_book_id=i, listed_date="2000-01-04") for i in ids
        ],
        trading_date_offset=offset,
    )
    monkeypatch.setattr(exec_context, "mivada", fake)
    factor = ts_mean(rank(ts_mean(CLOSE, 5)), 10)
    start = days[35]
    got = exec_context.lookback_start(
        factor, ["A", "B", "C"], [], start, offset(start, -factor.shift)
    )
    assert got == days[4]
    # without suspensions the look-back in trading days is all it takes
    valid[:] = True
    assert (
        exec_context.lookback_start(factor, ["A", "B", "C"], [], start, offset(start, -13))
        == days[22]
    )
