import os
import shutil
import subprocess
import sys

import duckdb
import pandas as pd
import pytest

import mivada
from mivada.ingest_files import IngestError, ingest

TABLES = (
    "trading_calendar",
    "instruments",
    "daily_bars",
    "minute_bars",
    "industry_records",
    "index_members",
    "style_exposures",
    "factor_values",
)
AS_PARQUET = ("daily_bars", "style_exposures")


def dump(store_path, folder):
    """Write every table of a store as the import files."""
    folder.mkdir()
    con = duckdb.connect(str(store_path), read_only=True)
    try:
        for table in TABLES:
            if table == "minute_bars":
                continue
            if table in AS_PARQUET:
                con.execute(
                    "COPY (SELECT * FROM {}) TO '{}' (FORMAT parquet)".format(
                        table, folder / (table + ".parquet")
                    )
                )
            else:
                con.execute("SELECT * FROM {}".format(table)).df().to_csv(
                    folder / (table + ".csv"), index=False
                )
    finally:
        con.close()
    return folder


def snapshot(path):
    con = duckdb.connect(str(path), read_only=True)
    try:
        return {
            t: con.execute("SELECT count(*), sum(hash(t::VARCHAR)) FROM {} t".format(t)).fetchone()
            for t in TABLES
        }
    finally:
        con.close()


@pytest.fixture(scope="module")
def imported(tiny_market, tmp_path_factory):
    """The tiny sample exported to files and imported into a new store."""
    path, market = tiny_market
    base = tmp_path_factory.mktemp("ingest")
    folder = dump(path, base / "files")
    target = base / "imported.duckdb"
    written = ingest(folder, target)
    return target, written, market


def test_round_trip_reproduces_the_store(imported, tiny_market):
    target, written, market = imported
    assert written["daily_bars"] == int(market.has_bar.sum()) + 2 * len(market.dates)
    ids = list(market.ids[:15]) + ["000300.XSHG"]
    day0, day1 = market.dates[0], market.dates[-1]

    def answers():
        client = mivada.client.get_client()
        return [
            mivada.get_price(ids, day0, day1),
            mivada.all_instruments(),
            mivada.get_style_factor_exposure(ids, day0, day1),
            mivada.get_factor(ids, ["value_score", "market_cap"], day0, day1),
            mivada.index_components("000905.XSHG", start_date=day0, end_date=day1),
            sorted(client.execute("__internal__shenwan_industry")),
            sorted(client.execute("__internal__zx2019_industry")),
            mivada.get_trading_dates("2005-01-01", "2025-12-31"),
        ]

    mivada.init(tiny_market[0])
    original = answers()
    mivada.init(target)
    copy = answers()
    for a, b in zip(original, copy):
        if isinstance(a, pd.DataFrame):
            pd.testing.assert_frame_equal(a, b)
        elif isinstance(a, pd.Index):
            assert a.equals(b)
        else:
            assert a == b


def test_append_fills_prev_close_and_adds_factors(imported, tmp_path):
    target = tmp_path / "store.duckdb"
    shutil.copy(imported[0], target)
    batch = tmp_path / "more"
    batch.mkdir()
    # as spreadsheet programs save it: with a byte order mark
    (batch / "instruments.csv").write_text(
        "order_book_id,type,listed_date,de_listed_date\n301999.XSHE,CS,2023-12-25,0000-00-00\n",
        encoding="utf-8-sig",
    )
    (batch / "daily_bars.csv").write_text(
        "order_book_id,date,open,close,volume\n"
        "301999.XSHE,2023-12-25,10,10.5,1000\n"
        "301999.XSHE,2023-12-27,10.5,11.0,2000\n"
        "301999.XSHE,2023-12-26,10.5,10.0,1500\n"
    )
    (batch / "factor_values.csv").write_text(
        "order_book_id,date,my_alpha,my_beta\n"
        "301999.XSHE,2023-12-26,0.5,\n"
        "301999.XSHE,2023-12-27,0.25,1.0\n"
    )
    (batch / "style_exposures.csv").write_text(
        "order_book_id,date,size,esg\n301999.XSHE,2023-12-26,-1.5,0.3\n"
    )
    (batch / "minute_bars.csv").write_text(
        "order_book_id,datetime,close,volume\n"
        "301999.XSHE,2023-12-26 09:31:00,10.4,100\n"
        "301999.XSHE,2023-12-26 09:32:00,10.3,200\n"
        "301999.XSHE,2023-12-27 09:31:00,10.6,300\n"
    )
    written = ingest(batch, target)
    assert written["daily_bars"] == 3
    mivada.init(target)
    bars = mivada.get_price(
        "301999.XSHE", "2023-12-25", "2023-12-29", fields=["close", "prev_close"]
    ).loc["301999.XSHE"]
    assert list(bars["close"]) == [10.5, 10.0, 11.0]
    assert bars["prev_close"].iloc[1:].tolist() == [10.5, 10.0]
    assert bars["prev_close"].isna().iloc[0]
    rate = mivada.get_price_change_rate("301999.XSHE", "2023-12-25", "2023-12-27")["301999.XSHE"]
    assert rate.isna().iloc[0]  # no previous close on the first bar
    assert rate.iloc[1:].tolist() == pytest.approx([10 / 10.5 - 1, 0.1])
    alpha = mivada.get_factor("301999.XSHE", ["my_alpha", "my_beta"], "2023-12-01", "2023-12-29")
    assert alpha["my_alpha"].tolist() == [0.5, 0.25]
    assert alpha["my_beta"].isna().tolist() == [True, False]
    style = mivada.get_style_factor_exposure(
        "301999.XSHE", "2023-12-26", "2023-12-26", ["size", "esg"]
    )
    assert style.iloc[0].tolist() == [-1.5, 0.3]
    assert mivada.instruments("301999.XSHE").symbol == "301999.XSHE"
    minutes = mivada.get_price(
        "301999.XSHE", "2023-12-26", "2023-12-26", frequency="1m", fields=["close", "volume"]
    )
    assert minutes.index.names == ["order_book_id", "datetime"]
    assert minutes["volume"].tolist() == [100, 200]
    late = mivada.get_price(
        "301999.XSHE",
        "2023-12-26 09:32",
        "2023-12-27 09:31",
        frequency="1m",
        fields="close",
        expect_df=False,
    )
    assert late.tolist() == [10.3, 10.6]


