"""ICAnalysis end to end: agreement with the plain pandas/scipy formulation,
the sign rule, decay lags, industry labels, user IC functions and the
documented failures."""

import inspect
import warnings

import numpy as np
import pandas as pd
import pytest

import tarnfold.analysis.assay_bench as ab
from tarnfold.analysis.analysis_result import ICAnalysisResult
from tarnfold.threads import ENVIRONMENT_VARIABLE

import ic_pandas_reference as ref


def tables(n_dates=25, n_inst=14, seed=3):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-03-01", periods=n_dates + 3)
    ids = ["%06d.XSHE" % i for i in range(n_inst)]
    factor = pd.DataFrame(rng.normal(size=(n_dates, n_inst)), index=dates[:n_dates], columns=ids)
    factor.iloc[:, :4] = np.round(factor.iloc[:, :4])  # ties
    factor = factor.mask(rng.random(factor.shape) < 0.1)
    if n_dates > 6:
        factor.iloc[2] = 1.5  # a constant date
        factor.iloc[4, 2:] = np.nan  # two valid pairs
        factor.iloc[6] = np.nan  # no valid pair
    returns = pd.DataFrame(
        rng.normal(scale=0.02, size=(n_dates + 3, n_inst)), index=dates, columns=ids
    )
    returns = returns.mask(rng.random(returns.shape) < 0.08)
    return factor, returns


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def assert_same(mine, theirs):
    pd.testing.assert_frame_equal(
        mine, theirs.astype(float), check_exact=False, rtol=1e-9, atol=1e-12
    )


@pytest.mark.parametrize("rank_ic,ascending", [(True, True), (True, False), (False, True)])
def test_analysis_matches_pandas_formulation(rank_ic, ascending):
    factor, returns = tables()
    industry = {oid: "ind%d" % (k % 3) for k, oid in enumerate(factor.columns[:-2])}
    industry["not.in.table"] = "ind9"
    before = factor.copy()
    res = quiet(
        ab.ICAnalysis(rank_ic, industry, 4).analysis, factor, returns, (1, 3), ascending=ascending
    )
    ic, pv, decay, ind = quiet(
        ref.ic_analysis,
        factor,
        returns,
        (1, 3),
        rank_ic=rank_ic,
        industry=industry,
        max_decay=4,
        ascending=ascending,
    )
    assert isinstance(res, ICAnalysisResult) and res.name == "FactorAnalysisStep"
    assert set(res._keys) == {"ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name"}
    assert_same(res.ic, ic)
    assert_same(res.ic_p_value, pv)
    assert_same(res.ic_decay, decay)
    assert_same(res.ic_industry_distribute, ind)
    assert "Unknown" in res.ic_industry_distribute.index
    assert "ind9" not in res.ic_industry_distribute.index
    pd.testing.assert_frame_equal(factor, before)


def test_sign_flip_only_for_rank_ic_and_ascending():
    factor, returns = tables(seed=5)
    run = lambda rank_ic, asc: quiet(
        ab.ICAnalysis(rank_ic, {"x": "a"}, 3).analysis, factor, returns, [1], ascending=asc
    )
    up, down = run(True, True), run(True, False)
    for name in ("ic", "ic_decay", "ic_industry_distribute"):
        pd.testing.assert_frame_equal(getattr(up, name), -getattr(down, name))
    pd.testing.assert_frame_equal(up.ic_p_value, down.ic_p_value)
    pd.testing.assert_frame_equal(run(False, True).ic, run(False, False).ic)


