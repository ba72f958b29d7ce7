"""Reads kept for reuse: inside ``reusing_reads`` blocks the last bar panel
and style exposures read are served again to an identical request instead
of querying the store."""

import contextlib
import contextvars
import threading

import pandas as pd

_reusing = contextvars.ContextVar("mivada_reusing_reads", default=False)
_kept = {"panel": None, "exposures": []}
_kept_lock = threading.Lock()
KEPT_EXPOSURES = 2


@contextlib.contextmanager
def reusing_reads():
    """Within the block, ``get_price_panel`` and ``get_style_factor_exposure``
    answer again from memory what they read before in such a block, for
    the same store, instruments and date range, instead of querying the
    store: the bar fields of the last panel requested (a request naming
    further fields reads only those and adds them), and the last two
    exposure tables.  For code that computes many things over the same
    instruments and dates (a batch of factors); the kept tables stay in
    memory after the block (``forget_reads`` drops them) and are never
    served outside such a block or for another store.  Callers receive
    their own frames: changing one never changes what is kept."""
    token = _reusing.set(True)
    try:
        yield
    finally:
        _reusing.reset(token)


def forget_reads():
    """Drop what ``reusing_reads`` blocks kept."""
    with _kept_lock:
        _kept["panel"] = None
        _kept["exposures"] = []


def _copy_on_write():
    """Whether pandas copies a shared frame before changing it (always
    from pandas 3; an option before)."""
    if int(pd.__version__.split(".")[0]) >= 3:
        return True
    try:
        return pd.get_option("mode.copy_on_write") is True
    except (KeyError, pd.errors.OptionError):
        return False


def _handed_out(frame):
    """A kept frame as a caller may have it: a shallow copy when pandas
    copies on write, otherwise a full copy (a caller's change must never
    reach what is kept)."""
    return frame.copy(deep=not _copy_on_write())
