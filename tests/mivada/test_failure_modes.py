"""How the store fails: every failure a StoreError/IngestError naming the file
and the cause, the store unchanged; no silent fallback to the sample; dates
read as YYYYMMDD integers; stale temp files removed; an analysis keeps the
store it started with while another thread opens a new one."""

import os
import shutil
import subprocess
import sys
import threading

import duckdb
import numpy as np
import pandas as pd
import pytest

import mivada
from mivada.ingest_files import IngestError
from mivada.sample import SampleSize, build_sample_store
from mivada.utils import to_date_str
from tarnfold.analysis import assay_bench as ab


def write(folder, **tables):
    folder.mkdir(exist_ok=True)
    for name, frame in tables.items():
        if isinstance(frame, str):
            (folder / (name + ".csv")).write_text(frame)
        else:
            frame.to_csv(folder / (name + ".csv"), index=False)
    return folder


INSTRUMENTS = pd.DataFrame(
    {"order_book_id": ["000001.XSHE", "000002.XSHE"], "type": "CS", "listed_date": "2020-01-02"}
)
BARS = pd.DataFrame(
    {
        "order_book_id": ["000001.XSHE"] * 3,
        "date": ["2023-01-03", "2023-01-04", "2023-01-05"],
        "close": [1.0, 1.1, 1.2],
    }
)


@pytest.fixture
def small_store(tmp_path):
    path = tmp_path / "store.duckdb"
    mivada.ingest(
        write(
            tmp_path / "base",
            instruments=INSTRUMENTS,
            daily_bars=BARS,
            style_exposures="order_book_id,date,size\n000001.XSHE,2023-01-03,0.5\n",
        ),
        path,
    )
    return path


def snapshot(path):
    con = duckdb.connect(str(path), read_only=True)
    try:
        return {
            t: con.execute("SELECT * FROM {} ORDER BY ALL".format(t)).fetchall()
            for t in ("instruments", "daily_bars", "style_exposures", "trading_calendar")
        }
    finally:
        con.close()


def test_bad_files_are_refused_before_anything_is_written(tmp_path, small_store):
    before = snapshot(small_store)
    cases = [
        (dict(daily_bars=BARS), "daily_bars.csv.*not in the store or instruments file"),
        (
            dict(style_exposures="order_book_id,date,Size\n000001.XSHE,2023-01-04,1\n"),
            "style_exposures.csv: column 'Size' differs only in letter case.*'size'",
        ),
        (
            dict(style_exposures="order_book_id,date,beta,Beta\n000001.XSHE,2023-01-04,1,2\n"),
            r"style_exposures.csv: column names \['beta', 'Beta'\] differ only in letter case",
        ),
        (
            dict(style_exposures="order_book_id,date,,beta\n000001.XSHE,2023-01-04,1,2\n"),
            r"style_exposures.csv: blank column name\(s\) in the header at position\(s\) \[3\]",
        ),
        (
            dict(
                instruments="order_book_id,type,listed_date,de_listed_date\n"
                "000009.XSHE,CS,2020-01-02,9999-12-31\n"
            ),
            "instruments.csv, line 2: column 'de_listed_date': '9999-12-31' is outside the dates",
        ),
    ]
    for k, (files, message) in enumerate(cases):
        folder = write(tmp_path / "case{}".format(k), **files)
        target = small_store if k else tmp_path / "new.duckdb"
        with pytest.raises(IngestError, match=message):
            mivada.ingest(folder, target)
    assert not os.path.exists(tmp_path / "new.duckdb")
    assert snapshot(small_store) == before
    # parquet dates beyond what a timestamp holds, integer YYYYMMDD dates
    import datetime

    folder = tmp_path / "pq"
    folder.mkdir()
    pd.DataFrame(
        {
            "order_book_id": ["000009.XSHE"],
            "type": ["CS"],
            "listed_date": [datetime.date(2020, 1, 2)],
            "de_listed_date": [datetime.date(9999, 12, 31)],
        }
    ).to_parquet(folder / "instruments.parquet")
    with pytest.raises(IngestError, match="instruments.parquet, row 1: .*outside the dates"):
        mivada.ingest(folder, small_store)
    pd.DataFrame(
        {"order_book_id": ["000009.XSHE"], "type": ["CS"], "listed_date": [20200102]}
    ).to_parquet(folder / "instruments.parquet")
    mivada.ingest(folder, small_store)
    mivada.init(small_store)
    assert mivada.instruments("000009.XSHE").listed_date == "2020-01-02"
    mivada.close()


