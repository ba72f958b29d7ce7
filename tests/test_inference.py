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
            p[1] = p[2]                      # ties keep their order
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
    skew = sum((x - mean) ** 3 for x in r) / n / m2 ** 1.5
    kurt = sum((x - mean) ** 4 for x in r) / n / m2 ** 2
    sr = mean / sd
    z = (sr - benchmark) * np.sqrt(n - 1) / np.sqrt(1 - skew * sr + (kurt - 1) / 4 * sr ** 2)
    return sr, skew, kurt, stats.norm.cdf(z)


def test_probabilistic_and_deflated_sharpe_follow_the_published_formulas():
    sr, skew, kurt, psr = _by_hand(SERIES, 0.0)
    m = inf.sharpe_moments(SERIES)
    assert (m["SR"], m["skew"], m["kurtosis"], m["n"]) == pytest.approx((sr, skew, kurt, 6))
    assert inf.probabilistic_sharpe(sr, skew, kurt, 6) == pytest.approx(psr, rel=1e-12)
    # the best of N = 100 trials with Sharpe-ratio variance 0.04
    gamma, e = 0.5772156649015329, np.e
    sr0 = np.sqrt(0.04) * ((1 - gamma) * stats.norm.ppf(1 - 1 / 100) +
                           gamma * stats.norm.ppf(1 - 1 / (100 * e)))
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
        cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": False})
    assert out["alpha/day"] == pytest.approx(fit.params.iloc[0], rel=1e-10)
    assert out["beta"] == pytest.approx(fit.params.iloc[1], rel=1e-10)
    assert out["t(alpha)"] == pytest.approx(fit.tvalues.iloc[0], rel=1e-8)
    assert out["t(beta)"] == pytest.approx(fit.tvalues.iloc[1], rel=1e-8)
    assert out["R2"] == pytest.approx(fit.rsquared, rel=1e-10)
    assert out["alpha ann."] == pytest.approx(244 * fit.params.iloc[0])
    assert out["days"] == 249
