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
from tarnfold.analysis.analysis_result import ICAnalysisResult
from tarnfold.workflow import bench_steps, data_loss_account


@pytest.fixture(scope="module")
def mivada_home(tmp_path_factory):
    home = tmp_path_factory.mktemp("mivada-home")
    saved = {k: os.environ.get(k) for k in ("MIVADA_HOME", "MIVADA_STORE")}
    os.environ["MIVADA_HOME"] = str(home)
    os.environ.pop("MIVADA_STORE", None)
    yield home
    mivada.close()
    for k, v in saved.items():
        if v is None:
            os.environ.pop(k, None)
        else:
            os.environ[k] = v


def test_demo_end_to_end(mivada_home, tmp_path, capsys):
    path = tmp_path / "demo.html"
    code = cli.main(["demo", "--sample", "tiny", "--years", "0.3", "--max-decay", "3",
                     "--report", str(path)])
    out, err = capsys.readouterr()
    assert code == 0, err
    for name in cli.DEMO_FACTORS:
        assert "factor {}".format(name) in out
    assert "IC by holding period" in out and "data loss" in out and "all factors" in out
    assert "report written" in err
    html = path.read_text(encoding="utf-8")
    assert html.count("data:image/png;base64,") >= 3 * 4     # IC time, hist, decay, industry
    assert "IC by holding period" in html and "<table" in html
    assert not re.search(r"""(src|href)=["']https?:""", html)  # opens offline
    # one IC summary row per factor, plus the comparison table
    assert len(re.findall(r"<th>P_1</th>\s*<td>-?\d\.\d{4}</td>", html)) >= 3
    assert "All factors at a glance" in html
    # the factor's own tables once per factor, in the console and in the report
    assert out.count("data loss (date, instrument) pairs") == len(cli.DEMO_FACTORS)
    assert out.count("factor rank autocorrelation") == len(cli.DEMO_FACTORS)
    assert html.count("<h4>data loss (date, instrument) pairs</h4>") == len(cli.DEMO_FACTORS)
    # every analyser of the bench ran, neutralization included
    assert "skipped" not in out and "not available" not in out
    for kind in ("ICAnalysisResult", "QuantileReturnAnalysisResult",
                 "FactorReturnAnalysisResult"):
        assert out.count(kind) == len(cli.DEMO_FACTORS)
    assert "neutralize" in html


def test_demo_factors_come_from_the_engine(mivada_home):
    """The computed reversal is the close-to-close move over five valid
    days, negated; a published factor read through the engine equals the
    store's values."""
    mivada.init(sample="tiny")
    rev = cli.load_demo_factor("reversal_close_5d", 0.3, (1, 5))
    close = mivada.get_price(list(rev.columns), rev.index[0] - pd.Timedelta(days=30),
                             rev.index[-1], fields=["close", "volume"], expect_df=True)
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
    noise = cli.load_demo_factor("noise", 0.3, (1, 5))
    stored = mivada.get_factor(list(noise.columns), "noise", noise.index[0], noise.index[-1])
    stored = stored["noise"].unstack(level="order_book_id").reindex_like(noise)
    pd.testing.assert_frame_equal(noise, stored, check_names=False, check_freq=False)
    with pytest.raises(cli.UserError, match="unknown factor 'nope'"):
        cli.load_demo_factor("nope", 0.3, (1,))


