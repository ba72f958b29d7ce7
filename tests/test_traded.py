"""TradedQuantileAnalysis: against a day-by-day pandas simulation of the same
rules on small markets built to hit every rule (a stock sealed at the
limit-down for days, a suspension spanning rebalances, a delisting while
held, limit-up opens, a new listing, an ST episode, a day without volume),
the quantile analyser's group returns with every rule off, and hand-worked
costs."""

import warnings

import numpy as np
import pandas as pd
import pytest

import mivada
from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis.traded import (
    TradedQuantileAnalysis,
    TradingCosts,
    TradingRules,
    trading_rules,
)

import traded_pandas_reference as ref
from _tables import random_table

IDS = [
    "600001.XSHG",
    "600002.XSHG",
    "600003.XSHG",
    "000004.XSHE",
    "600005.XSHG",
    "000006.XSHE",
    "000007.XSHE",
    "300008.XSHE",
    "688009.XSHG",
    "600010.XSHG",
    "000011.XSHE",
    "002012.XSHE",
]
SEALED_DOWN, SUSPENDED, DELISTED, UP_OPENS, NEW, ST, NO_VOLUME = range(7)
N_DAYS = 48
NEW_DAY, DELIST_DAY = 6, 30


def make_market(seed):
    """Bars, ST days, listing and delisting of IDS over N_DAYS days: the
    roles above on fixed days, random sealed limits, limit-up opens and
    suspensions elsewhere.  Prices in cents, limits stored with the bars."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-08-14", periods=N_DAYS)  # across a stamp duty change
    n, m = len(dates), len(IDS)
    bar = rng.random((n, m)) > 0.03
    bar[:, [SEALED_DOWN, UP_OPENS, ST]] = True
    bar[12:23, SUSPENDED] = False  # spans several rebalances
    bar[:NEW_DAY, NEW] = False
    bar[DELIST_DAY:, DELISTED] = False
    bar[:DELIST_DAY, DELISTED] = True
    st = np.zeros((n, m), dtype=bool)
    st[5:26, ST] = True
    rate = np.array([0.2 if i[:3] in ("300", "688") else 0.1 for i in IDS])
    fields = {
        f: np.full((n, m), np.nan)
        for f in ("open", "high", "low", "close", "prev_close", "limit_up", "limit_down")
    }
    last = np.round(rng.uniform(5, 20, m), 2)
    u = rng.random((n, m))
    for t in range(n):
        for j in range(m):
            if not bar[t, j]:
                continue
            prev = last[j]
            lim = 0.05 if st[t, j] else rate[j]
            up, down = np.round(prev * (1 + lim), 2), np.round(prev * (1 - lim), 2)
            fresh = j == NEW and t < NEW_DAY + 5  # first days of a listing: no limit
            r = np.clip(rng.normal(0, 0.03), -lim, lim)
            c = np.round(prev * (1 + r), 2)
            o = np.round(prev * (1 + np.clip(rng.normal(0, 0.01), -lim, lim)), 2)
            if fresh:
                c = np.round(prev * (1 + abs(r) * 5), 2)
            elif (j == SEALED_DOWN and 10 <= t <= 16) or u[t, j] < 0.04:
                o = c = down
            elif u[t, j] > 0.96:
                o = c = up
            elif (j == UP_OPENS and t % 3 == 2) or 0.5 < u[t, j] < 0.55:
                o = up
            hi = (
                max(o, c)
                if fresh or (o == c and c in (up, down))
                else min(np.round(max(o, c) * 1.01, 2), up)
            )
            lo = (
                min(o, c)
                if o == c and c in (up, down)
                else max(np.round(min(o, c) * 0.99, 2), down if not fresh else 0.01)
            )
            for f, v in (
                ("open", o),
                ("high", hi),
                ("low", lo),
                ("close", c),
                ("prev_close", prev),
            ):
                fields[f][t, j] = v
            if not fresh:
                fields["limit_up"][t, j], fields["limit_down"][t, j] = up, down
            last[j] = c
    frames = {f: pd.DataFrame(v, index=dates, columns=IDS) for f, v in fields.items()}
    volume = np.where(bar, 1e5, np.nan)
    volume[[8, 9, 20], NO_VOLUME] = 0.0
    frames["volume"] = pd.DataFrame(volume, index=dates, columns=IDS)
    cap = frames["close"] * rng.uniform(1e8, 5e8, m)
    cap.iloc[:, 3] = np.nan  # no float cap: the group's mean
    listed = [dates[NEW_DAY] if j == NEW else pd.Timestamp("2010-01-04") for j in range(m)]
    return {
        "dates": dates,
        "bars": frames,
        "st": pd.DataFrame(st, index=dates, columns=IDS),
        "listed": listed,
        "cap": cap,
    }


def write_store(market, folder):
    dates, bars = market["dates"], market["bars"]
    inst = pd.DataFrame(
        {
            "order_book_id": IDS,
            "type": "CS",
            "listed_date": [d.date() for d in market["listed"]],
            "de_listed_date": [
                "" if j != DELISTED else dates[DELIST_DAY].date() for j in range(len(IDS))
            ],
        }
    )
    inst.to_csv(folder / "instruments.csv", index=False)
    long = pd.concat(
        {
            f: bars[f].stack()
            for f in (
                "open",
                "high",
                "low",
                "close",
                "prev_close",
                "volume",
                "limit_up",
                "limit_down",
            )
        },
        axis=1,
    )
    long = long[long["close"].notna()].rename_axis(["date", "order_book_id"]).reset_index()
    long.to_csv(folder / "daily_bars.csv", index=False)
    st = market["st"]
    pd.DataFrame(
        {
            "order_book_id": [IDS[ST]],
            "start_date": [st.index[st[IDS[ST]]][0].date()],
            "end_date": [st.index[26].date()],
        }
    ).to_csv(folder / "st_records.csv", index=False)
    cap = market["cap"].where(bars["close"].notna()).stack().rename("value")
    cap = cap.rename_axis(["date", "order_book_id"]).reset_index()
    cap["factor"] = "float_market_cap"
    cap.to_csv(folder / "factor_values.csv", index=False)


@pytest.fixture(scope="module", params=[11, 12])
def small_market(request, tmp_path_factory):
    folder = tmp_path_factory.mktemp("traded-{}".format(request.param))
    market = make_market(request.param)
    (folder / "files").mkdir()
    write_store(market, folder / "files")
    path = folder / "market.duckdb"
    mivada.ingest(folder / "files", path)
    return market, str(path)


def factor_of(market, seed):
    rng = np.random.default_rng(seed)
    bars = market["bars"]
    values = rng.normal(size=bars["close"].shape)
    values[rng.random(values.shape) < 0.05] = np.nan
    listed = pd.DataFrame(
        np.array([[d >= l for l in market["listed"]] for d in market["dates"]]),
        index=market["dates"],
        columns=IDS,
    )
    listed.iloc[DELIST_DAY:, DELISTED] = False
    return pd.DataFrame(values, index=market["dates"], columns=IDS).where(listed)


RULES = {
    "a-share": TradingRules(min_listed_days=5, exclude_st=True),
    "next close, sealed, sold at last price, haircut": TradingRules(
        entry="next_close",
        price_limits="sealed",
        unsellable="last_price",
        delisting="haircut",
        delisting_haircut=0.3,
        min_listed_days=3,
    ),
    "T close, written off, float cap": TradingRules(
        entry="close",
        unsellable="lost",
        delisting="lost",
        weights="float_cap",
        costs=TradingCosts(stamp_duty=0.001),
    ),
    "open, only new listings and ST": TradingRules(
        price_limits=None, suspension=False, min_listed_days=10, exclude_st=True, costs="none"
    ),
}


@pytest.mark.parametrize("name", list(RULES))
def test_rules_agree_with_the_day_by_day_simulation(small_market, name):
    market, path = small_market
    mivada.init(path)
    rules = RULES[name]
    dates = market["dates"]
    factor = factor_of(market, 5)
    returns = mivada.get_price_change_rate(IDS, dates[0], dates[-1])
    periods = (1, 3, 7)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the store serves every rule
        got = TradedQuantileAnalysis(quantile=3, rules=rules, threads=1).analysis(
            factor, returns, periods, ascending=name.startswith("a")
        )
        threaded = TradedQuantileAnalysis(quantile=3, rules=rules, threads=3).analysis(
            factor, returns, periods, ascending=name.startswith("a")
        )
    # the schedules shared out over threads give the same numbers
    pd.testing.assert_frame_equal(threaded.daily_returns, got.daily_returns, check_exact=True)
    pd.testing.assert_frame_equal(threaded.traded_turnover, got.traded_turnover, check_exact=True)
    listed_pos = np.array([NEW_DAY if j == NEW else -(10**6) for j in range(len(IDS))])
    delisted_pos = np.array([DELIST_DAY if j == DELISTED else 10**9 for j in range(len(IDS))])
    cap = market["cap"] if rules.weights == "float_cap" else None
    want = ref.simulate(
        factor,
        returns,
        market["bars"],
        market["st"],
        listed_pos,
        delisted_pos,
        np.arange(len(dates)),
        rules,
        periods,
        quantile=3,
        ascending=name.startswith("a"),
        float_cap=cap,
    )
    for p in periods:
        gross, net, turnover, counts = want[p]
        field = "P_{}".format(p)
        np.testing.assert_allclose(
            got.daily_returns["gross " + field], gross, rtol=1e-12, atol=1e-14
        )
        np.testing.assert_allclose(got.daily_returns["net " + field], net, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(got.traded_turnover[field], turnover, rtol=1e-12, atol=1e-14)
        pd.testing.assert_frame_equal(
            got.untradable.xs(field, level="period"), counts, check_dtype=False
        )
    if name == "a-share":
        # the market reaches every rule
        total = got.untradable.sum()
        for reason in (
            "not bought: suspended",
            "not bought: limit-up",
            "not bought: new listing",
            "not bought: ST",
            "not sold: suspended",
            "not sold: limit-down",
            "delisted while held",
        ):
            assert total[reason] > 0, reason


def test_every_rule_off_gives_the_quantile_analysers_group_returns(rng):
    # missing returns, an all-NaN factor row (an empty window), a constant
    # row, both directions, periods longer than one window
    for ascending, q in ((True, 3), (False, 5)):
        factor = random_table(rng, 40, 17, nan_frac=0.15)
        returns = pd.DataFrame(
            rng.normal(0, 0.02, factor.shape), index=factor.index, columns=factor.columns
        ).mask(rng.random(factor.shape) < 0.1)
        periods = [1, 2, 5, 9]
        plain = ab.QuantileReturnAnalysis(quantile=q).analysis(
            factor, returns, periods, ascending=ascending
        )
        traded = TradedQuantileAnalysis(quantile=q, rules=TradingRules.off()).analysis(
            factor, returns, periods, ascending=ascending
        )
        pd.testing.assert_frame_equal(
            traded.cumulative("gross"), plain.quantile_returns, check_exact=True, check_names=False
        )
        pd.testing.assert_frame_equal(
            traded.cumulative("net"), plain.quantile_returns, check_exact=True, check_names=False
        )


def test_every_rule_off_on_the_sample_market(tiny_store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    factor = (
        mivada.get_factor(ids, "reversal_5d", None, end)["reversal_5d"]
        .unstack("order_book_id")
        .reindex(columns=ids)
    )
    returns = mivada.get_price_change_rate(ids, None, end)
    plain = ab.QuantileReturnAnalysis(quantile=5).analysis(factor, returns, [1, 5, 20])
    traded = TradedQuantileAnalysis(quantile=5, rules="off").analysis(factor, returns, [1, 5, 20])
    pd.testing.assert_frame_equal(
        traded.cumulative("gross"), plain.quantile_returns, check_exact=True, check_names=False
    )


@pytest.fixture
def tiny_store():
    mivada.init(sample="tiny")
    yield
    mivada.close()


def test_hand_worked_costs():
    costs = TradingCosts()  # 0.0003 commission, 0.0005 slippage, historical stamp duty
    buy, sell = costs.rates(
        pd.to_datetime(["2008-04-23", "2008-09-18", "2008-09-19", "2023-08-25", "2023-08-28"])
    )
    np.testing.assert_allclose(buy, [0.0038, 0.0018, 0.0008, 0.0008, 0.0008])
    np.testing.assert_allclose(sell, [0.0038, 0.0018, 0.0018, 0.0018, 0.0013])
    # Two stocks that swap groups every day: each rebalance sells the whole
    # group and buys the other stock (turnover 1), costing 0.0008 + 0.0013
    # of the group's value.  Trading at T's close, the groups of day t are
    # bought at day t-1's close: the first purchase (0.0008, turnover 0.5)
    # is charged on day 1, the first day with a return; the swaps at the
    # closes of days 1 and 2 on those days; day 3 trades nothing.
    dates = pd.bdate_range("2023-09-04", periods=4)
    factor = pd.DataFrame(
        [[1.0, 2.0], [2.0, 1.0], [1.0, 2.0], [2.0, 1.0]], index=dates, columns=["A", "B"]
    )
    returns = pd.DataFrame(
        [[0.0, 0.0], [0.01, -0.02], [0.03, 0.0], [-0.01, 0.02]], index=dates, columns=["A", "B"]
    )
    rules = TradingRules.off(costs=TradingCosts(), valuation="last_price")
    got = TradedQuantileAnalysis(quantile=2, rules=rules).analysis(factor, returns, [1])
    q1 = got.daily_returns.xs("q1", level="tag")  # ascending: q1 holds the smaller value
    # q1 holds A on day 1 (+1 %), B on day 2 (0 %), A on day 3 (-1 %)
    np.testing.assert_allclose(q1["gross P_1"].iloc[1:], [0.01, 0.0, -0.01])
    np.testing.assert_allclose(
        q1["net P_1"].iloc[1:],
        [1.01 * (1 - 0.0008) * (1 - 0.0021) - 1, 1.0 * (1 - 0.0021) - 1, -0.01],
    )
    turnover = got.traded_turnover.xs("q1", level="tag")["P_1"]
    np.testing.assert_allclose(turnover, [0.5, 1.0, 1.0, 0.0])


def test_rules_are_checked_and_read_from_text():
    assert trading_rules("a-share") == TradingRules()
    assert trading_rules("none") is None and trading_rules(None) is None
    assert trading_rules({"entry": "close", "costs": "none"}).costs == TradingCosts.none()
    assert TradingCosts.parse("commission=0.0002,stamp=0.001") == TradingCosts(0.0002, 0.001)
    for bad, text in (
        ({"entry": "noon"}, "entry"),
        ({"min_listed_days": -1}, "min_listed_days"),
        ({"valuation": "priced_only"}, "valuation"),
        ({"costs": "commission=2"}, "commission"),
    ):
        with pytest.raises(ValueError, match=text):
            trading_rules(bad)
    with pytest.raises(ValueError, match="costs"):
        TradingCosts.parse("brokerage=0.001")
    dates = pd.bdate_range("2023-09-04", periods=5)
    factor = pd.DataFrame({"A": np.arange(5.0), "B": list("abcde")}, index=dates)
    returns = pd.DataFrame(0.01, index=dates, columns=["A", "B"])
    with pytest.raises(TypeError, match="factor_data: expected numbers.* B"):
        TradedQuantileAnalysis(quantile=2, rules="off").analysis(factor, returns, [1])


def test_assay_accounts_reports_and_stores_the_traded_groups(tiny_store, tmp_path):
    import tarnfold
    from tarnfold.batch import assay_many, load_results
    from tarnfold.reporting import render

    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_previous_trading_date(mivada.get_latest_trading_date(), 6)
    factor = (
        mivada.get_factor(ids, "reversal_5d", None, end)["reversal_5d"]
        .unstack("order_book_id")
        .reindex(columns=ids)
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = tarnfold.assay(
            factor,
            "daily",
            periods=(1, 5),
            trading="a-share",
            factor_name="rev",
            steps=results_steps(),
        )
        table = assay_many(
            {"rev": factor},
            periods=(1, 5),
            client="serial",
            out=tmp_path / "runs",
            trading="a-share",
            steps=results_steps(),
        )
    traded = results["traded"]
    # the buys that could not be made are in the data-loss account
    loss = traded.data_loss
    counts = traded.untradable.groupby(level="period").sum()
    for reason in ("not bought: suspended", "not bought: new listing"):
        assert list(loss.loc[reason]) == list(counts.loc[["P_1", "P_5"], reason])
    assert loss.loc["not bought: new listing"].sum() > 0
    head = results.headline()
    assert head["net top-bottom Sharpe P_1"] == pytest.approx(
        traded.summary()["traded groups by holding period"].loc[("P_1", "top-bottom"), "net Sharpe"]
    )
    html = render({"rev": results})
    for title in (
        "gross against net cumulative returns",
        "untradable shares",
        "traded turnover",
        "trading rules",
    ):
        assert title in html
    # a batch gives the same figures and keeps the result whole
    assert table.loc["rev", "untradable share P_5"] == pytest.approx(head["untradable share P_5"])
    back = load_results(tmp_path / "runs", "rev")["traded"]
    pd.testing.assert_frame_equal(back.daily_returns, traded.daily_returns)
    pd.testing.assert_frame_equal(back.untradable, traded.untradable)


def results_steps():
    from tarnfold.workflow import bench_steps

    return bench_steps(preprocess=(), max_decay=0, analysers=("quantile",))


def test_rules_the_store_cannot_serve_are_named(tmp_path):
    # bars without opens or volumes, no limit prices, no board or ST records
    dates = pd.bdate_range("2023-09-04", periods=12)
    ids = ["600001.XSHG", "600002.XSHG", "000003.XSHE", "000004.XSHE"]
    rng = np.random.default_rng(3)
    close = pd.DataFrame(
        10 * np.cumprod(1 + rng.normal(0, 0.02, (12, 4)), axis=0), index=dates, columns=ids
    )
    bars = close.stack().rename("close").rename_axis(["date", "order_book_id"]).reset_index()
    folder = tmp_path / "files"
    folder.mkdir()
    bars.to_csv(folder / "daily_bars.csv", index=False)
    pd.DataFrame({"order_book_id": ids, "type": "CS", "listed_date": "2010-01-04"}).to_csv(
        folder / "instruments.csv", index=False
    )
    mivada.ingest(folder, tmp_path / "plain.duckdb")
    mivada.init(tmp_path / "plain.duckdb")
    returns = close / close.shift(1) - 1
    factor = pd.DataFrame(rng.normal(size=(12, 4)), index=dates, columns=ids)
    with pytest.warns(UserWarning) as caught:
        got = TradedQuantileAnalysis(quantile=2, rules=TradingRules(exclude_st=True)).analysis(
            factor, returns, [1]
        )
    said = " | ".join(str(w.message) for w in caught)
    for text in (
        "no opening prices; trading at T+1's close instead",
        "no volumes",
        "derived from the previous close",
        "read from the instrument codes",
        "no ST records",
    ):
        assert text in said
    assert "T+1 close (asked: open)" in got.rules.loc["entry and exit", "setting"]
    assert got.rules.index.str.startswith("note").sum() == 4
