"""The tarnfold command and tarnfold.assay / tarnfold.report end to end."""

import matplotlib

matplotlib.use("Agg")

import os
import re

import numpy as np
import pandas as pd
import pytest

import mivada
import tarnfold
from tarnfold import cli
from tarnfold.cli.demo import load_demo_factor
from tarnfold.cli.factors import DEMO_FACTORS
from tarnfold.analysis.analysis_result import ICAnalysisResult
from tarnfold.workflow import bench_steps, data_loss_account


def test_demo_end_to_end(tmp_path, capsys):
    path = tmp_path / "demo.html"
    # one holding period: the report's figures (most of the time) get one panel each
    code = cli.main(
        [
            "demo",
            "--sample",
            "tiny",
            "--years",
            "0.3",
            "--max-decay",
            "3",
            "--periods",
            "1",
            "--report",
            str(path),
        ]
    )
    out, err = capsys.readouterr()
    assert code == 0, err
    for name in DEMO_FACTORS:
        assert "factor {}".format(name) in out
    assert "IC by holding period" in out and "data loss" in out and "all factors" in out
    assert "report written" in err
    html = path.read_text(encoding="utf-8")
    assert html.count("data:image/png;base64,") >= 3 * 4  # IC time, hist, decay, industry
    assert "IC by holding period" in html and "<table" in html
    assert not re.search(r"""(src|href)=["']https?:""", html)  # opens offline
    # one IC summary row per factor, plus the comparison table
    assert len(re.findall(r"<th>P_1</th>\s*<td>-?\d\.\d{4}</td>", html)) >= 3
    assert "All factors at a glance" in html
    # the factor's own tables once per factor, in the console and in the report
    assert out.count("data loss (date, instrument) pairs") == len(DEMO_FACTORS)
    assert out.count("factor rank autocorrelation") == len(DEMO_FACTORS)
    assert html.count("<h4>data loss (date, instrument) pairs</h4>") == len(DEMO_FACTORS)
    # every analyser of the bench ran, neutralization included
    assert "skipped" not in out and "not available" not in out
    for kind in ("ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"):
        assert out.count(kind) == len(DEMO_FACTORS)
    assert "neutralize" in html


def test_demo_factors_come_from_the_engine():
    """The computed reversal is the close-to-close move over five valid
    days, negated; a published factor read through the engine equals the
    store's values."""
    mivada.init(sample="tiny")
    rev = load_demo_factor("reversal_close_5d", 0.3, (1, 5))
    close = mivada.get_price(
        list(rev.columns),
        rev.index[0] - pd.Timedelta(days=30),
        rev.index[-1],
        fields=["close", "volume"],
        expect_df=True,
    )
    close = close[close["volume"] > 0]["close"]
    expect = {}
    for oid, s in close.groupby(level="order_book_id"):
        s = s.droplevel("order_book_id")
        expect[oid] = -(s / s.shift(5) - 1)
    expect = pd.DataFrame(expect).reindex(index=rev.index, columns=rev.columns)
    # the engine reaches back a fixed number of market days before the first
    # date, so an instrument suspended just then starts a few days later
    got = rev.to_numpy()
    assert np.isnan(got[np.isnan(expect.to_numpy())]).all()
    have = ~np.isnan(got)
    np.testing.assert_allclose(got[have], expect.to_numpy()[have], rtol=1e-10, atol=1e-12)
    assert have.sum() > 0.95 * expect.notna().to_numpy().sum()
    noise = load_demo_factor("noise", 0.3, (1, 5))
    stored = mivada.get_factor(list(noise.columns), "noise", noise.index[0], noise.index[-1])
    stored = stored["noise"].unstack(level="order_book_id").reindex_like(noise)
    pd.testing.assert_frame_equal(noise, stored, check_names=False, check_freq=False)
    with pytest.raises(cli.UserError, match="unknown factor 'nope'"):
        load_demo_factor("nope", 0.3, (1,))


