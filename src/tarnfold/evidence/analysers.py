"""Analysers beside the bench's own: Fama-MacBeth regressions, group views
within industries and size buckets, and the event study of entries into
the top and bottom groups.

Each is appended to a ``FactorAssayBench`` like the bench's analysers and
returns its own result class (``tarnfold.evidence.results``).  Every
figure carries the bench's direction of "good": with ``ascending=True``
(smaller values better) the factor is negated first, so a working factor
shows a positive premium, IC and top-minus-bottom return either way.
"""

import numpy as np
import pandas as pd

from tarnfold import _kernels
from tarnfold.analysis.assay_bench import FactorAnalyser
from tarnfold.evidence import grid as gr
from tarnfold.evidence.results import EventStudyResult, FamaMacBethResult, GroupViewResult

__all__ = ["FamaMacBethAnalysis", "GroupViewAnalysis", "EventStudyAnalysis"]

WEIGHTINGS = ("equal", "cap")


def _fields(periods):
    return ["P_{}".format(p) for p in periods]


def _check_industry(industry):
    if industry is None or isinstance(industry, (str, dict, pd.Series)):
        return industry
    raise TypeError(
        "industry: expected a source name, a dict, a Series or None, got {}".format(
            type(industry).__name__
        )
    )


def _industry_text(industry):
    if industry is None:
        return "none"
    if isinstance(industry, str):
        return industry
    return "a table of {} instruments".format(len(industry))


def _positive(value, name):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError("{}: expected a positive integer, got {!r}".format(name, value))
    return int(value)


class FamaMacBethAnalysis(FactorAnalyser):
    """Per date, the forward return of each holding period regressed across
    instruments on the factor, with industry dummies (``industry``: a
    source of the store, a dict or Series of labels, or None for a plain
    constant) and the store's style exposures (``style_factors``: "all"
    (those the store has, if any), a list of names, or None) as controls,
    taken as neutralization takes them; the factor's coefficient is the
    date's premium.  The summary gives its mean per period with a
    Newey-West t (P_n - 1 lags).

    A factor neutralized on the same exposures is already orthogonal to
    them: the controls then change the premium only through the few
    instruments a regression's sample leaves out, so the bench's default
    regresses a neutralized factor on a constant alone."""

    def __init__(self, industry="citics_2019", style_factors="all"):
        self.industry = _check_industry(industry)
        if (
            style_factors is not None
            and style_factors != "all"
            and not isinstance(style_factors, (list, tuple))
        ):
            raise TypeError(
                "style_factors: expected 'all', a list of names or None, got {}".format(
                    type(style_factors).__name__
                )
            )
        self.style_factors = style_factors

    def analysis(self, factor_data, returns, periods, ascending=True):
        periods = _kernels.holding_periods(periods)
        g = gr.grid_of(factor_data, returns, ascending)
        controls = []
        exposures = rows = None
        if self.style_factors:
            wanted = None if self.style_factors == "all" else list(self.style_factors)
            found = gr.style_exposures(g.dates, g.ids, wanted)
            if found is not None:
                names, exposures, rows = found
                controls.append("styles " + ", ".join(names))
            elif wanted is None:
                controls.append("no styles (none in the store)")
            else:
                raise ValueError(
                    "style_factors: the store has no style exposures for the "
                    "factor's instruments and dates"
                )
        codes, names = None, []
        if self.industry is not None:
            codes, names = gr.industry_codes(g.dates, g.ids, self.industry)
            controls.append(
                "industry {} ({} groups)".format(_industry_text(self.industry), len(names))
            )
        else:
            controls.append("a constant")
        premium, observations, r2 = _kernels.fama_macbeth(
            *g.kernel_args(), list(periods), exposures, rows, codes, len(names)
        )
        fields = _fields(periods)

        def frame(values):
            out = pd.DataFrame(np.asarray(values).T, index=g.dates, columns=fields)
            out.columns.name = None
            return out

        return FamaMacBethResult(
            premium=frame(premium),
            observations=frame(observations),
            r_squared=frame(r2),
            controls="; ".join(controls),
            name=self.step_name,
        )


