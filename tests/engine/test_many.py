"""Many factors in one call, threads, and what the engine keeps per store."""

import os

import numpy as np
import pandas as pd
import pytest

import mivada
from mivada.ingest_files import ingest
from mivada.sample import PRESETS, build_sample_store
from tarnfold import threads as tthreads
from tarnfold.alphas import alpha
from tarnfold.cross_sectional import group_rank, group_zscore, rank, scale, zscore
from tarnfold.engine_v2 import _operators, eval_core, execute_factors
from tarnfold.engine_v2.exec_context import ThreadingExecContext
from tarnfold.fix import fix
from tarnfold.interface import CombinedFactor
from tarnfold.leaf import CLOSE, HIGH, LOW, OPEN, VALUE_SCORE, VOLUME, Factor
from tarnfold.operators import correlation, delay, ema, ts_mean, ts_rank, ts_std, ts_sum

INDEX = "000300.XSHG"


def _mixed_factors():
    ret = CLOSE / delay(CLOSE, 1) - 1
    return {
        "close": CLOSE,
        "published": VALUE_SCORE,
        "momentum": ts_mean(ret, 10),
        # the same tree built again: its own table, the same numbers
        "momentum_again": ts_mean(CLOSE / delay(CLOSE, 1) - 1, 10),
        "ranked": rank(ts_std(ret, 5)),
        "nested": ts_sum(rank(correlation(HIGH, VOLUME, 6)), 3) * zscore(OPEN - LOW),
        "industry": group_zscore(ts_mean(VOLUME, 4), "sws") + group_rank(ret),
        "excess": ret - fix(ret, INDEX),
        "smooth": ema(CLOSE, 8) / scale(CLOSE),
        "alpha_017": alpha(17),
        # a function of one's own runs as given (not in the compiled loop)
        "own_function": CombinedFactor(
            lambda x: x[::-1].cumsum()[::-1], (ts_mean(CLOSE, 3),), lookback=0
        ),
    }


@pytest.mark.parametrize("universe", [None, INDEX])
def test_each_table_equals_its_own_execute_factor_call(store, universe):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -30)
    factors = _mixed_factors()
    got = execute_factors(factors, ids, start, end, universe=universe)
    assert list(got) == list(factors)
    for name, factor in factors.items():
        want = eval_core.execute_factor(factor, ids, start, end, universe=universe)
        assert got[name].notna().to_numpy().any(), name
        pd.testing.assert_frame_equal(got[name], want, check_exact=True, obj=name)


def test_many_factors_reading_many_cross_sections_in_one_look_back(store):
    # one look-back, more cross-sectional parts than are held at a time, and
    # one part read by every factor
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -15)
    shared = rank(ts_std(VOLUME, 5))
    factors = {
        "f{}".format(k): rank(ts_mean(CLOSE * k, 5)) - shared + zscore(ts_sum(OPEN, 5) * k)
        for k in range(1, 8)
    }
    assert len({f.shift for f in factors.values()}) == 1
    got = execute_factors(factors, ids, start, end)
    for name, factor in factors.items():
        pd.testing.assert_frame_equal(
            got[name], eval_core.execute_factor(factor, ids, start, end), check_exact=True, obj=name
        )


def test_a_failing_factor_is_reported_and_the_others_computed(store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -20)
    factors = {
        "bad_field": Factor("clsoe") + 1,
        "good": ts_mean(CLOSE, 3),
        "too_long": ts_mean(CLOSE, 500),
        "also_good": rank(VOLUME),
    }
    got = execute_factors(factors, ids, start, end, errors="return")
    assert isinstance(got["bad_field"], ValueError) and "clsoe" in str(got["bad_field"])
    assert isinstance(got["too_long"], ValueError)
    for name in ("good", "also_good"):
        pd.testing.assert_frame_equal(
            got[name], eval_core.execute_factor(factors[name], ids, start, end)
        )
    with pytest.raises(ValueError, match="factor 'clsoe': unknown field"):
        execute_factors({"bad": Factor("clsoe")}, ids, start, end)
    with pytest.raises(TypeError, match="factors: expected a dict"):
        execute_factors([CLOSE], ids, start, end)
    with pytest.raises(ValueError, match="errors: expected one of"):
        execute_factors({"c": CLOSE}, ids, start, end, errors="ignore")


