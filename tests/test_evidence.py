"""The evidence analysers against independent formulations: per-date
statsmodels OLS for Fama-MacBeth, pandas group-bys and scipy for the group
views, and a plain event-by-event computation for the event study."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from scipy import stats

import ic_pandas_reference as ref
from quantile_pandas_reference import my_quantile
from tarnfold import _kernels
from tarnfold.evidence import EventStudyAnalysis, FamaMacBethAnalysis, GroupViewAnalysis

PERIODS = (1, 3)


def _tables(rng, n=40, m=30, missing=0.08):
    dates = pd.bdate_range("2022-03-01", periods=n + max(PERIODS))
    ids = ["%06d.XSHE" % (i + 1) for i in range(m)]
    returns = pd.DataFrame(rng.normal(0, 0.02, (len(dates), m)), index=dates, columns=ids)
    returns.iloc[:6, 2] = np.nan  # returns that start late
    returns = returns.mask(rng.random(returns.shape) < 0.03)
    signal = returns.shift(-1).fillna(0.0).to_numpy()[:n] * 20
    factor = pd.DataFrame(signal + rng.normal(size=(n, m)), index=dates[:n], columns=ids)
    factor = factor.mask(rng.random(factor.shape) < missing)
    factor.iloc[5, 4] = factor.iloc[5, 7]  # a tie
    industry = {oid: "ind%d" % (k % 4) for k, oid in enumerate(ids[:-2])}
    size = pd.DataFrame(np.exp(rng.normal(20, 1, (n, m))), index=dates[:n], columns=ids)
    size.iloc[3, 5] = np.nan
    return factor, returns, industry, size


def _run(analyser, factor, returns, ascending=False):
    analyser.step_name = "step"
    return analyser.analysis(factor, returns, PERIODS, ascending=ascending)


def _long(factor, returns, sign):
    fd = ref.format_factor_data(factor * sign, returns, PERIODS)
    return fd


def test_fama_macbeth_matches_per_date_ols(rng):
    factor, returns, industry, _ = _tables(rng)
    res = _run(
        FamaMacBethAnalysis(industry=industry, style_factors=None), factor, returns, ascending=True
    )
    fd = _long(factor, returns, -1.0)
    labels = (
        pd.Series(industry)
        .reindex(fd.index.get_level_values("order_book_id"))
        .fillna("Unknown")
        .to_numpy()
    )
    fd["industry"] = labels
    for field in ("P_1", "P_3"):
        for date, g in fd.groupby(level="datetime"):
            g = g[g["factor"].notna() & g[field].notna()]
            x = pd.concat([g["factor"], pd.get_dummies(g["industry"], dtype=float)], axis=1)
            fit = sm.OLS(g[field], x).fit()
            got = res.premium.loc[date, field]
            if np.isnan(got):
                assert len(g) < x.shape[1] + 2 or date >= fd.index.levels[0][-3]
                continue
            assert got == pytest.approx(fit.params["factor"], rel=1e-9, abs=1e-13)
            assert res.r_squared.loc[date, field] == pytest.approx(fit.rsquared, rel=1e-9)
            assert res.observations.loc[date, field] == len(g)
    table = res.summary()["Fama-MacBeth premium (industry a table of 28 instruments (5 groups))"]
    assert table.loc["P_1", "dates"] == res.premium["P_1"].notna().sum()
    # a constant alone
    plain = _run(
        FamaMacBethAnalysis(industry=None, style_factors=None), factor, returns, ascending=True
    )
    for date, g in list(fd.groupby(level="datetime"))[:10]:
        g = g[g["factor"].notna() & g["P_3"].notna()]
        fit = sm.OLS(g["P_3"], sm.add_constant(g["factor"])).fit()
        assert plain.premium.loc[date, "P_3"] == pytest.approx(fit.params["factor"], rel=1e-10)
        assert plain.r_squared.loc[date, "P_3"] == pytest.approx(fit.rsquared, rel=1e-10)


def test_fama_macbeth_kernel_with_style_controls(rng):
    n, m, k = 25, 40, 3
    ret = rng.normal(0, 0.02, (n + 4, m))
    ret[rng.random(ret.shape) < 0.05] = np.nan
    f = rng.normal(size=(n, m))
    f[rng.random(f.shape) < 0.1] = np.nan
    z = rng.normal(size=(m * n, k))
    z[7, 1] = np.nan
    rows = np.arange(m * n, dtype=np.int64).reshape(m, n)
    rows[3, 4] = -1  # a pair without exposures
    ind = rng.integers(0, 4, (n, m)).astype(np.int32)
    ind[2, :5] = -2  # pairs left out (not listed)
    f[10] = z[rows[:, 10], 0] * 2.0  # a date with the factor in the span
    premium, obs, r2 = _kernels.fama_macbeth(
        f,
        ret,
        np.arange(n, dtype=np.int64),
        np.arange(m, dtype=np.int64),
        [1, 3],
        [z[:, c].copy() for c in range(k)],
        rows,
        ind,
        4,
    )
    growth = np.where(np.isnan(ret), 1.0, 1.0 + ret)
    first = np.argmax(~np.isnan(ret), axis=0)
    for pi, p in enumerate((1, 3)):
        for t in range(n):
            y = (
                np.where(t >= first, np.prod(growth[t + 1 : t + p + 1], axis=0) - 1.0, np.nan)
                if t + p < len(ret)
                else np.full(m, np.nan)
            )
            zz = np.where(rows[:, t : t + 1] >= 0, z[np.maximum(rows[:, t], 0)], np.nan)
            d = pd.get_dummies(ind[t]).to_numpy(float)
            x = np.column_stack([f[t], zz, d])
            ok = np.isfinite(y) & np.isfinite(x).all(axis=1) & (ind[t] >= 0)
            if t == 10:
                assert np.isnan(premium[pi, t])
                continue
            fit = sm.OLS(y[ok], x[ok][:, np.abs(x[ok]).sum(axis=0) > 0]).fit()
            assert obs[pi, t] == ok.sum()
            assert premium[pi, t] == pytest.approx(fit.params[0], rel=1e-9)
            assert r2[pi, t] == pytest.approx(fit.rsquared, rel=1e-9)


def _groups(values, q, names):
    """Labels of one cross-section, best (largest) first, ties in column
    order, cut as the quantile analyser cuts them."""
    ranked = pd.Series(values).rank(method="first", ascending=False).to_numpy()
    return my_quantile(ranked, q=q, labels=np.array(names))


def _reference_views(factor, returns, industry, size, q, buckets, sign=1.0):
    fd = _long(factor, returns, sign)
    fd = fd[np.isfinite(fd["factor"])]
    ids = fd.index.get_level_values("order_book_id")
    fd["industry"] = pd.Series(industry).reindex(ids).fillna("Unknown").to_numpy()
    fd["size"] = size.stack().reindex(fd.index).to_numpy()
    groups = [f"q{i + 1}" for i in range(q)]
    sizes = [f"s{i + 1}" for i in range(buckets)]
    parts = []
    for date, g in fd.groupby(level="datetime"):
        g = g.copy()
        g["group"] = _groups(g["factor"].to_numpy(), q, groups)
        g["ind_group"] = g.groupby("industry")["factor"].transform(
            lambda s: pd.Series(_groups(s.to_numpy(), q, groups), index=s.index)
        )
        sized = g["size"].notna()
        ranked = g.loc[sized, "size"].rank(method="first").to_numpy()
        g["bucket"] = pd.Series(None, index=g.index, dtype=object)
        g.loc[sized, "bucket"] = my_quantile(ranked, q=buckets, labels=np.array(sizes))
        g["size_group"] = pd.Series(None, index=g.index, dtype=object)
        for b, h in g[sized].groupby("bucket"):
            g.loc[h.index, "size_group"] = _groups(h["factor"].to_numpy(), q, groups)
        parts.append(g)
    return pd.concat(parts)


def test_group_views_match_pandas(rng):
    factor, returns, industry, size = _tables(rng, n=30, m=45)
    res = _run(
        GroupViewAnalysis(quantile=3, industry=industry, size=size, size_buckets=3), factor, returns
    )
    fd = _reference_views(factor, returns, industry, size, 3, 3)
    for field in ("P_1", "P_3"):
        ok = fd[fd[field].notna()]
        # double sort: mean forward return of every (date, size bucket, group)
        want = (
            ok.dropna(subset=["bucket"])
            .groupby(
                [
                    ok.dropna(subset=["bucket"]).index.get_level_values("datetime"),
                    "bucket",
                    "size_group",
                ]
            )[field]
            .mean()
        )
        got = res.double_sort[field].dropna()
        want.index.names = got.index.names
        pd.testing.assert_series_equal(
            got.sort_index(), want.sort_index(), check_names=False, rtol=1e-12
        )
        # groups of the whole cross-section, equal and cap-weighted
        eq = ok.groupby([ok.index.get_level_values("datetime"), "group"])[field].mean()
        pd.testing.assert_series_equal(
            res.group_returns[field].dropna().sort_index(),
            eq.sort_index(),
            check_names=False,
            check_index=False,
            rtol=1e-12,
        )
        w = ok.dropna(subset=["size"])
        cap = (w[field] * w["size"]).groupby(
            [w.index.get_level_values("datetime"), w["group"]]
        ).sum() / w["size"].groupby([w.index.get_level_values("datetime"), w["group"]]).sum()
        np.testing.assert_allclose(
            res.cap_group_returns[field].dropna().sort_index().values,
            cap.sort_index().values,
            rtol=1e-10,
            atol=1e-16,
        )
        # rank IC within industries: scipy on each (date, industry) with three pairs or more
        for (date, name), g in ok.groupby([ok.index.get_level_values("datetime"), "industry"]):
            got = res.bucket_ic[field].loc[(date, "industry", name)]
            if len(g) < 3 or g["factor"].nunique() < 2 or g[field].nunique() < 2:
                assert np.isnan(got)
            else:
                assert got == pytest.approx(
                    stats.spearmanr(g["factor"], g[field])[0], rel=1e-12, abs=1e-14
                )
            top = g.loc[g["ind_group"] == "q1", field].mean()
            bottom = g.loc[g["ind_group"] == "q3", field].mean()
            spread = res.bucket_spread[field].loc[(date, "industry", name)]
            np.testing.assert_allclose(spread, top - bottom, rtol=1e-12)
    summary = res.summary()
    buckets = summary["where the effect is: within industries and size buckets"]
    assert (
        "where the effect is: within size buckets"
        in _run(GroupViewAnalysis(quantile=3, industry=None, size=size), factor, returns).summary()
    )
    assert set(buckets.index.get_level_values("view")) == {"industry", "size"}
    assert buckets["carries effect"].dtype == bool


def test_event_study_matches_event_by_event_returns(rng):
    factor, returns, _, _ = _tables(rng, n=50, m=25)
    res = _run(EventStudyAnalysis(quantile=4, before=3, after=4), factor, returns)
    labels = np.array(
        [_groups(row, 4, ["q1", "q2", "q3", "q4"]) for row in factor.to_numpy()], dtype=object
    )
    r = returns.to_numpy()
    growth = np.where(np.isnan(r), 1.0, 1.0 + r)
    first = np.argmax(~np.isnan(r), axis=0)
    market = 1.0 + np.nan_to_num(np.nanmean(r, axis=1), nan=0.0)
    rows = []
    for t in range(1, len(factor)):
        for j in range(factor.shape[1]):
            now, was = labels[t, j], labels[t - 1, j]
            if not isinstance(now, str) or not isinstance(was, str):
                continue
            for side, target in (("top", "q1"), ("bottom", "q4")):
                if now != target or was == target:
                    continue
                for k in range(-3, 5):
                    lo, hi = min(t, t + k), max(t, t + k)
                    if lo < first[j] or hi >= len(r):
                        continue
                    stock = np.prod(growth[lo + 1 : hi + 1, j])
                    mkt = np.prod(market[lo + 1 : hi + 1])
                    c, cm = (stock, mkt) if k >= 0 else (1 / stock, 1 / mkt)
                    rows.append((side, k, t, c - 1.0, c - cm))
    events = pd.DataFrame(rows, columns=["side", "offset", "date", "return", "excess"])
    want = events.groupby(["side", "offset"])[["return", "excess"]].mean()
    got = res.event_returns[["return", "excess"]].loc[want.index]
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-15)
    counts = events.groupby(["side", "offset"]).size()
    np.testing.assert_array_equal(res.event_returns.loc[counts.index, "events"], counts)
    # the band: standard error clustered by entry date
    one = events[(events["side"] == "top") & (events["offset"] == 2)]
    dev = (one["excess"] - one["excess"].mean()).groupby(one["date"]).sum()
    half = 1.959963984540054 * np.sqrt((dev**2).sum()) / len(one)
    row = res.event_returns.loc[("top", 2)]
    assert row["excess high"] - row["excess"] == pytest.approx(half, rel=1e-9)
    assert res.entries["top"].sum() == (events[events["offset"] == 0]["side"] == "top").sum()
    assert list(res.summary())[0].startswith("cumulative excess return after entering")


def test_event_study_takes_the_groups_of_the_group_views(rng):
    from tarnfold.evidence.grid import shared_tables

    factor, returns, _, size = _tables(rng, n=40, m=25)
    factor.iloc[7, 3] = np.inf  # left out by both
    alone = _run(EventStudyAnalysis(quantile=4, before=2, after=3), factor, returns)
    with shared_tables():
        _run(GroupViewAnalysis(quantile=4, industry=None, size=size), factor, returns)
        shared = _run(EventStudyAnalysis(quantile=4, before=2, after=3), factor, returns)
    pd.testing.assert_frame_equal(shared.event_returns, alone.event_returns)
    pd.testing.assert_frame_equal(shared.entries, alone.entries)


def test_direction_and_bad_settings(rng):
    factor, returns, industry, size = _tables(rng)
    up = _run(FamaMacBethAnalysis(industry=None, style_factors=None), factor, returns, False)
    down = _run(FamaMacBethAnalysis(industry=None, style_factors=None), -factor, returns, True)
    pd.testing.assert_frame_equal(up.premium, down.premium)
    assert up.premium["P_1"].mean() > 0  # the tables carry a real signal
    with pytest.raises(ValueError, match="weighting"):
        GroupViewAnalysis(weighting="value")
    with pytest.raises(ValueError, match="needs size"):
        GroupViewAnalysis(size=None, weighting="cap")
    with pytest.raises(ValueError, match="quantile"):
        EventStudyAnalysis(quantile=1)
    with pytest.raises(TypeError, match="industry"):
        FamaMacBethAnalysis(industry=["a"])
    with pytest.raises(ValueError, match="no date in common"):
        _run(
            FamaMacBethAnalysis(industry=None, style_factors=None),
            factor.set_axis(factor.index + pd.Timedelta(days=3000)),
            returns,
        )


def test_cap_weighted_groups_within_buckets(rng):
    factor, returns, industry, size = _tables(rng, n=25, m=40)
    res = _run(
        GroupViewAnalysis(quantile=3, industry=None, size=size, size_buckets=2, weighting="cap"),
        factor,
        returns,
    )
    assert res.weighting == "cap"
    fd = _reference_views(factor, returns, {}, size, 3, 2)
    ok = fd[fd["P_1"].notna() & fd["size"].notna()]
    keys = [ok.index.get_level_values("datetime"), ok["bucket"], ok["size_group"]]
    want = (ok["P_1"] * ok["size"]).groupby(keys).sum() / ok["size"].groupby(keys).sum()
    got = res.double_sort["P_1"].dropna().sort_index()
    np.testing.assert_allclose(got.to_numpy(), want.sort_index().to_numpy(), rtol=1e-10)


def test_group_view_tables_summarise_the_per_date_figures(rng):
    factor, returns, industry, size = _tables(rng, n=60, m=40)
    res = _run(GroupViewAnalysis(quantile=4, industry=industry, size=size), factor, returns)
    double = res.double_sort_table()
    for field in ("P_1", "P_3"):
        cells = res.double_sort[field].unstack("group")
        mean = cells.groupby(level="size").mean()
        np.testing.assert_allclose(
            double.loc[field][["q1", "q2", "q3", "q4"]].to_numpy(),
            mean[["q1", "q2", "q3", "q4"]].to_numpy(),
            rtol=1e-12,
        )
        np.testing.assert_allclose(
            double.loc[field, "top-bottom"], mean["q1"] - mean["q4"], rtol=1e-12
        )
    buckets = res.buckets()
    spread = res.bucket_spread["P_3"].xs(("size", "s2"), level=("view", "bucket"))
    row = buckets.loc[("P_3", "size", "s2")]
    from tarnfold.analysis.statistics import newey_west_t

    assert row["top-bottom NW t"] == pytest.approx(newey_west_t(spread.dropna().values, 2))
    assert row["carries effect"] == (row["top-bottom NW t"] >= 1.96)
    assert row["members"] == pytest.approx(
        (factor.notna() & size.notna()).sum(axis=1).mean() / 3, rel=0.05
    )
    head = res.headline((3,))
    assert set(head) == {"industry buckets carrying P_3", "size buckets carrying P_3"}
    assert head["size buckets carrying P_3"] == int(
        buckets.xs("P_3")["carries effect"].xs("size").sum()
    )
    figures = res.plot()
    assert len(figures["double sort heatmap"].axes) == 2 * 2  # a panel and a colour bar each


def test_event_study_follows_the_bench_direction(rng):
    factor, returns, _, _ = _tables(rng, n=40, m=20)
    up = _run(EventStudyAnalysis(quantile=4, before=2, after=3), factor, returns, False)
    down = _run(EventStudyAnalysis(quantile=4, before=2, after=3), -factor, returns, True)
    pd.testing.assert_frame_equal(up.event_returns, down.event_returns)
    flipped = _run(EventStudyAnalysis(quantile=4, before=2, after=3), factor, returns, True)
    assert flipped.entries["top"].sum() != up.entries["top"].sum()
    summary = up.summary()
    table = next(iter(summary.values()))
    assert list(table.xs("top", level="side").index) == [-2, 1, 3]  # before, the periods
    assert up.headline() == {
        "top entry excess P_1": up.event_returns.loc[("top", 1), "excess"],
        "top entry excess P_3": up.event_returns.loc[("top", 3), "excess"],
    }


def test_tables_are_read_in_date_order_and_refused_when_unreadable(rng):
    factor, returns, industry, _ = _tables(rng, n=30, m=20)
    fm = FamaMacBethAnalysis(industry=industry, style_factors=None)
    ordered = _run(fm, factor, returns)
    shuffled = _run(
        fm, factor.sample(frac=1.0, random_state=1), returns.sample(frac=1.0, random_state=2)
    )
    pd.testing.assert_frame_equal(ordered.premium, shuffled.premium, check_freq=False)
    twice = pd.concat([factor, factor.iloc[:, :1]], axis=1)
    with pytest.raises(ValueError, match="factor_data: expected each order_book_id once"):
        _run(fm, twice, returns)
    # factor dates without returns are left out, not filled
    gap = _run(fm, factor, returns.drop(index=factor.index[3]))
    assert factor.index[3] not in gap.premium.index


def test_fama_macbeth_controls_are_the_neutralization_s(tmp_path):
    """Industry labels of the bench's own loader (listed pairs only) and the
    store's style exposures, against one OLS per date."""
    import mivada
    from tarnfold.analysis import assay_bench as ab
    from tarnfold.analysis.daily_returns import load_daily_returns
    from tarnfold.engine_v2.eval_core import execute_factor
    from tarnfold.leaf import Factor

    mivada.init(sample="tiny")
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    last = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(last, -40)
    end = mivada.trading_date_offset(last, -5)
    factor = execute_factor(Factor("value_score"), ids, start, end)
    returns = load_daily_returns(factor, (1,))
    res = _run(
        FamaMacBethAnalysis(industry="citics_2019", style_factors=["size", "beta"]), factor, returns
    )
    assert "styles size, beta; industry citics_2019" in res.controls
    labels = ab._load_industry_data(list(factor.columns), list(factor.index), source="citics_2019")
    exposures = mivada.get_style_factor_exposure(ids, start, end, factors=["size", "beta"])
    exposures = exposures.reorder_levels(["date", "order_book_id"])
    fd = _long(factor, returns, 1.0)
    checked = 0
    for date, g in fd.groupby(level="datetime"):
        g = g.droplevel("datetime")
        lab = labels.xs(date, level="datetime").reindex(g.index)
        z = exposures.xs(date, level="date").reindex(g.index)
        x = pd.concat([g["factor"], z, pd.get_dummies(lab, dtype=float)], axis=1)
        ok = g["P_1"].notna() & x.notna().all(axis=1) & lab.notna()
        if ok.sum() < x.shape[1] + 2:
            continue
        fit = sm.OLS(g["P_1"][ok], x[ok]).fit()
        assert res.premium.loc[date, "P_1"] == pytest.approx(fit.params["factor"], rel=1e-8)
        assert res.observations.loc[date, "P_1"] == ok.sum()
        checked += 1
    assert checked > 20
