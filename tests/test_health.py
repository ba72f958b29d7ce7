"""The data health report: each check finds the fault it is for, and only
what makes the analysis meaningless stops it."""

import numpy as np
import pandas as pd
import pytest

import mivada
import tarnfold
from tarnfold import _kernels
from tarnfold.evidence import check_data
from tarnfold.workflow import bench_steps

STEPS = dict(preprocess=(), industry=None, max_decay=None, benchmark=None, analysers=("ic",))


def _clean(rng, n=60, m=12):
    dates = pd.bdate_range("2021-03-01", periods=n)
    ids = ["%06d.XSHE" % (i + 1) for i in range(m - 2)] + ["688001.XSHG", "AAPL"]
    factor = pd.DataFrame(rng.normal(size=(n, m)), index=dates, columns=ids)
    returns = pd.DataFrame(
        rng.normal(0, 0.01, (n + 5, m)),
        index=pd.bdate_range("2021-03-01", periods=n + 5),
        columns=ids,
    )
    return factor, returns


def test_each_check_finds_its_fault(rng):
    mivada.close()  # no store open: the store's checks say so instead of opening one
    factor, returns = _clean(rng)
    assert check_data(factor, returns).warnings == []
    factor.iloc[10:40, 3] = 1.25  # a stale feed: 30 dates
    factor.iloc[20] = factor.iloc[19]  # a copied row
    factor.iloc[45, 2:] = np.nan  # coverage drop: 2 of 12
    factor.iloc[50, 0] = np.inf
    factor.iloc[55] = 0.5  # no dispersion
    returns.iloc[30, 1] = 0.16  # beyond a main-board limit
    returns.iloc[31, 10] = 0.16  # within the STAR board's 20 %
    returns.iloc[2, 0] = 0.3  # a stock's first days: no limit
    returns.iloc[32, 11] = 0.5  # another market: not checked
    table = check_data(factor, returns).table
    status = table["status"]
    assert status["stale factor values"] == "warning"
    assert table.loc["stale factor values", "count"] == 30
    assert (
        "000004.XSHE 20210315-20210423 (30 dates)" in table.loc["stale factor values", "examples"]
    )
    assert table.loc["repeated cross-sections", "count"] == 1
    assert "20210329" in table.loc["repeated cross-sections", "examples"]
    assert table.loc["coverage drops", "count"] == 1
    assert table.loc["infinite factor values", "count"] == 1
    assert table.loc["dates without dispersion", "count"] == 1
    assert status["dates without dispersion"] == "warning"
    assert table.loc["moves beyond the price limit", "count"] == 1
    assert (
        "000002.XSHE 20210412 +16.0% (limit 10%)"
        in table.loc["moves beyond the price limit", "examples"]
    )
    for name in ("factor dates after the store's data", "inconsistent bar prices"):
        assert status[name] == "not checked"
    assert (
        check_data(factor, returns * 100, returns_checked=False).table.loc[
            "returns look like prices or percent", "status"
        ]
        == "warning"
    )


def test_meaningless_data_is_refused_and_the_rest_reaches_the_summary(rng):
    mivada.close()
    factor, returns = _clean(rng)
    steps = bench_steps(**STEPS)
    with pytest.raises(ValueError, match="repeated dates or instruments: 1 .*20210301"):
        tarnfold.assay(pd.concat([factor.iloc[:1], factor]), returns, periods=(1,), steps=steps)
    with pytest.raises(ValueError, match="dates without dispersion"):
        tarnfold.assay(factor * 0 + 1.0, returns, periods=(1,), steps=steps)
    with pytest.raises(ValueError, match="usable factor values"):
        tarnfold.assay(factor * np.nan, returns, periods=(1,), steps=steps)
    factor.iloc[5:35, 0] = 2.0
    with pytest.warns(UserWarning, match="data health: stale factor values"):
        results = tarnfold.assay(factor, returns, periods=(1,), steps=steps)
    assert results.health.warnings == ["stale factor values"]
    text = results.summary_text()
    assert text.index("data health") < text.index("IC by holding period")
    assert list(results["ic"].summary())[0] == "data health"


def test_dates_against_the_store(tmp_path):
    mivada.init(sample="tiny")
    last = mivada.get_latest_trading_date()
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()[:6]
    dates = mivada.get_trading_dates(mivada.trading_date_offset(last, -9), last)
    dates = pd.DatetimeIndex(list(dates) + [last + pd.Timedelta(days=3)])
    factor = pd.DataFrame(np.arange(len(dates) * 6.0).reshape(-1, 6) % 7, index=dates, columns=ids)
    table = check_data(factor, None).table
    assert table.loc["factor dates after the store's data", "status"] == "warning"
    assert table.loc["factor dates after the store's data", "count"] == 1
    assert table.loc["inconsistent bar prices", "status"] == "ok"
    late = factor.set_axis(dates + pd.Timedelta(days=400))
    assert (
        check_data(late, None).table.loc["factor dates after the store's data", "status"] == "error"
    )


