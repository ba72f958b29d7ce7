"""Summary figures of the result objects against hand computations."""

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from scipy import stats

from tarnfold.analysis import statistics as st
from tarnfold.analysis.analysis_result import (
    FactorReturnAnalysisResult,
    ICAnalysisResult,
    QuantileReturnAnalysisResult,
)

DATES = pd.bdate_range("2021-03-01", periods=8, name="datetime")


def ic_result(with_decay=True):
    ic = pd.DataFrame(
        {
            "P_1": [0.10, 0.0, 0.30, -0.05, 0.20, 0.15, 0.0, 0.0],
            "P_2": [0.20, 0.0, 0.10, 0.05, np.nan, 0.25, 0.0, 0.0],
        },
        index=DATES,
    )
    p = pd.DataFrame(
        {
            "P_1": [0.1, 0.0, 0.01, 0.5, 0.02, 0.03, 0.0, 0.4],
            "P_2": [0.2, 0.0, 0.05, 0.6, np.nan, 0.01, 0.0, 0.0],
        },
        index=DATES,
    )
    decay = None
    if with_decay:
        lag0 = ic.copy()
        lag0["decay"] = 0
        lag1 = pd.DataFrame(
            {"P_1": [0.05, 0.0, 0.1, 0.2, 0.3, 0.0, 0.1], "P_2": [0.1] * 7}, index=DATES[:7]
        )
        lag1["decay"] = 1
        decay = pd.concat(
            [lag0.set_index("decay", append=True), lag1.set_index("decay", append=True)]
        ).sort_index()
    industry = pd.DataFrame(
        {"P_1": [0.1, 0.0, -0.2], "P_2": [0.3, 0.0, 0.1]}, index=pd.Index(["Unknown", "a", "b"])
    )
    return ICAnalysisResult(
        ic=ic, ic_p_value=p, ic_decay=decay, ic_industry_distribute=industry, name="ic"
    )


def test_ic_summary_excludes_unmeasured_dates():
    r = ic_result()
    s = r.summary()["IC by holding period"]
    # P_1: rows 1 and 6 are (0, 0); row 7 is a genuine 0 with p-value 0.4
    v1 = np.array([0.10, 0.30, -0.05, 0.20, 0.15, 0.0])
    # P_2: rows 1, 6, 7 are (0, 0); row 4 is NaN (constant cross-section)
    v2 = np.array([0.20, 0.10, 0.05, 0.25])
    for field, v, excluded in (("P_1", v1, 2), ("P_2", v2, 4)):
        row = s.loc[field]
        t = stats.ttest_1samp(v, 0.0)
        assert row["dates"] == len(v) and row["excluded"] == excluded
        assert row["mean"] == pytest.approx(v.mean())
        assert row["std"] == pytest.approx(v.std(ddof=1))
        assert row["IR"] == pytest.approx(v.mean() / v.std(ddof=1))
        assert row["t"] == pytest.approx(t.statistic)
        assert row["p(t)"] == pytest.approx(t.pvalue)
        assert row["IC>0"] == pytest.approx((v > 0).mean())
    # no mean pulled toward zero by the unmeasured dates
    assert s.loc["P_1", "mean"] > r.ic["P_1"].mean()


@pytest.mark.parametrize("lags", [0, 1, 4])
def test_newey_west_t_matches_statsmodels(rng, lags):
    x = rng.normal(0.02, 0.05, 60).cumsum() * 0.1 + rng.normal(0, 0.05, 60)
    fit = sm.OLS(x, np.ones_like(x)).fit(
        cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": False}
    )
    assert st.newey_west_t(x, lags) == pytest.approx(fit.tvalues[0], rel=1e-10)


