"""Rules every step applies to its inputs: the row order of the tables does
not change an answer, tables that do not meet are refused, holding periods
and group counts are checked the same way everywhere, a table of the wrong
type gets one error, and "daily" returns come from one loader."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import mivada
import tarnfold
from mivada.sample import SampleSize, build_sample_store
from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis.daily_returns import load_daily_returns
from tarnfold.workflow import bench_steps

from _tables import random_table


def assert_same_tables(got, want, attrs):
    for attr in attrs:
        if getattr(want, attr) is None:
            assert getattr(got, attr) is None
        else:
            pd.testing.assert_frame_equal(getattr(got, attr), getattr(want, attr), check_freq=False)


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def tables(seed=5, n_dates=40, n_inst=9):
    rng = np.random.default_rng(seed)
    factor = random_table(rng, n_dates, n_inst)
    returns = random_table(rng, n_dates + 6, n_inst, nan_frac=0.05) * 0.02
    return factor, returns


ANALYSERS = {
    "ic": (
        lambda: ab.ICAnalysis(max_decay=4, industry_classification={"000001.XSHE": "a"}),
        ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"),
    ),
    "quantile": (
        lambda: ab.QuantileReturnAnalysis(quantile=3),
        ("quantile_returns", "quantile_turnover", "quantile_detail", "top_minus_bottom_returns"),
    ),
    "factor_return": (lambda: ab.FactorReturnAnalysis(), ("factor_returns",)),
}


@pytest.mark.parametrize("name", list(ANALYSERS))
def test_row_order_changes_no_answer(name):
    make, tables_of = ANALYSERS[name]
    factor, returns = tables()
    want = quiet(make().analysis, factor, returns, [1, 3], ascending=False)
    rng = np.random.default_rng(1)
    orders = [
        (factor.iloc[::-1], returns.iloc[::-1]),
        (factor.iloc[rng.permutation(len(factor))], returns.iloc[rng.permutation(len(returns))]),
    ]
    for shuffled_factor, shuffled_returns in orders:
        got = quiet(make().analysis, shuffled_factor, shuffled_returns, [1, 3], ascending=False)
        assert_same_tables(got, want, tables_of)


def test_the_bench_runs_its_steps_on_tables_in_date_order():
    factor, returns = tables()
    factor.index.name = returns.index.name = "datetime"
    factor.columns.name = returns.columns.name = "order_book_id"

    def run(f, r):
        bench = ab.FactorAssayBench()
        bench.append(("norm", ab.Normalization()))
        for name, (make, _) in ANALYSERS.items():
            bench.append((name, make()))
        return quiet(bench.analysis, f, r, periods=(1, 2), keep_preprocess_result=True)

    want = run(factor, returns)
    newest_first = factor.iloc[::-1].copy(), returns.iloc[::-1].copy()
    got = run(*newest_first)
    pd.testing.assert_frame_equal(got["norm"], want["norm"], check_freq=False)
    for name, (_, tables_of) in ANALYSERS.items():
        assert_same_tables(got[name], want[name], tables_of)
    # the caller's own tables keep their order; only their axes are named
    assert newest_first[0].index.is_monotonic_decreasing
    assert (
        newest_first[0].index.name == "datetime" and newest_first[1].columns.name == "order_book_id"
    )


def test_zone_aware_dates_are_read_as_their_wall_clock_dates():
    factor, returns = tables()
    want = quiet(ANALYSERS["quantile"][0]().analysis, factor, returns, [1, 2])
    got = quiet(
        ANALYSERS["quantile"][0]().analysis,
        factor.tz_localize("UTC"),
        returns.tz_localize("Asia/Shanghai"),
        [1, 2],
    )
    pd.testing.assert_frame_equal(got.quantile_returns, want.quantile_returns)
    bench = ab.FactorAssayBench()
    bench.append(("ic", ab.ICAnalysis()))
    result = quiet(bench.analysis, factor.tz_localize("America/New_York"), returns, periods=1)
    pd.testing.assert_frame_equal(
        result["ic"].ic, quiet(ab.ICAnalysis().analysis, factor, returns, [1], ascending=False).ic
    )
    with pytest.raises(ValueError, match="^returns: expected a date on every row, got a missing"):
        ab.FactorReturnAnalysis().analysis(
            factor, returns.set_axis(returns.index[:-1].append(pd.DatetimeIndex([pd.NaT]))), [1]
        )


def vendor_ids(df):
    return df.set_axis([c.replace(".XSHE", ".SZ") for c in df.columns], axis=1)


@pytest.mark.parametrize("name", list(ANALYSERS))
@pytest.mark.parametrize(
    "case,message",
    [
        ("a year later", "^factor_data and returns have no date in common$"),
        ("vendor ids", "^factor_data and returns have no order_book_id in common$"),
        ("text dates", re.escape("returns: expect index type=pd.DatetimeIndex, got ")),
        ("no rows", "^factor_data and returns have no date in common$"),
    ],
)
def test_tables_that_do_not_meet_are_refused(name, case, message):
    factor, returns = tables()
    if case == "a year later":
        returns = returns.set_axis(returns.index + pd.DateOffset(years=1))
    elif case == "vendor ids":
        returns = vendor_ids(returns)
    elif case == "text dates":
        returns = returns.set_axis(returns.index.strftime("%Y-%m-%d"))
    else:
        factor = factor.iloc[:0]
    with pytest.raises(ValueError, match=message):
        quiet(ANALYSERS[name][0]().analysis, factor, returns, [] if case == "no rows" else [1])


@pytest.mark.parametrize("name", list(ANALYSERS))
def test_one_rule_for_holding_periods(name):
    factor, returns = tables(n_dates=12)
    returns = returns.iloc[:12]
    analyser = ANALYSERS[name][0]()
    for bad, kind in (
        ([True], TypeError),
        ([np.bool_(True)], TypeError),
        ([2.0], TypeError),
        (["1"], TypeError),
        (3, TypeError),
        ([0], ValueError),
        ([-2], ValueError),
    ):
        with pytest.raises(
            kind,
            match=r"^periods: expected (a list or tuple of )?positive "
            r"integer holding periods, got ",
        ):
            quiet(analyser.analysis, factor, returns, bad)
    with pytest.warns(UserWarning) as record:
        res = analyser.analysis(factor, returns, [1, 12, 2, 20, 12])
    assert [str(w.message) for w in record if "Invalid" in str(w.message)] == [
        "Invalid periods found: [12, 20, 12], will ignore."
    ]
    with pytest.raises(ValueError, match="^Invalid periods, must be less than 12$"):
        quiet(analyser.analysis, factor, returns, (12,))
    # a repeated period is one column, and the summary reads it
    twice = quiet(analyser.analysis, factor, returns, (1, 1))
    once = quiet(analyser.analysis, factor, returns, [1])
    for attr in ANALYSERS[name][1]:
        table = getattr(res, attr)
        if table is not None and "P_1" in getattr(table, "columns", []):
            assert [c for c in table.columns if c.startswith("P_")] == ["P_1", "P_2"]
            pd.testing.assert_frame_equal(getattr(twice, attr), getattr(once, attr))
    for title, table in twice.summary().items():
        pd.testing.assert_frame_equal(table, once.summary()[title])


def test_the_bench_checks_periods_before_any_step_runs():
    factor, returns = tables()
    seen = []

    class Spy(ab.FactorPreprocessor):
        def process(self, factor_data):
            seen.append(1)
            return factor_data

    bench = ab.FactorAssayBench()
    bench.append(("spy", Spy()))
    for bad in (True, [1, 2.0], (1, False)):
        with pytest.raises(TypeError, match="^periods: expected positive integer"):
            bench.analysis(factor, returns, periods=bad)
        # the workflow reads them the same way, before it loads anything
        with pytest.raises(TypeError, match="^periods: expected positive integer"):
            tarnfold.assay(factor, returns, periods=bad)
    assert seen == []
    with pytest.raises(ValueError, match="^periods: expected positive integer .* got 0$"):
        tarnfold.assay(factor, returns, periods=[1, 0])


def test_more_groups_than_instruments_is_refused_before_any_work():
    factor, returns = tables(n_inst=6)
    assert quiet(ab.QuantileReturnAnalysis(quantile=6).analysis, factor, returns, [1]) is not None
    for q in (7, 10**9, 2**62):
        with pytest.raises(
            ValueError,
            match=r"^quantile: expected at most as many groups as "
            r"factor_data has instruments \(6\), got ",
        ):
            ab.QuantileReturnAnalysis(quantile=q).analysis(factor, returns, [1])


def _bench(f, r):
    bench = ab.FactorAssayBench()
    bench.append(("n", ab.Normalization()))
    return bench.analysis(f, r)


STEPS = {
    "Winzorization": lambda f, r: ab.Winzorization().process(f),
    "user winsorize": lambda f, r: ab.Winzorization("std").process(f),
    "Normalization": lambda f, r: ab.Normalization().process(f),
    "Neutralization": lambda f, r: ab.Neutralization(None, None, [pd.DataFrame()]).process(f),
    "_format_factor_data": lambda f, r: ab._format_factor_data(f, r, [1]),
    "bench": _bench,
    **{
        name: (lambda make: lambda f, r: make().analysis(f, r, [1]))(make)
        for name, (make, _) in ANALYSERS.items()
    },
}


@pytest.mark.parametrize("step", list(STEPS))
def test_a_table_of_the_wrong_type_gets_one_error(step, monkeypatch):
    factor, returns = tables()
    if step == "user winsorize":
        monkeypatch.setitem(ab.WINSORIZE_METHODS, "std", lambda row: row.clip(-1, 1))
    for bad in (factor.iloc[:, 0], factor.to_numpy()):
        message = "^factor_data: expect pd.DataFrame, got {}$".format(re.escape(str(type(bad))))
        with pytest.raises(ValueError, match=message):
            STEPS[step](bad, returns)


# -- daily returns -------------------------------------------------------------


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("rules") / "store.duckdb")
    build_sample_store(path, SampleSize(20, 60, seed=3))
    mivada.init(path)
    yield path
    mivada.close()


def store_factor():
    dates = mivada.get_trading_dates("2023-10-09", "2023-12-08")
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    rng = np.random.default_rng(2)
    return pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=ids)


def test_one_loader_serves_newest_first_factors(store):
    mivada.init(store)
    factor = store_factor()
    loaded = load_daily_returns(factor.iloc[::-1], (1, 5))
    pd.testing.assert_frame_equal(loaded, load_daily_returns(factor, [5, 1]))
    assert loaded.index[0] == factor.index[0]
    assert loaded.index[-1] == mivada.get_next_trading_date(factor.index[-1], 5)
    steps = bench_steps(preprocess=(), industry=None, max_decay=None, benchmark=None)
    want = quiet(tarnfold.assay, factor, periods=(1, 5), steps=steps, account=False)
    got = quiet(tarnfold.assay, factor.iloc[::-1], periods=(1, 5), steps=steps, account=False)
    for name in ("ic", "quantile", "factor_return"):
        assert_same_tables(got[name], want[name], ANALYSERS[name][1])


def test_every_daily_path_says_so_when_the_client_has_no_returns(store, monkeypatch):
    mivada.init(store)
    factor = store_factor()
    monkeypatch.setattr(mivada, "get_price_change_rate", lambda **kwargs: None)
    message = "^returns: no daily returns available for the factor's instruments and dates$"
    bench = ab.FactorAssayBench()
    bench.append(("ic", ab.ICAnalysis()))
    with pytest.raises(ValueError, match=message):
        bench.analysis(factor, "daily", periods=(1, 5))
    steps = bench_steps(preprocess=(), industry=None, max_decay=None, benchmark=None)
    with pytest.raises(ValueError, match=message):
        tarnfold.assay(factor, periods=(1, 5), steps=steps)