def test_factor_tables_shown_once_unless_they_differ(rng):
    from tarnfold.workflow import split_summaries

    dates = pd.bdate_range("2022-01-03", periods=30)
    ids = ["%06d.XSHE" % i for i in range(1, 9)]
    factor = _wide_factor(rng, dates, ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
    steps = bench_steps(preprocess=("normalize",), industry=None, max_decay=3, benchmark=None)
    results = tarnfold.assay(factor, returns, periods=(1, 2), steps=steps)
    shared, per_result = split_summaries(results)
    assert set(shared) == {
        "data health",
        "factor rank autocorrelation",
        "data loss (date, instrument) pairs",
    }
    assert all(not set(shared) & set(t) for _, t in per_result.values())
    assert results.summary_text().count("data loss") == 1
    # results of two runs keep their own tables
    other = tarnfold.assay(factor.iloc[:20], returns, periods=(1, 2), steps=steps)
    mixed = {"ic": results["ic"], "ic_short": other["ic"]}
    shared, per_result = split_summaries(mixed)
    assert "data loss (date, instrument) pairs" not in shared
    assert all("data loss (date, instrument) pairs" in t for _, t in per_result.values())


def test_demo_quiet_and_alias(tmp_path, capsys):
    from tarnfold import demo

    code = demo.main(
        [
            "--sample",
            "tiny",
            "--years",
            "0.2",
            "--factors",
            "noise",
            "--quiet",
            "--report",
            "none",
            "--periods",
            "1",
        ]
    )
    out, err = capsys.readouterr()
    # quiet hides the progress, not the results
    assert code == 0 and err == "" and "factor noise" in out and "IC by holding period" in out


def test_help_lists_factors(capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(["--help"])
    assert exc.value.code == 0
    out = capsys.readouterr().out
    for name in ("value_score", "noise", "demo", "assay"):
        assert name in out


def _wide_factor(rng, dates, ids):
    return pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=ids)


def test_assay_files_wide_and_long(tmp_path, rng, capsys):
    dates = pd.bdate_range("2022-01-03", periods=40)
    ids = ["%06d.XSHE" % i for i in range(1, 13)]
    factor = _wide_factor(rng, dates, ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
    returns = returns + 0.01 * factor.shift(1).fillna(0)
    wide = tmp_path / "factor.csv"
    factor.rename_axis("date").to_csv(wide)
    long = tmp_path / "factor.parquet"
    factor.rename_axis(index="date", columns="order_book_id").stack().rename(
        "my_factor"
    ).reset_index().to_parquet(long)
    ret = tmp_path / "returns.csv"
    returns.rename_axis("date").to_csv(ret)
    common = [
        "--returns",
        str(ret),
        "--industry",
        "none",
        "--benchmark",
        "none",
        "--preprocess",
        "winsorize,normalize",
        "--periods",
        "1,3",
        "--max-decay",
        "2",
    ]
    report = tmp_path / "long.html"
    assert cli.main(["assay", str(wide), "--report", "none"] + common) == 0
    assert cli.main(["assay", str(long), "--report", str(report)] + common) == 0
    out = capsys.readouterr().out
    tables = re.findall(r"IC by holding period\n(.*?)\n\n", out, flags=re.S)
    assert len(tables) == 2 and tables[0] == tables[1]  # same numbers either layout
    assert "IC over time" in report.read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "args, message",
    [
        (["assay", "missing.csv"], "no such file"),
        (["assay", "{txt}"], "expected a .parquet"),
        (["assay", "{text_col}", "--returns", "{ret}"], "non-numeric values in column(s) B"),
        (["assay", "{two_values}", "--returns", "{ret}"], "exactly one value column"),
        (["assay", "{bad_dates}", "--returns", "{ret}"], "expected a date, got 'not a date'"),
        (["assay", "{ok}", "--store", "{tmp}/nothing.duckdb"], "no such store"),
        (["assay", "{ok}", "--returns", "{txt}"], "--returns: expected a .parquet"),
        (["assay", "{ok}", "--store", "{ok}"], "--store {tmp}/ok.csv: "),
        (
            ["assay", "{one_date}", "--returns", "{ret}", "--plain"],
            "FILE: expected more dates than the shortest holding period (1), got 1",
        ),
        (
            ["assay", "{unnamed_ids}", "--returns", "{ret}", "--plain"],
            "name its instrument column order_book_id, ticker, symbol, code",
        ),
        (["assay", "{day_first}", "--returns", "{ret}", "--plain"], "day-first or month-first"),
        (["assay", "{vendor}", "--sample", "tiny"], "the store writes Shenzhen ids as 000001.XSHE"),
        (["assay", "{ok}", "--column", "A"], "--column A: expected a long table"),
        (
            ["assay", "{ok}", "--returns", "{ret}", "--plain", "--costs", "none"],
            "--costs none: needs --trading a-share",
        ),
        (
            [
                "assay",
                "{ok}",
                "--returns",
                "{ret}",
                "--plain",
                "--trading",
                "a-share",
                "--costs",
                "brokerage=1",
            ],
            "--costs brokerage=1: expected none, default or key=value pairs",
        ),
    ],
)
def test_assay_errors_are_one_line(tmp_path, capsys, args, message):
    dates = pd.bdate_range("2022-01-03", periods=5)
    pd.DataFrame({"date": dates[:1], "A": 1.0}).to_csv(tmp_path / "one.csv", index=False)
    pd.DataFrame({"date": dates, "A": 0.01, "B": -0.01}).to_csv(tmp_path / "ret.csv", index=False)
    pd.DataFrame({"date": dates.repeat(2), "stock": ["A", "B"] * 5, "v": 1.0}).to_csv(
        tmp_path / "unnamed.csv", index=False
    )
    pd.DataFrame({"date": dates.strftime("%d/%m/%Y"), "A": 1.0}).to_csv(
        tmp_path / "day_first.csv", index=False
    )
    pd.DataFrame({"date": dates, "000001.SZ": 1.0, "600000.SH": 2.0}).to_csv(
        tmp_path / "vendor.csv", index=False
    )
    (tmp_path / "f.txt").write_text("x")
    pd.DataFrame({"date": dates, "A": 1.0, "B": "x"}).to_csv(tmp_path / "text.csv", index=False)
    pd.DataFrame({"date": dates, "order_book_id": "A", "u": 1.0, "v": 2.0}).to_csv(
        tmp_path / "two.csv", index=False
    )
    pd.DataFrame({"date": ["2022-01-03", "not a date"], "A": [1.0, 2.0]}).to_csv(
        tmp_path / "dates.csv", index=False
    )
    pd.DataFrame({"date": dates, "A": np.arange(5.0), "B": 1.0}).to_csv(
        tmp_path / "ok.csv", index=False
    )
    names = {
        "txt": tmp_path / "f.txt",
        "text_col": tmp_path / "text.csv",
        "two_values": tmp_path / "two.csv",
        "bad_dates": tmp_path / "dates.csv",
        "ok": tmp_path / "ok.csv",
        "ret": tmp_path / "ret.csv",
        "tmp": tmp_path,
        "one_date": tmp_path / "one.csv",
        "unnamed_ids": tmp_path / "unnamed.csv",
        "day_first": tmp_path / "day_first.csv",
        "vendor": tmp_path / "vendor.csv",
    }
    argv = [a.format(**names) for a in args]
    assert cli.main(argv + ["--quiet"]) == 1
    err = capsys.readouterr().err
    assert message.format(**names) in err and "Traceback" not in err and err.count("\n") == 1


def _price_store(folder):
    """A store of plain daily bars for six tickers: no industries, index or
    style exposures, as made from another market's prices."""
    dates = pd.bdate_range("2022-01-03", periods=80)
    ids = ["AAPL", "IBM", "KO", "MSFT", "PEP", "XOM"]
    close = 50 * np.cumprod(1 + np.random.default_rng(3).normal(0, 0.02, (80, 6)), axis=0)
    src = folder / "in"
    src.mkdir()
    pd.DataFrame({"order_book_id": ids, "type": "CS", "listed_date": "2000-01-01"}).to_csv(
        src / "instruments.csv", index=False
    )
    pd.concat(
        pd.DataFrame(
            {
                "date": dates.strftime("%Y-%m-%d"),
                "order_book_id": i,
                "close": close[:, k],
                "volume": 1e6,
            }
        )
        for k, i in enumerate(ids)
    ).to_csv(src / "daily_bars.csv", index=False)
    mivada.ingest(src, folder / "prices.duckdb")
    return str(folder / "prices.duckdb"), dates[:60], ids


def test_plain_price_data_from_another_market(tmp_path, capsys, monkeypatch):
    store, dates, ids = _price_store(tmp_path)
    values = np.random.default_rng(4).normal(size=(len(dates), len(ids)))
    long = pd.DataFrame(values, index=dates, columns=ids).stack().rename("mom").reset_index()
    long.columns = ["trade_date", "ticker", "mom"]
    long["trade_date"] = long["trade_date"].dt.strftime("%Y%m%d").astype(int)
    long["other"] = 1.0
    path = tmp_path / "signals.csv"
    long.to_csv(path, index=False)
    base = ["assay", str(path), "--store", store, "--column", "mom", "--report", "none", "--quiet"]
    # every step the store cannot serve, in one message, before any work
    monkeypatch.setattr("tarnfold.cli.assay.assay", lambda *a, **k: pytest.fail("ran"))
    assert cli.main(base) == 1
    err = capsys.readouterr().err
    assert err.startswith("tarnfold assay: error: 3 problems:\n")
    for what in ("--industry citics_2019", "--benchmark 000300.XSHG", "neutralize"):
        assert (
            sum(line.startswith("  - " + what) and "--plain" in line for line in err.splitlines())
            == 1
        )
    assert cli.main(base + ["--plain", "--industry", "sws"]) == 1
    assert "--plain turns it off" in capsys.readouterr().err
    monkeypatch.undo()
    assert cli.main(base + ["--plain", "--periods", "1,5"]) == 0
    out = capsys.readouterr().out
    assert "factor mom" in out  # named after the column
    ic = re.search(r"IC by holding period\n.*\nperiod.*\nP_1 +(-?\d\.\d{4}) .* (\d+) +(\d+)\n", out)
    # YYYYMMDD integers read as the dates they are: every date measured
    assert ic is not None and int(ic.group(2)) == len(dates) - 1


def test_returns_that_look_like_prices_or_percentages_are_refused(tmp_path, rng, capsys):
    dates = pd.bdate_range("2022-01-03", periods=30)
    ids = ["A", "B", "C", "D", "E"]
    factor = _wide_factor(rng, dates, ids)
    factor.rename_axis("date").to_csv(tmp_path / "f.csv")
    returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
    tables = {"prices": 20 * (1 + returns).cumprod(), "percent": 100 * returns, "returns": returns}
    for name, table in tables.items():
        table.rename_axis("date").to_csv(tmp_path / (name + ".csv"))
    run = ["assay", str(tmp_path / "f.csv"), "--plain", "--report", "none", "--quiet", "--returns"]
    for name, looks in (
        ("prices", "looks like prices"),
        ("percent", "looks like returns in percent"),
    ):
        assert cli.main(run + [str(tmp_path / (name + ".csv"))]) == 1
        err = capsys.readouterr().err
        assert looks in err and "--force-returns" in err and err.count("\n") == 1
    assert cli.main(run + [str(tmp_path / "percent.csv"), "--force-returns"]) == 0
    assert cli.main(run + [str(tmp_path / "returns.csv")]) == 0
    with pytest.raises(ValueError, match="check_returns=False"):
        tarnfold.assay(factor, tables["prices"], periods=(1,))


def test_day_first_dates_with_a_format(tmp_path, rng, capsys):
    dates = pd.bdate_range("2022-01-03", periods=8)  # no day after the 12th
    factor = _wide_factor(rng, dates, list("ABCDEF"))
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(8, 6)), index=dates, columns=factor.columns)
    factor.set_axis(dates.strftime("%d/%m/%Y"), axis=0).rename_axis("date").to_csv(
        tmp_path / "f.csv"
    )
    returns.set_axis(dates.strftime("%d/%m/%Y"), axis=0).rename_axis("date").to_csv(
        tmp_path / "r.csv"
    )
    returns.rename_axis("date").to_csv(tmp_path / "r_iso.csv")
    run = [
        "assay",
        str(tmp_path / "f.csv"),
        "--returns",
        str(tmp_path / "r.csv"),
        "--plain",
        "--report",
        "none",
        "--quiet",
        "--periods",
        "1",
        "--max-decay",
        "2",
    ]
    assert cli.main(run) == 1
    assert "with --date-format" in capsys.readouterr().err
    assert cli.main(run + ["--date-format", "%d/%m/%Y"]) == 0
    factor.rename_axis("date").to_csv(tmp_path / "iso.csv")
    assert (
        cli.main(
            ["assay", str(tmp_path / "iso.csv"), "--returns", str(tmp_path / "r_iso.csv")] + run[4:]
        )
        == 0
    )
    tables = re.findall(r"IC by holding period\n(.*?)\n\n", capsys.readouterr().out, flags=re.S)
    assert len(tables) == 2 and tables[0] == tables[1]


