"""Reads served again inside ``reusing_reads`` blocks equal fresh reads,
whatever the order of ranges and fields, and callers cannot change them."""

import pandas as pd

import mivada
import mivada.api
from mivada.api import exposures, prices


def _ids(n=6):
    return mivada.all_instruments("CS")["order_book_id"].tolist()[:n]


def _data_dates():
    store = mivada.current_store()
    return mivada.get_trading_dates(store.data_start, store.data_end)


def _fresh_panel(ids, start, end, fields):
    return mivada.get_price_panel(ids, start, end, fields=fields)


def _assert_panels_equal(got, want):
    assert list(got) == list(want)
    for f in want:
        pd.testing.assert_frame_equal(got[f], want[f])


def test_kept_panel_equals_fresh_reads_for_any_range_and_fields(market, monkeypatch):
    ids = _ids()
    dates = _data_dates()
    mid = len(dates) // 2
    # narrower, wider at each end, a new field, a sub-range, beyond the data
    requests = [
        (dates[mid], dates[mid + 20], ("close", "volume")),
        (dates[mid + 5], dates[mid + 10], ("close",)),
        (dates[mid - 30], dates[mid + 20], ("close", "volume")),
        (dates[mid - 30], dates[-1], ("high", "close")),
        (dates[mid - 10], dates[mid + 3], ("low", "volume", "high")),
        (dates[mid - 10], dates[-1] + pd.Timedelta(days=40), ("close",)),
    ]
    want = [_fresh_panel(ids, *r) for r in requests]
    assert all(w["close"].notna().any().any() for w in want if "close" in w)
    queries = []
    real = prices._panel_frames
    monkeypatch.setattr(prices, "_panel_frames", lambda *a: queries.append(a[4]) or real(*a))
    mivada.api.forget_reads()
    with mivada.api.reusing_reads():
        for r, w in zip(requests, want):
            _assert_panels_equal(_fresh_panel(ids, *r), w)
        # everything asked for again: no query at all
        before = len(queries)
        for r, w in zip(requests, want):
            _assert_panels_equal(_fresh_panel(ids, *r), w)
        assert len(queries) == before
    assert len(queries) < len(requests)
    # outside a block the store is read as before
    _fresh_panel(ids, *requests[0])
    assert len(queries) == before + 1
    # other instruments: read afresh, not served from the kept panel
    with mivada.api.reusing_reads():
        other = _fresh_panel(ids[:3], *requests[0])
    _assert_panels_equal(other, _fresh_panel(ids[:3], *requests[0]))
    mivada.api.forget_reads()


def test_callers_changes_never_reach_what_is_kept(market):
    ids = _ids()
    dates = _data_dates()
    start, end = dates[10], dates[40]
    fresh_panel = _fresh_panel(ids, start, end, ("close",))["close"]
    fresh_exp = mivada.get_style_factor_exposure(ids, start, end)
    mivada.api.forget_reads()
    with mivada.api.reusing_reads():
        panel = _fresh_panel(ids, start, end, ("close",))["close"]
        panel.iloc[:, 0] = -1.0
        exp = mivada.get_style_factor_exposure(ids, start, end)
        exp.iloc[:, 0] = 99.0
        pd.testing.assert_frame_equal(
            _fresh_panel(ids, start, end, ("close",))["close"], fresh_panel
        )
        again = mivada.get_style_factor_exposure(ids, start, end)
        pd.testing.assert_frame_equal(again, fresh_exp)
        assert again is not exp
    mivada.api.forget_reads()


def test_kept_reads_are_never_served_for_another_store(market, tmp_path, monkeypatch):
    import shutil

    path = mivada.current_store().path
    ids = _ids()
    dates = _data_dates()
    start, end = dates[5], dates[25]
    reads = []
    for module, name in ((prices, "_panel_frames"), (exposures, "_style_exposures")):
        real = getattr(module, name)
        monkeypatch.setattr(
            module, name, lambda *a, _real=real, _name=name: reads.append(_name) or _real(*a)
        )
    mivada.api.forget_reads()
    with mivada.api.reusing_reads():
        mivada.get_style_factor_exposure(ids, start, end)
        _fresh_panel(ids, start, end, ("close",))
    assert reads == ["_style_exposures", "_panel_frames"]
    # the same file under another name is another store: read afresh
    other = tmp_path / "copy.duckdb"
    shutil.copy(path, other)
    try:
        mivada.init(str(other))
        with mivada.api.reusing_reads():
            exp = mivada.get_style_factor_exposure(ids, start, end)
            _fresh_panel(ids, start, end, ("close",))
            mivada.get_style_factor_exposure(ids, start, end)
        assert reads[2:] == ["_style_exposures", "_panel_frames"]
        assert exp is not None and len(exp)
    finally:
        mivada.init(path)
        mivada.api.forget_reads()
