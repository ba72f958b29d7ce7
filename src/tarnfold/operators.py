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
    mean and sum over the window.  Sums are updated incrementally with
    compensated (Kahan) arithmetic and recomputed from scratch every ``d``
    days, so they never drift over long series.  shift: ``x.shift + d - 1``.
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
    so the engine loads 126 extra days of history for it (``use_dma``).
    shift: ``x.shift + span - 1``.
``dma(x, alpha)``
    the dynamic moving average ``y = alpha * x + (1 - alpha) * y_prev``
    seeded with the first value: pandas ``x.ewm(alpha=alpha,
    adjust=False).mean()``; ``0 < alpha <= 1``.  Needs the long history
    like ``ema``.  shift: ``x.shift``.

Element-wise (also reachable through arithmetic on factors, see
``tarnfold.interface``): ``log``, ``sign``, ``absolute``, ``signed_power``.
NaN in gives NaN out.
"""
import math
import numbers

from tarnfold.interface import CombinedFactor, Kernel, check_factor

__all__ = ["ts_mean", "ts_sum", "ts_std", "delay", "delta", "ema", "dma",
           "log", "sign", "absolute", "signed_power", "window"]


def window(d, operator, argument="d", minimum=1):
    """``floor(d)`` as an int; TypeError/ValueError naming the operator
    and argument when ``d`` is not a real number of at least
    ``minimum``."""
    if isinstance(d, bool) or not isinstance(d, numbers.Real):
        raise TypeError("{}: {} must be a number of days, got {!r}".format(
            operator, argument, d))
    if not math.isfinite(float(d)):
        raise ValueError("{}: {} must be finite, got {!r}".format(
            operator, argument, d))
    n = int(math.floor(d))
    if n < minimum:
        raise ValueError("{}: {} must be at least {}, got {!r}".format(
            operator, argument, minimum, d))
    return n


def _ts(op, x, d, lookback, dma=False, params=None):
    check_factor(x, op, "x")
    return CombinedFactor(Kernel(op, (d,) if params is None else params),
                          (x,), lookback=lookback, dma=dma)


def ts_mean(x, d):
    """Mean of ``x`` over the last ``d`` valid days."""
    d = window(d, "ts_mean")
    return _ts("ts_mean", x, d, d - 1)


def ts_sum(x, d):
    """Sum of ``x`` over the last ``d`` valid days."""
    d = window(d, "ts_sum")
    return _ts("ts_sum", x, d, d - 1)


def ts_std(x, d):
    """Sample standard deviation of ``x`` over the last ``d`` valid days."""
    d = window(d, "ts_std")
    return _ts("ts_std", x, d, d - 1)


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
    return _ts("ema", x, span, span - 1, dma=True,
               params=(2.0 / (span + 1.0), span))


def dma(x, alpha):
    """Dynamic moving average ``alpha * x + (1 - alpha) * previous``."""
    if isinstance(alpha, bool) or not isinstance(alpha, numbers.Real) or \
            not 0.0 < float(alpha) <= 1.0:
        raise ValueError("dma: alpha must be a number in (0, 1], got {!r}"
                         .format(alpha))
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


def signed_power(x, a):
    """``sign(x) * |x| ** a``."""
    check_factor(x, "signed_power", "x")
    if isinstance(a, bool) or not isinstance(a, (numbers.Real,)) and \
            not hasattr(a, "expr"):
        raise TypeError("signed_power: a must be a number or a factor, got "
                        "{!r}".format(a))
    return CombinedFactor(Kernel("signed_power"), (x, a))