def test_ic_summary_uses_period_minus_one_lags():
    r = ic_result(with_decay=False)
    s = r.summary()["IC by holding period"]
    v2 = np.array([0.20, 0.10, 0.05, 0.25])
    assert s.loc["P_2", "NW t"] == pytest.approx(st.newey_west_t(v2, 1))
    assert s.loc["P_2", "p(NW t)"] == pytest.approx(2 * stats.norm.sf(abs(st.newey_west_t(v2, 1))))
    v1 = np.array([0.10, 0.30, -0.05, 0.20, 0.15, 0.0])
    assert s.loc["P_1", "NW t"] == pytest.approx(st.newey_west_t(v1, 0))


def test_decay_and_industry_summaries():
    tables = ic_result().summary()
    decay = tables["mean IC by lag"]
    # one rule at every lag: exact zeros are not measurements, so lag 0
    # drops P_1's genuine 0 (p-value 0.4) just as lag 1 drops its zeros
    assert decay.loc[0, "P_1"] == pytest.approx(np.mean([0.10, 0.30, -0.05, 0.20, 0.15]))
    assert decay.loc[0, "dates P_1"] == 5
    assert decay.loc[0, "dates P_2"] == 4
    assert decay.loc[1, "P_1"] == pytest.approx(np.mean([0.05, 0.1, 0.2, 0.3, 0.1]))
    assert decay.loc[1, "dates P_1"] == 5
    industry = tables["pooled IC by industry"]
    assert np.isnan(industry.loc["a", "P_1"]) and industry.loc["b", "P_1"] == -0.2


def quantile_result(benchmark=True):
    """Two groups over six dates, periods 1 and 2, in the analyser's layouts."""
    dates = DATES[:6]
    tags = ["q1", "q2"]
    detail = pd.DataFrame(
        [
            [np.nan, np.nan],
            ["q1", "q2"],
            ["q1", "q2"],
            [np.nan, np.nan],
            ["q2", "q1"],
            ["q1", "q2"],
        ],
        index=dates,
        columns=pd.Index(["A", "B"], name="order_book_id"),
        dtype=object,
    )
    daily = {  # daily group returns per period, 0 where the analyser fills
        ("q1", "P_1"): [0, 0.01, 0.02, 0.0, -0.01, 0.03],
        ("q2", "P_1"): [0, -0.01, 0.00, 0.0, 0.02, -0.02],
        ("q1", "P_2"): [0, 0.01, 0.015, 0.005, -0.002, 0.01],
        ("q2", "P_2"): [0, -0.005, 0.0, 0.01, 0.01, -0.01],
    }
    idx = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
    cum = pd.DataFrame(index=idx, columns=["P_1", "P_2"], dtype=float)
    for (tag, field), r in daily.items():
        cum.loc[tag, field] = (1 + np.array(r)).cumprod() - 1
    spread = pd.DataFrame(
        {
            f: (1 + np.array(daily[("q1", f)]) - np.array(daily[("q2", f)])).cumprod() - 1
            for f in ("P_1", "P_2")
        },
        index=dates,
    )
    turnover = pd.DataFrame(index=idx, columns=["P_1", "P_2"], dtype=float)
    turnover.loc["q1", "P_1"] = [np.nan, np.nan, 0.0, np.nan, 1.0, 1.0]
    turnover.loc["q2", "P_1"] = [np.nan, np.nan, 0.0, np.nan, 1.0, 1.0]
    turnover.loc["q1", "P_2"] = [np.nan, np.nan, np.nan, 0.0, 0.5, 0.5]
    turnover.loc["q2", "P_2"] = [np.nan, np.nan, np.nan, 0.0, 0.5, 0.5]
    bench = (
        pd.Series(
            (1 + np.array([0, 0.005, 0.005, 0.0, 0.0, 0.01])).cumprod() - 1,
            index=dates,
            name="000300.XSHG",
        )
        if benchmark
        else None
    )
    return QuantileReturnAnalysisResult(
        quantile_turnover=turnover,
        quantile_returns=cum,
        quantile_detail=detail,
        benchmark_return=bench,
        top_minus_bottom_returns=spread,
        name="quantile",
    ), daily


