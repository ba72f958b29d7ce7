import os
import re
import subprocess
import sys

import duckdb
import numpy as np
import pandas as pd
import pytest

import mivada
from mivada.sample import SampleSize, build_sample_store, generate_market


def test_import_is_cheap_and_opens_nothing():
    code = (
        "import sys, mivada; "
        "assert mivada.api._state['store'] is None; "
        "assert 'duckdb' not in sys.modules; "
        "assert 'mivada.sample' not in sys.modules; print('ok')"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


def test_generation_is_deterministic():
    size = SampleSize(25, 40, seed=7)
    a, b = generate_market(size), generate_market(size)
    assert list(a.ids) == list(b.ids)
    for name in ("close", "volume", "high", "has_bar", "styles"):
        assert np.array_equal(getattr(a, name), getattr(b, name), equal_nan=True)
    other = generate_market(SampleSize(25, 40, seed=8))
    assert not np.array_equal(a.close, other.close, equal_nan=True)


def test_default_init_generates_into_the_cache_folder(isolated_home):
    try:
        store = mivada.init(sample="tiny", n_days=60)
        assert os.path.dirname(store.path) == str(isolated_home)
        assert len(mivada.get_trading_dates(store.data_start, store.data_end)) == 60
        mtime = os.path.getmtime(store.path)
        again = mivada.init(sample="tiny", n_days=60)
        assert again.path == store.path and os.path.getmtime(again.path) == mtime
        assert not [f for f in os.listdir(isolated_home) if ".tmp-" in f]
    finally:
        mivada.close()
    with pytest.raises(ValueError, match="^sample:"):
        mivada.init(sample="huge")
    with pytest.raises(ValueError, match="^path:"):
        mivada.init("x.duckdb", sample="tiny")


def test_bad_stores_are_refused(tmp_path, tiny_market):
    with pytest.raises(mivada.StoreError, match="no mivada store"):
        mivada.init(tmp_path / "missing.duckdb")
    junk = tmp_path / "junk.duckdb"
    junk.write_bytes(b"this is not a database" * 100)
    with pytest.raises(mivada.StoreError, match="cannot open"):
        mivada.init(junk)
    plain = tmp_path / "plain.duckdb"
    con = duckdb.connect(str(plain))
    con.execute("CREATE TABLE t (x INTEGER)")
    con.close()
    with pytest.raises(mivada.StoreError, match="not a mivada store"):
        mivada.init(plain)
    old = tmp_path / "old.duckdb"
    build_sample_store(old, SampleSize(10, 30))
    con = duckdb.connect(str(old))
    con.execute("UPDATE meta SET value = '0' WHERE key = 'schema_version'")
    con.close()
    with pytest.raises(mivada.StoreError, match="schema version 0"):
        mivada.init(old)
    # a failed init leaves the previous store in place
    path, _ = tiny_market
    mivada.init(path)
    with pytest.raises(mivada.StoreError):
        mivada.init(junk)
    assert mivada.current_store().path == path


def test_reopening_a_rewritten_store_sees_the_new_file(tmp_path):
    path = tmp_path / "store.duckdb"
    first = build_sample_store(path, SampleSize(12, 30, seed=1))
    mivada.init(path)
    assert list(mivada.all_instruments("CS")["order_book_id"]) == list(first.ids)
    second = build_sample_store(path, SampleSize(15, 30, seed=2))
    mivada.init(path)
    assert list(mivada.all_instruments("CS")["order_book_id"]) == list(second.ids)
    mivada.close()


def test_environment_names_the_default_store(tiny_market, monkeypatch):
    path, market = tiny_market
    mivada.close()
    monkeypatch.setenv("MIVADA_STORE", path)
    assert mivada.get_latest_trading_date() == market.dates[-1]
    assert mivada.current_store().path == path


def test_threads_share_one_default_store(tiny_market, monkeypatch):
    from concurrent.futures import ThreadPoolExecutor

    path, market = tiny_market
    mivada.close()
    monkeypatch.setenv("MIVADA_STORE", path)
    ids = list(market.ids[:10])

    def work(_):
        store = mivada.current_store()
        rate = mivada.get_price_change_rate(ids, market.dates[0], market.dates[-1])
        return store, float(np.nansum(rate.to_numpy()))

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(32)))
    assert len({id(store) for store, _ in results}) == 1
    assert len({total for _, total in results}) == 1


class _ProgressBarRefused:
    """A connection as DuckDB hands it out in a Jupyter kernel without
    ipywidgets: any change of the progress-bar setting is refused."""

    def __init__(self, con):
        self._con = con

    def execute(self, sql, *args):
        if "progress_bar" in sql:
            raise duckdb.InvalidInputException(
                "Invalid Input Error: Could not change the progress bar setting "
                "because: 'required package 'ipywidgets' is missing'"
            )
        return self._con.execute(sql, *args)

    def __getattr__(self, name):
        return getattr(self._con, name)


def test_stores_open_where_the_progress_bar_cannot_be_set(tmp_path, tiny_market, monkeypatch):
    real = duckdb.connect
    monkeypatch.setattr(duckdb, "connect", lambda *a, **k: _ProgressBarRefused(real(*a, **k)))
    path, market = tiny_market
    try:
        mivada.init(path)
        assert mivada.get_latest_trading_date() == market.dates[-1]
        generated = tmp_path / "sample.duckdb"
        build_sample_store(generated, SampleSize(10, 30))
        mivada.init(generated)
        assert len(mivada.all_instruments("CS")) == 10
        folder = tmp_path / "files"
        folder.mkdir()
        pd.DataFrame(
            {"order_book_id": ["000001.XSHE"], "type": ["CS"], "listed_date": ["2020-01-02"]}
        ).to_parquet(folder / "instruments.parquet")
        mivada.ingest(folder, tmp_path / "new.duckdb")
        mivada.init(tmp_path / "new.duckdb")
        assert mivada.instruments("000001.XSHE").listed_date == "2020-01-02"
    finally:
        mivada.close()


def test_files_that_are_not_stores_say_what_they_are(tmp_path):
    table = tmp_path / "prices.csv"
    table.write_text("order_book_id,date,close\n000001.XSHE,2023-01-03,1.0\n")
    pq = tmp_path / "prices.parquet"
    pd.DataFrame({"close": [1.0]}).to_parquet(pq)
    empty = tmp_path / "empty.duckdb"
    empty.write_bytes(b"")
    for path, kind in (
        (
            table,
            r"a text table \(CSV\); import table files into a "
            r"store with `python -m mivada ingest",
        ),
        (pq, "a Parquet file"),
        (empty, "an empty file"),
    ):
        with pytest.raises(mivada.StoreError) as err:
            mivada.init(str(path))
        message = str(err.value)
        assert str(path) in message and "Error" not in message, message
        assert re.search("it is {}".format(kind), message), message
    # importing into such a file is refused the same way, the file untouched
    folder = tmp_path / "files"
    folder.mkdir()
    (folder / "instruments.csv").write_text(
        "order_book_id,type,listed_date\n000001.XSHE,CS,2020-01-02\n"
    )
    before = table.read_bytes()
    with pytest.raises(
        mivada.StoreError,
        match=r"nothing was imported: .*prices.csv as a "
        r"mivada store: it is a text table \(CSV\)",
    ):
        mivada.ingest(folder, table)
    assert table.read_bytes() == before
    mivada.close()