def test_stores_that_cannot_be_used_say_why(tmp_path, small_store):
    broken = tmp_path / "broken.duckdb"
    shutil.copy(small_store, broken)
    con = duckdb.connect(str(broken))
    con.execute("ALTER TABLE daily_bars DROP COLUMN volume")
    con.close()
    with pytest.raises(mivada.StoreError, match=r"broken.duckdb.*daily_bars lacks \['volume'\]"):
        mivada.init(broken)
    # an instruments-only store has no calendar
    empty = tmp_path / "empty.duckdb"
    mivada.ingest(write(tmp_path / "only", instruments=INSTRUMENTS), empty)
    mivada.init(empty)
    for call in (
        lambda: mivada.get_next_trading_date("2023-01-03"),
        lambda: mivada.trading_date_offset("2023-01-03", 0),
    ):
        with pytest.raises(
            mivada.StoreError, match="empty.duckdb: the store's trading calendar is empty"
        ):
            call()
    mivada.close()


def test_a_locked_store_is_reported_as_locked(tmp_path, small_store):
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import duckdb, sys, time; con = duckdb.connect(sys.argv[1]); "
            "print('ready', flush=True); time.sleep(120)",
            str(small_store),
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline().strip() == "ready"
        with pytest.raises(mivada.StoreError, match="store.duckdb is locked by another process"):
            mivada.init(small_store)
        folder = write(tmp_path / "more", daily_bars=BARS.assign(order_book_id="000002.XSHE"))
        with pytest.raises(
            mivada.StoreError, match="store.duckdb is locked by another process"
        ) as err:
            mivada.ingest(folder, small_store)
        # an import error too, under the one root of mivada's errors
        assert isinstance(err.value, IngestError) and isinstance(err.value, mivada.MivadaError)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        run = subprocess.run(
            [sys.executable, "-m", "mivada", "ingest", str(folder), "--store", str(small_store)],
            env=env,
            capture_output=True,
            text=True,
        )
        assert run.returncode == 1
        assert run.stderr.count("\n") == 1 and "Traceback" not in run.stderr, run.stderr
        assert "store.duckdb is locked by another process (python" in run.stderr
    finally:
        holder.kill()
        holder.wait()
    mivada.close()


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only folders")
def test_a_store_in_a_read_only_folder(tmp_path, small_store):
    folder = write(tmp_path / "more", daily_bars=BARS.assign(order_book_id="000002.XSHE"))
    os.chmod(small_store.parent, 0o555)
    try:
        with pytest.raises(mivada.StoreError, match="cannot write .*read-only"):
            mivada.ingest(folder, small_store)
    finally:
        os.chmod(small_store.parent, 0o755)


def test_a_failed_init_never_falls_back_to_the_sample(tmp_path, isolated_home):
    mivada.close()
    junk = tmp_path / "junk.duckdb"
    junk.write_bytes(b"not a database" * 100)
    with pytest.raises(mivada.StoreError, match="cannot open"):
        mivada.init(junk)
    with pytest.raises(mivada.StoreError, match=r"no store is open: the last init\(.*junk.duckdb"):
        mivada.get_latest_trading_date()
    assert not [f for f in os.listdir(isolated_home) if f.startswith("sample-")]
    mivada.close()  # an explicit close brings back the default


def test_integer_dates_are_yyyymmdd(market):
    assert mivada.get_next_trading_date(20231110) == mivada.get_next_trading_date("2023-11-10")
    assert to_date_str(20230801) == "2023-08-01" and to_date_str(np.int64(20230801)) == "2023-08-01"
    ids = mivada.all_instruments("CS")["order_book_id"][:3].tolist()
    pd.testing.assert_frame_equal(
        mivada.get_price_change_rate(ids, 20231101, 20231110),
        mivada.get_price_change_rate(ids, "2023-11-01", "2023-11-10"),
    )
    for bad in (1698796800000000000, 20231345, 2023.0):
        with pytest.raises(mivada.ArgumentError, match="^date: expected a .*date.*, got "):
            mivada.get_next_trading_date(bad)
    with pytest.raises(ValueError):
        to_date_str(1698796800000000000)
    # beyond what a timestamp holds: an open end of a range, refused elsewhere
    whole = mivada.get_price_change_rate(ids, "2023-11-01")
    pd.testing.assert_frame_equal(
        mivada.get_price_change_rate(ids, "2023-11-01", "9999-12-31"), whole
    )
    pd.testing.assert_frame_equal(
        mivada.get_price_change_rate(ids, "1000-01-01", "2023-11-10"),
        mivada.get_price_change_rate(ids, "2000-01-01", "2023-11-10"),
    )
    assert mivada.get_price(ids, "2023-11-01", "9999-12-31", frequency="1m") is None
    with pytest.raises(
        ValueError, match="^date: expected a date a timestamp can hold .*, got '9999-12-31'"
    ):
        mivada.get_next_trading_date("9999-12-31")
    # text and zone-aware dates as every reader reads them: day/month order
    # settled or refused, a zone's wall-clock date
    assert mivada.get_next_trading_date("13/11/2023 10:00") == mivada.get_next_trading_date(
        20231113
    )
    with pytest.raises(mivada.ArgumentError, match="^start_date: .*day-first or month-first"):
        mivada.get_price_change_rate(ids, "10/11/2023", "2023-11-20")
    late = pd.Timestamp("2023-11-10 23:30", tz="Asia/Shanghai")
    assert mivada.get_trading_dates(late, late) == [pd.Timestamp("2023-11-10")]