def _perf(r, ppy=244):
    r = np.asarray(r, float)
    wealth = np.cumprod(1 + r)
    dd = (wealth / np.maximum(np.maximum.accumulate(wealth), 1.0) - 1).min()
    return {
        "ann. return": wealth[-1] ** (ppy / len(r)) - 1,
        "ann. vol": r.std(ddof=1) * np.sqrt(ppy),
        "Sharpe": r.mean() / r.std(ddof=1) * np.sqrt(ppy),
        "max drawdown": dd,
    }


def test_quantile_summary_against_hand_figures():
    r, daily = quantile_result()
    s = r.summary()["groups by holding period"]
    bench = np.array([0.005, 0.005, 0.0, 0.0, 0.01])
    # P_1: the date after the empty row 3 (row 3 itself) is excluded for both groups
    keep1 = [0, 1, 3, 4]  # rows 1, 2, 4, 5 of the daily returns (row 0 has none)
    q1 = np.array(daily[("q1", "P_1")][1:])[keep1]
    row = s.loc[("P_1", "q1")]
    for key, value in _perf(q1).items():
        assert row[key] == pytest.approx(value)
    assert row["excluded"] == 1 and row["days"] == 4
    assert row["turnover per day"] == pytest.approx(np.mean([0.0, 1.0, 1.0]))
    # q1 is {A} on rows 1, 2, 5 and {B} on row 4: against the row before,
    # row 2 keeps A (0) and row 5 swaps B for A (1); rows 1 and 4 follow an
    # empty row and have nothing to compare with
    assert row["turnover per rebalance"] == pytest.approx(0.5)
    # against two rows before, only row 4 ({B} after {A}) compares
    assert s.loc[("P_2", "q1"), "turnover per rebalance"] == pytest.approx(1.0)
    excess = q1 - bench[keep1]
    assert row["excess ann. return"] == pytest.approx(_perf(excess)["ann. return"])
    spread = (np.array(daily[("q1", "P_1")]) - np.array(daily[("q2", "P_1")]))[1:][keep1]
    for key, value in _perf(spread).items():
        assert s.loc[("P_1", "top-bottom"), key] == pytest.approx(value)
    # a long-short spread has no excess return over the index
    assert np.isnan(s.loc[("P_1", "top-bottom"), "excess ann. return"])
    # P_2: row 3 is still covered by the schedule that rebalanced on row 2
    q2 = np.array(daily[("q2", "P_2")][1:])
    assert s.loc[("P_2", "q2"), "excluded"] == 0
    assert s.loc[("P_2", "q2"), "ann. return"] == pytest.approx(_perf(q2)["ann. return"])
    # without a benchmark there is no excess column
    r2, _ = quantile_result(benchmark=False)
    assert "excess ann. return" not in r2.summary()["groups by holding period"].columns


def test_factor_return_summary_against_hand_figures():
    d1 = np.array([0.01, -0.02, 0.03, -0.01, 0.02])
    d5 = np.array([0.002, 0.001, -0.004, 0.003, 0.0])
    table = pd.DataFrame(
        {"P_1": np.r_[0, (1 + d1).cumprod() - 1], "P_5": np.r_[0, (1 + d5).cumprod() - 1]},
        index=DATES[:6],
    )
    s = FactorReturnAnalysisResult(factor_returns=table, name="fr").summary()
    s = s["factor return by holding period"]
    for field, d in (("P_1", d1), ("P_5", d5)):
        for key, value in _perf(d).items():
            assert s.loc[field, key] == pytest.approx(value)
    # wealth 1.01, 0.9898, ...: the drawdown runs from the 1.01 peak
    assert s.loc["P_1", "max drawdown"] == pytest.approx(0.9898 / 1.01 - 1)
    # a loss from the first day on runs from the starting wealth of 1
    losing = pd.DataFrame({"P_1": [0, -0.1, -0.1 + 0.9 * 0.05]}, index=DATES[:3])
    s = FactorReturnAnalysisResult(factor_returns=losing, name="fr").summary()
    assert s["factor return by holding period"].loc["P_1", "max drawdown"] == pytest.approx(-0.1)