def test_report_path_is_checked_before_the_run(tmp_path, rng, capsys, monkeypatch):
    dates = pd.bdate_range("2022-01-03", periods=10)
    factor = _wide_factor(rng, dates, list("ABCDEF"))
    factor.rename_axis("date").to_csv(tmp_path / "f.csv")
    (tmp_path / "r.csv").write_text((factor * 0.01).rename_axis("date").to_csv())
    folder = tmp_path / "reports"
    folder.mkdir()
    monkeypatch.setattr("tarnfold.cli.assay.assay", lambda *a, **k: pytest.fail("ran"))
    run = [
        "assay",
        str(tmp_path / "f.csv"),
        "--returns",
        str(tmp_path / "r.csv"),
        "--plain",
        "--quiet",
        "--report",
    ]
    assert cli.main(run + [str(folder)]) == 1
    assert (
        "--report {}: expected a file name, got a folder".format(folder) in capsys.readouterr().err
    )
    assert cli.main(run + [str(tmp_path / "f.csv" / "r.html"), "--benchmark", "X"]) == 1
    err = capsys.readouterr().err
    assert "2 problems" in err and "is a file, not a folder" in err and "--benchmark X" in err
    monkeypatch.undo()
    steps = bench_steps(preprocess=(), industry=None, max_decay=None, benchmark=None)
    results = tarnfold.assay(factor, factor * 0.01, periods=(1,), steps=steps)
    with pytest.raises(ValueError, match="^path: expected a file name"):
        tarnfold.report(results, folder)
    assert sorted(os.listdir(tmp_path)) == ["f.csv", "r.csv", "reports"]
    assert os.listdir(folder) == []


