"""Multiple-testing corrections, probabilistic and deflated Sharpe ratios,
monotonicity and alpha/beta against independent formulations."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from scipy import stats
from statsmodels.stats.multitest import multipletests

from tarnfold.evidence import inference as inf


@pytest.mark.parametrize("method", ["holm", "fdr_bh", "fdr_by"])
def test_adjusted_p_values_match_statsmodels(rng, method):
    for size in (1, 2, 7, 60):
        p = rng.uniform(0, 0.2, size) ** 2
        if size > 3:
            p[1] = p[2]  # ties keep their order
            p[-1] = 1.0
        got = inf.adjusted_p_values(p, method)
        want = multipletests(p, method=method)[1]
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def test_a_trial_without_p_value_counts_as_one():
    p = np.array([0.001, np.nan, 0.02, 0.04])
    got = inf.adjusted_p_values(p, "fdr_bh")
    want = multipletests(np.where(np.isnan(p), 1.0, p), method="fdr_bh")[1]
    np.testing.assert_allclose(got, want, rtol=1e-12)
    assert got[1] == 1.0
    with pytest.raises(ValueError, match="method"):
        inf.adjusted_p_values(p, "bonferroni-ish")


# A hand-worked series: six daily returns.
SERIES = np.array([0.012, -0.004, 0.009, 0.015, -0.011, 0.006])


def _by_hand(r, benchmark):
    n = len(r)
    mean = sum(r) / n
    sd = np.sqrt(sum((x - mean) ** 2 for x in r) / (n - 1))
    m2 = sum((x - mean) ** 2 for x in r) / n
    skew = sum((x - mean) ** 3 for x in r) / n / m2**1.5
    kurt = sum((x - mean) ** 4 for x in r) / n / m2**2
    sr = mean / sd
    z = (sr - benchmark) * np.sqrt(n - 1) / np.sqrt(1 - skew * sr + (kurt - 1) / 4 * sr**2)
    return sr, skew, kurt, stats.norm.cdf(z)


def test_probabilistic_and_deflated_sharpe_follow_the_published_formulas():
    sr, skew, kurt, psr = _by_hand(SERIES, 0.0)
    m = inf.sharpe_moments(SERIES)
    assert (m["SR"], m["skew"], m["kurtosis"], m["n"]) == pytest.approx((sr, skew, kurt, 6))
    assert inf.probabilistic_sharpe(sr, skew, kurt, 6) == pytest.approx(psr, rel=1e-12)
    # the best of N = 100 trials with Sharpe-ratio variance 0.04
    gamma, e = 0.5772156649015329, np.e
    sr0 = np.sqrt(0.04) * (
        (1 - gamma) * stats.norm.ppf(1 - 1 / 100) + gamma * stats.norm.ppf(1 - 1 / (100 * e))
    )
    assert inf.expected_max_sharpe(100, 0.04) == pytest.approx(sr0, rel=1e-12)
    dsr = _by_hand(SERIES, sr0)[3]
    assert inf.deflated_sharpe(sr, skew, kurt, 6, 100, 0.04) == pytest.approx(dsr, rel=1e-12)
    assert dsr < psr
    # one trial: the deflated Sharpe ratio is the probabilistic one
    row = inf.sharpe_given_search({"x": SERIES}, trials=1, periods_per_year=244)["x"]
    assert row["DSR"] == pytest.approx(psr) and row["PSR"] == pytest.approx(psr)
    assert row["Sharpe"] == pytest.approx(sr * np.sqrt(244))
    # too short or flat: no figure rather than a wrong one
    assert np.isnan(inf.sharpe_moments([0.01, 0.02])["SR"])
    assert np.isnan(inf.sharpe_moments([0.01] * 5)["SR"])


def test_monotonicity_statistic():
    rng = np.random.default_rng(3)
    n, k = 300, 5
    slope = np.array([0.004, 0.002, 0.0, -0.002, -0.004])
    daily = slope + rng.normal(0, 0.001, (n, k))
    out = inf.monotonicity(daily, period=1)
    assert out["rank corr"] == pytest.approx(1.0) and out["steps in order"] == 4
    assert out["steps"] == 4
    per_date = [stats.spearmanr(np.arange(k, 0, -1), row)[0] for row in daily]
    assert out["daily rank corr"] == pytest.approx(np.mean(per_date))
    assert out["NW t"] > 10 and out["dates"] == n
    reversed_ = inf.monotonicity(daily[:, ::-1], period=1)
    assert reversed_["rank corr"] == pytest.approx(-1.0) and reversed_["NW t"] < -10
    # dates with a group missing do not take part in the per-date statistic
    daily[:10, 2] = np.nan
    assert inf.monotonicity(daily, period=1)["dates"] == n - 10


@pytest.mark.parametrize("lags", [0, 4])
def test_alpha_beta_match_statsmodels_hac(rng, lags):
    bench = pd.Series(rng.normal(0.0003, 0.01, 250))
    y = 0.0005 + 0.8 * bench + rng.normal(0, 0.004, 250)
    y.iloc[5] = np.nan
    out = inf.alpha_beta(y, bench, lags=lags, periods_per_year=244)
    ok = y.notna()
    fit = sm.OLS(y[ok], sm.add_constant(bench[ok])).fit(
        cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": False}
    )
    assert out["alpha/day"] == pytest.approx(fit.params.iloc[0], rel=1e-10)
    assert out["beta"] == pytest.approx(fit.params.iloc[1], rel=1e-10)
    assert out["t(alpha)"] == pytest.approx(fit.tvalues.iloc[0], rel=1e-8)
    assert out["t(beta)"] == pytest.approx(fit.tvalues.iloc[1], rel=1e-8)
    assert out["R2"] == pytest.approx(fit.rsquared, rel=1e-10)
    assert out["alpha ann."] == pytest.approx(244 * fit.params.iloc[0])
    assert out["days"] == 249


def _quantile_result(rng, benchmark=True):
    from tarnfold.analysis import assay_bench as ab

    dates = pd.bdate_range("2022-01-03", periods=80)
    ids = ["%06d.XSHE" % (i + 1) for i in range(25)]
    returns = pd.DataFrame(rng.normal(0, 0.02, (80, 25)), index=dates, columns=ids)
    factor = pd.DataFrame(
        returns.shift(-1).fillna(0).to_numpy() * 5 + rng.normal(size=(80, 25)),
        index=dates,
        columns=ids,
    )
    res = ab.QuantileReturnAnalysis(quantile=4).analysis(factor, returns, [1, 3], ascending=False)
    if benchmark:
        res.benchmark_return = pd.Series(np.cumprod(1 + rng.normal(0, 0.01, 80)) - 1, index=dates)
    return res


def test_tables_of_the_quantile_result(rng):
    from tarnfold.analysis import statistics as st
    from tarnfold.evidence import summaries as ev

    res = _quantile_result(rng)
    tables = res.summary()
    for title in (
        "monotonicity of group returns (q1 best)",
        "alpha and beta against the benchmark",
        "top-bottom Sharpe ratio given the search (one trial)",
    ):
        assert title in tables
    groups = tables["groups by holding period"]
    for field, period in (("P_1", 1), ("P_3", 3)):
        dailies = st.group_daily_returns(
            res.quantile_returns, res.quantile_detail, res.top_minus_bottom_returns, field
        )
        g = pd.DataFrame({k: v for k, v in dailies.items() if k != "top-bottom"})
        assert tables["monotonicity of group returns (q1 best)"].loc[
            field, "NW t"
        ] == pytest.approx(inf.monotonicity(g.to_numpy(), period)["NW t"])
        bench = st.daily_from_cumulative(res.benchmark_return)
        want = inf.alpha_beta(dailies["top-bottom"], bench, lags=period - 1, periods_per_year=244)
        got = tables["alpha and beta against the benchmark"].loc[(field, "top-bottom")]
        assert got["beta"] == pytest.approx(want["beta"])
        assert got["t(alpha)"] == pytest.approx(want["t(alpha)"])
        sharpe = tables["top-bottom Sharpe ratio given the search (one trial)"].loc[field]
        # the same Sharpe ratio as the groups table, with its PSR
        assert sharpe["Sharpe"] == pytest.approx(groups.loc[(field, "top-bottom"), "Sharpe"])
        m = inf.sharpe_moments(dailies["top-bottom"])
        assert sharpe["PSR"] == pytest.approx(
            inf.probabilistic_sharpe(m["SR"], m["skew"], m["kurtosis"], m["n"])
        )
    head = res.headline([1])
    for key in (
        "monotonicity P_1",
        "top-bottom PSR P_1",
        "top-bottom SR/day P_1",
        "top-bottom skew P_1",
        "top-bottom kurtosis P_1",
        "top-bottom days P_1",
    ):
        assert key in head
    assert head["top-bottom SR/day P_1"] * np.sqrt(244) == pytest.approx(
        groups.loc[("P_1", "top-bottom"), "Sharpe"]
    )
    assert (
        "alpha and beta against the benchmark"
        not in _quantile_result(rng, benchmark=False).summary()
    )
    # a second summary reads the tables kept from the first
    assert ev.monotonicity_table(res) is ev.monotonicity_table(res)


def test_batch_deflates_by_the_trials_variance():
    from tarnfold.batch import trials as tr

    rows = pd.DataFrame(
        {
            "IC NW t P_1": [3.0, 0.5, -1.0],
            "top-bottom SR/day P_1": [0.20, 0.05, -0.02],
            "top-bottom skew P_1": [-0.3, 0.1, 0.0],
            "top-bottom kurtosis P_1": [4.0, 3.2, 3.0],
            "top-bottom days P_1": [500, 500, 480],
            "error": [None, None, None],
        },
        index=["a", "b", "c"],
    )
    out = tr.with_inference(rows, (1,))
    var = np.var([0.20, 0.05, -0.02], ddof=1)
    sr0 = inf.expected_max_sharpe(3, var)
    assert out.loc["a", "top-bottom DSR P_1"] == pytest.approx(
        inf.probabilistic_sharpe(0.20, -0.3, 4.0, 500, sr0)
    )
    assert out.loc["a", "p NW P_1"] == pytest.approx(2 * stats.norm.sf(3.0))
    np.testing.assert_allclose(
        out["p BY P_1"],
        multipletests(2 * stats.norm.sf(np.abs([3.0, 0.5, -1.0])), method="fdr_by")[1],
    )
    assert np.isnan(out.loc["a", "factor return DSR P_1"])  # no figures for it