class GroupViewAnalysis(FactorAnalyser):
    """The factor's groups (``quantile`` of them, best first, cut each date
    from that date's factor) and their forward returns within industries
    (``industry``: a source, dict, Series or None) and within size buckets
    (``size_buckets`` groups of capitalisation, smallest first; ``size``: a
    factor name of the store, default "market_cap", or a dates x
    instruments table, None for none): rank IC and top-minus-bottom return
    in every industry and bucket, the double sort of size bucket x factor
    group, and the groups of the whole cross-section with equal and with
    capitalisation weights.  ``weighting`` ("equal" or "cap") weights the
    groups within industries and buckets."""

    def __init__(
        self,
        quantile=5,
        industry="citics_2019",
        size="market_cap",
        size_buckets=3,
        weighting="equal",
    ):
        self.quantile = _positive(quantile, "quantile")
        self.industry = _check_industry(industry)
        if size is not None and not isinstance(size, (str, pd.DataFrame)):
            raise TypeError(
                "size: expected a factor name, a DataFrame or None, got {}".format(
                    type(size).__name__
                )
            )
        self.size = size
        self.size_buckets = _positive(size_buckets, "size_buckets")
        if weighting not in WEIGHTINGS:
            raise ValueError(
                "weighting: expected one of {}, got {!r}".format(", ".join(WEIGHTINGS), weighting)
            )
        if weighting == "cap" and size is None:
            raise ValueError("weighting: 'cap' needs size, got size=None")
        self.weighting = weighting

    def analysis(self, factor_data, returns, periods, ascending=True):
        periods = _kernels.holding_periods(periods)
        g = gr.grid_of(factor_data, returns, ascending)
        codes, names = None, []
        if self.industry is not None:
            codes, names = gr.industry_codes(g.dates, g.ids, self.industry)
        size = None
        size_note = "none"
        if self.size is not None:
            size = gr.size_table(g.dates, g.ids, self.size)
            size_note = "a table" if isinstance(self.size, pd.DataFrame) else self.size
            if size is None:
                size_note = "none ({} is not a factor of the store)".format(self.size)
        cap_weighted = self.weighting == "cap" and size is not None
        out = _kernels.group_views(
            *g.kernel_args(),
            list(periods),
            self.quantile,
            codes,
            len(names),
            size,
            self.size_buckets,
            cap_weighted,
        )
        g.labels[self.quantile] = out["labels"]  # the event study's groups too
        fields = _fields(periods)
        groups = ["q{}".format(k + 1) for k in range(self.quantile)]
        buckets = ["s{}".format(k + 1) for k in range(self.size_buckets)]

        def long(array, labels, level):
            # periods x dates x labels -> (datetime, label) x periods
            a = np.asarray(array)
            index = pd.MultiIndex.from_product([g.dates, labels], names=["datetime", level])
            return pd.DataFrame(a.reshape(len(fields), -1).T, index=index, columns=fields)

        ic_parts, spread_parts, members = [], [], []
        if "industry_ic" in out:
            ic_parts.append(("industry", long(out["industry_ic"], names, "bucket")))
            spread_parts.append(("industry", long(out["industry_spread"], names, "bucket")))
            members.append(("industry", names, out["industry_members"]))
        if "size_ic" in out:
            ic_parts.append(("size", long(out["size_ic"], buckets, "bucket")))
            spread_parts.append(("size", long(out["size_spread"], buckets, "bucket")))
            members.append(("size", buckets, out["size_members"]))
        bucket_members = None
        if members:
            index = pd.MultiIndex.from_tuples(
                [(view, b) for view, labels, _ in members for b in labels], names=["view", "bucket"]
            )
            bucket_members = pd.DataFrame(
                {
                    "members": np.concatenate(
                        [np.asarray(a, dtype=float).mean(axis=0) for _, _, a in members]
                    )
                },
                index=index,
            )

        def by_view(parts):
            if not parts:
                return None
            frames = [
                df.assign(view=view)
                .set_index("view", append=True)
                .reorder_levels(["datetime", "view", "bucket"])
                for view, df in parts
            ]
            return pd.concat(frames).sort_index(level="datetime", sort_remaining=False)

        double = None
        if "double_sort" in out:
            a = np.asarray(out["double_sort"])
            index = pd.MultiIndex.from_product(
                [g.dates, buckets, groups], names=["datetime", "size", "group"]
            )
            double = pd.DataFrame(a.reshape(len(fields), -1).T, index=index, columns=fields)
        return GroupViewResult(
            group_returns=long(out["groups_equal"], groups, "group"),
            cap_group_returns=long(out["groups_cap"], groups, "group")
            if "groups_cap" in out
            else None,
            bucket_ic=by_view(ic_parts),
            bucket_spread=by_view(spread_parts),
            bucket_members=bucket_members,
            double_sort=double,
            weighting="cap" if cap_weighted else "equal",
            industry=_industry_text(self.industry),
            size=size_note,
            name=self.step_name,
        )