@pytest.mark.parametrize(
    "option",
    [["--periods", "1,x"], ["--periods", "0"], ["--preprocess", "smooth"], ["--quantiles", "0"]],
)
def test_bad_options_exit_2(option, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(["assay", "f.csv"] + option)
    assert exc.value.code == 2
    assert "Traceback" not in capsys.readouterr().err


def test_data_loss_account_counts_each_pair_once(rng):
    dates = pd.bdate_range("2022-01-03", periods=6)
    ids = ["A", "B", "C", "D"]
    factor = _wide_factor(rng, dates, ids)
    factor.iloc[0, 0] = np.nan  # NaN factor
    processed = factor.copy()
    processed.iloc[1, 1] = np.nan  # lost in preprocessing
    returns = pd.DataFrame(0.01, index=dates, columns=["A", "B", "C"])  # D unknown
    returns.iloc[3, 2] = np.nan  # C: a missing daily return counts as 0
    loss = data_loss_account(factor, processed, returns, (1, 2))
    # P_1: the last date has no next return; D never has one
    used_1 = 24 - 1 - 1 - 6 - 3 + 0  # minus NaN, lost, D, last date of A-C
    assert loss.loc["NaN factor", "P_1"] == 1
    assert loss.loc["preprocessing (other)", "P_1"] == 1
    assert loss.loc["used", "P_1"] == used_1
    assert loss.loc["no forward return", "P_2"] == 6 + 6
    assert (
        loss.loc[
            [
                "NaN factor",
                "not listed",
                "no exposure",
                "preprocessing (other)",
                "no forward return",
                "used",
            ]
        ].sum()
        == 24
    ).all()

    # the factor as a block of a longer returns table (read by slicing), an
    # infinite return followed by a total loss: the same account as when the
    # returns' columns come in another order (read by position)
    longer = pd.DataFrame(
        0.01, index=pd.bdate_range("2021-12-30", periods=10), columns=["A", "B", "C", "D"]
    )
    longer.loc[dates[2], "A"], longer.loc[dates[3], "A"] = np.inf, -1.0
    block = data_loss_account(factor, processed, longer, (1, 2))
    pd.testing.assert_frame_equal(
        block, data_loss_account(factor, processed, longer[["D", "C", "B", "A"]], (1, 2))
    )
    # A's two-day product from dates[1] is inf * 0: no number
    assert block.loc["no forward return"].tolist() == [0, 1]
    assert block.loc["used"].tolist() == [22, 21]


def test_assay_and_report_on_a_bench_result_dict(tmp_path, rng):
    dates = pd.bdate_range("2022-01-03", periods=30)
    ids = ["%06d.XSHE" % i for i in range(1, 9)]
    factor = _wide_factor(rng, dates, ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
    steps = bench_steps(preprocess=("normalize",), industry=None, max_decay=3, benchmark=None)
    results = tarnfold.assay(factor, returns, periods=(1, 2), steps=steps)
    assert isinstance(results["ic"], ICAnalysisResult)
    assert "normalize" not in results  # preprocessed tables are dropped
    assert results["ic"].data_loss.loc["no forward return", "P_2"] == 2 * len(ids)
    assert list(results["ic"].rank_autocorrelation.index) == ["P_1", "P_2"]
    path = tarnfold.report(dict(results), tmp_path / "sub" / "r.html")
    html = open(path, encoding="utf-8").read()
    assert "data loss" in html and html.count("data:image/png") >= 3
    with pytest.raises(TypeError, match="results"):
        tarnfold.report([results["ic"]], tmp_path / "x.html")


def test_forward_return_validity_matches_the_formatted_frame(rng):
    from tarnfold.analysis import assay_bench as ab
    from tarnfold.workflow import _forward_return_valid

    dates = pd.bdate_range("2022-01-03", periods=15)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(15, 5)), index=dates, columns=list("ABCDE"))
    returns = returns.mask(rng.random(returns.shape) < 0.2)
    returns.iloc[:6, 1] = np.nan  # B starts late
    returns.iloc[4, 2] = -1.0  # C loses everything
    factor = pd.DataFrame(
        1.0, index=dates[2:13].append(pd.DatetimeIndex(["2030-01-01"])), columns=list("ACBZ")
    )
    got = _forward_return_valid(returns, factor.index, factor.columns, (1, 4))
    fmt = ab._format_factor_data(factor, returns, [1, 4])
    for p in (1, 4):
        want = (
            fmt["P_{}".format(p)]
            .notna()
            .unstack()
            .reindex(index=factor.index, columns=factor.columns)
        )
        np.testing.assert_array_equal(got[p], want.fillna(False).to_numpy(bool))


