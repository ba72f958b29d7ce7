"""Cross-sectional factors: per-date operations across instruments.

A ``CrossSectionalFactor`` combines whole date x instrument tables: the
engine computes each of its ``sub_factors`` over every requested
instrument, masks them with the universe (when one is given), and calls
``execute(*tables)``, which returns a date x instrument table.  Inside a
larger tree a cross-sectional factor is a dependency: computed once per
``execute_factor`` call, then read per instrument on its valid days.

Operators (each works on the instruments that have a value on the date,
NaN elsewhere; the work is done in C++ on the whole table):

``rank(x)``
    percentile rank per date, ties averaged, in (0, 1]: pandas
    ``x.rank(axis=1, pct=True)``.
``zscore(x)``
    ``(x - mean) / std`` per date with the sample standard deviation
    (ddof=1); a value that comes out infinite (a date whose values are all
    equal up to rounding) is 0, and a date with one value is NaN.

``scale(x, a=1)``
    ``x * a / sum(|x|)`` per date: the absolute values sum to ``a``.
``demean(x)``
    ``x - mean`` per date.
``group_demean(x, source)``, ``group_rank(x, source)``, ``group_zscore(x, source)``
    the same within each industry of the classification ``source``
    ("citics_2019" or "sws"; see ``tarnfold.industry``) on each date:
    industry neutralization inside a formula.  An instrument without an
    industry on a date gets NaN; ``group_zscore`` of a one-member industry
    is NaN.

The ``shift`` of a cross-sectional factor is the largest ``shift`` of its
sub-factors.  ``OPERATOR_NAMES`` lists the operators the engine runs in
C++ (each is a row of its table of cross-sectional operators).
"""

import numbers

import pandas as pd

from tarnfold.engine_v2 import _operators
from tarnfold.industry import INDUSTRY_SOURCES, industry_codes
from tarnfold.interface import AbstractFactor, check_factor
from tarnfold.threads import thread_count

__all__ = [
    "CrossSectionalFactor",
    "CrossSectionalKernelFactor",
    "GroupKernelFactor",
    "OPERATOR_NAMES",
    "rank",
    "zscore",
    "scale",
    "demean",
    "group_demean",
    "group_rank",
    "group_zscore",
]

# name -> (grouped, number of parameters), from the engine's table
_TABLE = dict(_operators.CROSS_SECTIONAL_OPERATORS)
OPERATOR_NAMES = tuple(_TABLE)


class CrossSectionalFactor(AbstractFactor):
    """Base of cross-sectional factors.  Subclasses implement
    ``execute(*tables)``."""

    def __init__(self, sub_factors):
        self.sub_factors = [
            check_factor(f, type(self).__name__, "sub_factors") for f in sub_factors
        ]
        if not self.sub_factors:
            raise ValueError("{}: needs at least one sub-factor".format(type(self).__name__))
        self.shift = max(f.shift for f in self.sub_factors)

    @property
    def expr(self):
        return self

    def execute(self, *tables):
        raise NotImplementedError

    def _dependency_nodes(self):
        return [self]

    def _children(self):
        return tuple(self.sub_factors)

    def _local_key(self):
        return (type(self).__name__,)


class CrossSectionalKernelFactor(CrossSectionalFactor):
    """A cross-sectional operator run by the engine's C++ kernels."""

    def __init__(self, op, sub_factors, params=()):
        super().__init__(sub_factors)
        grouped, nparams = _TABLE.get(op, (None, None))
        if grouped is None or grouped != isinstance(self, GroupKernelFactor):
            raise ValueError(
                "op: expected one of {}, got {!r}".format(
                    sorted(
                        k for k, v in _TABLE.items() if v[0] == isinstance(self, GroupKernelFactor)
                    ),
                    op,
                )
            )
        if len(params) != nparams:
            raise TypeError("{}: expected {} parameter(s), got {}".format(op, nparams, len(params)))
        self.op = op
        self.params = tuple(float(p) for p in params)

    def execute(self, *tables):
        values = _operators.apply_cs_kernel(
            self.op, self.params, self._tables(tables), thread_count()
        )
        first = tables[0]
        return pd.DataFrame(values, index=first.index, columns=first.columns, copy=False)

    def _tables(self, tables):
        if len(tables) != len(self.sub_factors):
            raise TypeError(
                "{}: expected {} table(s), got {}".format(
                    self.op, len(self.sub_factors), len(tables)
                )
            )
        for k, t in enumerate(tables):
            if not isinstance(t, pd.DataFrame):
                raise TypeError(
                    "{}: table {} must be a DataFrame, got {!r}".format(self.op, k, type(t))
                )
        return tables

    def _local_key(self):
        return ("CrossSectionalKernelFactor", self.op, self.params)

    def _repr_head(self):
        return self.op, list(self.sub_factors) + ["{:g}".format(p) for p in self.params]


class GroupKernelFactor(CrossSectionalKernelFactor):
    """A cross-sectional operator applied within industries."""

    def __init__(self, op, sub_factors, source="citics_2019"):
        if source not in INDUSTRY_SOURCES:
            raise ValueError(
                "{}: source must be one of {}, got {!r}".format(
                    op, sorted(INDUSTRY_SOURCES), source
                )
            )
        super().__init__(op, sub_factors)
        self.source = source

    def execute(self, table):
        (table,) = self._tables((table,))
        values = _operators.apply_cs_kernel(
            self.op, (), (table, self._codes(table.columns, table.index)), thread_count()
        )
        return pd.DataFrame(values, index=table.index, columns=table.columns, copy=False)

    def _codes(self, order_book_ids, dates):
        """The industry code of every (date, instrument) cell."""
        return industry_codes(order_book_ids, dates, self.source)[0]

    def _local_key(self):
        return super()._local_key() + (self.source,)


def rank(x):
    """Percentile rank per date across instruments, ties averaged."""
    return CrossSectionalKernelFactor("rank", [check_factor(x, "rank", "x")])


def zscore(x):
    """Per-date z-score across instruments (sample standard deviation)."""
    return CrossSectionalKernelFactor("zscore", [check_factor(x, "zscore", "x")])


def scale(x, a=1.0):
    """``x`` rescaled per date so that its absolute values sum to ``a``."""
    if isinstance(a, bool) or not isinstance(a, numbers.Real):
        raise TypeError("scale: a must be a real number, got {!r}".format(a))
    return CrossSectionalKernelFactor("scale", [check_factor(x, "scale", "x")], params=(a,))


def demean(x):
    """``x`` minus its mean across instruments, per date."""
    return CrossSectionalKernelFactor("demean", [check_factor(x, "demean", "x")])


def group_demean(x, source="citics_2019"):
    """``x`` minus its industry mean, per date."""
    return GroupKernelFactor("group_demean", [check_factor(x, "group_demean", "x")], source)


def group_rank(x, source="citics_2019"):
    """Percentile rank of ``x`` within its industry, per date."""
    return GroupKernelFactor("group_rank", [check_factor(x, "group_rank", "x")], source)


def group_zscore(x, source="citics_2019"):
    """Z-score of ``x`` within its industry, per date."""
    return GroupKernelFactor("group_zscore", [check_factor(x, "group_zscore", "x")], source)
