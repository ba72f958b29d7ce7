"""Style-factor exposures (kept for reuse inside ``reusing_reads``
blocks)."""

from mivada.api.arguments import _as_fields, _as_ids
from mivada.api.calendar import _date_range
from mivada.api.frames import _read_long
from mivada.api.kept_reads import KEPT_EXPOSURES, _handed_out, _kept, _kept_lock, _reusing
from mivada.api.store_state import current_store
from mivada.schema import STYLE_TABLE


def get_style_factor_exposure(order_book_ids, start_date=None, end_date=None, factors=None):
    """Style-factor exposures: a frame indexed by (order_book_id, date), one
    column per style factor (all of them when ``factors`` is None).  Rows
    exist for every day an instrument is listed.  None when nothing
    matches."""
    store = current_store()
    ids, _ = _as_ids(order_book_ids)
    names, _ = _as_fields(factors, store.style_factors, name="factors")
    start, end = _date_range(store, start_date, end_date)
    if start is None:
        return None
    if not _reusing.get():
        return _style_exposures(store, ids, start, end, names)
    key = (store.serial, tuple(ids), start, end, tuple(names))
    with _kept_lock:
        hit = [frame for k, frame in _kept["exposures"] if k == key]
    if hit:
        frame = hit[0]
    else:
        frame = _style_exposures(store, ids, start, end, names)
        with _kept_lock:
            kept = [(k, f) for k, f in _kept["exposures"] if k != key and k[0] == store.serial]
            _kept["exposures"] = ([(key, frame)] + kept)[:KEPT_EXPOSURES]
    return None if frame is None else _handed_out(frame)


def _style_exposures(store, ids, start, end, names):
    return _read_long(store, STYLE_TABLE, "date", ids, names, start.date(), end.date())
