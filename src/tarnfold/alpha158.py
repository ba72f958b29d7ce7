"""The 158 price-volume features of a widely used feature set for stock
return models, written with tarnfold's operators.

``features()`` returns them as ``{name: factor}`` in a fixed order;
``FEATURE_NAMES`` lists the names and ``feature(name)`` builds one.
Compute them with ``tarnfold.engine_v2.execute_factors`` (the bars are read
once and the parts the features share, such as the day-on-day change of the
close, are computed once).  Windows run over valid days, as every window
operator of ``tarnfold.operators`` does; prices are the store's bars as
they are (no adjustment is applied); ``vwap`` is turnover over volume.
``EPS`` (1e-12) keeps a denominator away from zero as the published
definitions do.

K-bar shape of the day (9)::

    KMID   (close - open) / open
    KLEN   (high - low) / open
    KMID2  (close - open) / (high - low + EPS)
    KUP    (high - max(open, close)) / open
    KUP2   (high - max(open, close)) / (high - low + EPS)
    KLOW   (min(open, close) - low) / open
    KLOW2  (min(open, close) - low) / (high - low + EPS)
    KSFT   (2 close - high - low) / open
    KSFT2  (2 close - high - low) / (high - low + EPS)

Prices of the day against the close (4)::

    OPEN0 open / close    HIGH0 high / close    LOW0 low / close    VWAP0 vwap / close

Rolling features, each for d = 5, 10, 20, 30 and 60 valid days (29 x 5),
named KIND + d (``ROC5`` ... ``VSUMD60``); ``ret = close / delay(close, 1)``,
``dc = close - delay(close, 1)``, ``dv = volume - delay(volume, 1)``::

    ROC    delay(close, d) / close
    MA     ts_mean(close, d) / close
    STD    ts_std(close, d) / close                (sample deviation)
    BETA   ts_slope(close, d) / close              (slope of close on the day)
    RSQR   ts_rsquare(close, d)
    RESI   ts_resid(close, d) / close              (today's residual)
    MAX    ts_max(high, d) / close
    MIN    ts_min(low, d) / close
    QTLU   ts_quantile(close, d, 0.8) / close
    QTLD   ts_quantile(close, d, 0.2) / close
    RANK   ts_rank(close, d)                       (percentile of today's close)
    RSV    (close - ts_min(low, d)) / (ts_max(high, d) - ts_min(low, d) + EPS)
    IMAX   (ts_argmax(high, d) + 1) / d            (day of the highest high, 1 = oldest)
    IMIN   (ts_argmin(low, d) + 1) / d
    IMXD   (ts_argmax(high, d) - ts_argmin(low, d)) / d
    CORR   correlation(close, log(volume + 1), d)
    CORD   correlation(ret, log(volume / delay(volume, 1) + 1), d)
    CNTP   ts_mean(close > delay(close, 1), d)     (share of up days)
    CNTN   ts_mean(close < delay(close, 1), d)
    CNTD   CNTP - CNTN
    SUMP   ts_sum(maximum(dc, 0), d) / (ts_sum(|dc|, d) + EPS)
    SUMN   ts_sum(maximum(-dc, 0), d) / (ts_sum(|dc|, d) + EPS)
    SUMD   SUMP - SUMN
    VMA    ts_mean(volume, d) / (volume + EPS)
    VSTD   ts_std(volume, d) / (volume + EPS)
    WVMA   ts_std(|ret - 1| * volume, d) / (ts_mean(|ret - 1| * volume, d) + EPS)
    VSUMP  ts_sum(maximum(dv, 0), d) / (ts_sum(|dv|, d) + EPS)
    VSUMN  ts_sum(maximum(-dv, 0), d) / (ts_sum(|dv|, d) + EPS)
    VSUMD  VSUMP - VSUMN

``o`` is the operator namespace, ``OPS`` (tarnfold's) by default; the tests
and the benchmark pass a pandas implementation of the same names.
"""

import types

from tarnfold import leaf as _leaf
from tarnfold import operators as _op

__all__ = ["OPS", "WINDOWS", "EPS", "FEATURE_NAMES", "features", "feature"]

OPS = types.SimpleNamespace(
    open=_leaf.OPEN,
    high=_leaf.HIGH,
    low=_leaf.LOW,
    close=_leaf.CLOSE,
    volume=_leaf.VOLUME,
    vwap=_op.vwap(),
    delay=_op.delay,
    ts_mean=_op.ts_mean,
    ts_std=_op.ts_std,
    ts_sum=_op.ts_sum,
    ts_max=_op.ts_max,
    ts_min=_op.ts_min,
    ts_quantile=_op.ts_quantile,
    ts_rank=_op.ts_rank,
    ts_argmax=_op.ts_argmax,
    ts_argmin=_op.ts_argmin,
    ts_slope=_op.ts_slope,
    ts_rsquare=_op.ts_rsquare,
    ts_resid=_op.ts_resid,
    correlation=_op.correlation,
    log=_op.log,
    abs=_op.absolute,
    maximum=_op.maximum,
    minimum=_op.minimum,
)

WINDOWS = (5, 10, 20, 30, 60)
EPS = 1e-12