BAD_CASES = [
    (
        "daily_bars.csv",
        "order_book_id,date,close\n{sid},{day},abc\n",
        "line 2",
        "'abc' is not a finite number",
    ),
    (
        "daily_bars.csv",
        "order_book_id,date,close\n{sid},{day},1\n{sid},{day},2\n",
        "line 3",
        "repeats the key",
    ),
    ("daily_bars.csv", "order_book_id,date,close\n{sid},{day},1\n", "line 2", "already has a row"),
    (
        "daily_bars.csv",
        "order_book_id,date,close\n999998.XSHG,{day},1\n",
        "line 2",
        "999998.XSHG is not in the store",
    ),
    (
        "daily_bars.csv",
        "order_book_id,date,close\n{sid},2023-10-03,1\n",
        "line 2",
        "not a trading date",
    ),
    ("daily_bars.csv", "order_book_id,date,close\n{sid},2023/13/45,1\n", "line 2", "is not a date"),
    (
        "daily_bars.csv",
        "order_book_id,date,close,vwap\n{sid},{day},1,1\n",
        "",
        "unexpected column(s) ['vwap']",
    ),
    ("daily_bars.csv", "order_book_id,date\n{sid},{day}\n", "", "missing column(s) ['close']"),
    (
        "daily_bars.csv",
        "order_book_id,date,close,high,low\n{late},{early},1,1,1\n",
        "line 2",
        "outside the listing period",
    ),
    (
        "daily_bars.csv",
        "order_book_id,date,close,high,low\n{sid},{future},1,1,2\n",
        "line 2",
        "high is below low",
    ),
    (
        "industry_records.csv",
        "source,order_book_id,start_date,industry_name\nsws,{sid},2020-01-02,银行\n",
        "line 2",
        "need a version",
    ),
    (
        "index_members.csv",
        "index_id,order_book_id,in_date\n{sid},{sid},2020-01-02\n",
        "line 2",
        "is not a INDX instrument",
    ),
    (
        "instruments.csv",
        "order_book_id,type,listed_date\n{sid},CS,2001-01-01\n",
        "line 2",
        "already in the store",
    ),
    ("bars.csv", "a\n1\n", "", "unknown table"),
    (
        "daily_bars.csv",
        "order_book_id,date,close\n\n{sid},{future},1\n{sid},{future},2\n",
        "line 4",
        "repeats the key",
    ),
]