def test_user_ic_function_is_called_like_the_documented_algorithm():
    factor, returns = tables(n_dates=8, n_inst=6, seed=11)
    fd = ab._format_factor_data(factor, returns, [1, 2])
    analyser = ab.ICAnalysis(rank_ic=True, industry_classification={}, max_decay=3)
    fast = (
        quiet(analyser._calc_ic, fd),
        quiet(analyser._calc_ic_decay, fd, quiet(analyser._calc_ic, fd)[0]),
    )
    calls = []
    plain = ref.ic_func(True)

    def spy(x, f):
        calls.append((x.name, f.name, len(x), x.index.equals(f.index)))
        return plain(x, f)

    analyser.ic_func = spy
    ic, pv = quiet(analyser._calc_ic, fd)
    decay = quiet(analyser._calc_ic_decay, fd, ic)
    ind = quiet(analyser._calc_ic_industry_distribute, fd)
    assert_same(fast[0][0], ic)
    assert_same(fast[0][1], pv)
    assert_same(fast[1], decay)
    assert all(fname == "factor" and same for _, fname, _, same in calls)
    assert {name for name, *_ in calls} == {"P_1", "P_2"}
    # lag 0: every date and field; lags 1, 2: dates with complete rows
    n_dates = fd.index.get_level_values("datetime").nunique()
    assert len(calls) == 2 * n_dates + 2 * (len(decay) - n_dates) + 2 * len(ind)

    # A wrapper whose `func` was replaced is not the kernel's business.
    wrapper = ab._get_ic_func(True)
    wrapper.func = lambda a, b: (42.0, 0.25)
    analyser.ic_func = wrapper
    ic, pv = analyser._calc_ic(fd)
    valid = fd.groupby(level="datetime").apply(
        lambda g: (g["P_1"].notna() & g["factor"].notna()).sum() > 1
    )
    assert (ic.loc[valid, "P_1"] == 42.0).all() and (pv.loc[valid, "P_1"] == 0.25).all()
    assert (ic.loc[~valid, "P_1"] == 0).all()


def test_decay_lags():
    dates = pd.bdate_range("2023-01-02", periods=6)
    ids = ["a", "b", "c", "d"]
    index = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    rng = np.random.default_rng(2)
    fd = pd.DataFrame(
        {"P_1": rng.normal(size=24), "P_2": rng.normal(size=24), "factor": rng.normal(size=24)},
        index=index,
    )
    fd.loc[(dates[1], "d"), "P_2"] = np.nan  # d incomplete on date 1, P_1 still there
    analyser = ab.ICAnalysis(rank_ic=True, max_decay=3)
    ic, _ = quiet(analyser._calc_ic, fd)
    decay = quiet(analyser._calc_ic_decay, fd, ic)
    assert decay.index.names == ["datetime", "decay"]
    pd.testing.assert_frame_equal(decay.xs(0, level="decay"), ic, check_freq=False)
    for d in (1, 2):
        # the last d dates have nothing d rows later
        assert list(decay.xs(d, level="decay").index) == list(ic.index[: len(ic) - d])
    spearman = ref.ic_func(True)
    day = lambda k: fd.xs(dates[k], level="datetime")
    # lag 0 masks each field alone: d still counts for P_1 on date 1
    assert ic.loc[dates[1], "P_1"] == pytest.approx(spearman(day(1)["P_1"], day(1)["factor"])[0])
    # lag 1 from date 0 pairs with date 1's fields: d drops out of both fields
    abc = ["a", "b", "c"]
    for field in ("P_1", "P_2"):
        expected = spearman(day(1).loc[abc, field].values, day(0).loc[abc, "factor"].values)[0]
        assert decay.loc[(dates[0], 1), field] == pytest.approx(expected, abs=1e-12)
    expected = spearman(day(3)["P_1"].values, day(1)["factor"].values)[0]
    assert decay.loc[(dates[1], 2), "P_1"] == pytest.approx(expected, abs=1e-12)

    for max_decay in (None, 0):
        assert ab.ICAnalysis(max_decay=max_decay)._calc_ic_decay(fd, ic) is None
    for max_decay in (1, -3):
        only0 = ab.ICAnalysis(max_decay=max_decay)._calc_ic_decay(fd, ic)
        pd.testing.assert_frame_equal(only0.xs(0, level="decay"), ic, check_freq=False)
        assert set(only0.index.get_level_values("decay")) == {0}
    factor = fd["factor"].unstack()
    returns = fd["P_1"].unstack()
    for bad in ("5", 2.0):
        analyser = ab.ICAnalysis(max_decay=bad)  # accepted until used
        with pytest.raises(TypeError, match="max_decay: expected None or an integer"):
            quiet(analyser.analysis, factor, returns, [1])