@pytest.fixture(scope="module")
def small_store(tmp_path_factory):
    """A store large enough for the engine to start its threads."""
    path = tmp_path_factory.mktemp("engine-small") / "small.duckdb"
    build_sample_store(path, PRESETS["small"])
    return str(path)


def test_results_do_not_depend_on_the_thread_count(small_store):
    mivada.init(small_store)
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    start = mivada.trading_date_offset(end, -200)
    leaves = [OPEN, HIGH, LOW, CLOSE, VOLUME]
    factors = [
        correlation(CLOSE, VOLUME, 20) * ts_rank(HIGH, 9),
        rank(ts_std(CLOSE, 5)),
        group_zscore(CLOSE / OPEN, "sws"),
        zscore(group_rank(ts_mean(VOLUME, 3))),
        alpha(2),
        alpha(29),
    ]
    tables = {}
    for n in (1, 2, 3):
        ctx = ThreadingExecContext(leaves, ids, start, end, threads=n)
        tables[n] = [eval_core._exec_factor(f, ids, ctx).to_numpy() for f in factors]
        tables[n].extend(t.to_numpy() for t in eval_core._exec_factors(factors, ids, ctx))
    for n in (2, 3):
        for k, (one, many) in enumerate(zip(tables[1], tables[n])):
            assert np.array_equal(one, many, equal_nan=True), (n, k)
    assert all(np.isfinite(t).any() for t in tables[1])


@pytest.mark.parametrize(
    "op, grouped",
    [("rank", False), ("zscore", False), ("group_demean", True), ("group_rank", True)],
)
def test_cross_sectional_operators_split_over_dates_give_the_same_bits(rng, op, grouped):
    table = pd.DataFrame(rng.normal(size=(400, 900)))
    table[table > 1.8] = np.nan
    table.iloc[7] = 0.5
    tables = [table]
    if grouped:
        # few industries, and codes beyond what per-code accumulators take
        for top in (30, 6000):
            codes = rng.integers(-1, top, size=table.shape).astype(np.int32)
            one = _operators.apply_cs_kernel(op, (), (table, codes), threads=1)
            for n in (2, 5):
                many = _operators.apply_cs_kernel(op, (), (table, codes), threads=n)
                assert np.array_equal(one, many, equal_nan=True)
        return
    one = _operators.apply_cs_kernel(op, (), tables, threads=1)
    for n in (2, 5):
        assert np.array_equal(
            one, _operators.apply_cs_kernel(op, (), tables, threads=n), equal_nan=True
        )


