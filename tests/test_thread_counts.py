"""The whole bench gives the same numbers on any number of threads: every
table of every step, compared exactly, with TARNFOLD_THREADS at 1 and at
counts that split each step's dates, instruments and schedules in other
places (more threads than the machine has cores included)."""

import warnings

import pandas as pd
import pytest

import mivada
from mivada.sample import PRESETS, build_sample_store
from tarnfold.threads import ENVIRONMENT_VARIABLE
from tarnfold.workflow import assay


@pytest.fixture(scope="module")
def value_factor(tmp_path_factory):
    # 300 instruments x about 200 dates: several blocks of dates and of
    # instruments in every threaded kernel
    path = tmp_path_factory.mktemp("threads") / "small.duckdb"
    build_sample_store(path, PRESETS["small"])
    mivada.init(str(path))
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    latest = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(latest, -230)
    end = mivada.trading_date_offset(latest, -25)
    factor = mivada.get_factor(ids, "value_score", start, end)["value_score"]
    yield factor.unstack(level="order_book_id")
    mivada.close()


def bench_tables(factor):
    """Every table of a whole-bench run (the traded groups included): each
    result's frames and series, and its summary tables."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = assay(factor, "daily", periods=(1, 5, 20), trading="a-share")
    tables = {}
    for step, result in results.items():
        for name, value in vars(result).items():
            if isinstance(value, (pd.DataFrame, pd.Series)):
                tables[step, name] = value
        for title, table in result.summary().items():
            tables[step, "summary", title] = table
    return list(results.steps), tables


def test_every_table_is_the_same_on_any_number_of_threads(value_factor, monkeypatch):
    monkeypatch.setenv(ENVIRONMENT_VARIABLE, "1")
    steps, one = bench_tables(value_factor)
    assert {"neutralize", "ic", "quantile", "factor_return", "traded"} <= set(steps)
    assert ("ic", "ic_decay") in one and ("quantile", "quantile_returns") in one
    assert ("ic", "rank_autocorrelation_by_date") in one
    for threads in ("2", "7"):
        monkeypatch.setenv(ENVIRONMENT_VARIABLE, threads)
        got_steps, got = bench_tables(value_factor)
        assert got_steps == steps and list(got) == list(one)
        for key, want in one.items():
            if isinstance(want, pd.DataFrame):
                pd.testing.assert_frame_equal(got[key], want, check_exact=True, obj=str(key))
            else:
                pd.testing.assert_series_equal(got[key], want, check_exact=True, obj=str(key))


def test_a_bad_thread_count_is_named(value_factor, monkeypatch):
    from tarnfold.analysis import assay_bench as ab

    monkeypatch.setenv(ENVIRONMENT_VARIABLE, "0")
    with pytest.raises(ValueError, match="TARNFOLD_THREADS: expected a positive integer"):
        ab.Normalization().process(value_factor)
