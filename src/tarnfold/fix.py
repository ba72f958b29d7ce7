"""Factors pinned to one instrument.

``FixedFactor(factor, order_book_id)`` (or ``fix(factor, order_book_id)``)
is ``factor`` computed for ``order_book_id`` alone (an index's close, for
example) and offered to every other instrument on the same dates, so that
it combines with per-stock factors::

    excess = returns(CLOSE) - fix(returns(CLOSE), "000300.XSHG")

The pinned instrument is loaded with the others even when it is not in
the requested list.  A stock reads the pinned values on its own valid days;
a day on which the pinned instrument has no value gives NaN.  The
``shift`` of a fixed factor is that of the wrapped factor.  A fixed factor
may wrap another (``fix(fix(x, a), b)`` is ``a``'s values read on ``b``'s
valid days).

A cross-sectional factor is computed over the requested instruments only,
so pinning one that reads a cross-sectional factor needs the pinned
instrument among them; otherwise ``PinnedInstrumentError`` (a ``KeyError``
and a ``ValueError``) says so.
"""

from tarnfold.interface import AbstractFactor, check_factor

__all__ = ["FixedFactor", "PinnedInstrumentError", "fix"]


class PinnedInstrumentError(KeyError, ValueError):
    """A fixed factor reads a cross-sectional factor for an instrument it is
    not computed for."""

    def __str__(self):
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()


class FixedFactor(AbstractFactor):
    """``factor`` evaluated for ``order_book_id`` only."""

    def __init__(self, factor, order_book_id):
        self.factor = check_factor(factor, "FixedFactor", "factor")
        if not isinstance(order_book_id, str) or not order_book_id:
            raise TypeError(
                "FixedFactor: order_book_id must be a non-empty string, got {!r}".format(
                    order_book_id
                )
            )
        self.order_book_id = order_book_id
        self.shift = self.factor.shift

    @property
    def expr(self):
        return self

    @property
    def dependencies(self):
        # the engine computes the pinned values before reading them
        return [self]

    def _dependency_nodes(self):
        return [self]

    def _children(self):
        return (self.factor,)

    def _local_key(self):
        return ("FixedFactor", self.order_book_id)

    def _repr_head(self):
        return "FixedFactor", [self.factor, repr(self.order_book_id)]


def fix(factor, order_book_id):
    """``factor`` pinned to ``order_book_id``."""
    return FixedFactor(factor, order_book_id)
