"""Time-series and element-wise operators on factors.

Every operator returns a new factor whose ``expr`` holds a ``Kernel``: the
engine runs trees made of these operators in C++, one instrument at a time,
over the instrument's valid days (days with a bar whose volume is not zero).

Windows
    A window of ``d`` days spans the instrument's last ``d`` **valid** days,
    today included: suspended days are skipped, not counted.  A
    non-integer ``d`` means ``floor(d)``; ``d`` below 1 is an error.  A
    window value is NaN unless the instrument has ``d`` valid days up to
    today and none of the ``d`` inputs is NaN (pandas ``rolling(d)`` with
    its default ``min_periods``).

``ts_mean(x, d)``, ``ts_sum(x, d)``
    mean and sum over the window.  Running sums are recomputed from the
    window every ``d`` days, so they never drift over long series.  shift: ``x.shift + d - 1``.
``ts_std(x, d)``
    sample standard deviation (ddof=1) over the window; a window whose
    values are all equal gives exactly 0; ``d = 1`` gives NaN.
    shift: ``x.shift + d - 1``.
``delay(x, d)``
    the value ``d`` valid days before today (``d`` >= 0).
    shift: ``x.shift + d``.
``delta(x, d)``
    ``x - delay(x, d)``.  shift: ``x.shift + d``.
``ema(x, span)``
    exponential moving average with ``alpha = 2 / (span + 1)``: pandas
    ``x.ewm(span=span, adjust=False, min_periods=span).mean()`` on the
    valid-day series (a NaN input is skipped, the older weights still
    decay across it).  The recursion reaches back to the first loaded day,
    so the engine loads ``DMA_WARMUP_DAYS`` extra valid days of history for
    it (``use_dma``).
    shift: ``x.shift + span - 1``.
``dma(x, alpha)``
    the dynamic moving average ``y = alpha * x + (1 - alpha) * y_prev``
    seeded with the first value: pandas ``x.ewm(alpha=alpha,
    adjust=False).mean()``; ``0 < alpha <= 1``.  Needs the long history
    like ``ema``.  shift: ``x.shift``.

``ts_product(x, d)``, ``ts_min(x, d)``, ``ts_max(x, d)``
    product, minimum and maximum over the window.  shift: ``x.shift + d - 1``.
``ts_argmin(x, d)``, ``ts_argmax(x, d)``
    position of the window's minimum / maximum counted from the oldest day
    (0 ... d-1), the earliest day on ties.  shift: ``x.shift + d - 1``.
``ts_rank(x, d)``
    percentile rank of today's value within its window, ties averaged, in
    (0, 1] (pandas ``rolling(d).rank(pct=True)``).  shift: ``x.shift + d - 1``.
``decay_linear(x, d)``
    weighted mean with weight d today down to 1 on the oldest day, weights
    summing to 1.  shift: ``x.shift + d - 1``.
``correlation(x, y, d)``, ``covariance(x, y, d)``
    linear correlation and sample covariance (ddof=1) of the pairs over the
    window; NaN when either has a NaN in the window; a constant window gives
    a NaN correlation; over ``d = 2`` days the correlation is exactly +-1.  shift: ``max(x.shift, y.shift) + d - 1``.

Distribution of the window (NaN also for a window holding an infinity, as
pandas reads infinities there as missing); shift: ``x.shift + d - 1``:

``ts_median(x, d)``, ``ts_quantile(x, d, q)``
    median (mean of the two middle values for even ``d``) and q-quantile
    (``0 <= q <= 1``, linear between the order statistics around
    ``q * (d - 1)``): pandas ``rolling(d).median()``, ``.quantile(q)``.
``ts_mad(x, d)``
    median absolute deviation: the median of ``|x - median|`` over the
    window (not scaled).
``ts_skew(x, d)``, ``ts_kurt(x, d)``
    sample skewness and excess kurtosis with small-sample corrections
    (pandas ``rolling(d).skew()``, ``.kurt()``); NaN for ``d`` below 3 and 4
    and for a window of equal values.
``ts_count(x, d)``
    how many of the window's ``d`` values are not NaN (pandas
    ``rolling(d).count()``): the one window operator a NaN inside the
    window does not make NaN.

Least-squares lines over the window, each window fitted on its own (two
passes over its values); NaN for ``d = 1``:

``ts_slope(x, d)``, ``ts_rsquare(x, d)``, ``ts_resid(x, d)``
    ``x`` against the day (0 for the oldest of the window, ``d - 1`` today):
    the slope per day, the R-squared (NaN for a window of equal values)
    and today's residual (``x`` today minus the line's value today).
    shift: ``x.shift + d - 1``.
``regression_slope(y, x, d)``, ``regression_rsquare(y, x, d)``, ``regression_resid(y, x, d)``
    ``y`` regressed on ``x`` over the window's pairs: the slope (NaN when
    ``x`` is constant), the R-squared (NaN when either is constant) and
    today's residual ``y - (intercept + slope * x)``.
    shift: ``max(x.shift, y.shift) + d - 1``.

Element-wise (also reachable through arithmetic on factors, see
``tarnfold.interface``): ``log``, ``sign``, ``absolute``,
``signed_power(x, a) = sign(x) * |x| ** a``, ``minimum(a, b)``,
``maximum(a, b)``, ``where(cond, a, b)`` (``a`` where ``cond`` is non-zero,
``b`` where it is zero, NaN where it is NaN), ``logical_and``,
``logical_or``, ``logical_not`` (also ``&``, ``|``, ``~`` on factors: 1.0
true, 0.0 false, NaN when an operand is NaN).  NaN in gives NaN out.

Inputs beside the bar fields: ``returns()`` (close over the previous valid
day's close, minus 1), ``vwap()`` (total turnover over volume) and
``adv(d)`` (mean share volume over d valid days).

Look-back: ``execute_factor`` loads, before the requested start, each
instrument's look-back (``shift``) in its own valid days, plus
``tarnfold.utils.DMA_WARMUP_DAYS`` valid days when the tree holds an
exponential average (``ema``, ``dma``), even one with ``shift`` 0.  A
value on a date is then the same whatever range is requested (exponential
averages up to their forgotten seed); see
``tarnfold.engine_v2.exec_context.lookback_start`` for the bound on the
search.

``OPERATOR_NAMES`` lists the operations the engine runs in C++ (each is a
row of its operator table).
"""