def test_calendar_steps_past_an_ingested_calendar_are_weekdays(small_store):
    mivada.init(small_store)
    # the calendar ends on the last bar, Thursday 2023-01-05
    assert mivada.get_next_trading_date("2023-01-04", 1) == pd.Timestamp("2023-01-05")
    assert mivada.get_next_trading_date("2023-01-05", 1) == pd.Timestamp("2023-01-06")
    assert mivada.get_next_trading_date("2023-01-04", 3) == pd.Timestamp("2023-01-09")
    assert mivada.get_next_trading_date("2023-01-07", 1) == pd.Timestamp("2023-01-09")
    assert mivada.trading_date_offset("2023-01-05", 21) == pd.Timestamp("2023-02-03")
    with pytest.raises(
        ValueError,
        match="^n: expected a step that stays within the dates a "
        "timestamp can hold, got 1000000000 trading day",
    ):
        mivada.get_next_trading_date("2023-01-05", 10**9)
    mivada.close()


def test_temp_files_of_a_killed_import_are_removed(tmp_path, small_store):
    done = subprocess.run(
        [sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True
    )
    dead = int(done.stdout)
    alive = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        for target in (small_store, tmp_path / "fresh.duckdb"):
            stale = ["{}.tmp-{}".format(target, dead), "{}.tmp-{}.wal".format(target, dead)]
            busy = "{}.tmp-{}".format(target, alive.pid)
            for f in stale + [busy]:
                with open(f, "wb") as fh:
                    fh.write(b"partial")
            if target == small_store:
                mivada.init(target)
            else:
                mivada.ingest(write(tmp_path / "fresh", instruments=INSTRUMENTS), target)
            assert not any(os.path.exists(f) for f in stale)
            assert os.path.exists(busy)  # its import may still be running
    finally:
        alive.kill()
        alive.wait()
        mivada.close()


class StoreSwitchingAnalyser(ab.FactorAnalyser):
    """Another thread opens a new store in the middle of this analysis."""

    def __init__(self, other):
        self.other = other

    def analysis(self, factor_data, returns, periods, ascending=True):
        before = mivada.all_instruments("CS")["order_book_id"].tolist()
        switch = threading.Thread(target=mivada.init, args=(self.other,))
        switch.start()
        switch.join()
        after = mivada.all_instruments("CS")["order_book_id"].tolist()
        labels = ab._load_industry_data(after[:5], factor_data.index[:3], source="citics_2019")
        return before, after, labels


def test_an_analysis_keeps_its_store_while_another_thread_opens_one(tmp_path):
    paths = [str(tmp_path / "a.duckdb"), str(tmp_path / "b.duckdb")]
    for seed, path in enumerate(paths):
        build_sample_store(path, SampleSize(12, 40, seed=seed + 10))
    first = mivada.init(paths[0])
    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    factor = pd.DataFrame(
        1.0, index=mivada.get_trading_dates("2023-12-01", "2023-12-10"), columns=ids
    )
    bench = ab.FactorAssayBench()
    bench.append(("switch", StoreSwitchingAnalyser(paths[1])))
    before, after, labels = bench.analysis(factor, factor * 0.0)["switch"]
    assert before == after == ids and len(labels) > 0
    # the new store is current now; the old one closed once the analysis ended
    assert mivada.current_store().path == paths[1] and first._con is None
    mivada.close()
