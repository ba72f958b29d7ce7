"""Leaf factors: the daily bar fields and published factors of the store.

``Factor(name)`` is the leaf for any name the market-data store serves
through ``mivada.get_factor``: a daily bar field or one of the store's
precomputed factors (``mivada.get_factor_names()`` lists them).  The
module defines the bar fields as constants:

``OPEN, HIGH, LOW, CLOSE, PREV_CLOSE, VOLUME, TOTAL_TURNOVER``
(``TURNOVER`` is another name for ``TOTAL_TURNOVER``)

and the sample store's published factors ``VALUE_SCORE, QUALITY_SCORE,
REVERSAL_5D, NOISE, MARKET_CAP``.  A leaf's value on a day is the stored
value on that day; the engine serves it on the instrument's valid days
(days with a bar whose volume is not zero).  Names are checked against the
store when the factor is computed: an unknown name raises ``ValueError``
naming it.

A published factor computed on its own goes straight to the store
(``execute_factor`` recognises it through ``PRICING_FACTORS``); inside a
tree it is served like any other leaf.
"""

from tarnfold.interface import LeafFactor

__all__ = [
    "Factor",
    "OPEN",
    "HIGH",
    "LOW",
    "CLOSE",
    "PREV_CLOSE",
    "VOLUME",
    "TOTAL_TURNOVER",
    "TURNOVER",
    "VALUE_SCORE",
    "QUALITY_SCORE",
    "REVERSAL_5D",
    "NOISE",
    "MARKET_CAP",
]


class _Factor(LeafFactor):
    """A leaf served by the store under ``name``."""

    def __init__(self, name):
        if not isinstance(name, str) or not name:
            raise TypeError("Factor: name must be a non-empty string, got {!r}".format(name))
        self.name = name

    def _local_key(self):
        return ("_Factor", self.name)

    def __repr__(self):
        return "Factor({!r})".format(self.name)


def Factor(name):
    """The leaf factor the store serves as ``name``."""
    return _Factor(name)


OPEN = _Factor("open")
HIGH = _Factor("high")
LOW = _Factor("low")
CLOSE = _Factor("close")
PREV_CLOSE = _Factor("prev_close")
VOLUME = _Factor("volume")
TOTAL_TURNOVER = _Factor("total_turnover")
TURNOVER = TOTAL_TURNOVER

VALUE_SCORE = _Factor("value_score")
QUALITY_SCORE = _Factor("quality_score")
REVERSAL_5D = _Factor("reversal_5d")
NOISE = _Factor("noise")
MARKET_CAP = _Factor("market_cap")