import math
import numbers

from tarnfold.engine_v2 import _operators
from tarnfold.interface import AbstractFactor, CombinedFactor, Kernel, check_factor
from tarnfold.leaf import CLOSE, TOTAL_TURNOVER, VOLUME

__all__ = [
    "ts_mean",
    "ts_sum",
    "ts_std",
    "ts_product",
    "ts_min",
    "ts_max",
    "ts_argmin",
    "ts_argmax",
    "ts_rank",
    "decay_linear",
    "correlation",
    "covariance",
    "ts_median",
    "ts_quantile",
    "ts_mad",
    "ts_skew",
    "ts_kurt",
    "ts_count",
    "ts_slope",
    "ts_rsquare",
    "ts_resid",
    "regression_slope",
    "regression_rsquare",
    "regression_resid",
    "delay",
    "delta",
    "ema",
    "dma",
    "log",
    "sign",
    "absolute",
    "signed_power",
    "minimum",
    "maximum",
    "where",
    "logical_and",
    "logical_or",
    "logical_not",
    "returns",
    "vwap",
    "adv",
    "window",
    "OPERATOR_NAMES",
]

OPERATOR_NAMES = tuple(_operators.OPERATORS)


def window(d, operator, argument="d", minimum=1):
    """``floor(d)`` as an int; TypeError/ValueError naming the operator
    and argument when ``d`` is not a real number of at least
    ``minimum``."""
    if isinstance(d, bool) or not isinstance(d, numbers.Real):
        raise TypeError("{}: {} must be a number of days, got {!r}".format(operator, argument, d))
    if not math.isfinite(float(d)):
        raise ValueError("{}: {} must be finite, got {!r}".format(operator, argument, d))
    n = int(math.floor(d))
    if n < minimum:
        raise ValueError(
            "{}: {} must be at least {}, got {!r}".format(operator, argument, minimum, d)
        )
    return n