@pytest.mark.parametrize("name, text, where, problem", BAD_CASES)
def test_bad_files_name_file_row_and_problem(
    imported, tmp_path, tiny_market, name, text, where, problem
):
    market = tiny_market[1]
    target = tmp_path / "store.duckdb"
    shutil.copy(imported[0], target)
    before = snapshot(target)
    i = 0
    t = int(market.has_bar[:, i].nonzero()[0][-1])
    late = int((market.listed_date > market.dates[0]).argmax())
    fields = dict(
        sid=market.ids[i],
        day=market.dates[t].date(),
        late=market.ids[late],
        early=market.dates[0].date(),
        future=mivada.get_next_trading_date(market.dates[-1]).date(),
    )
    folder = tmp_path / "bad"
    folder.mkdir()
    # a valid file next to the bad one must not be written either
    (folder / "trading_calendar.csv").write_text("date\n2026-01-05\n")
    (folder / name).write_text(text.format(**fields))
    with pytest.raises(IngestError) as err:
        ingest(folder, target)
    message = str(err.value)
    assert name in message and where in message and problem in message, message
    assert snapshot(target) == before


def test_failure_while_writing_rolls_back(imported, tmp_path, monkeypatch):
    import mivada.ingest_files as ing

    target = tmp_path / "store.duckdb"
    shutil.copy(imported[0], target)
    before = snapshot(target)
    folder = tmp_path / "ok"
    folder.mkdir()
    (folder / "trading_calendar.csv").write_text("date\n2026-01-05\n")
    (folder / "daily_bars.csv").write_text(
        "order_book_id,date,close\n000300.XSHG,2026-01-05,3000\n"
    )
    real = ing._write

    def write_then_fail(con, batches):
        real(con, batches)
        raise OSError("disk full")

    monkeypatch.setattr(ing, "_write", write_then_fail)
    with pytest.raises(OSError):
        ingest(folder, target)
    assert snapshot(target) == before
    # a new store is not left behind either
    (folder / "instruments.csv").write_text(
        "order_book_id,type,listed_date\n000300.XSHG,INDX,2005-04-08\n"
    )
    with pytest.raises(OSError):
        ingest(folder, tmp_path / "new.duckdb")
    assert not [f for f in os.listdir(tmp_path) if f.startswith("new.duckdb")]
    (folder / "instruments.csv").unlink()
    monkeypatch.setattr(ing, "_write", real)
    ingest(folder, target)
    assert snapshot(target)["daily_bars"][0] == before["daily_bars"][0] + 1