def test_data_loss_attributes_neutralization_losses():
    mivada.init(sample="tiny")
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:5] + ["999999.XSHG"]
    dates = mivada.get_trading_dates(
        mivada.trading_date_offset(mivada.get_latest_trading_date(), -10),
        mivada.get_latest_trading_date(),
    )
    factor = pd.DataFrame(1.0, index=dates, columns=ids)
    processed = factor.copy()
    processed.iloc[:, -1] = np.nan  # the unknown instrument: never listed
    processed.iloc[2, 0] = np.nan  # a listed one with exposures: another cause
    returns = pd.DataFrame(0.0, index=dates, columns=ids)
    loss = data_loss_account(factor, processed, returns, (1,), neutralized=True)
    assert loss.loc["not listed", "P_1"] == len(dates)
    assert loss.loc["preprocessing (other)", "P_1"] == 1
    assert loss.loc["no exposure", "P_1"] == 0
    plain = data_loss_account(factor, processed, returns, (1,))
    assert plain.loc["preprocessing (other)", "P_1"] == len(dates) + 1


def test_data_loss_counts_the_delisting_day_as_not_listed():
    from tarnfold.analysis import assay_bench as ab

    mivada.init(sample="tiny")
    stocks = mivada.all_instruments("CS").set_index("order_book_id")
    delisted = stocks.index[stocks["de_listed_date"] != "0000-00-00"][0]
    day = pd.Timestamp(stocks.loc[delisted, "de_listed_date"])
    dates = mivada.get_trading_dates(day - pd.Timedelta(days=10), day + pd.Timedelta(days=10))
    ids = [delisted] + [i for i in stocks.index if i != delisted][:3]
    factor = pd.DataFrame(1.0, index=dates, columns=ids)
    listed = ab._get_listed_date_mask_series(ids, dates).unstack().reindex(index=dates, columns=ids)
    assert not listed.loc[day, delisted] and listed.loc[:day, delisted].iloc[:-1].all()
    processed = factor.where(listed.to_numpy())  # what neutralization keeps
    loss = data_loss_account(factor, processed, factor * 0.0, (1,), neutralized=True)
    assert loss.loc["not listed", "P_1"] == (~listed).to_numpy().sum() > 0
    assert loss.loc["preprocessing (other)", "P_1"] == loss.loc["no exposure", "P_1"] == 0


