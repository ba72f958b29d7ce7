"""Formulaic alphas written with tarnfold's operators.

Each ``alpha_NNN(o=OPS)`` returns the factor of the alpha of that number
in "101 Formulaic Alphas" (Kakushadze, 2016); the paper's formula is in the
docstring, and the code reads the same way with these spellings:

=====================  ===================================================
paper                  here
=====================  ===================================================
``sum(x, d)``          ``o.ts_sum(x, d)``
``stddev(x, d)``       ``o.ts_std(x, d)``
``product(x, d)``      ``o.ts_product(x, d)``
``min(x, d)``          ``o.ts_min(x, d)`` (``max`` likewise)
``Ts_ArgMax``          ``o.ts_argmax`` (``Ts_ArgMin``, ``Ts_Rank`` likewise)
``c ? a : b``          ``o.where(c, a, b)``
``x ^ a``              ``x ** a`` (``SignedPower`` is ``o.signed_power``)
``a || b``             ``a | b``; ``a == b`` is ``a.eq(b)``
``adv20``              ``o.adv(20)``
``cap``                ``o.cap`` (the store's published ``market_cap``)
``IndNeutralize(x, c)`` ``o.indneutralize(x)``
=====================  ===================================================

``returns``, ``vwap`` and ``adv(d)`` follow ``tarnfold.operators``; windows
run over each instrument's valid days.  A non-integer window of the paper
is written as its floor (the operators' rule).  ``IndNeutralize`` is the
per-date industry demean ``group_demean`` over the "citics_2019"
classification; the store carries a single industry level, so
``IndClass.sector``, ``.industry`` and ``.subindustry`` all use it.
Computing ``cap`` needs the published factor ``market_cap`` in the
execution context.  ``o`` is the operator namespace:
``OPS`` (tarnfold's, giving factors for ``execute_factor``) by default; the
tests pass a pandas implementation of the same names.

``ALPHAS`` maps names to the functions; ``alpha(n)`` builds alpha ``n``.
"""

import types

from tarnfold import cross_sectional as _cs
from tarnfold import leaf as _leaf
from tarnfold import operators as _op

__all__ = ["OPS", "ALPHAS", "alpha"]

OPS = types.SimpleNamespace(
    open=_leaf.OPEN,
    high=_leaf.HIGH,
    low=_leaf.LOW,
    close=_leaf.CLOSE,
    volume=_leaf.VOLUME,
    returns=_op.returns(),
    vwap=_op.vwap(),
    adv=_op.adv,
    rank=_cs.rank,
    scale=_cs.scale,
    delay=_op.delay,
    delta=_op.delta,
    ts_sum=_op.ts_sum,
    ts_mean=_op.ts_mean,
    ts_std=_op.ts_std,
    ts_product=_op.ts_product,
    ts_min=_op.ts_min,
    ts_max=_op.ts_max,
    ts_argmin=_op.ts_argmin,
    ts_argmax=_op.ts_argmax,
    ts_rank=_op.ts_rank,
    decay_linear=_op.decay_linear,
    correlation=_op.correlation,
    covariance=_op.covariance,
    log=_op.log,
    sign=_op.sign,
    abs=_op.absolute,
    signed_power=_op.signed_power,
    where=_op.where,
    minimum=_op.minimum,
    maximum=_op.maximum,
    cap=_leaf.Factor("market_cap"),
    indneutralize=_cs.group_demean,
)


def alpha_001(o=OPS):
    """(rank(Ts_ArgMax(SignedPower(((returns < 0) ? stddev(returns, 20) : close), 2.), 5)) - 0.5)"""
    return (
        o.rank(
            o.ts_argmax(
                o.signed_power(o.where(o.returns < 0, o.ts_std(o.returns, 20), o.close), 2.0), 5
            )
        )
        - 0.5
    )


def alpha_002(o=OPS):
    """(-1 * correlation(rank(delta(log(volume), 2)), rank(((close - open) / open)), 6))"""
    return -1 * o.correlation(
        o.rank(o.delta(o.log(o.volume), 2)), o.rank((o.close - o.open) / o.open), 6
    )


def alpha_003(o=OPS):
    """(-1 * correlation(rank(open), rank(volume), 10))"""
    return -1 * o.correlation(o.rank(o.open), o.rank(o.volume), 10)


def alpha_004(o=OPS):
    """(-1 * Ts_Rank(rank(low), 9))"""
    return -1 * o.ts_rank(o.rank(o.low), 9)


def alpha_005(o=OPS):
    """(rank((open - (sum(vwap, 10) / 10))) * (-1 * abs(rank((close - vwap)))))"""
    return o.rank(o.open - o.ts_sum(o.vwap, 10) / 10) * (-1 * o.abs(o.rank(o.close - o.vwap)))


