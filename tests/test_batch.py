"""Batch assays: serial against a two-process local cluster, failing factors,
a worker killed mid-task, resuming, and the cross-factor correlation view."""

import functools
import json
import os
import shutil
import signal
import threading

import numpy as np
import pandas as pd
import pytest

import mivada
from _tables import crowded_rows
from tarnfold import _kernels
from tarnfold import operators as op
import tarnfold
from tarnfold.analysis import assay_bench as ab
from tarnfold.analysis.analysis_result import AnalysisResult
from tarnfold.batch import (
    DamagedResultsError,
    FolderInUseError,
    assay_many,
    completed_factors,
    factor_correlation,
    load_factor_table,
    load_results,
    pick_uncorrelated,
    storage,
)
from tarnfold.leaf import VOLUME
from tarnfold.workflow import bench_steps

START, END = "2023-08-01", "2023-11-30"
FIGURES = [
    "IC mean P_1",
    "IC IR P_1",
    "IC NW t P_5",
    "top-bottom Sharpe P_1",
    "factor return Sharpe P_5",
    "rank autocorr P_1",
    "NaN factor",
    "used P_5",
]


@pytest.fixture
def tiny():
    return mivada.init(sample="tiny").path


@pytest.fixture(scope="module")
def cluster_client():
    from tarnfold.batch import local_cluster

    # what an earlier default Dask cluster leaves in this process's environment
    saved = os.environ.get("MALLOC_TRIM_THRESHOLD_")
    os.environ["MALLOC_TRIM_THRESHOLD_"] = "65536"
    try:
        client, cluster = local_cluster(2)
        assert os.environ["MALLOC_TRIM_THRESHOLD_"] == "65536"
    finally:
        if saved is None:
            os.environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        else:
            os.environ["MALLOC_TRIM_THRESHOLD_"] = saved
    yield client
    client.close()
    cluster.close()


def _worker_settings():
    import dask

    return (
        os.environ.get("MALLOC_TRIM_THRESHOLD_"),
        os.environ.get("OMP_NUM_THREADS"),
        os.environ.get("MALLOC_ARENA_MAX"),
        dask.config.get("distributed.worker.profile.enabled"),
        dask.config.get("distributed.admin.tick.interval"),
    )


def test_local_cluster_workers_run_one_thread_with_malloc_defaults(cluster_client):
    settings = cluster_client.run(_worker_settings)
    assert len(settings) == 2
    assert set(settings.values()) == {(None, "1", "1", False, "1s")}
    assert all(w == 1 for w in cluster_client.nthreads().values())
    # a factor computed in a task keeps to its worker's one thread
    from tarnfold.threads import ENVIRONMENT_VARIABLE, thread_count

    if ENVIRONMENT_VARIABLE not in os.environ:
        assert cluster_client.submit(thread_count, pure=False).result() == 1
    # the settings were those of the cluster only, not left behind here
    import dask

    assert dask.config.get("distributed.admin.tick.interval") != "1s"


def _fail():
    raise RuntimeError("no data for this one")


def _locked_build(lock):
    return op.ts_mean(op.returns(), 5)