def _kbar(o):
    o_, h, lo, c = o.open, o.high, o.low, o.close
    rng = h - lo + EPS
    top, bottom = o.maximum(o_, c), o.minimum(o_, c)
    return {
        "KMID": (c - o_) / o_,
        "KLEN": (h - lo) / o_,
        "KMID2": (c - o_) / rng,
        "KUP": (h - top) / o_,
        "KUP2": (h - top) / rng,
        "KLOW": (bottom - lo) / o_,
        "KLOW2": (bottom - lo) / rng,
        "KSFT": (2 * c - h - lo) / o_,
        "KSFT2": (2 * c - h - lo) / rng,
    }


def _price(o):
    c = o.close
    return {"OPEN0": o.open / c, "HIGH0": o.high / c, "LOW0": o.low / c, "VWAP0": o.vwap / c}


def _rolling(o, windows):
    c, h, lo, v = o.close, o.high, o.low, o.volume
    prev_c, prev_v = o.delay(c, 1), o.delay(v, 1)
    ret = c / prev_c
    dc, dv = c - prev_c, v - prev_v
    up_c, down_c, abs_c = o.maximum(dc, 0), o.maximum(-dc, 0), o.abs(dc)
    up_v, down_v, abs_v = o.maximum(dv, 0), o.maximum(-dv, 0), o.abs(dv)
    log_v = o.log(v + 1)
    log_dv = o.log(v / prev_v + 1)
    moved = o.abs(ret - 1) * v
    up_day, down_day = c > prev_c, c < prev_c
    out = {}
    for kind in (
        "ROC",
        "MA",
        "STD",
        "BETA",
        "RSQR",
        "RESI",
        "MAX",
        "MIN",
        "QTLU",
        "QTLD",
        "RANK",
        "RSV",
        "IMAX",
        "IMIN",
        "IMXD",
        "CORR",
        "CORD",
        "CNTP",
        "CNTN",
        "CNTD",
        "SUMP",
        "SUMN",
        "SUMD",
        "VMA",
        "VSTD",
        "WVMA",
        "VSUMP",
        "VSUMN",
        "VSUMD",
    ):
        for d in windows:
            out[kind + str(d)] = None
    for d in windows:
        hi_d, lo_d = o.ts_max(h, d), o.ts_min(lo, d)
        arg_hi, arg_lo = o.ts_argmax(h, d), o.ts_argmin(lo, d)
        cntp, cntn = o.ts_mean(up_day, d), o.ts_mean(down_day, d)
        moves_c = o.ts_sum(abs_c, d) + EPS
        sump, sumn = o.ts_sum(up_c, d) / moves_c, o.ts_sum(down_c, d) / moves_c
        moves_v = o.ts_sum(abs_v, d) + EPS
        vsump, vsumn = o.ts_sum(up_v, d) / moves_v, o.ts_sum(down_v, d) / moves_v
        got = {
            "ROC": o.delay(c, d) / c,
            "MA": o.ts_mean(c, d) / c,
            "STD": o.ts_std(c, d) / c,
            "BETA": o.ts_slope(c, d) / c,
            "RSQR": o.ts_rsquare(c, d),
            "RESI": o.ts_resid(c, d) / c,
            "MAX": hi_d / c,
            "MIN": lo_d / c,
            "QTLU": o.ts_quantile(c, d, 0.8) / c,
            "QTLD": o.ts_quantile(c, d, 0.2) / c,
            "RANK": o.ts_rank(c, d),
            "RSV": (c - lo_d) / (hi_d - lo_d + EPS),
            "IMAX": (arg_hi + 1) / d,
            "IMIN": (arg_lo + 1) / d,
            "IMXD": (arg_hi - arg_lo) / d,
            "CORR": o.correlation(c, log_v, d),
            "CORD": o.correlation(ret, log_dv, d),
            "CNTP": cntp,
            "CNTN": cntn,
            "CNTD": cntp - cntn,
            "SUMP": sump,
            "SUMN": sumn,
            "SUMD": sump - sumn,
            "VMA": o.ts_mean(v, d) / (v + EPS),
            "VSTD": o.ts_std(v, d) / (v + EPS),
            "WVMA": o.ts_std(moved, d) / (o.ts_mean(moved, d) + EPS),
            "VSUMP": vsump,
            "VSUMN": vsumn,
            "VSUMD": vsump - vsumn,
        }
        for kind, factor in got.items():
            out[kind + str(d)] = factor
    return out


def features(o=OPS, windows=WINDOWS):
    """Every feature as ``{name: factor}``: the K-bar and price features,
    then the rolling ones grouped by kind (ROC5, ROC10, ..., VSUMD60)."""
    out = _kbar(o)
    out.update(_price(o))
    out.update(_rolling(o, windows))
    return out


FEATURE_NAMES = tuple(features())


def feature(name, o=OPS):
    """The feature called ``name`` (one of ``FEATURE_NAMES``)."""
    if name not in FEATURE_NAMES:
        raise ValueError(
            "feature: expected one of the {} names of FEATURE_NAMES, got {!r}".format(
                len(FEATURE_NAMES), name
            )
        )
    if name in _DAY_NAMES:
        return features(o, ())[name]
    kind = name.rstrip("0123456789")
    return _rolling(o, (int(name[len(kind) :]),))[name]


_DAY_NAMES = frozenset(features(OPS, ()))