@pytest.mark.parametrize("rank_ic", [True, False])
def test_industry_ic_over_many_dates(rank_ic, monkeypatch):
    # a million rows in a few industries pooled over every date: sorts of
    # a quarter of a million values (wider radix digits than any date's
    # cross-section takes), rows of each industry spread over the table,
    # groups shared between threads
    factor, returns = tables(n_dates=1100, n_inst=1000, seed=11)
    factor.iloc[:, 7] = 2.0  # ties across dates
    industry = {oid: "ind%d" % (k % 4) for k, oid in enumerate(factor.columns[:900])}
    industry[factor.columns[0]] = "alone"  # an industry of one instrument
    fd = ab._format_factor_data(factor, returns, [1, 3])
    analyser = ab.ICAnalysis(rank_ic, industry)
    got = {}
    for threads in ("1", "2"):
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, threads)
        got[threads] = quiet(analyser._calc_ic_industry_distribute, fd)
    labels = ref.industry_labels(fd, industry)
    want = quiet(ref.calc_ic_industry, fd, labels, ref.ic_func(rank_ic))
    assert_same(got["1"], want)
    pd.testing.assert_frame_equal(got["1"], got["2"], check_exact=True)
    assert len(got["1"]) == 6


def test_industry_labels_from_dict_and_series():
    factor, returns = tables(n_dates=5, n_inst=5)
    fd = ab._format_factor_data(factor, returns, [1])
    ids = list(factor.columns)
    series = pd.Series({ids[0]: "bank", ids[1]: "coal", "999999.XSHG": "steel"})
    copy = series.copy()
    labels = ab.ICAnalysis(industry_classification=series)._get_industry_data(fd)
    assert labels.index.equals(fd.index)
    expected = ["bank", "coal"] + ["Unknown"] * 3
    assert labels.xs(factor.index[0], level="datetime").tolist() == expected
    pd.testing.assert_series_equal(series, copy)
    by_dict = ab.ICAnalysis(industry_classification={ids[0]: "bank", ids[1]: None})
    assert (
        by_dict._get_industry_data(fd).xs(factor.index[1], level="datetime").tolist()
        == ["bank"] + ["Unknown"] * 4
    )

    # an industry with a single row over the whole period gets 0
    single = factor.copy()
    single.iloc[1:, 0] = np.nan
    res = quiet(
        ab.ICAnalysis(industry_classification={ids[0]: "bank"}).analysis, single, returns, [1]
    )
    assert res.ic_industry_distribute.loc["bank", "P_1"] == 0


def test_constructor_and_failures():
    with pytest.raises(ValueError) as err:
        ab.ICAnalysis(industry_classification="CITICS_2019")
    assert (
        str(err.value)
        == "industry_classification: expect one of ('citics_2019', 'sws'), got CITICS_2019"
    )
    with pytest.raises(ValueError) as err:
        ab.ICAnalysis(industry_classification=["sws"])
    assert str(err.value) == (
        "Unsupported industry_classification type, expect one of "
        "None/str/pd.Series/dict, got type=<class 'list'>"
    )
    analyser = ab.ICAnalysis(rank_ic=0, industry_classification="sws", max_decay=3)
    assert (analyser.rank_ic, analyser.industry, analyser.max_decay) == (0, "sws", 3)
    assert analyser.ic_func.func.__name__ == "pearsonr"
    assert (
        str(inspect.signature(ab.ICAnalysis.__init__))
        == "(self, rank_ic=True, industry_classification=None, max_decay=None)"
    )
    assert (
        str(inspect.signature(ab.ICAnalysis.analysis))
        == "(self, factor_data, returns, periods, ascending=True)"
    )

    factor, returns = tables(n_dates=4, n_inst=3)
    analyser.industry = 5
    with pytest.raises(RuntimeError) as err:
        analyser._get_industry_data(ab._format_factor_data(factor, returns, [1]))
    assert str(err.value) == "Invalid industry type, expect str/dict/pd.Series, go <class 'int'> "

    later = returns.copy()
    later.index = later.index + pd.Timedelta(days=1000)
    with pytest.raises(ValueError, match="no date in common"):
        ab.ICAnalysis().analysis(factor, later, [1])

    res = quiet(ab.ICAnalysis().analysis, factor, returns, [1])
    assert res.ic_decay is None and res.ic_industry_distribute is None