def test_factor_tables_shown_once_unless_they_differ(rng):
    from tarnfold.workflow import split_summaries
    dates = pd.bdate_range("2022-01-03", periods=30)
    ids = ["%06d.XSHE" % i for i in range(1, 9)]
    factor = _wide_factor(rng, dates, ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
    steps = bench_steps(preprocess=("normalize",), industry=None, max_decay=3, benchmark=None)
    results = tarnfold.assay(factor, returns, periods=(1, 2), steps=steps)
    shared, per_result = split_summaries(results)
    assert set(shared) == {"factor rank autocorrelation", "data loss (date, instrument) pairs"}
    assert all(not set(shared) & set(t) for _, t in per_result.values())
    assert results.summary_text().count("data loss") == 1
    # results of two runs keep their own tables
    other = tarnfold.assay(factor.iloc[:20], returns, periods=(1, 2), steps=steps)
    mixed = {"ic": results["ic"], "ic_short": other["ic"]}
    shared, per_result = split_summaries(mixed)
    assert "data loss (date, instrument) pairs" not in shared
    assert all("data loss (date, instrument) pairs" in t for _, t in per_result.values())


def test_demo_quiet_and_alias(mivada_home, tmp_path, capsys):
    from tarnfold import demo
    code = demo.main(["--sample", "tiny", "--years", "0.2", "--factors", "noise", "--quiet",
                      "--report", "none", "--periods", "1"])
    out, err = capsys.readouterr()
    assert code == 0 and out == "" and err == ""


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
    factor.rename_axis(index="date", columns="order_book_id").stack() \
        .rename("my_factor").reset_index().to_parquet(long)
    ret = tmp_path / "returns.csv"
    returns.rename_axis("date").to_csv(ret)
    common = ["--returns", str(ret), "--industry", "none", "--benchmark", "none",
              "--preprocess", "winsorize,normalize", "--periods", "1,3", "--max-decay", "2"]
    reports = []
    for src in (wide, long):
        report = tmp_path / (src.stem + src.suffix[1:] + ".html")
        assert cli.main(["assay", str(src), "--report", str(report)] + common) == 0
        reports.append(report.read_text(encoding="utf-8"))
    out = capsys.readouterr().out
    tables = re.findall(r"IC by holding period\n(.*?)\n\n", out, flags=re.S)
    assert len(tables) == 2 and tables[0] == tables[1]     # same numbers either layout
    assert all("IC over time" in r for r in reports)


@pytest.mark.parametrize("args, message", [
    (["assay", "missing.csv"], "no such file"),
    (["assay", "{txt}"], "expect a .parquet"),
    (["assay", "{text_col}", "--returns", "{ret}"], "non-numeric values in column(s) B"),
    (["assay", "{two_values}", "--returns", "{ret}"], "exactly one value column"),
    (["assay", "{bad_dates}", "--returns", "{ret}"], "cannot read the dates"),
    (["assay", "{ok}", "--store", "{tmp}/nothing.duckdb"], "no such store"),
    (["assay", "{ok}", "--returns", "{txt}"], "--returns: expect a .parquet"),
])
def test_assay_errors_are_one_line(tmp_path, capsys, args, message):
    dates = pd.bdate_range("2022-01-03", periods=5)
    (tmp_path / "f.txt").write_text("x")
    pd.DataFrame({"date": dates, "A": 1.0, "B": "x"}).to_csv(tmp_path / "text.csv", index=False)
    pd.DataFrame({"date": dates, "order_book_id": "A", "u": 1.0, "v": 2.0}) \
        .to_csv(tmp_path / "two.csv", index=False)
    pd.DataFrame({"date": ["2022-01-03", "not a date"], "A": [1.0, 2.0]}) \
        .to_csv(tmp_path / "dates.csv", index=False)
    pd.DataFrame({"date": dates, "A": np.arange(5.0), "B": 1.0}).to_csv(tmp_path / "ok.csv",
                                                                         index=False)
    names = {"txt": tmp_path / "f.txt", "text_col": tmp_path / "text.csv",
             "two_values": tmp_path / "two.csv", "bad_dates": tmp_path / "dates.csv",
             "ok": tmp_path / "ok.csv", "ret": tmp_path / "ok.csv", "tmp": tmp_path}
    argv = [a.format(**names) for a in args]
    assert cli.main(argv + ["--quiet"]) == 1
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err and err.count("\n") == 1


@pytest.mark.parametrize("option", [["--periods", "1,x"], ["--periods", "0"],
                                    ["--preprocess", "smooth"], ["--quantiles", "0"]])
def test_bad_options_exit_2(option, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(["assay", "f.csv"] + option)
    assert exc.value.code == 2
    assert "Traceback" not in capsys.readouterr().err


def test_data_loss_account_counts_each_pair_once(rng):
    dates = pd.bdate_range("2022-01-03", periods=6)
    ids = ["A", "B", "C", "D"]
    factor = _wide_factor(rng, dates, ids)
    factor.iloc[0, 0] = np.nan                      # NaN factor
    processed = factor.copy()
    processed.iloc[1, 1] = np.nan                   # lost in preprocessing
    returns = pd.DataFrame(0.01, index=dates, columns=["A", "B", "C"])   # D unknown
    returns.iloc[3, 2] = np.nan                     # C: a missing daily return counts as 0
    loss = data_loss_account(factor, processed, returns, (1, 2))
    # P_1: the last date has no next return; D never has one
    used_1 = 24 - 1 - 1 - 6 - 3 + 0                # minus NaN, lost, D, last date of A-C
    assert loss.loc["NaN factor", "P_1"] == 1
    assert loss.loc["preprocessing (other)", "P_1"] == 1
    assert loss.loc["used", "P_1"] == used_1
    assert loss.loc["no forward return", "P_2"] == 6 + 6
    assert (loss.loc[["NaN factor", "not listed", "no exposure", "preprocessing (other)",
                      "no forward return", "used"]].sum() == 24).all()


def test_assay_and_report_on_a_bench_result_dict(tmp_path, rng):
    dates = pd.bdate_range("2022-01-03", periods=30)
    ids = ["%06d.XSHE" % i for i in range(1, 9)]
    factor = _wide_factor(rng, dates, ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
    steps = bench_steps(preprocess=("normalize",), industry=None, max_decay=3, benchmark=None)
    results = tarnfold.assay(factor, returns, periods=(1, 2), steps=steps)
    assert isinstance(results["ic"], ICAnalysisResult)
    assert "normalize" not in results                      # preprocessed tables are dropped
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
    returns = pd.DataFrame(rng.normal(0, 0.02, size=(15, 5)), index=dates,
                           columns=list("ABCDE"))
    returns = returns.mask(rng.random(returns.shape) < 0.2)
    returns.iloc[:6, 1] = np.nan                    # B starts late
    returns.iloc[4, 2] = -1.0                       # C loses everything
    factor = pd.DataFrame(1.0, index=dates[2:13].append(pd.DatetimeIndex(["2030-01-01"])),
                          columns=list("ACBZ"))
    got = _forward_return_valid(returns, factor.index, factor.columns, (1, 4))
    fmt = ab._format_factor_data(factor, returns, [1, 4])
    for p in (1, 4):
        want = fmt["P_{}".format(p)].notna().unstack().reindex(index=factor.index,
                                                                columns=factor.columns)
        np.testing.assert_array_equal(got[p], want.fillna(False).to_numpy(bool))


def test_data_loss_attributes_neutralization_losses(mivada_home):
    mivada.init(sample="tiny")
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:5] + ["999999.XSHG"]
    dates = mivada.get_trading_dates(mivada.trading_date_offset(
        mivada.get_latest_trading_date(), -10), mivada.get_latest_trading_date())
    factor = pd.DataFrame(1.0, index=dates, columns=ids)
    processed = factor.copy()
    processed.iloc[:, -1] = np.nan          # the unknown instrument: never listed
    processed.iloc[2, 0] = np.nan           # a listed one with exposures: another cause
    returns = pd.DataFrame(0.0, index=dates, columns=ids)
    loss = data_loss_account(factor, processed, returns, (1,), neutralized=True)
    assert loss.loc["not listed", "P_1"] == len(dates)
    assert loss.loc["preprocessing (other)", "P_1"] == 1
    assert loss.loc["no exposure", "P_1"] == 0
    plain = data_loss_account(factor, processed, returns, (1,))
    assert plain.loc["preprocessing (other)", "P_1"] == len(dates) + 1


def test_assay_warns_when_nothing_matches(rng):
    dates = pd.bdate_range("2022-01-03", periods=10)
    factor = _wide_factor(rng, dates, ["A", "B", "C"])
    steps = bench_steps(preprocess=(), industry=None, max_decay=None, benchmark=None, quantile=3)
    disjoint = pd.DataFrame(0.01, index=dates, columns=["X", "Y", "Z"])
    with pytest.raises(ValueError, match="no order_book_id in common"):
        tarnfold.assay(factor, disjoint, periods=(1,), steps=steps)
    # the same instruments, but returns only long after the factor's dates
    later = pd.bdate_range("2023-01-02", periods=10)
    returns = pd.DataFrame(0.01, index=dates.append(later), columns=["A", "B", "C"])
    returns.loc[dates] = np.nan
    with pytest.warns(UserWarning, match="no \\(date, instrument\\) pair"):
        results = tarnfold.assay(factor, returns, periods=(1,), steps=steps)
    s = results["ic"].summary()["IC by holding period"]
    assert s.loc["P_1", "dates"] == 0 and s.loc["P_1", "excluded"] == 10
    assert np.isnan(s.loc["P_1", "mean"])