def test_thread_count_settings(monkeypatch):
    monkeypatch.delenv(tthreads.ENVIRONMENT_VARIABLE, raising=False)
    assert tthreads.thread_count() == len(os.sched_getaffinity(0))
    assert tthreads.thread_count(3) == 3
    monkeypatch.setenv(tthreads.ENVIRONMENT_VARIABLE, "2")
    assert tthreads.thread_count() == 2
    assert tthreads.thread_count(1) == 1  # the argument wins
    monkeypatch.setenv(tthreads.ENVIRONMENT_VARIABLE, "many")
    with pytest.raises(ValueError, match="TARNFOLD_THREADS: expected a positive integer"):
        tthreads.thread_count()
    for bad, error in ((0, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error, match="threads: expected a positive integer"):
            tthreads.thread_count(bad)


def _write_bars(folder, rows, instruments=True):
    folder.mkdir()
    if instruments:
        (folder / "instruments.csv").write_text(
            "order_book_id,type,listed_date,de_listed_date\n"
            "000001.XSHE,CS,2024-01-01,0000-00-00\n000002.XSHE,CS,2024-01-01,0000-00-00\n"
        )
    (folder / "daily_bars.csv").write_text(
        "order_book_id,date,open,close,volume\n"
        + "".join("{},{},{},{},{}\n".format(oid, day, c, c, v) for oid, day, c, v in rows)
    )


def test_a_store_extended_by_an_import_is_read_afresh(tmp_path):
    days = ["2024-01-0{}".format(d) for d in (2, 3, 4, 5, 8)]
    first = [("000001.XSHE", d, 10.0 + k, 100) for k, d in enumerate(days)]
    # 000002 is suspended on the 4th (zero volume) and has no bar on the 8th
    first += [("000002.XSHE", d, 20.0 + k, 0 if k == 2 else 50) for k, d in enumerate(days[:4])]
    _write_bars(tmp_path / "one", first)
    target = tmp_path / "store.duckdb"
    ingest(tmp_path / "one", target)
    mivada.init(target)
    ids = ["000001.XSHE", "000002.XSHE"]
    factor = ts_sum(CLOSE, 2)
    before = eval_core.execute_factor(factor, ids, days[1], days[3])
    assert before.loc[days[3], "000002.XSHE"] == 21.0 + 23.0  # the 4th skipped
    # the import adds the 8th for 000002, and the engine sees it
    _write_bars(tmp_path / "two", [("000002.XSHE", days[4], 30.0, 70)], instruments=False)
    ingest(tmp_path / "two", target)
    after = eval_core.execute_factor(factor, ids, days[1], days[4])
    assert after.loc[days[4], "000002.XSHE"] == 23.0 + 30.0
    pd.testing.assert_frame_equal(after.loc[: days[3]], before)
    mivada.close()


def test_tables_handed_out_are_never_reused_by_later_evaluations(store):
    # memory of an evaluation's own tables is recycled within the call; a
    # table the caller holds must keep its values through later calls
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    end = mivada.get_latest_trading_date()
    ctx = ThreadingExecContext(
        [CLOSE, OPEN, VOLUME], ids, mivada.trading_date_offset(end, -60), end
    )
    first = eval_core._exec_factor(rank(ts_mean(CLOSE, 3)) * zscore(OPEN), ids, ctx)
    kept = first.to_numpy().copy()
    for k in range(2, 8):
        eval_core._exec_factor(rank(ts_std(VOLUME * k, 4)) + scale(CLOSE - OPEN), ids, ctx)
        eval_core._exec_factors([rank(CLOSE * k), zscore(ts_sum(OPEN, k))], ids, ctx)
    assert np.array_equal(first.to_numpy(), kept, equal_nan=True)


def test_valid_days_kept_per_store_equal_a_fresh_read(store):
    from tarnfold.engine_v2.store_data import StoreData

    current = mivada.current_store()
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    data = StoreData(current)
    cal = current.calendar
    late = cal[cal.searchsorted(current.data_end) - 30 :]  # runs past the last day of data
    early = cal[10:80]

    def fresh(some, dates):
        got = mivada.get_price_panel(some, dates[0], dates[-1], ["close", "volume"])
        close = got["close"].reindex(dates).to_numpy()
        volume = got["volume"].reindex(dates).to_numpy()
        return ~np.isnan(close) & (volume != 0)

    # instruments added later, and dates reaching further back, extend what is kept
    for some, dates in ((ids[:7], late), (ids[5:20], late), (ids[::3], early), (ids, cal[60:90])):
        got = data.valid_days(current, some, dates)
        assert got.shape == (len(dates), len(some)) and got.flags.f_contiguous
        np.testing.assert_array_equal(got, fresh(some, dates))
    with pytest.raises(ValueError, match="consecutive trading days"):
        data.valid_days(current, ids[:3], cal[[3, 5, 9]])


@pytest.mark.parametrize("seed", range(6))
def test_look_backs_answered_once_are_those_computed_afresh(store, seed):
    from tarnfold.engine_v2 import exec_context

    rng = np.random.default_rng(seed)
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    start = mivada.trading_date_offset(mivada.get_latest_trading_date(), -20)
    windows = rng.integers(2, 12, size=3)
    factors = [
        ts_mean(rank(ts_std(CLOSE, windows[0])), windows[1]),
        ts_mean(ts_std(CLOSE, windows[0]), windows[1]),
        rank(ts_sum(VOLUME, windows[2])) - fix(ts_mean(CLOSE, windows[0]), INDEX),
    ]
    for factor in factors:
        first = mivada.trading_date_offset(start, -factor.shift)
        fixed = [INDEX] if "FixedFactor" in repr(factor) else []
        want = exec_context._lookback_start(
            factor, ids, list(dict.fromkeys(ids + fixed)), start, first, 0
        )
        for _ in range(2):
            assert exec_context.lookback_start(factor, ids, fixed, start, first) == want


def test_context_thread_setting_is_checked(store):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:3]
    end = mivada.get_latest_trading_date()
    with pytest.raises(ValueError, match="threads: expected a positive integer"):
        ThreadingExecContext([CLOSE], ids, end, end, threads=0)
    with pytest.raises(TypeError, match="threads: expected a positive integer"):
        execute_factors({"c": CLOSE * 1}, ids, end, end, threads="2")