def test_bench_names_the_result():
    factor, returns = tables(n_dates=6, n_inst=5)
    bench = ab.FactorAssayBench()
    bench.append(("ic", ab.ICAnalysis(max_decay=2)))
    out = quiet(bench.analysis, factor, returns, periods=(1, 2))
    assert out["ic"].name == "ic"
    assert list(out["ic"].ic.columns) == ["P_1", "P_2"]


def test_analysis_equals_the_step_methods_and_honours_overrides():
    factor, returns = tables(n_dates=30, n_inst=40, seed=8)
    analyser = ab.ICAnalysis(
        rank_ic=True, industry_classification={"000001.XSHE": "a"}, max_decay=6
    )
    res = quiet(analyser.analysis, factor, returns, (1, 5), ascending=True)
    fd = ab._format_factor_data(factor, returns, (1, 5))
    fd["factor"] *= -1
    ic, pv = quiet(analyser._calc_ic, fd)
    pd.testing.assert_frame_equal(res.ic, ic, check_exact=True)
    pd.testing.assert_frame_equal(res.ic_p_value, pv, check_exact=True)
    pd.testing.assert_frame_equal(
        res.ic_decay, quiet(analyser._calc_ic_decay, fd, ic), check_exact=True
    )
    pd.testing.assert_frame_equal(
        res.ic_industry_distribute,
        quiet(analyser._calc_ic_industry_distribute, fd),
        check_exact=True,
    )

    for max_decay in (1, -3, True, None):
        analyser.max_decay = max_decay
        res = quiet(analyser.analysis, factor, returns, (1, 5), ascending=True)
        expected = quiet(analyser._calc_ic_decay, fd, ic)
        if expected is None:
            assert res.ic_decay is None
        else:
            pd.testing.assert_frame_equal(res.ic_decay, expected, check_exact=True)

    class Tweaked(ab.ICAnalysis):
        def _calc_ic(self, factor_data):
            ic, pv = super()._calc_ic(factor_data)
            return ic.fillna(0) * 0 + 7.0, pv

    tweaked = quiet(Tweaked(rank_ic=True, max_decay=3).analysis, factor, returns, [1])
    assert (tweaked.ic == 7.0).all().all()
    assert (tweaked.ic_decay.xs(0, level="decay") == 7.0).all().all()


def test_industry_ic_is_the_same_for_every_label_dtype():
    """Text, object and categorical labels (categories out of order, one
    unused, missing labels) give the same industry table, equal to the
    pandas group-by formulation."""
    factor, returns = tables(n_dates=30, n_inst=12)
    fd = ab._format_factor_data(factor, returns, [1, 3])
    rng = np.random.default_rng(5)
    names = np.array(["钢铁", "bank", "coal", "Unknown"], dtype=object)[rng.integers(0, 4, len(fd))]
    names[rng.random(len(fd)) < 0.1] = None
    text = pd.Series(names, index=fd.index, dtype="str")
    variants = {
        "str": text,
        "python str": text.astype(pd.StringDtype("python")),
        "object": pd.Series(names, index=fd.index, dtype=object),
        "categorical": text.astype(
            pd.CategoricalDtype(["zinc", "coal", "钢铁", "Unknown", "bank"])
        ),
    }

    class Given(ab.ICAnalysis):
        labels = None

        def _get_industry_data(self, factor_data):
            return self.labels

    tables_by_dtype = {}
    for name, labels in variants.items():
        analyser = Given(rank_ic=True, industry_classification="citics_2019")
        analyser.labels = labels
        tables_by_dtype[name] = quiet(analyser._calc_ic_industry_distribute, fd)
    expected = tables_by_dtype["object"]
    assert expected.index.tolist() == ["Unknown", "bank", "coal", "钢铁"]
    for name, table in tables_by_dtype.items():
        pd.testing.assert_frame_equal(table, expected, check_exact=True, obj=name)
    ic_func = ab._get_ic_func(True)
    for label, rows in fd.groupby(text).groups.items():
        block = fd.loc[rows]
        for field in ("P_1", "P_3"):
            assert expected.loc[label, field] == pytest.approx(
                ic_func(block[field], block["factor"])[0], abs=1e-12
            )
