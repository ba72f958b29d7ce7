"""Pruning a batch: how alike the candidate factors are, and a pick of the
best ones that are not alike."""

import os

import numpy as np
import pandas as pd
import pyarrow.parquet as pq

from tarnfold import _kernels
from tarnfold.batch import storage

BLOCK_DATES = storage.ROW_GROUP_DATES


def _stored_tables(out, names):
    """The union of the stored factor tables' dates and of their columns
    (in the order of ``names``), each factor table verified once."""
    dates = columns = None
    for name in names:
        record = storage.finished_record(out, name, files=(storage.FACTOR_FILE,))
        if "factor" not in record:
            raise KeyError("factor {!r}: no factor table under {}".format(name, out))
        path = os.path.join(storage.factor_dir(out, name), record["factor"]["file"])
        idx = pd.DatetimeIndex(pd.read_parquet(path, columns=[]).index)
        dates = idx if dates is None else dates.union(idx)
        cols = [c for c in pq.read_schema(path).names if not c.startswith("__") and c != "datetime"]
        cols = pd.Index(record["factor"].get("labels", cols))
        columns = cols if columns is None else columns.union(cols, sort=False)
    return dates, columns


def factor_correlation(out, names=None, block=BLOCK_DATES):
    """Average over dates of the cross-sectional rank (Spearman) correlation
    of every pair of the factors stored under ``out``.

    On each date a pair is compared over the instruments both factors have
    a value for, ties averaged (pandas' ``DataFrame.corr("spearman")`` of that
    date's cross-section); dates on which a pair has fewer than two common
    instruments or a constant ranking are left out of its average.
    ``names``: the factors (default: every complete one; a factor that
    failed in the last run or whose table is damaged raises).  The tables are
    read ``block`` dates at a time, so memory stays at one block of every
    factor.  Returns a factors x factors DataFrame (1 on the diagonal, NaN
    for a pair never compared) with the number of dates per pair in
    ``.attrs["dates"]``."""
    if names is None:
        names = completed_factors(out)
    names = list(names)
    if len(set(names)) != len(names):
        raise ValueError(
            "names: expected each factor once, got {} more than once".format(
                ", ".join(sorted({n for n in names if names.count(n) > 1}))
            )
        )
    k = len(names)
    sums = np.zeros((k, k))
    counts = np.zeros((k, k), dtype=np.int64)
    if k:
        dates, columns = _stored_tables(out, names)
        for lo in range(0, len(dates), max(int(block), 1)):
            span = dates[lo : lo + block]
            tables = [
                storage.load_factor_table(out, name, span[0], span[-1], verified=False).reindex(
                    index=span, columns=columns
                )
                for name in names
            ]
            s, c = _kernels.cross_rank_correlation_sums(tables)
            sums += s
            counts += c
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)
    np.fill_diagonal(mean, 1.0)
    table = pd.DataFrame(
        mean, index=pd.Index(names, name="factor"), columns=pd.Index(names, name="factor")
    )
    table.attrs["dates"] = pd.DataFrame(counts, index=table.index, columns=table.columns)
    return table


def completed_factors(out):
    """Names of the factors whose results under ``out`` are complete: those
    that did not fail in the last run that computed them."""
    return [
        name
        for name, record in storage.stored_names(out)
        if record is not None and record.get("state", storage.DONE) == storage.DONE
    ]


def pick_uncorrelated(summary, correlation, threshold=0.5, by=None, max_factors=None):
    """Greedy pick of factors that are not alike: walk the factors from the
    best ``by`` (default: the IC IR of the first holding period) down and keep
    each one whose absolute average rank correlation with every factor kept so
    far is below ``threshold``.  Factors with an error, without a ``by``
    value or missing from ``correlation`` are never picked; a pair never
    compared (NaN) does not block.  Returns the kept names, best first."""
    if not 0 < float(threshold) <= 1:
        raise ValueError("threshold: expected a number in (0, 1], got {!r}".format(threshold))
    if by is None:
        cols = [c for c in summary.columns if str(c).startswith("IC IR ")]
        if not cols:
            raise ValueError(
                "summary: expected an 'IC IR' column to rank by (or by=), got columns {}".format(
                    ", ".join(map(str, summary.columns[:5]))
                )
            )
        by = cols[0]
    if by not in summary.columns:
        raise ValueError("by: expected a column of the summary, got {!r}".format(by))
    ok = summary[by].notna()
    if "error" in summary.columns:
        ok &= summary["error"].isna()
    ranked = summary.loc[ok, by].astype(float).sort_values(ascending=False, kind="stable")
    kept = []
    for name in ranked.index:
        if name not in correlation.index:
            continue
        if kept:
            rho = correlation.loc[name, kept].abs()
            if (rho >= threshold).any():
                continue
        kept.append(name)
        if max_factors is not None and len(kept) >= max_factors:
            break
    return kept