def test_rank_autocorrelation_against_scipy(rng):
    f = pd.DataFrame(np.round(rng.normal(size=(30, 12)), 1))  # ties
    f = f.mask(rng.random(f.shape) < 0.15)
    f.iloc[5] = np.nan  # a date with nothing
    f.iloc[9, :11] = np.nan  # one value only
    got = st.rank_autocorrelation(f, (1, 3))
    for p in (1, 3):
        per_date = []
        for t in range(p, len(f)):
            a, b = f.iloc[t], f.iloc[t - p]
            both = a.notna() & b.notna()
            if both.sum() >= 2:
                per_date.append(stats.spearmanr(a[both], b[both]).statistic)
        assert got["P_{}".format(p)] == pytest.approx(np.nanmean(per_date), rel=1e-10)


def test_plots_render_and_html(tmp_path, capsys):
    results = [
        ic_result(),
        quantile_result()[0],
        FactorReturnAnalysisResult(
            factor_returns=pd.DataFrame({"P_1": [0, 0.01, 0.02]}, index=DATES[:3]), name="fr"
        ),
    ]
    expected = {
        ICAnalysisResult: {
            "IC over time",
            "monthly IC",
            "IC histogram",
            "IC against the normal",
            "IC decay",
            "IC by industry",
        },
        QuantileReturnAnalysisResult: {
            "cumulative group returns",
            "mean return by group",
            "turnover",
            "long-short",
        },
        FactorReturnAnalysisResult: {"cumulative factor return"},
    }
    for r in results:
        figs = r.plot()
        assert set(figs) == expected[type(r)]
        for k, fig in enumerate(figs.values()):
            fig.savefig(tmp_path / "f{}.png".format(k))
        r.show()  # prints; Agg shows nothing
        html = r._repr_html_()
        assert "<table" in html and type(r).__name__ in html
    out = capsys.readouterr().out
    assert "IC by holding period" in out and "groups by holding period" in out
    # the attributes the analysers set are untouched by summaries and plots
    assert results[0]._keys == ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name")
    assert results[0].ic.loc[DATES[1], "P_1"] == 0.0


def test_turnover_per_rebalance_beside_the_daily_average_of_the_books():
    import tarnfold.analysis.assay_bench as ab

    # q1 of two groups: {A, B, C} after even factor rows, {A, B, D} after
    # odd ones, so a group swaps one of its three members between rows of
    # different parity and none between rows of the same parity
    x = [6.0, 5.0, 4.0, 3.0, 2.0, 1.0]
    y = [6.0, 5.0, 3.0, 4.0, 2.0, 1.0]
    dates = pd.bdate_range("2022-01-03", periods=40, name="datetime")
    factor = pd.DataFrame(
        [x if t % 2 == 0 else y for t in range(40)], index=dates, columns=list("ABCDEF")
    )
    returns = pd.DataFrame(
        np.random.default_rng(3).normal(0, 0.01, factor.shape), index=dates, columns=factor.columns
    )
    r = ab.QuantileReturnAnalysis(quantile=2).analysis(factor, returns, [1, 2, 3], ascending=False)
    s = r.summary()["groups by holding period"]
    for group in ("q1", "q2"):
        assert s.loc[("P_1", group), "turnover per rebalance"] == pytest.approx(1 / 3)
        assert s.loc[("P_2", group), "turnover per rebalance"] == 0.0
        assert s.loc[("P_3", group), "turnover per rebalance"] == pytest.approx(1 / 3)
        # the analyser's table averages the 3 books, of which one rebalances
        # a day: a third of it, less the warm-up rows of the books
        per_day = s.loc[("P_3", group), "turnover per day"]
        assert per_day == pytest.approx(r.quantile_turnover["P_3"].xs(group).mean())
        assert 0.85 / 9 < per_day < 1 / 9
    assert r.headline()["q1 turnover per rebalance P_3"] == pytest.approx(1 / 3)