def test_command_line(tmp_path):
    good = tmp_path / "good"
    good.mkdir()
    (good / "instruments.csv").write_text(
        "order_book_id,symbol,type,listed_date\n"
        "600001.XSHG,甲,CS,2020-01-02\n000001.XSHG,综指,INDX,2001-01-02\n"
    )
    (good / "daily_bars.csv").write_text(
        "order_book_id,date,close,volume\n600001.XSHG,2020-01-02,5,100\n"
        "600001.XSHG,2020-01-03,5.5,100\n000001.XSHG,2020-01-03,3000,1e9\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    store = tmp_path / "cli.duckdb"
    run = subprocess.run(
        [sys.executable, "-m", "mivada", "ingest", str(good), "--store", str(store)],
        env=env,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    mivada.init(store)
    assert list(mivada.get_trading_dates("2020-01-01", "2020-01-31")) == [
        pd.Timestamp("2020-01-02"),
        pd.Timestamp("2020-01-03"),
    ]
    assert mivada.get_price_change_rate("600001.XSHG").iloc[-1, 0] == pytest.approx(0.1)
    mivada.close()
    bad = tmp_path / "bad"
    bad.mkdir()
    (bad / "daily_bars.csv").write_text("order_book_id,date,close\n600001.XSHG,2020-01-06,-5\n")
    run = subprocess.run(
        [sys.executable, "-m", "mivada", "ingest", str(bad), "--store", str(store)],
        env=env,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 1
    assert "daily_bars.csv, line 2: close must be positive" in run.stderr


def test_factors_named_like_bar_fields_are_refused(imported, tmp_path):
    target = tmp_path / "store.duckdb"
    shutil.copy(imported[0], target)
    before = snapshot(target)
    day = imported[2].dates[-1].date()
    sid = imported[2].ids[0]
    cases = [
        (
            "{},{}\n{},{},1.5,2.0\n".format("order_book_id,date,alpha", "close", sid, day),
            "factor_values.csv: column 'close': a published factor cannot take the name "
            "of the daily bar field 'close'",
        ),
        (
            "order_book_id,date,factor,value\n{0},{1},alpha,1\n{0},{1},Volume,2\n".format(sid, day),
            "factor_values.csv, line 3: factor 'Volume': a published factor cannot take "
            "the name of the daily bar field 'volume'",
        ),
    ]
    for k, (text, message) in enumerate(cases):
        folder = tmp_path / "f{}".format(k)
        folder.mkdir()
        (folder / "factor_values.csv").write_text(text)
        with pytest.raises(IngestError) as err:
            ingest(folder, target)
        assert message in str(err.value)
    assert snapshot(target) == before
    # a store that took such a factor before still serves the bars by that name
    con = duckdb.connect(str(target))
    con.execute("INSERT INTO factor_values VALUES (?, ?, 'close', -1.0)", [sid, day])
    con.close()
    mivada.init(target)
    try:
        assert mivada.get_factor_names().count("close") == 1
        got = mivada.get_factor(sid, "close", day, day)["close"].iloc[0]
        assert got == mivada.get_price(sid, day, day, fields="close")["close"].iloc[0] > 0
    finally:
        mivada.close()


def test_text_dates_are_read_as_the_api_reads_them(tmp_path):
    from mivada.utils import as_dates

    forms = [
        ["2020-01-13", "20200302"],
        ["13/01/2020", "02/03/2020"],
        ["01/13/2020", "03/02/2020"],
        ["2020-01-13T00:00:00", "2020-03-02"],
        ["13.01.2020", "2.3.2020"],
    ]
    for k, listed in enumerate(forms):
        folder = tmp_path / "f{}".format(k)
        folder.mkdir()
        pd.DataFrame(
            {"order_book_id": ["000001.XSHE", "000002.XSHE"], "type": "CS", "listed_date": listed}
        ).to_csv(folder / "instruments.csv", index=False)
        target = tmp_path / "s{}.duckdb".format(k)
        ingest(folder, target)
        mivada.init(target)
        got = pd.to_datetime(mivada.all_instruments()["listed_date"])
        assert list(got) == list(as_dates(listed)), listed
    # day and month both at most 12: refused unless the format is given
    (folder / "instruments.csv").write_text(
        "order_book_id,type,listed_date\n000001.XSHE,CS,03/02/2020\n000002.XSHE,CS,04/02/2020\n"
    )
    (folder / "trading_calendar.csv").write_text("date\n03/02/2020\n04/02/2020\n")
    (folder / "minute_bars.csv").write_text(
        "order_book_id,datetime,close\n000001.XSHE,03/02/2020 09:31:00,1.5\n"
    )
    with pytest.raises(
        IngestError,
        match="instruments.csv: column 'listed_date': .*"
        "reads day-first or month-first.*--date-format",
    ):
        ingest(folder, tmp_path / "new.duckdb")
    assert not os.path.exists(tmp_path / "new.duckdb")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mivada",
            "ingest",
            str(folder),
            "--store",
            str(tmp_path / "new.duckdb"),
            "--date-format",
            "%d/%m/%Y",
        ],
        env=env,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
    mivada.init(tmp_path / "new.duckdb")
    try:
        assert list(mivada.all_instruments()["listed_date"]) == ["2020-02-03", "2020-02-04"]
        bars = mivada.get_price("000001.XSHE", "2020-02-03", "2020-02-03", frequency="1m")
        assert bars.index.get_level_values("datetime")[0] == pd.Timestamp("2020-02-03 09:31")
    finally:
        mivada.close()


def test_two_processes_creating_one_store_lose_nothing(tmp_path):
    """Both imports start while the store does not exist yet; the one that
    comes second waits for the first and extends what it made."""
    target = tmp_path / "shared.duckdb"
    folders = []
    for k, sid in enumerate(("000001.XSHE", "000002.XSHE")):
        folder = tmp_path / "part{}".format(k)
        folder.mkdir()
        (folder / "trading_calendar.csv").write_text("date\n2023-01-03\n2023-01-04\n")
        (folder / "instruments.csv").write_text(
            "order_book_id,type,listed_date\n{},CS,2020-01-02\n".format(sid)
        )
        (folder / "daily_bars.csv").write_text(
            "order_book_id,date,close\n{0},2023-01-03,{1}\n{0},2023-01-04,{1}\n".format(sid, k + 1)
        )
        folders.append(folder)
    # each import is slowed down while it writes, so both have seen no store
    # before either has finished
    code = (
        "import sys, time, mivada.ingest_files as ing; real = ing._write; "
        "ing._write = lambda *a: time.sleep(1.5) or real(*a); "
        "ing.ingest(sys.argv[1], sys.argv[2]); print('done')"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    runs = [
        subprocess.Popen(
            [sys.executable, "-c", code, str(f), str(target)],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for f in folders
    ]
    outs = [r.communicate(timeout=120) for r in runs]
    assert [r.returncode for r in runs] == [0, 0], outs
    mivada.init(target)
    try:
        assert list(mivada.all_instruments()["order_book_id"]) == ["000001.XSHE", "000002.XSHE"]
        closes = mivada.get_price_panel(["000001.XSHE", "000002.XSHE"])["close"]
        assert closes.to_numpy().tolist() == [[1.0, 2.0], [1.0, 2.0]]
    finally:
        mivada.close()