def test_price_consistency_kernel():
    close = np.array([[10.0, 5.0, 3.0], [10.5, 5.2, np.nan]])
    high = np.array([[10.2, 5.1, 3.1], [10.4, 5.3, 3.0]])
    low = np.array([[9.8, 5.3, 2.9], [10.1, 5.0, 3.2]])
    open_ = np.array([[9.9, 5.2, 3.5], [10.2, 5.1, 0.0]])
    found = _kernels.price_consistency(open_, high, low, close, 5)
    counts = [int(c) for c, _, _ in found]
    # high below low: (0, 1), (1, 2); close outside: (0, 1) below, (1, 0) above;
    # open outside: (0, 1), (0, 2), (1, 2); a price at zero: (1, 2)
    assert counts == [2, 2, 3, 1]
    assert found[2][1].tolist() == [[0, 1], [0, 2], [1, 2]]
    cells = found[0][1]
    assert cells.tolist() == [[0, 1], [1, 2]]


def test_the_store_finds_its_inconsistent_bars(tmp_path):
    files = tmp_path / "files"
    files.mkdir()
    days = pd.bdate_range("2023-03-01", periods=8)
    pd.DataFrame({"date": days.strftime("%Y-%m-%d")}).to_csv(
        files / "trading_calendar.csv", index=False
    )
    pd.DataFrame(
        {"order_book_id": ["000001.XSHE", "000002.XSHE"], "type": "CS", "listed_date": "2020-01-02"}
    ).to_csv(files / "instruments.csv", index=False)
    bars = []
    for oid in ("000001.XSHE", "000002.XSHE"):
        for k, d in enumerate(days):
            bars.append(
                {
                    "order_book_id": oid,
                    "date": d.strftime("%Y-%m-%d"),
                    "open": 10.0,
                    "high": 10.5,
                    "low": 9.5,
                    "close": 10.0 + 0.01 * k,
                    "volume": 100,
                }
            )
    bars[3]["close"] = 10.8  # above the high
    bars[12]["open"] = 9.0  # below the low
    pd.DataFrame(bars).to_csv(files / "daily_bars.csv", index=False)
    mivada.ingest(files, tmp_path / "store.duckdb")
    mivada.init(tmp_path / "store.duckdb")
    factor = pd.DataFrame(
        np.arange(16.0).reshape(8, 2) % 5, index=days, columns=["000001.XSHE", "000002.XSHE"]
    )
    row = check_data(factor, None).table.loc["inconsistent bar prices"]
    assert row["status"] == "warning" and row["count"] == 2
    assert "close outside the range x1: 000001.XSHE 20230306" in row["examples"]
    assert "open outside the range x1: 000002.XSHE 20230307" in row["examples"]
    assert check_data(factor.iloc[:3], None).table.loc["inconsistent bar prices", "status"] == "ok"


def test_price_limits_follow_the_board_and_the_date(rng):
    mivada.close()
    dates = pd.bdate_range("2020-08-10", periods=20)  # across 2020-08-24
    ids = ["300001.XSHE", "600000.XSHG", "689009.XSHG"]
    returns = pd.DataFrame(rng.normal(0, 0.01, (20, 3)), index=dates, columns=ids)
    returns.iloc[8, :] = 0.15  # 2020-08-20: 10 % limits
    returns.iloc[12, :] = 0.15  # 2020-08-26: ChiNext at 20 %
    factor = pd.DataFrame(rng.normal(size=(20, 3)), index=dates, columns=ids)
    table = check_data(factor, returns).table
    row = table.loc["moves beyond the price limit"]
    assert row["count"] == 3  # ChiNext and main board on the 20th, main board on the 26th
    assert row["examples"].startswith("300001.XSHE 20200820 +15.0% (limit 10%)")
    coverage = factor.copy()
    coverage.iloc[:, :] = rng.normal(size=(20, 3))
    wide = pd.concat([coverage] * 4, axis=1)
    wide.columns = ["%06d.XSHE" % i for i in range(12)]
    wide.iloc[15, 1:] = np.nan
    drops = check_data(wide, None).table.loc["coverage drops"]
    assert drops["count"] == 1 and drops["examples"] == "20200831 (1 of ~12)"
