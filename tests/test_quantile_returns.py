"""QuantileReturnAnalysis: the group labels, the drift of buy-and-hold group
returns, turnover, agreement with the plain pandas formulation, the
benchmark through a substituted market-data client, and the documented
warnings and errors."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest

import tarnfold.analysis.assay_bench as ab

import quantile_pandas_reference as ref

Q = ab.QuantileReturnAnalysis


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def frame(rows, dates=None, ids=None):
    rows = np.asarray(rows, dtype=float)
    dates = pd.bdate_range("2023-01-02", periods=len(rows)) if dates is None else dates
    ids = ["%06d.XSHE" % k for k in range(rows.shape[1])] if ids is None else ids
    return pd.DataFrame(rows, index=dates, columns=ids)


def labels_of(detail):
    return detail.astype(object).where(detail.notna(), None).values.tolist()


def test_labels_follow_the_breakpoint_rule():
    # Row t of the factor holds t + 1 increasing values (later columns NaN);
    # its labels show on the next date.
    k_max = 40
    rows = np.full((k_max + 1, k_max), np.nan)
    for t in range(k_max):
        rows[t, : t + 1] = np.arange(t + 1) * 0.5 - 3
    factor = frame(rows)
    returns = frame(np.zeros(rows.shape))
    table5 = {
        1: "1",
        2: "15",
        3: "135",
        4: "1245",
        5: "12345",
        6: "112345",
        7: "1123455",
        10: "1122334455",
        11: "11122334455",
        12: "111223344555",
    }
    for q in range(1, 13):
        detail = Q(quantile=q).analysis(factor, returns, [1]).quantile_detail
        assert detail.iloc[0].isna().all()
        tags = np.array(["q%d" % i for i in range(1, q + 1)])
        for k in range(1, k_max + 1):
            ranks = np.arange(1.0, k + 1)
            expected = list(ref.my_quantile(ranks, q=q, labels=tags))
            assert list(detail.iloc[k, :k]) == expected, (q, k)
            assert detail.iloc[k, k:].isna().all()
            if q == 5 and k in table5:
                assert "".join(s[1:] for s in expected) == table5[k]


def test_ranking_direction_and_ties_in_column_order():
    factor = frame([[3.0, 1.0, 2.0, 1.0, np.nan, 5.0], [0.0] * 6])
    returns = frame(np.zeros((2, 6)))
    up = Q(quantile=5).analysis(factor, returns, [1], ascending=True).quantile_detail
    down = Q(quantile=5).analysis(factor, returns, [1], ascending=False).quantile_detail
    # ranks ascending: 1.0 (col 1) < 1.0 (col 3) < 2.0 < 3.0 < 5.0
    assert labels_of(up)[1] == ["q4", "q1", "q3", "q2", None, "q5"]
    assert labels_of(down)[1] == ["q2", "q4", "q3", "q5", None, "q1"]


def test_buy_and_hold_drift_within_a_window():
    # One group (quantile=1) of A and B, period 3.  Schedule lv1 holds rows
    # 1-3: growth means 1, 1.5, 2 -> returns 0, 0.5, 1/3 (weights drift).
    # lv2 holds rows 2-3 (means 1.5, 2 -> 0.5, 1/3); lv3 row 3 (1.5 -> 0.5).
    factor = frame([[1, 2], [1, 2], [1, 2], [1, 2]])
    returns = frame([[0.0, 0.0], [0.0, 0.0], [0.0, 1.0], [1.0, 0.0]])
    res = Q(quantile=1).analysis(factor, returns, [3])
    daily = [0.0, 0.0, (0.5 + 0.5) / 2, (1 / 3 + 1 / 3 + 0.5) / 3]
    np.testing.assert_allclose(
        res.quantile_returns["P_3"].values, np.cumprod(np.add(daily, 1)) - 1, rtol=1e-14
    )
    np.testing.assert_allclose(res.top_minus_bottom_returns["P_3"].values, 0.0)
    # period 1: the equal-weighted mean of the day's returns, a missing one left out
    returns.iloc[3, 1] = np.nan
    res = Q(quantile=1).analysis(factor, returns, [1])
    np.testing.assert_allclose(res.quantile_returns["P_1"].values, [0, 0, 0.5, 2.0])


def test_turnover_counts_only_instruments_that_joined():
    ids = list("ABCDEFG")
    nan = np.nan
    members = [set("ABCD"), set("ABEF"), set("ABE"), set(), set("ABEG")]
    rows = [[1.0 if oid in m else nan for oid in ids] for m in members] + [[nan] * 7]
    factor = frame(rows, ids=ids)
    returns = frame(np.zeros((6, 7)), ids=ids)
    res = Q(quantile=1).analysis(factor, returns, [1])
    turnover = res.quantile_turnover["P_1"]
    assert list(turnover.index.get_level_values("tag").unique()) == ["q1"]
    # swap 2 of 4: 0.5; shrink: 0; no members: NaN; grow 3 -> 4 by one: 0.25
    np.testing.assert_array_equal(turnover.values, [nan, 0.0, 0.5, 0.0, nan, 0.25])
    # an empty date adds nothing to the cumulative return
    assert (res.quantile_returns["P_1"] == 0).all()


def random_tables(seed, n=40, m=16, extra=True):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=n + 8)
    ids = ["%06d.XSHE" % k for k in range(m + 3)]
    returns = pd.DataFrame(rng.normal(0.001, 0.03, (n + 8, m + 3)), index=dates, columns=ids)
    returns = returns.mask(rng.random(returns.shape) < 0.1)  # missing returns
    factor = pd.DataFrame(rng.normal(size=(n, m)), index=dates[3 : n + 3], columns=ids[2 : m + 2])
    factor.iloc[:, :3] = np.round(factor.iloc[:, :3])  # ties
    factor = factor.mask(rng.random(factor.shape) < 0.15)
    if n > 22:
        factor.iloc[[4, 9, 10, 11]] = np.nan  # all-NaN rows: empty windows
        factor.iloc[15, 3:] = np.nan  # 3 values: groups q2, q4 empty
        factor.iloc[22, :-1] = np.nan  # one value
    returns = returns.drop(index=dates[[8, 20]] if n > 22 else dates[[5]])  # factor dates missing
    if not extra:
        returns = returns.reindex(
            index=returns.index.intersection(factor.index),
            columns=factor.columns.intersection(returns.columns),
        )
    return factor, returns


def assert_close(mine, theirs):
    pd.testing.assert_frame_equal(
        mine,
        theirs,
        check_freq=False,
        check_index_type=False,
        check_column_type=False,
        rtol=1e-10,
        atol=1e-13,
    )


@pytest.mark.parametrize("seed,quantile,ascending", [(1, 5, False), (2, 3, True), (3, 7, False)])
def test_matches_the_pandas_formulation(seed, quantile, ascending):
    factor, returns = random_tables(seed)
    # windows of 5 and 9 dates: dates summed side by side, and the rest
    periods = (1, 2, 3, 5, 9)
    res = Q(quantile=quantile).analysis(factor, returns, periods, ascending=ascending)
    qr, qt, qd, tmb = ref.quantile_return_analysis(
        factor, returns, periods, quantile=quantile, ascending=ascending
    )
    assert list(res.quantile_returns.index.names) == ["tag", "datetime"]
    assert list(res.quantile_returns.columns) == ["P_1", "P_2", "P_3", "P_5", "P_9"]
    assert_close(res.quantile_returns, qr)
    assert_close(res.quantile_turnover, qt)
    assert_close(res.top_minus_bottom_returns, tmb)
    assert res.top_minus_bottom_returns.index.name == "datetime"
    assert labels_of(res.quantile_detail) == labels_of(qd)
    assert res.quantile_detail.index.equals(factor.index)
    assert res.quantile_detail.columns.equals(factor.columns)
    # the first date: no labels, nothing earned
    assert res.quantile_detail.iloc[0].isna().all()
    assert (res.quantile_returns.xs(factor.index[0], level="datetime") == 0).all().all()


def test_extra_dates_and_instruments_in_returns_change_nothing():
    factor, returns = random_tables(4)
    _, cut = random_tables(4, extra=False)
    a = Q().analysis(factor, returns, [1, 3])
    b = Q().analysis(factor, cut, [1, 3])
    assert_close(a.quantile_returns, b.quantile_returns)
    assert_close(a.quantile_turnover, b.quantile_turnover)


def test_unsorted_factor_dates_are_read_in_date_order():
    factor, returns = random_tables(5, n=24)
    moved = factor.iloc[np.r_[0:10, 14:24, 10:14]]
    res = Q(quantile=4).analysis(moved, returns, [1, 3])
    qr, qt, _, _ = ref.quantile_return_analysis(factor, returns, [1, 3], quantile=4)
    assert_close(res.quantile_returns, qr)
    assert_close(res.quantile_turnover, qt)
    assert res.quantile_detail.index.equals(factor.index)


def test_periods_warning_and_error():
    factor, returns = random_tables(6, n=10)
    periods = [1, 5, 20]
    with pytest.warns(UserWarning) as record:
        res = Q().analysis(factor, returns, periods)
    assert [str(w.message) for w in record] == ["Invalid periods found: [20], will ignore."]
    assert list(res.quantile_returns.columns) == ["P_1", "P_5"]
    assert periods == [1, 5, 20]
    with pytest.raises(ValueError) as err:
        Q().analysis(factor, returns, [10])
    assert str(err.value) == "Invalid periods, must be less than 10"
    for bad, kind in (
        ([0], ValueError),
        ([2.0], TypeError),
        (["3"], TypeError),
        ([-1], ValueError),
        (3, TypeError),
    ):
        with pytest.raises(kind, match="^periods: expected"):
            Q().analysis(factor, returns, bad)
    for bad, kind in ((0, ValueError), (2.5, TypeError), ("5", TypeError), (None, TypeError)):
        with pytest.raises(kind, match="^quantile: expected"):
            Q(quantile=bad)
    analyser = Q()
    analyser.quantile = -2
    with pytest.raises(ValueError, match="quantile"):
        analyser.analysis(factor, returns, [1])


def test_empty_tables_and_returns_missing_every_date():
    factor, returns = random_tables(7, n=8)
    empty = factor.iloc[:0]
    with pytest.raises(ValueError, match="^factor_data and returns have no date in common$"):
        Q().analysis(empty, returns, [])
    with pytest.raises(ValueError, match="Invalid periods, must be less than 0"):
        Q().analysis(empty, returns, [1])
    elsewhere = returns.set_axis(returns.index + pd.Timedelta(days=3650))
    with pytest.raises(ValueError, match="^factor_data and returns have no date in common$"):
        Q().analysis(factor, elsewhere, [1, 3])
    with pytest.raises(ValueError, match="^factor_data and returns have no order_book_id in "):
        Q().analysis(factor.iloc[:, :0], returns, [2])


class FakeClient:
    def __init__(self, kind="INDX", price=None):
        self.kind = kind
        self.price = price
        self.calls = []

    def instruments(self, code):
        self.calls.append(("instruments", code))
        return None if self.kind is None else types.SimpleNamespace(type=self.kind)

    def get_price(self, code, **kwargs):
        self.calls.append(("get_price", code, kwargs))
        return self.price


def test_benchmark_through_the_client(monkeypatch):
    factor, returns = random_tables(8, n=6)
    dates = factor.index
    bars = pd.DataFrame(
        {"close": [10.0, 11.0, 12.1]},
        index=pd.MultiIndex.from_arrays(
            [["000300.XSHG"] * 3, dates[[1, 2, 4]]], names=["order_book_id", "date"]
        ),
    )
    client = FakeClient(price=bars)
    monkeypatch.setattr(ab, "mivada", client)
    analyser = Q(benchmark="000300.XSHG")
    assert analyser.benchmark == "000300.XSHG"
    series = quiet(analyser.analysis, factor, returns, [1]).benchmark_return
    assert client.calls[-1] == (
        "get_price",
        "000300.XSHG",
        dict(
            start_date=dates[0].date(),
            end_date=dates[-1].date(),
            frequency="1d",
            fields=["close"],
            expect_df=True,
        ),
    )
    assert series.name == "000300.XSHG" and series.index.equals(dates)
    np.testing.assert_allclose(series.values, [0, 0, 0.1, 0.1, 0.21, 0.21])

    client.price = None
    with pytest.warns(UserWarning) as record:
        res = analyser.analysis(factor, returns, [1])
    assert res.benchmark_return is None
    assert str(record[0].message) == "No price data for benchmark [000300.XSHG] from %s to %s" % (
        dates[0].date(),
        dates[-1].date(),
    )


@pytest.mark.parametrize("kind", [None, "CS"])
def test_rejected_benchmark(monkeypatch, kind):
    client = FakeClient(kind=kind)
    monkeypatch.setattr(ab, "mivada", client)
    with pytest.warns(UserWarning) as record:
        analyser = Q(quantile=3, benchmark="000001.XSHE")
    assert str(record[0].message) == "Invalid benchmark: 000001.XSHE is not INDX order_book_id."
    assert analyser.benchmark is None and analyser.quantile == 3
    factor, returns = random_tables(9, n=6)
    res = analyser.analysis(factor, returns, [1])
    assert res.benchmark_return is None
    assert client.calls == [("instruments", "000001.XSHE")]


def test_in_a_bench_with_the_result_keywords():
    factor, returns = random_tables(10, n=12)
    bench = ab.FactorAssayBench()
    bench.append(("groups", Q(quantile=4)))
    bench.append(("portfolio", ab.FactorReturnAnalysis()))
    out = quiet(bench.analysis, factor, returns, periods=3)
    res = out["groups"]
    assert res.name == "groups" and out["portfolio"].name == "portfolio"
    assert res._keys == (
        "quantile_turnover",
        "quantile_returns",
        "quantile_detail",
        "benchmark_return",
        "top_minus_bottom_returns",
        "name",
    )
    assert list(res.quantile_returns.columns) == ["P_3"]
    assert list(out["portfolio"].factor_returns.columns) == ["P_3"]
    # the bench's ascending=False: q1 holds the largest previous values
    first = factor.iloc[0].idxmax()
    assert res.quantile_detail.loc[factor.index[1], first] == "q1"