def _kill_once(marker):
    def build():
        # the first attempt takes its worker process down mid-task
        if not os.path.exists(marker):
            open(marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return op.ts_mean(op.returns(), 3)

    return build


def _factors():
    return {
        "mom5": op.ts_mean(op.returns(), 5),
        "vol10": op.ts_std(op.returns(), 10),
        "volume chg/5d": op.delta(VOLUME, 5),
        "broken": _fail,
    }


def test_cluster_run_equals_serial_run_factor_by_factor(tiny, cluster_client, tmp_path):
    kw = dict(start_date=START, end_date=END, periods=(1, 5))
    serial = assay_many(_factors(), out=tmp_path / "serial", client="serial", **kw)
    lines = []
    # a factor that cannot be pickled for a worker
    unsendable = dict(_factors(), unsendable=functools.partial(_locked_build, threading.Lock()))
    dist = assay_many(
        unsendable, out=tmp_path / "dist", client=cluster_client, progress=lines.append, **kw
    )
    assert list(dist.index) == list(unsendable)
    pd.testing.assert_frame_equal(dist.loc[serial.index, FIGURES], serial[FIGURES])
    # a raising or unsendable factor is a row with its error, not a failed batch
    assert dist.loc["broken", "error"] == "RuntimeError: no data for this one"
    assert dist.loc["unsendable", "error"].startswith(
        "cannot send the factor to a worker: TypeError: cannot pickle '_thread.lock'"
    )
    assert dist["error"].drop(["broken", "unsendable"]).isna().all()
    assert len(lines) == 5 and lines[-1].startswith("3 completed, 2 failed, 0 remaining")
    for name in ("mom5", "vol10", "volume chg/5d"):
        pd.testing.assert_frame_equal(
            load_factor_table(tmp_path / "dist", name), load_factor_table(tmp_path / "serial", name)
        )
    assert completed_factors(tmp_path / "dist") == sorted(["mom5", "vol10", "volume chg/5d"])
    assert not [e for e in os.listdir(storage.factors_dir(tmp_path / "dist")) if e.startswith(".")]
    summary = pd.read_csv(tmp_path / "dist" / "summary.csv", index_col="factor")
    assert summary.loc["mom5", "IC mean P_1"] == pytest.approx(dist.loc["mom5", "IC mean P_1"])


def test_stored_results_rebuild_the_bench_results(tiny, tmp_path):
    from tarnfold.engine_v2.eval_core import execute_factor
    from tarnfold.workflow import assay

    tree = op.ts_mean(op.returns(), 5)
    row = assay_many(
        {"mom5": tree},
        start_date=START,
        end_date=END,
        periods=(1, 5),
        out=tmp_path,
        client="serial",
    )
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    table = execute_factor(tree, ids, START, END)
    pd.testing.assert_frame_equal(
        load_factor_table(tmp_path, "mom5"), table, check_names=False, check_freq=False
    )
    direct = assay(table, "daily", periods=(1, 5))
    loaded = load_results(tmp_path, "mom5")
    assert set(loaded) == set(direct)
    for step in direct:
        got, want = loaded[step].summary(), direct[step].summary()
        assert list(got) == list(want)
        for title in want:
            pd.testing.assert_frame_equal(
                got[title],
                want[title],
                check_dtype=False,
                check_index_type=False,
                check_column_type=False,
            )
        # the factor's own tables come back too (its figures draw from them)
        pd.testing.assert_frame_equal(
            loaded[step].rank_autocorrelation_by_date,
            direct[step].rank_autocorrelation_by_date,
            check_freq=False,
        )
        assert set(loaded[step].plot()) == set(direct[step].plot())
    want_ic = direct["ic"].summary()["IC by holding period"]
    assert row.loc["mom5", "IC IR P_5"] == pytest.approx(want_ic.loc["P_5", "IR"])


def test_a_killed_worker_is_retried_and_every_factor_comes_once(tiny, cluster_client, tmp_path):
    factors = {
        "mom5": op.ts_mean(op.returns(), 5),
        "killer": _kill_once(str(tmp_path / "killed")),
        "vol10": op.ts_std(op.returns(), 10),
    }
    out = assay_many(
        factors,
        start_date=START,
        end_date=END,
        periods=(1,),
        out=tmp_path / "o",
        client=cluster_client,
    )
    assert os.path.exists(tmp_path / "killed")
    assert list(out.index) == list(factors)
    assert out["error"].isna().all()
    assert completed_factors(tmp_path / "o") == ["killer", "mom5", "vol10"]


def test_resume_redoes_only_what_is_missing(tiny, tmp_path):
    factors = {
        "a": op.ts_mean(op.returns(), 5),
        "b": op.ts_std(op.returns(), 10),
        "c": op.delta(VOLUME, 5),
        "bad": _fail,
    }
    kw = dict(start_date=START, end_date=END, periods=(1,), out=tmp_path, client="serial")
    first = assay_many(factors, **kw)
    # "b" is lost; a killed writer left a half-written folder for "c" (its
    # result.json already there), and a folder of "a" without result.json
    # stands for one whose writing never finished
    root = storage.factors_dir(tmp_path)
    shutil.rmtree(storage.factor_dir(tmp_path, "b"))
    half = os.path.join(root, storage.TMP_PREFIX + "c-123")
    shutil.copytree(storage.factor_dir(tmp_path, "c"), half)
    os.remove(os.path.join(storage.factor_dir(tmp_path, "a"), storage.RESULT_FILE))

    again = assay_many(factors, resume=True, **kw)
    assert again["resumed"].to_dict() == {"a": False, "b": False, "c": True, "bad": False}
    assert not os.path.exists(half)
    pd.testing.assert_frame_equal(again[FIGURES[:2]], first[FIGURES[:2]])
    assert again.loc["bad", "error"].startswith("RuntimeError")

    # a different tree under the same name, or other dates, is not the same result
    changed = dict(factors, c=op.delta(VOLUME, 3))
    third = assay_many(changed, resume=True, **kw)
    assert third["resumed"].to_dict() == {"a": True, "b": True, "c": False, "bad": False}
    other = assay_many(factors, resume=True, **dict(kw, end_date="2023-11-15"))
    assert not other["resumed"].any()


def test_resume_needs_the_same_instruments_and_steps(tiny, tmp_path):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    factors = {"a": op.ts_mean(op.returns(), 5)}
    kw = dict(start_date=START, end_date=END, periods=(1,), out=tmp_path, client="serial")
    assay_many(factors, order_book_ids=ids[:20], **kw)
    # as many instruments, other ones; the same instruments another universe
    assert not assay_many(factors, order_book_ids=ids[20:], resume=True, **kw)["resumed"].any()
    assay_many(factors, order_book_ids=ids[:20], **kw)
    assert not assay_many(factors, order_book_ids=ids[:20], universe=ids[:10], resume=True, **kw)[
        "resumed"
    ].any()
    # the same step names with another setting
    steps = bench_steps(quantile=3)
    assay_many(factors, order_book_ids=ids[:20], steps=steps, **kw)
    assert assay_many(factors, order_book_ids=ids[:20], steps=steps, resume=True, **kw)[
        "resumed"
    ].all()
    assert not assay_many(
        factors, order_book_ids=ids[:20], steps=bench_steps(quantile=4), resume=True, **kw
    )["resumed"].any()


def _damage(out, name, how):
    folder = storage.factor_dir(out, name)
    record = json.load(open(os.path.join(folder, storage.RESULT_FILE)))
    table = os.path.join(folder, record["results"]["ic"]["attrs"]["ic"]["file"])
    if how == "cut short":
        with open(table, "r+b") as fh:
            fh.truncate(os.path.getsize(table) // 2)
    elif how == "a byte flipped":
        with open(table, "r+b") as fh:
            fh.seek(os.path.getsize(table) // 2)
            byte = fh.read(1)
            fh.seek(-1, os.SEEK_CUR)
            fh.write(bytes([byte[0] ^ 0x10]))
    elif how == "deleted":
        os.remove(table)
    elif how == "a figure changed":
        record["row"]["IC mean P_1"] = 0.5
        json.dump(record, open(os.path.join(folder, storage.RESULT_FILE), "w"))
    else:  # a record that is no JSON
        with open(os.path.join(folder, storage.RESULT_FILE), "r+b") as fh:
            fh.truncate(100)
    return (
        os.path.basename(table)
        if how in ("cut short", "a byte flipped", "deleted")
        else storage.RESULT_FILE
    )


def test_damaged_results_are_computed_again_and_never_loaded(tiny, tmp_path):
    harms = ["cut short", "a byte flipped", "deleted", "a figure changed", "garbled record"]
    factors = {h: op.ts_mean(op.returns(), 3 + k) for k, h in enumerate(harms)}
    factors["intact"] = op.ts_std(op.returns(), 5)
    kw = dict(start_date=START, end_date=END, periods=(1,), out=tmp_path, client="serial")
    first = assay_many(factors, **kw)
    for how in harms:
        damaged = _damage(tmp_path, how, how)
        with pytest.raises(DamagedResultsError, match=damaged.replace(".", "\\.")):
            load_results(tmp_path, how)
    lines = []
    again = assay_many(factors, resume=True, progress=lines.append, **kw)
    assert again["resumed"].to_dict() == dict({h: False for h in harms}, intact=True)
    pd.testing.assert_frame_equal(again[FIGURES[:2]], first[FIGURES[:2]])
    assert sum("stored results are damaged" in line for line in lines) == len(harms)
    for name in factors:
        load_results(tmp_path, name)["ic"].summary()


def _flaky(marker):
    def build():
        if os.path.exists(marker):
            raise RuntimeError("no data today")
        return op.ts_mean(op.returns(), 5)

    return build


def test_a_factor_that_fails_later_keeps_no_earlier_results(tiny, tmp_path):
    marker = str(tmp_path / "fail")
    factors = {
        "flaky": _flaky(marker),
        "steady": op.ts_std(op.returns(), 5),
        "other": op.delta(VOLUME, 5),
    }
    kw = dict(start_date=START, end_date=END, periods=(1,), out=tmp_path / "o", client="serial")
    assay_many(factors, **kw)
    assert completed_factors(tmp_path / "o") == ["flaky", "other", "steady"]
    open(marker, "w").close()
    second = assay_many(factors, **kw)
    assert second.loc["flaky", "error"] == "RuntimeError: no data today"
    assert completed_factors(tmp_path / "o") == ["other", "steady"]
    with pytest.raises(KeyError, match="failed in the last run.*no data today"):
        load_results(tmp_path / "o", "flaky")
    with pytest.raises(KeyError, match="failed"):
        factor_correlation(tmp_path / "o", ["flaky", "steady"])
    assert list(factor_correlation(tmp_path / "o").index) == ["other", "steady"]
    os.remove(marker)
    third = assay_many(factors, resume=True, **kw)
    assert third["resumed"].to_dict() == {"flaky": False, "steady": True, "other": True}
    assert completed_factors(tmp_path / "o") == ["flaky", "other", "steady"]


def test_one_batch_at_a_time_writes_into_a_folder(tiny, tmp_path, capsys):
    factors = {"a": op.ts_mean(op.returns(), 5)}
    kw = dict(start_date=START, end_date=END, periods=(1,), client="serial")
    # a batch in progress: its folder being written and the lock it holds
    progress = os.path.join(storage.factors_dir(tmp_path), storage.TMP_PREFIX + "a-123")
    os.makedirs(progress)
    with storage.batch_lock(tmp_path):
        with pytest.raises(FolderInUseError, match=r"another batch \(pid {} ".format(os.getpid())):
            assay_many(factors, out=tmp_path, **kw)
        src = tmp_path / "f.py"
        src.write_text(
            "from tarnfold.operators import ts_mean, returns\n"
            "FACTORS = {'a': ts_mean(returns(), 5)}\n"
        )
        from tarnfold.cli import main

        assert (
            main(
                [
                    "assay-many",
                    str(src),
                    "--serial",
                    "--out",
                    str(tmp_path),
                    "--start",
                    START,
                    "--end",
                    END,
                    "--report",
                    "none",
                    "--quiet",
                ]
            )
            == 1
        )
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "another batch" in err
        assert os.path.isdir(progress)
    # once the first is done, the next batch runs and clears what was left
    assert assay_many(factors, out=tmp_path, **kw)["error"].isna().all()
    assert not os.path.exists(progress)


def test_factors_without_instruments_in_common_and_long_names(tiny, tmp_path):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:12]
    dates = mivada.get_trading_dates(START, END)
    table = pd.DataFrame(
        np.random.default_rng(5).normal(size=(len(dates), len(ids))), index=dates, columns=ids
    )
    vendor = table.set_axis(
        [i.replace(".XSHE", ".SZ").replace(".XSHG", ".SH") for i in ids], axis=1
    )
    long_name = "ts_mean(returns(), 5) / ts_std(returns(), 20) " * 8
    out = assay_many(
        {"vendor ids": vendor, long_name: table, ".hidden/x": table},
        periods=(1,),
        out=tmp_path,
        client="serial",
    )
    assert out.loc["vendor ids", "error"].startswith(
        "ValueError: factor, returns: no order_book_id in common"
    )
    assert out["error"].drop("vendor ids").isna().all()
    assert sorted(completed_factors(tmp_path)) == sorted([".hidden/x", long_name])
    assert all(len(e) <= storage.MAX_NAME for e in os.listdir(storage.factors_dir(tmp_path)))
    direct = tarnfold.assay(table, "daily", periods=(1,))
    pd.testing.assert_frame_equal(
        load_results(tmp_path, long_name)["ic"].summary()["IC by holding period"],
        direct["ic"].summary()["IC by holding period"],
        check_dtype=False,
    )


def test_each_factor_gets_the_returns_of_its_own_instruments_and_dates(tiny, tmp_path):
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    dates = mivada.get_trading_dates(START, END)
    rng = np.random.default_rng(11)
    full = pd.DataFrame(rng.normal(size=(len(dates), 20)), index=dates, columns=ids[:20])
    # each after one that differs from it only in its last date, its first
    # date or its instruments, in a process that keeps the returns it read
    tables = {
        "earlier": full.iloc[:-10],
        "full": full,
        "later": full.iloc[10:],
        "full again": full,
        "other instruments": full.set_axis(ids[20:40], axis=1),
    }
    rows = assay_many(tables, periods=(1, 5), client="serial")
    for name, table in tables.items():
        want = tarnfold.assay(table, "daily", periods=(1, 5)).headline()
        for figure in ("IC mean P_1", "IC mean P_5", "used P_5"):
            assert rows.loc[name, figure] == pytest.approx(want[figure], rel=1e-12), name


class SpreadResult(AnalysisResult):
    """A result class of a user's own: the mean top-half minus bottom-half
    forward return per period."""

    def _own_summary(self):
        return {"spread": self.spread.to_frame()}

    def headline(self, periods=None):
        return {"spread " + field: value for field, value in self.spread.items()}

    def _figures(self, pyplot):
        return {}


class SpreadAnalysis(ab.FactorAnalyser):
    def analysis(self, factor_data, returns, periods, ascending=True):
        fmt = ab._format_factor_data(factor_data, returns, periods)
        rank = fmt["factor"].groupby(level="datetime").rank(pct=True)
        fields = ab._get_return_fields(fmt.columns)
        top = fmt[rank > 0.5][fields].groupby(level="datetime").mean()
        bottom = fmt[rank <= 0.5][fields].groupby(level="datetime").mean()
        return SpreadResult(spread=(top - bottom).mean(), name=self.step_name)


def test_a_new_analyser_is_summarised_stored_and_loaded_without_changes_here(tiny, tmp_path):
    steps = bench_steps(preprocess=(), industry=None, benchmark=None, analysers=("ic",))
    steps.append(("spread", "analyser", SpreadAnalysis, "top minus bottom half"))
    row = assay_many(
        {"mom5": op.ts_mean(op.returns(), 5)},
        start_date=START,
        end_date=END,
        periods=(1, 5),
        steps=steps,
        out=tmp_path,
        client="serial",
    )
    loaded = load_results(tmp_path, "mom5")
    assert isinstance(loaded["spread"], SpreadResult)
    assert row.loc["mom5", "spread P_5"] == pytest.approx(loaded["spread"].spread["P_5"])
    assert loaded["spread"].summary()["spread"].shape == (2, 1)


def _pandas_mean_rank_correlation(tables, names):
    dates = tables[0].index
    mats = []
    for d in dates:
        cross = pd.DataFrame({n: t.loc[d] for n, t in zip(names, tables)})
        mats.append(cross.corr(method="spearman").to_numpy())
    return pd.DataFrame(np.nanmean(np.stack(mats), axis=0), index=names, columns=names)


def test_rank_correlation_of_wide_crowded_tables_matches_pandas(rng):
    # Cross-sections wide enough for the radix sort, with values that share
    # sort keys (crowded into parts of a wide range), ties and NaN.
    width = 400
    first = np.vstack([crowded_rows(rng, width) for _ in range(4)])
    second = first[::-1] * rng.choice([-1.0, 2.0], size=first.shape)
    second[-1] = first[-1]  # the constant-but-one row pairs with itself
    tables = [pd.DataFrame(first), pd.DataFrame(second), pd.DataFrame(-first)]
    sums, counts = _kernels.cross_rank_correlation_sums(tables)
    want = _pandas_mean_rank_correlation(tables, ["a", "b", "c"]).to_numpy()
    off = ~np.eye(3, dtype=bool)
    np.testing.assert_allclose((sums / np.maximum(counts, 1))[off], want[off], rtol=1e-12)


def test_correlation_view_matches_pandas(tmp_path, rng):
    dates = pd.bdate_range("2022-01-03", periods=23, name="datetime")
    ids = ["S{:02d}".format(i) for i in range(30)]
    base = rng.normal(size=(23, 30))
    tables = {
        "x": base,
        "near x": base + 0.3 * rng.normal(size=(23, 30)),
        "ties": np.round(rng.normal(size=(23, 30))),  # many tied values
        "sparse": np.where(rng.random((23, 30)) < 0.4, np.nan, -base),
    }
    frames = {}
    for name, values in tables.items():
        df = pd.DataFrame(values, index=dates, columns=ids)
        frames[name] = df
        storage.write_factor_results(tmp_path, name, df, {}, {"error": None}, {})
    # one factor covers fewer instruments and has a constant date and a date
    # with a single value: those dates leave its pairs out
    short = frames["x"].iloc[:, :20].copy()
    short.iloc[3] = 1.0
    short.iloc[5, 1:] = np.nan
    storage.write_factor_results(tmp_path, "short", short, {}, {"error": None}, {})
    frames["short"] = short.reindex(columns=ids)

    for names in (
        ["x", "near x", "ties", "sparse", "short"],
        ["short", "x", "near x", "ties", "sparse"],
    ):  # the narrower one first
        got = factor_correlation(tmp_path, names, block=5)
        want = _pandas_mean_rank_correlation([frames[n] for n in names], names)
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-10, atol=1e-12)
    assert got.attrs["dates"].loc["x", "short"] == 21
    assert got.attrs["dates"].loc["x", "near x"] == 23
    assert got.loc["x", "near x"] > 0.8 and got.loc["x", "sparse"] < -0.9


def test_greedy_pick_by_ic_ir_below_the_threshold():
    names = ["a", "b", "c", "d", "e"]
    corr = pd.DataFrame(np.eye(5), index=names, columns=names)
    corr.loc["a", "b"] = corr.loc["b", "a"] = 0.9
    corr.loc["a", "c"] = corr.loc["c", "a"] = -0.7  # strongly alike, opposite sign
    corr.loc["c", "d"] = corr.loc["d", "c"] = np.nan  # never compared
    summary = pd.DataFrame(
        {
            "IC IR P_1": [0.5, 0.9, 0.3, 0.2, 1.5],
            "error": [None, None, None, None, "ValueError: x"],
        },
        index=names,
    )
    assert pick_uncorrelated(summary, corr, threshold=0.5) == ["b", "c", "d"]
    assert pick_uncorrelated(summary, corr, threshold=0.95) == ["b", "a", "c", "d"]
    assert pick_uncorrelated(summary, corr, threshold=0.95, max_factors=2) == ["b", "a"]
    with pytest.raises(ValueError, match="threshold"):
        pick_uncorrelated(summary, corr, threshold=0)
    with pytest.raises(ValueError, match="by"):
        pick_uncorrelated(summary, corr, by="IC IR P_9")


def test_a_serial_batch_computes_its_trees_together_and_keeps_their_errors(tiny, tmp_path):
    from tarnfold.engine_v2.eval_core import execute_factor
    from tarnfold.leaf import Factor

    factors = {
        "mom5": op.ts_mean(op.returns(), 5),
        "typo": op.ts_mean(Factor("clsoe"), 5),
        "chg": op.delta(VOLUME, 5),
        "too long": op.ts_mean(VOLUME, 400),
    }
    rows = assay_many(
        factors, start_date=START, end_date=END, periods=(1,), out=tmp_path, client="serial"
    )
    assert rows.loc["typo", "error"].startswith("ValueError: factor 'clsoe': unknown field")
    assert rows.loc["too long", "error"].startswith("ValueError: factor")
    assert rows.loc[["mom5", "chg"], "error"].isna().all()
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    for name in ("mom5", "chg"):
        want = execute_factor(factors[name], ids, START, END)
        np.testing.assert_array_equal(load_factor_table(tmp_path, name).to_numpy(), want.to_numpy())
        assert rows.loc[name, "compute s"] > 0


def test_bad_arguments_are_named(tiny):
    with pytest.raises(ValueError, match="factors"):
        assay_many({}, start_date=START, end_date=END, client="serial")
    with pytest.raises(ValueError, match="factors: names"):
        assay_many(
            {"": op.ts_mean(op.returns(), 5)}, start_date=START, end_date=END, client="serial"
        )
    with pytest.raises(ValueError, match="start_date"):
        assay_many({"a": op.ts_mean(op.returns(), 5)}, client="serial")
    with pytest.raises(ValueError, match="resume"):
        assay_many(
            {"a": op.ts_mean(op.returns(), 5)},
            start_date=START,
            end_date=END,
            client="serial",
            resume=True,
        )
    row = assay_many(
        {"a": "not a factor"}, start_date=START, end_date=END, client="serial", periods=(1,)
    )
    assert row.loc["a", "error"].startswith("TypeError: factor: expected a factor tree")


def test_command_line_batch(tiny, tmp_path, capsys):
    from tarnfold.cli import main

    src = tmp_path / "my_factors.py"
    src.write_text(
        "from tarnfold.operators import ts_mean, ts_std, returns\n"
        "FACTORS = {'mom5': ts_mean(returns(), 5), 'mom10': ts_mean(returns(), 10),\n"
        "           'vol10': ts_std(returns(), 10), 'oops': lambda: 1 / 0}\n"
        "START_DATE, END_DATE = '{}', '{}'\n".replace("{}", "%s")
        % (START, END)
    )
    report = tmp_path / "batch.html"
    argv = [
        "assay-many",
        str(src),
        "--serial",
        "--sample",
        "tiny",
        "--out",
        str(tmp_path / "out"),
        "--periods",
        "1,5",
        "--report",
        str(report),
        "--pick",
        "1",
    ]
    assert main(argv) == 3  # one factor failed
    captured = capsys.readouterr()
    assert "4 factors (1 failed)" in captured.out
    assert "ZeroDivisionError: division by zero" in captured.out
    assert "average rank correlation" in captured.out
    assert "mean IC tested against 4 trials" in captured.out
    assert "p Holm" in captured.out and "top-bottom DSR" in captured.out
    assert "0 remaining" in captured.err
    html = report.read_text()
    assert "Average rank correlation" in html and "Picked factors" in html
    assert "Multiple testing" in html and 'alt="Multiple testing"' in html
    assert main(argv + ["--resume", "--report", "none"]) == 3
    assert "3 of 4 factors already done, 1 to run" in capsys.readouterr().err

    (tmp_path / "empty.py").write_text("X = 1\n")
    assert main(["assay-many", str(tmp_path / "empty.py"), "--serial"]) == 1
    assert "defines no FACTORS" in capsys.readouterr().err


def test_wide_float_tables_are_written_as_pandas_would_write_them(tmp_path, rng):
    import pyarrow as pa
    import pyarrow.parquet as pq

    values = rng.normal(size=(40, 300))
    values[rng.random(values.shape) < 0.2] = np.nan
    frames = [
        pd.DataFrame(
            values,
            index=pd.DatetimeIndex(pd.bdate_range("2023-01-02", periods=40), name="datetime"),
            columns=pd.Index(["s{:03d}".format(i) for i in range(300)], name="order_book_id"),
        ),
        pd.DataFrame(values[:, :3], columns=["a", "b", "c"]),
    ]  # a RangeIndex
    for frame in frames:
        assert storage._all_float(frame)
        ours, theirs = storage._float_table(frame), pa.Table.from_pandas(frame)
        assert ours.equals(theirs)  # NaN stored as null in both
        assert ours.schema.equals(theirs.schema, check_metadata=True)
        path = tmp_path / "t.parquet"
        storage._write_parquet(frame, path, row_group_size=16)
        pd.testing.assert_frame_equal(pd.read_parquet(path), frame, check_freq=False)
    # the last file written (a RangeIndex): value columns carry no statistics
    assert pq.ParquetFile(path).metadata.row_group(0).column(0).statistics is None
    storage._write_parquet(frames[0], path, row_group_size=16)
    groups = pq.ParquetFile(path).metadata
    assert groups.num_row_groups == 3
    dates = [c for c in range(groups.num_columns) if groups.schema.column(c).name == "datetime"][0]
    assert groups.row_group(1).column(dates).statistics.has_min_max
    assert not storage._all_float(frames[0].astype({"s001": object}))
