"""Industry codes per date and instrument against the classification
records read one cell at a time."""
import numpy as np
import pandas as pd


def _reference(records, ids, dates, has_version):
    names = {}
    codes = np.full((len(dates), len(ids)), -1, dtype=np.int64)
    rows = [tuple(r)[:4] for r in records]
    for j, oid in enumerate(ids):
        own = [r for r in rows if r[1] == oid]
        for i, day in enumerate(dates):
            started = [r for r in own if pd.Timestamp(r[2]) <= day]
            if not started:
                continue
            # latest start; among equal starts the highest version
            best = max(started, key=lambda r: (pd.Timestamp(r[2]), r[3] if has_version else 0))
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
        want_labels = np.where(want >= 0, np.array([inverse[k] for k in range(len(inverse))],
                                                   dtype=object)[np.maximum(want, 0)], None)
        assert (got_labels == want_labels).all(), source
        assert (codes[:, -1] == -1).all() and (codes >= 0).any()
        # asked again: the kept table, unchanged
        again, _ = industry.industry_codes(ids, dates, source)
        assert again is codes
        other, _ = industry.industry_codes(ids[:-1], dates, source)
        np.testing.assert_array_equal(other, codes[:, :-1])