def alpha_006(o=OPS):
    """(-1 * correlation(open, volume, 10))"""
    return -1 * o.correlation(o.open, o.volume, 10)


def alpha_007(o=OPS):
    """((adv20 < volume) ? ((-1 * ts_rank(abs(delta(close, 7)), 60)) * sign(delta(close, 7))) : (-1 * 1))"""
    return o.where(
        o.adv(20) < o.volume,
        (-1 * o.ts_rank(o.abs(o.delta(o.close, 7)), 60)) * o.sign(o.delta(o.close, 7)),
        -1 * 1,
    )


def alpha_008(o=OPS):
    """(-1 * rank(((sum(open, 5) * sum(returns, 5)) - delay((sum(open, 5) * sum(returns, 5)), 10))))"""
    x = o.ts_sum(o.open, 5) * o.ts_sum(o.returns, 5)
    return -1 * o.rank(x - o.delay(x, 10))


def alpha_009(o=OPS):
    """((0 < ts_min(delta(close, 1), 5)) ? delta(close, 1) : ((ts_max(delta(close, 1), 5) < 0) ? delta(close, 1) : (-1 * delta(close, 1))))"""
    d1 = o.delta(o.close, 1)
    return o.where(0 < o.ts_min(d1, 5), d1, o.where(o.ts_max(d1, 5) < 0, d1, -1 * d1))


def alpha_010(o=OPS):
    """rank(((0 < ts_min(delta(close, 1), 4)) ? delta(close, 1) : ((ts_max(delta(close, 1), 4) < 0) ? delta(close, 1) : (-1 * delta(close, 1)))))"""
    d1 = o.delta(o.close, 1)
    return o.rank(o.where(0 < o.ts_min(d1, 4), d1, o.where(o.ts_max(d1, 4) < 0, d1, -1 * d1)))


def alpha_011(o=OPS):
    """((rank(ts_max((vwap - close), 3)) + rank(ts_min((vwap - close), 3))) * rank(delta(volume, 3)))"""
    gap = o.vwap - o.close
    return (o.rank(o.ts_max(gap, 3)) + o.rank(o.ts_min(gap, 3))) * o.rank(o.delta(o.volume, 3))


def alpha_012(o=OPS):
    """(sign(delta(volume, 1)) * (-1 * delta(close, 1)))"""
    return o.sign(o.delta(o.volume, 1)) * (-1 * o.delta(o.close, 1))


def alpha_013(o=OPS):
    """(-1 * rank(covariance(rank(close), rank(volume), 5)))"""
    return -1 * o.rank(o.covariance(o.rank(o.close), o.rank(o.volume), 5))


def alpha_014(o=OPS):
    """((-1 * rank(delta(returns, 3))) * correlation(open, volume, 10))"""
    return (-1 * o.rank(o.delta(o.returns, 3))) * o.correlation(o.open, o.volume, 10)


def alpha_015(o=OPS):
    """(-1 * sum(rank(correlation(rank(high), rank(volume), 3)), 3))"""
    return -1 * o.ts_sum(o.rank(o.correlation(o.rank(o.high), o.rank(o.volume), 3)), 3)


def alpha_016(o=OPS):
    """(-1 * rank(covariance(rank(high), rank(volume), 5)))"""
    return -1 * o.rank(o.covariance(o.rank(o.high), o.rank(o.volume), 5))


def alpha_017(o=OPS):
    """(((-1 * rank(ts_rank(close, 10))) * rank(delta(delta(close, 1), 1))) * rank(ts_rank((volume / adv20), 5)))"""
    return (
        (-1 * o.rank(o.ts_rank(o.close, 10))) * o.rank(o.delta(o.delta(o.close, 1), 1))
    ) * o.rank(o.ts_rank(o.volume / o.adv(20), 5))


def alpha_018(o=OPS):
    """(-1 * rank(((stddev(abs((close - open)), 5) + (close - open)) + correlation(close, open, 10))))"""
    return -1 * o.rank(
        (o.ts_std(o.abs(o.close - o.open), 5) + (o.close - o.open))
        + o.correlation(o.close, o.open, 10)
    )


def alpha_020(o=OPS):
    """(((-1 * rank((open - delay(high, 1)))) * rank((open - delay(close, 1)))) * rank((open - delay(low, 1))))"""
    return (
        (-1 * o.rank(o.open - o.delay(o.high, 1))) * o.rank(o.open - o.delay(o.close, 1))
    ) * o.rank(o.open - o.delay(o.low, 1))