def _ts(op, x, d, lookback, dma=False, params=None):
    check_factor(x, op, "x")
    return CombinedFactor(
        Kernel(op, (d,) if params is None else params), (x,), lookback=lookback, dma=dma
    )


def _rolling(op, x, d):
    """A window operator over the last ``d`` valid days (today included)."""
    d = window(d, op)
    return _ts(op, x, d, d - 1)


def ts_mean(x, d):
    """Mean of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_mean", x, d)


def ts_sum(x, d):
    """Sum of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_sum", x, d)


def ts_std(x, d):
    """Sample standard deviation of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_std", x, d)


def ts_product(x, d):
    """Product of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_product", x, d)


def ts_min(x, d):
    """Minimum of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_min", x, d)


def ts_max(x, d):
    """Maximum of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_max", x, d)


def ts_argmin(x, d):
    """Day of the window's minimum, 0 for the oldest day."""
    return _rolling("ts_argmin", x, d)


def ts_argmax(x, d):
    """Day of the window's maximum, 0 for the oldest day."""
    return _rolling("ts_argmax", x, d)


def ts_rank(x, d):
    """Percentile rank of today's ``x`` within the last ``d`` valid days."""
    return _rolling("ts_rank", x, d)


def decay_linear(x, d):
    """Linearly decaying weighted mean over the last ``d`` valid days."""
    return _rolling("decay_linear", x, d)


def _pair(op, x, y, d, names=("x", "y")):
    check_factor(x, op, names[0])
    check_factor(y, op, names[1])
    d = window(d, op)
    return CombinedFactor(Kernel(op, (d,)), (x, y), lookback=d - 1)


def correlation(x, y, d):
    """Correlation of ``x`` and ``y`` over the last ``d`` valid days."""
    return _pair("correlation", x, y, d)


def covariance(x, y, d):
    """Sample covariance of ``x`` and ``y`` over the last ``d`` valid days."""
    return _pair("covariance", x, y, d)


def ts_median(x, d):
    """Median of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_median", x, d)


def ts_quantile(x, d, q):
    """The ``q``-quantile of ``x`` over the last ``d`` valid days."""
    d = window(d, "ts_quantile")
    if isinstance(q, bool) or not isinstance(q, numbers.Real) or not 0.0 <= float(q) <= 1.0:
        raise ValueError("ts_quantile: q must be a number in [0, 1], got {!r}".format(q))
    return _ts("ts_quantile", x, d, d - 1, params=(d, float(q)))


def ts_mad(x, d):
    """Median absolute deviation of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_mad", x, d)


def ts_skew(x, d):
    """Sample skewness of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_skew", x, d)


def ts_kurt(x, d):
    """Sample excess kurtosis of ``x`` over the last ``d`` valid days."""
    return _rolling("ts_kurt", x, d)


def ts_count(x, d):
    """How many of ``x``'s last ``d`` valid-day values are not NaN."""
    return _rolling("ts_count", x, d)


def ts_slope(x, d):
    """Slope per day of the line fitted to ``x`` over the last ``d`` valid days."""
    return _rolling("ts_slope", x, d)


def ts_rsquare(x, d):
    """R-squared of the line fitted to ``x`` over the last ``d`` valid days."""
    return _rolling("ts_rsquare", x, d)


def ts_resid(x, d):
    """Today's ``x`` minus the line fitted over the last ``d`` valid days."""
    return _rolling("ts_resid", x, d)


def regression_slope(y, x, d):
    """Slope of ``y`` regressed on ``x`` over the last ``d`` valid days."""
    return _pair("regression_slope", y, x, d, ("y", "x"))