def test_assay_refuses_tables_with_nothing_in_common(rng):
    dates = pd.bdate_range("2022-01-03", periods=10)
    factor = _wide_factor(rng, dates, ["A", "B", "C"])
    steps = bench_steps(preprocess=(), industry=None, max_decay=None, benchmark=None, quantile=3)
    disjoint = pd.DataFrame(0.01, index=dates, columns=["X", "Y", "Z"])
    with pytest.raises(ValueError, match="no order_book_id in common"):
        tarnfold.assay(factor, disjoint, periods=(1,), steps=steps)
    # the instruments, but not one value: what the store answers for unknown ids
    with pytest.raises(ValueError, match="no order_book_id in common"):
        tarnfold.assay(
            factor, disjoint.set_axis(factor.columns, axis=1) * np.nan, periods=(1,), steps=steps
        )
    later = pd.bdate_range("2023-01-02", periods=10)
    with pytest.raises(ValueError, match="no date in common"):
        tarnfold.assay(
            factor,
            pd.DataFrame(0.01, index=later, columns=factor.columns),
            periods=(1,),
            steps=steps,
        )
    # the same instruments and dates, but returns only long after the factor's dates
    returns = pd.DataFrame(0.01, index=dates.append(later), columns=["A", "B", "C"])
    returns.loc[dates] = np.nan
    with pytest.raises(ValueError, match="no \\(date, instrument\\) pair"):
        tarnfold.assay(factor, returns, periods=(1,), steps=steps)
    with pytest.raises(ValueError, match="^factor: expected more dates than the shortest"):
        tarnfold.assay(factor.iloc[:1], returns, periods=(1, 5), steps=steps)


