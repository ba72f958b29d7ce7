"""Industry codes per date and instrument against the classification
records read one cell at a time."""

import numpy as np
import pandas as pd


def _in_force(start):
    """The classification version in force for a record starting on
    ``start``."""
    if start > pd.Timestamp("2021-07-31"):
        return 3
    return 2 if start > pd.Timestamp("2014-01-01") else 1


def _reference(records, ids, dates, has_version):
    names = {}
    codes = np.full((len(dates), len(ids)), -1, dtype=np.int64)
    rows = [tuple(r)[:4] for r in records]
    if has_version:
        rows = [r for r in rows if r[3] == _in_force(pd.Timestamp(r[2]))]
    for j, oid in enumerate(ids):
        own = [r for r in rows if r[1] == oid]
        for i, day in enumerate(dates):
            started = [r for r in own if pd.Timestamp(r[2]) <= day]
            if not started:
                continue
            # the latest start; the last record of those starting that day
            best = max(enumerate(started), key=lambda kr: (pd.Timestamp(kr[1][2]), kr[0]))[1]
            codes[i, j] = names.setdefault(best[0], len(names))
    return codes, names


def test_codes_follow_the_latest_record_started_on_or_before_each_date(store):
    import mivada
    from mivada import client
    from tarnfold import industry

    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    ids = ids[::3] + ["UNKNOWN.XSHE"]
    end = mivada.get_latest_trading_date()
    for source, query in industry.INDUSTRY_SOURCES.items():
        records = client.get_client().execute(query)
        starts = sorted(pd.Timestamp(r[2]) for r in records)
        # dates from before the first record to the end, where labels change
        first = mivada.trading_date_offset(max(starts[0], pd.Timestamp("2010-01-04")), -3)
        dates = pd.DatetimeIndex(mivada.get_trading_dates(first, end))[::5]
        industry._last.clear()
        codes, names = industry.industry_codes(ids, dates, source)
        assert codes.shape == (len(dates), len(ids)) and codes.dtype == np.int32
        assert not codes.flags.writeable
        want, want_names = _reference(records, ids, dates, len(records[0]) > 3)
        # same partition of cells into industries, and the same labels
        got_labels = np.where(codes >= 0, np.array(names, dtype=object)[np.maximum(codes, 0)], None)
        inverse = {v: k for k, v in want_names.items()}
        want_labels = np.where(
            want >= 0,
            np.array([inverse[k] for k in range(len(inverse))], dtype=object)[np.maximum(want, 0)],
            None,
        )
        assert (got_labels == want_labels).all(), source
        assert (codes[:, -1] == -1).all() and (codes >= 0).any()
        # asked again: the kept table, unchanged
        again, _ = industry.industry_codes(ids, dates, source)
        assert again is codes
        other, _ = industry.industry_codes(ids[:-1], dates, source)
        np.testing.assert_array_equal(other, codes[:, :-1])


def test_grouped_operators_see_the_industries_the_bench_neutralizes_by(store):
    # One routine: the engine's code for every listed pair names the label
    # the bench's reference data gives it, from the first years (where the
    # versions of "sws" differ) to the last.
    import mivada
    import tarnfold.analysis.assay_bench as ab
    from tarnfold import industry

    ids = mivada.all_instruments("CS")["order_book_id"].tolist()
    calendar = pd.DatetimeIndex(
        mivada.get_trading_dates("2005-01-01", mivada.get_latest_trading_date())
    )
    edges = [
        mivada.trading_date_offset(d, n) for d in ("2014-01-02", "2021-08-02") for n in (-1, 0, 1)
    ]
    dates = calendar[::40].union(pd.DatetimeIndex(edges))
    for source in industry.INDUSTRY_SOURCES:
        industry._last.clear()
        codes, names = industry.industry_codes(ids, dates, source)
        labels = ab._load_industry_data(ids, dates, source=source)
        assert labels.index.get_level_values(0).min() < pd.Timestamp("2014-01-01"), source
        rows = dates.get_indexer(labels.index.get_level_values(0))
        cols = pd.Index(ids).get_indexer(labels.index.get_level_values(1))
        cell = codes[rows, cols]
        got = np.where(cell >= 0, np.array(names + [None], dtype=object)[cell], "Unknown")
        assert (got == labels.to_numpy(dtype=object)).all(), source