def test_factor_return_statistics_start_on_the_first_held_day():
    import tarnfold.analysis.assay_bench as ab

    rng = np.random.default_rng(11)
    dates = pd.bdate_range("2022-01-03", periods=30, name="datetime")
    factor = pd.DataFrame({"A": 1.0, "B": 3.0}, index=dates)
    factor.iloc[:3] = np.nan  # a rolling factor's warm-up
    returns = pd.DataFrame(rng.normal(0.001, 0.02, (30, 2)), index=dates, columns=["A", "B"])
    r = ab.FactorReturnAnalysis().analysis(factor, returns, [1, 2], ascending=False)
    s = r.summary()["factor return by holding period"]
    # weights from row 3's factor (A -0.5, B +0.5) are first held on row 4
    held = 0.5 * (returns["B"] - returns["A"]).iloc[4:].to_numpy()
    for key, value in _perf(held).items():
        assert s.loc["P_1", key] == pytest.approx(value)
    assert s.loc["P_1", "from"] == dates[4]
    assert (s.loc["P_1", "days"], s.loc["P_1", "excluded"]) == (26, 3)
    # period 2: the book rebalancing on row 4 holds first; the other one
    # joins on row 5 (its row 3 weights were missing)
    assert s.loc["P_2", "from"] == dates[4] and s.loc["P_2", "days"] == 26
    # nothing held at all: no figures, every day excluded
    flat = FactorReturnAnalysisResult(
        factor_returns=pd.DataFrame({"P_1": 0.0}, index=dates), name="fr"
    ).summary()["factor return by holding period"]
    assert flat.loc["P_1", "days"] == 0 and flat.loc["P_1", "excluded"] == 29
    assert pd.isna(flat.loc["P_1", "from"]) and np.isnan(flat.loc["P_1", "Sharpe"])


def test_label_codes_are_the_codes_factorize_gives():
    # shared label objects and equal texts that are other objects, NaN of
    # both float types; anything else (None, a number) goes to factorize
    q1, q2 = "q1", "q2"
    fresh = "".join(["q", "3"])
    table = pd.DataFrame([[q2, np.nan, q1, fresh], [q1, q2, np.float64("nan"), "q3"]], dtype=object)
    odd = table.copy()
    odd.iloc[0, 1] = None
    odd.iloc[1, 3] = 7
    for t in (table, odd):
        codes, where = st._label_codes(t)
        want, uniques = pd.factorize(t.to_numpy(dtype=object).ravel())
        np.testing.assert_array_equal(np.asarray(codes).ravel(), want)
        assert where == {u: k for k, u in enumerate(uniques)}


def test_member_counts_match_one_boolean_table_per_group():
    # few groups (all label pairs counted at once) and many (one count per
    # side); missing labels, a label that never occurs, periods up to the
    # table's length
    rng = np.random.default_rng(7)
    for n_groups in (3, 20):
        tags = np.array(["q{}".format(g) for g in range(1, n_groups + 1)], dtype=object)
        cells = tags[rng.integers(0, n_groups, size=(40, 30))]
        cells[rng.random(cells.shape) < 0.2] = np.nan
        cells[:3, :] = np.nan
        detail = pd.DataFrame(cells, index=pd.bdate_range("2024-01-01", periods=40))
        labels = list(tags) + ["absent"]
        is_member = {g: (detail == g).to_numpy() for g in labels}
        presence = st.group_presence(detail, labels)
        for g in labels:
            np.testing.assert_array_equal(presence[g].to_numpy(), is_member[g].any(axis=1))
        for p in (1, 5, 39, 40):
            got = st.rebalance_turnover(detail, labels, p)
            want = np.full((40, len(labels)), np.nan)
            for k, g in enumerate(labels):
                if p >= 40 or g == "absent":
                    continue
                now, before = is_member[g][p:], is_member[g][:-p]
                size = now.sum(axis=1)
                ok = (size > 0) & before.any(axis=1)
                want[p:, k] = np.where(
                    ok, (now & ~before).sum(axis=1) / np.maximum(size, 1), np.nan
                )
            np.testing.assert_array_equal(got.to_numpy(), want)