class EventStudyAnalysis(FactorAnalyser):
    """Returns around the day a stock enters the top (or bottom) of
    ``quantile`` groups by that day's factor, having been in another group
    the day before: the average cumulative return and excess return (over
    the equal-weighted average of the factor's instruments) from
    ``before`` trading days before the entry to ``after`` days after it
    (default: the longest holding period), with 95 % confidence bands
    from standard errors clustered by entry date."""

    def __init__(self, quantile=5, before=10, after=None):
        self.quantile = _positive(quantile, "quantile")
        if self.quantile < 2:
            raise ValueError("quantile: expected at least 2 groups, got 1")
        if isinstance(before, bool) or not isinstance(before, (int, np.integer)) or before < 0:
            raise ValueError("before: expected a non-negative integer, got {!r}".format(before))
        self.before = int(before)
        self.after = None if after is None else _positive(after, "after")

    def analysis(self, factor_data, returns, periods, ascending=True):
        periods = _kernels.holding_periods(periods)
        g = gr.grid_of(factor_data, returns, ascending)
        after = self.after or max(periods)
        raw, excess, count, events = _kernels.event_study(
            *g.kernel_args(), self.quantile, self.before, after, g.labels.get(self.quantile)
        )
        offsets = np.arange(-self.before, after + 1)
        parts = []
        for side, label in enumerate(("top", "bottom")):
            table = {"events": count[side].sum(axis=0)}
            for name, sums in (("return", raw[side]), ("excess", excess[side])):
                mean, half = _clustered_mean(sums, count[side])
                table[name] = mean
                table[name + " low"] = mean - half
                table[name + " high"] = mean + half
            frame = pd.DataFrame(table, index=pd.Index(offsets, name="offset"))
            frame["side"] = label
            parts.append(frame.set_index("side", append=True).reorder_levels(["side", "offset"]))
        event_returns = pd.concat(parts)
        event_returns = event_returns[
            ["return", "return low", "return high", "excess", "excess low", "excess high", "events"]
        ]
        entries = pd.DataFrame({"top": events[0], "bottom": events[1]}, index=g.dates)
        return EventStudyResult(
            event_returns=event_returns,
            entries=entries,
            quantile=self.quantile,
            periods=list(periods),
            name=self.step_name,
        )


Z_95 = 1.959963984540054


def _clustered_mean(sums, counts):
    """Per offset: the mean over events (sums and counts per entry date x
    offset) and the half-width of its 95 % band from the standard error
    clustered by entry date."""
    total = counts.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(total > 0, sums.sum(axis=0) / np.where(total > 0, total, 1), np.nan)
        dev = sums - counts * mean[None, :]
        se = np.sqrt((dev**2).sum(axis=0)) / np.where(total > 0, total, np.nan)
    clusters = (counts > 0).sum(axis=0)
    se = np.where(clusters > 1, se, np.nan)
    return mean, Z_95 * se