def test_demo_shows_the_evidence(tmp_path, capsys):
    from tarnfold.cli import main

    report = tmp_path / "demo.html"
    assert (
        main(
            [
                "demo",
                "--sample",
                "tiny",
                "--years",
                "0.3",
                "--factors",
                "value_score",
                "--periods",
                "1,3",
                "--report",
                str(report),
            ]
        )
        == 0
    )
    out = capsys.readouterr().out
    assert out.index("data health") < out.index("--- ic (ICAnalysisResult)")
    for title in (
        "Fama-MacBeth premium",
        "double sort",
        "within industries and size buckets",
        "cumulative excess return after entering",
        "monotonicity of group returns",
    ):
        assert title in out
    html = report.read_text()
    for plot in ("double sort heatmap", "event study", "cumulative Fama-MacBeth premium"):
        assert 'alt="{}"'.format(plot) in html
    assert (
        main(
            [
                "demo",
                "--sample",
                "tiny",
                "--years",
                "0.3",
                "--factors",
                "noise",
                "--periods",
                "1",
                "--size-buckets",
                "0",
                "--report",
                "none",
            ]
        )
        == 0
    )
    out = capsys.readouterr().out
    assert "double sort" not in out and "within industries" in out
    with pytest.raises(SystemExit):
        main(["demo", "--size-buckets", "-1"])
    assert "expected 0 or a positive integer" in capsys.readouterr().err