def alpha_021(o=OPS):
    """((((sum(close, 8) / 8) + stddev(close, 8)) < (sum(close, 2) / 2)) ? (-1 * 1) : (((sum(close, 2) / 2) < ((sum(close, 8) / 8) - stddev(close, 8))) ? 1 : (((1 < (volume / adv20)) || ((volume / adv20) == 1)) ? 1 : (-1 * 1))))"""
    m8, s8, m2 = o.ts_sum(o.close, 8) / 8, o.ts_std(o.close, 8), o.ts_sum(o.close, 2) / 2
    rel = o.volume / o.adv(20)
    return o.where(
        m8 + s8 < m2, -1 * 1, o.where(m2 < m8 - s8, 1, o.where((1 < rel) | rel.eq(1), 1, -1 * 1))
    )


def alpha_022(o=OPS):
    """(-1 * (delta(correlation(high, volume, 5), 5) * rank(stddev(close, 20))))"""
    return -1 * (o.delta(o.correlation(o.high, o.volume, 5), 5) * o.rank(o.ts_std(o.close, 20)))


def alpha_023(o=OPS):
    """(((sum(high, 20) / 20) < high) ? (-1 * delta(high, 2)) : 0)"""
    return o.where(o.ts_sum(o.high, 20) / 20 < o.high, -1 * o.delta(o.high, 2), 0)


def alpha_025(o=OPS):
    """rank(((((-1 * returns) * adv20) * vwap) * (high - close)))"""
    return o.rank((((-1 * o.returns) * o.adv(20)) * o.vwap) * (o.high - o.close))


def alpha_026(o=OPS):
    """(-1 * ts_max(correlation(ts_rank(volume, 5), ts_rank(high, 5), 5), 3))"""
    return -1 * o.ts_max(o.correlation(o.ts_rank(o.volume, 5), o.ts_rank(o.high, 5), 5), 3)


def alpha_028(o=OPS):
    """scale(((correlation(adv20, low, 5) + ((high + low) / 2)) - close))"""
    return o.scale((o.correlation(o.adv(20), o.low, 5) + (o.high + o.low) / 2) - o.close)


def alpha_029(o=OPS):
    """(min(product(rank(rank(scale(log(sum(ts_min(rank(rank((-1 * rank(delta((close - 1), 5))))), 2), 1))))), 1), 5) + ts_rank(delay((-1 * returns), 6), 5))"""
    inner = o.rank(o.rank(-1 * o.rank(o.delta(o.close - 1, 5))))
    x = o.rank(o.rank(o.scale(o.log(o.ts_sum(o.ts_min(inner, 2), 1)))))
    return o.ts_min(o.ts_product(x, 1), 5) + o.ts_rank(o.delay(-1 * o.returns, 6), 5)


def alpha_030(o=OPS):
    """(((1.0 - rank(((sign((close - delay(close, 1))) + sign((delay(close, 1) - delay(close, 2)))) + sign((delay(close, 2) - delay(close, 3)))))) * sum(volume, 5)) / sum(volume, 20))"""
    c = o.close
    signs = (o.sign(c - o.delay(c, 1)) + o.sign(o.delay(c, 1) - o.delay(c, 2))) + o.sign(
        o.delay(c, 2) - o.delay(c, 3)
    )
    return ((1.0 - o.rank(signs)) * o.ts_sum(o.volume, 5)) / o.ts_sum(o.volume, 20)


def alpha_033(o=OPS):
    """rank((-1 * ((1 - (open / close))^1)))"""
    return o.rank(-1 * ((1 - (o.open / o.close)) ** 1))


def alpha_034(o=OPS):
    """rank(((1 - rank((stddev(returns, 2) / stddev(returns, 5)))) + (1 - rank(delta(close, 1)))))"""
    return o.rank(
        (1 - o.rank(o.ts_std(o.returns, 2) / o.ts_std(o.returns, 5)))
        + (1 - o.rank(o.delta(o.close, 1)))
    )


def alpha_035(o=OPS):
    """((Ts_Rank(volume, 32) * (1 - Ts_Rank(((close + high) - low), 16))) * (1 - Ts_Rank(returns, 32)))"""
    return (o.ts_rank(o.volume, 32) * (1 - o.ts_rank((o.close + o.high) - o.low, 16))) * (
        1 - o.ts_rank(o.returns, 32)
    )


def alpha_038(o=OPS):
    """((-1 * rank(Ts_Rank(close, 10))) * rank((close / open)))"""
    return (-1 * o.rank(o.ts_rank(o.close, 10))) * o.rank(o.close / o.open)


def alpha_040(o=OPS):
    """((-1 * rank(stddev(high, 10))) * correlation(high, volume, 10))"""
    return (-1 * o.rank(o.ts_std(o.high, 10))) * o.correlation(o.high, o.volume, 10)


def alpha_041(o=OPS):
    """(((high * low)^0.5) - vwap)"""
    return ((o.high * o.low) ** 0.5) - o.vwap


def alpha_042(o=OPS):
    """(rank((vwap - close)) / rank((vwap + close)))"""
    return o.rank(o.vwap - o.close) / o.rank(o.vwap + o.close)