def regression_rsquare(y, x, d):
    """R-squared of ``y`` regressed on ``x`` over the last ``d`` valid days."""
    return _pair("regression_rsquare", y, x, d, ("y", "x"))


def regression_resid(y, x, d):
    """Today's residual of ``y`` regressed on ``x`` over the last ``d`` valid days."""
    return _pair("regression_resid", y, x, d, ("y", "x"))


def delay(x, d):
    """``x`` ``d`` valid days ago."""
    d = window(d, "delay", minimum=0)
    return _ts("delay", x, d, d)


def delta(x, d):
    """``x`` today minus ``x`` ``d`` valid days ago."""
    d = window(d, "delta", minimum=0)
    return _ts("delta", x, d, d)


def ema(x, span):
    """Exponential moving average with ``alpha = 2 / (span + 1)``."""
    span = window(span, "ema", "span")
    return _ts("ema", x, span, span - 1, dma=True, params=(2.0 / (span + 1.0), span))


def dma(x, alpha):
    """Dynamic moving average ``alpha * x + (1 - alpha) * previous``."""
    if (
        isinstance(alpha, bool)
        or not isinstance(alpha, numbers.Real)
        or not 0.0 < float(alpha) <= 1.0
    ):
        raise ValueError("dma: alpha must be a number in (0, 1], got {!r}".format(alpha))
    return _ts("dma", x, None, 0, dma=True, params=(float(alpha), 1))


def _unary(op, x):
    check_factor(x, op, "x")
    return CombinedFactor(Kernel(op), (x,))


def log(x):
    """Natural logarithm (NaN for negative values, -inf at 0)."""
    return _unary("log", x)


def sign(x):
    """-1, 0 or 1 by the sign of ``x`` (NaN stays NaN)."""
    return _unary("sign", x)


def absolute(x):
    """``|x|``."""
    return _unary("abs", x)


def _operands(op, *args):
    out = []
    for k, a in enumerate(args):
        if isinstance(a, AbstractFactor):
            out.append(a)
        elif isinstance(a, numbers.Real) and not isinstance(a, bool):
            out.append(float(a))
        else:
            raise TypeError(
                "{}: argument {} must be a factor or a real number, got {!r}".format(op, k + 1, a)
            )
    if not any(isinstance(a, AbstractFactor) for a in out):
        raise TypeError("{}: at least one argument must be a factor".format(op))
    return CombinedFactor(Kernel(op), tuple(out))


def signed_power(x, a):
    """``sign(x) * |x| ** a``."""
    check_factor(x, "signed_power", "x")
    return _operands("signed_power", x, a)


def minimum(a, b):
    """Element-wise minimum (NaN when either is NaN)."""
    return _operands("min", a, b)


def maximum(a, b):
    """Element-wise maximum (NaN when either is NaN)."""
    return _operands("max", a, b)


def where(cond, a, b):
    """``a`` where ``cond`` is non-zero, ``b`` where it is zero, NaN where
    ``cond`` is NaN."""
    return _operands("where", cond, a, b)


def logical_and(a, b):
    """1.0 where both are non-zero, 0.0 otherwise, NaN when either is NaN."""
    return _operands("and", a, b)


def logical_or(a, b):
    """1.0 where either is non-zero, 0.0 otherwise, NaN when either is NaN."""
    return _operands("or", a, b)


def logical_not(a):
    """1.0 where ``a`` is zero, 0.0 otherwise, NaN where it is NaN."""
    return _operands("not", a)


def returns():
    """Daily return over valid days: close / previous valid close - 1."""
    return CLOSE / delay(CLOSE, 1) - 1


def vwap():
    """Volume-weighted average price of the day: turnover / volume."""
    return TOTAL_TURNOVER / VOLUME


def adv(d):
    """Average daily share volume over the last ``d`` valid days."""
    return ts_mean(VOLUME, window(d, "adv"))