def alpha_043(o=OPS):
    """(ts_rank((volume / adv20), 20) * ts_rank((-1 * delta(close, 7)), 8))"""
    return o.ts_rank(o.volume / o.adv(20), 20) * o.ts_rank(-1 * o.delta(o.close, 7), 8)


def alpha_044(o=OPS):
    """(-1 * correlation(high, rank(volume), 5))"""
    return -1 * o.correlation(o.high, o.rank(o.volume), 5)


def alpha_045(o=OPS):
    """(-1 * ((rank((sum(delay(close, 5), 20) / 20)) * correlation(close, volume, 2)) * rank(correlation(sum(close, 5), sum(close, 20), 2))))"""
    return -1 * (
        (o.rank(o.ts_sum(o.delay(o.close, 5), 20) / 20) * o.correlation(o.close, o.volume, 2))
        * o.rank(o.correlation(o.ts_sum(o.close, 5), o.ts_sum(o.close, 20), 2))
    )


def alpha_053(o=OPS):
    """(-1 * delta((((close - low) - (high - close)) / (close - low)), 9))"""
    return -1 * o.delta(((o.close - o.low) - (o.high - o.close)) / (o.close - o.low), 9)


def alpha_054(o=OPS):
    """((-1 * ((low - close) * (open^5))) / ((low - high) * (close^5)))"""
    return (-1 * ((o.low - o.close) * (o.open**5))) / ((o.low - o.high) * (o.close**5))


def alpha_055(o=OPS):
    """(-1 * correlation(rank(((close - ts_min(low, 12)) / (ts_max(high, 12) - ts_min(low, 12)))), rank(volume), 6))"""
    lo12 = o.ts_min(o.low, 12)
    return -1 * o.correlation(
        o.rank((o.close - lo12) / (o.ts_max(o.high, 12) - lo12)), o.rank(o.volume), 6
    )


def alpha_056(o=OPS):
    """(0 - (1 * (rank((sum(returns, 10) / sum(sum(returns, 2), 3))) * rank((returns * cap)))))"""
    return 0 - (
        1
        * (
            o.rank(o.ts_sum(o.returns, 10) / o.ts_sum(o.ts_sum(o.returns, 2), 3))
            * o.rank(o.returns * o.cap)
        )
    )


def alpha_058(o=OPS):
    """(-1 * Ts_Rank(decay_linear(correlation(IndNeutralize(vwap, IndClass.sector), volume, 3.92795), 7.89291), 5.50322))"""
    return -1 * o.ts_rank(o.decay_linear(o.correlation(o.indneutralize(o.vwap), o.volume, 3), 7), 5)


def alpha_059(o=OPS):
    """(-1 * Ts_Rank(decay_linear(correlation(IndNeutralize(((vwap * 0.728317) + (vwap * (1 - 0.728317))), IndClass.industry), volume, 4.25197), 16.2289), 8.19648))"""
    return -1 * o.ts_rank(
        o.decay_linear(
            o.correlation(
                o.indneutralize((o.vwap * 0.728317) + (o.vwap * (1 - 0.728317))), o.volume, 4
            ),
            16,
        ),
        8,
    )


def alpha_067(o=OPS):
    """((rank((high - ts_min(high, 2.14593)))^rank(correlation(IndNeutralize(vwap, IndClass.sector), IndNeutralize(adv20, IndClass.subindustry), 6.02936))) * -1)"""
    return (
        o.rank(o.high - o.ts_min(o.high, 2))
        ** o.rank(o.correlation(o.indneutralize(o.vwap), o.indneutralize(o.adv(20)), 6))
    ) * -1


def alpha_080(o=OPS):
    """((rank(Sign(delta(IndNeutralize(((open * 0.868128) + (high * (1 - 0.868128))), IndClass.industry), 4.04545)))^Ts_Rank(correlation(high, adv10, 5.11456), 5.53756)) * -1)"""
    return (
        o.rank(o.sign(o.delta(o.indneutralize((o.open * 0.868128) + (o.high * (1 - 0.868128))), 4)))
        ** o.ts_rank(o.correlation(o.high, o.adv(10), 5), 5)
    ) * -1


def alpha_101(o=OPS):
    """((close - open) / ((high - low) + .001))"""
    return (o.close - o.open) / ((o.high - o.low) + 0.001)


ALPHAS = {
    name: fn for name, fn in sorted(globals().items()) if name.startswith("alpha_") and callable(fn)
}


def alpha(n, o=OPS):
    """Alpha number ``n`` of the paper (those listed in ``ALPHAS``)."""
    name = "alpha_{:03d}".format(int(n))
    if name not in ALPHAS:
        raise ValueError(
            "alpha: {} is not implemented, choose one of {}".format(n, [int(k[6:]) for k in ALPHAS])
        )
    return ALPHAS[name](o)
